"""The C interface against libKestrel.so and its own header: one C function
per export of the library, in the export list's order and signature (the
signatures are checked at compile time, see src/c_api/Wrappers.cpp), and a
header that compiles as C and C++ declaring only prefixed names."""

import os
import re
import subprocess

import kestrel

HELPERS = {"last_code", "last_error", "describe_code", "get_image", "bstr_len", "bstr_free", "bstr_from_utf8",
           "bstr_to_utf8", "free", "string_array_add", "string_array_free", "describe_export", "c_sink_v1"}


def dynamic_symbols(path):
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    return {line.split()[-1] for line in out.splitlines() if not line.split()[-1].startswith("_Z")}


def test_every_export_has_its_c_function():
    exports = dynamic_symbols(os.environ["KESTREL_LIBRARY"])
    c_functions = dynamic_symbols(os.environ["KESTREL_C_LIBRARY"])
    described = list(kestrel.Library()._api.exports)
    assert len(exports) == 96 and sorted(described) == sorted(exports)
    assert c_functions == {"kestrel_" + name for name in exports} | {"kestrel_" + h for h in HELPERS}


def test_header_compiles_as_c_and_cxx_and_declares_only_prefixed_names(tmp_path):
    include = os.environ["KESTREL_INCLUDE_DIR"]
    source = tmp_path / "use.c"
    source.write_text("#include <kestrel/kestrel_c.h>\n")
    for compiler, standards in ((os.environ["CC"], ["c99", "c11"]), (os.environ["CXX"], ["c++11", "c++20"])):
        for standard in standards:
            language = "c++" if "++" in standard else "c"
            subprocess.run([compiler, "-x", language, "-std=" + standard, "-Wall", "-Wextra", "-pedantic", "-Werror",
                            "-I", include, "-fsyntax-only", str(source)], check=True)

    def preprocess(*flags, text="#include <kestrel/kestrel_c.h>\n"):
        source.write_text(text)
        return subprocess.run([os.environ["CC"], "-std=c99", "-E", *flags, "-I", include, str(source)],
                              capture_output=True, text=True, check=True).stdout
    macros = {line.split()[1].split("(")[0] for line in preprocess("-dM").splitlines()}
    macros -= {line.split()[1].split("(")[0] for line in preprocess("-dM", text="#include <stddef.h>\n"
                                                                    "#include <stdint.h>\n").splitlines()}
    assert macros and all(m.startswith("KESTREL_") for m in macros), sorted(macros)

    # File-scope names declared by the kestrel headers (not by the C library's).
    ours, text = False, []
    for line in preprocess().splitlines():
        if line.startswith("# "):
            ours = "/kestrel/" in line
        elif ours:
            text.append(line)
    code = " ".join(text)
    while re.search(r"\([^()]*\)", code):  # parameter lists and attributes: no global names
        code = re.sub(r"\(([^()]*)\)", "", code)
    names = re.findall(r"(\w+)\s*=\s*\d", code)  # enumerators
    code = re.sub(r"\{[^{}]*\}", "", code)  # members
    names += re.findall(r"(?:struct|enum)\s+(\w+)", code)  # tags
    names += re.findall(r"(\w+)\s*;", code)  # functions and typedef names
    assert len(names) > 100 and all(re.match(r"kestrel_|KESTREL_", n) for n in names), sorted(set(names))
