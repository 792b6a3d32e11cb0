#!/usr/bin/env python3
"""Mutation testing for Kestrel: how many small faults does the suite see?

Makes single-token mutants over src/, hostproc/ and include/ (flip a
comparison or a boolean, swap && and ||, move a constant by one, drop a call
statement, return early from a void function, change a text), and for each:
applies it, rebuilds incrementally, runs the CTest labels of the tests that
can see the mutated file, and restores the file.

The sample is fixed: the first run writes it to --sample (a mutant is a file,
a line number and the line before and after), and every later run replays
the same list, so two versions of the suite are measured on the same faults.
A line that moved is found again by its text; a line that is gone is
reported as not applicable.

    tools/dev/mutants.py --build build-mutants            # the whole sample
    tools/dev/mutants.py --build build-mutants --only 7   # one mutant
    tools/dev/mutants.py --list                           # show the sample
"""
import argparse
import json
import os
import random
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SOURCES = ("src", "hostproc", "include")
SUFFIXES = {".cpp", ".h", ".def"}

# Which test folders (CTest labels) can see a source folder, nearest first.
LABELS = [
    ("src/platform/", ["platform", "library"]),
    ("src/trace/", ["trace", "library"]),
    ("src/rpcrt/", ["rpcrt", "remote", "hostproc"]),
    ("src/remote/", ["remote", "hostproc", "library"]),
    ("src/instances/", ["library"]),
    ("src/driver_api/", ["library", "driver_api", "dropin"]),
    ("hostproc/", ["hostproc", "library"]),
    ("include/", ["library", "hostproc", "simcam", "dropin"]),
]

# ---- finding mutation sites -------------------------------------------------

STRING = re.compile(r'"(?:[^"\\]|\\.)*"|\'(?:[^\'\\]|\\.)*\'')
COMPARISONS = {" == ": " != ", " != ": " == ", " <= ": " > ", " >= ": " < ", " < ": " >= ", " > ": " <= "}
VOID_DEF = re.compile(r"^\S.*\bvoid\s+[\w:~]+\([^;]*\)\s*(const\s*)?(noexcept\s*)?(override\s*)?\{\s*$")
CALL_STMT = re.compile(r"^\s*[\w:.\->]+(<[^;]*>)?\([^;]*\);\s*$")
NOT_A_CALL = re.compile(r"^\s*(return|if|while|for|switch|case|throw|delete|using|typedef|static_assert|do)\b")
INTEGER = re.compile(r"(?<![\w.])(\d+)(?![\w.])")
WORD_BOOL = re.compile(r"\b(true|false)\b")


def code_mask(line):
    """The line with comments cut and literals blanked, same length."""
    masked = STRING.sub(lambda m: m.group(0)[0] + "\0" * (len(m.group(0)) - 2) + m.group(0)[-1], line)
    cut = masked.find("//")
    if cut >= 0:
        masked = masked[:cut] + " " * (len(masked) - cut)
    return masked


def sites(path, lines):
    """Every mutation this file offers: (line index, op, new line)."""
    in_block_comment = False
    for i, line in enumerate(lines):
        stripped = line.strip()
        if in_block_comment:
            in_block_comment = "*/" not in stripped
            continue
        if stripped.startswith("/*") and "*/" not in stripped:
            in_block_comment = True
            continue
        if not stripped or stripped.startswith(("//", "*", "#include", "#pragma", "#if", "#endif", "#else",
                                               "#undef", "static_assert", "namespace", "}")):
            continue
        code = code_mask(line)
        for old, new in COMPARISONS.items():
            for m in re.finditer(re.escape(old), code):
                yield i, "comparison", line[:m.start()] + new + line[m.end():]
        for m in WORD_BOOL.finditer(code):
            flipped = "false" if m.group(1) == "true" else "true"
            yield i, "boolean", line[:m.start()] + flipped + line[m.end():]
        for old, new in ((" && ", " || "), (" || ", " && ")):
            for m in re.finditer(re.escape(old), code):
                yield i, "logic", line[:m.start()] + new + line[m.end():]
        if not stripped.startswith("#"):
            for m in INTEGER.finditer(code):
                value = int(m.group(1))
                changed = str(value + 1 if value == 0 else value - 1)
                yield i, "constant", line[:m.start()] + changed + line[m.end():]
        if (CALL_STMT.match(code) and not NOT_A_CALL.match(code) and " = " not in code
                and code.count("(") == code.count(")")):
            indent = line[:len(line) - len(line.lstrip())]
            yield i, "drop call", indent + ";  // mutant: call dropped\n"
        if VOID_DEF.match(code):
            yield i, "return early", line.rstrip("\n") + " return;  // mutant\n"
        lit = STRING.search(line)
        if lit and lit.group(0).startswith('"') and len(lit.group(0)) > 3 and code[:lit.start()].count("//") == 0:
            yield i, "text", line[:lit.start() + 1] + "~" + line[lit.start() + 2:]


def make_sample(seed, count):
    candidates = []
    for top in SOURCES:
        for path in sorted((ROOT / top).rglob("*")):
            if path.suffix not in SUFFIXES or not path.is_file():
                continue
            rel = path.relative_to(ROOT).as_posix()
            if labels_for(rel) is None:
                continue
            lines = path.read_text().splitlines(keepends=True)
            for i, op, after in sites(rel, lines):
                candidates.append({"file": rel, "line": i + 1, "op": op, "before": lines[i], "after": after})
    rng = random.Random(seed)
    chosen = rng.sample(candidates, min(count, len(candidates)))
    chosen.sort(key=lambda m: (m["file"], m["line"], m["op"]))
    for n, m in enumerate(chosen, 1):
        m["id"] = n
    return {"seed": seed, "candidates": len(candidates), "mutants": chosen}


def labels_for(rel):
    for prefix, labels in LABELS:
        if rel.startswith(prefix):
            return labels
    return None

# ---- running one mutant -----------------------------------------------------

def locate(lines, mutant):
    """Index of the mutant's line now: at its number, else the nearest same text."""
    i = mutant["line"] - 1
    if 0 <= i < len(lines) and lines[i] == mutant["before"]:
        return i
    same = [j for j, text in enumerate(lines) if text == mutant["before"]]
    return min(same, key=lambda j: abs(j - i)) if same else None


def run(cmd, timeout, log):
    """Runs cmd in its own process group; returns its status, or None on time-out."""
    with open(log, "a") as out:
        out.write(f"$ {' '.join(cmd)}\n")
        out.flush()
        proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, start_new_session=True, cwd=ROOT)
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            return None


def try_mutant(mutant, args, log):
    path = ROOT / mutant["file"]
    original = path.read_text()
    lines = original.splitlines(keepends=True)
    i = locate(lines, mutant)
    if i is None:
        return "not applicable", 0.0
    lines[i] = mutant["after"]
    started = time.monotonic()
    try:
        path.write_text("".join(lines))
        build = run(["cmake", "--build", args.build, "-j", str(args.jobs)], args.build_timeout, log)
        if build != 0:
            return ("build timed out" if build is None else "does not build"), time.monotonic() - started
        labels = "^(" + "|".join(labels_for(mutant["file"])) + ")$"
        status = run(["ctest", "--test-dir", args.build, "-L", labels, "-j", str(args.jobs), "--timeout",
                      str(args.test_timeout), "--stop-on-failure", "-Q", "--output-on-failure"], args.timeout, log)
        outcome = "timed out" if status is None else ("killed" if status != 0 else "survived")
        return outcome, time.monotonic() - started
    finally:
        path.write_text(original)


def diff(mutant):
    return f"-{mutant['before'].rstrip()}\n+{mutant['after'].rstrip()}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build-mutants", help="a configured build tree of this checkout")
    parser.add_argument("--sample", default=str(ROOT / "tools/dev/mutants-sample.json"))
    parser.add_argument("--seed", type=int, default=20261206)
    parser.add_argument("--count", type=int, default=64)
    parser.add_argument("--only", type=int, nargs="*", help="run only these mutant ids")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--timeout", type=int, default=420, help="seconds for one mutant's tests")
    parser.add_argument("--test-timeout", type=int, default=120, help="seconds for one test")
    parser.add_argument("--build-timeout", type=int, default=1200)
    parser.add_argument("--list", action="store_true", help="print the sample and stop")
    parser.add_argument("--report", help="also write the results as JSON here")
    args = parser.parse_args()

    sample_path = Path(args.sample)
    if sample_path.exists():
        sample = json.loads(sample_path.read_text())
    else:
        sample = make_sample(args.seed, args.count)
        sample_path.write_text(json.dumps(sample, indent=1) + "\n")
        print(f"sample of {len(sample['mutants'])} mutants (seed {sample['seed']}, "
              f"{sample['candidates']} sites) written to {sample_path}")
    mutants = [m for m in sample["mutants"] if not args.only or m["id"] in args.only]
    if args.list:
        for m in mutants:
            print(f"#{m['id']:3} {m['file']}:{m['line']} {m['op']}\n{diff(m)}")
        return 0

    os.makedirs(args.build, exist_ok=True)
    log = Path(args.build) / "mutants.log"
    # Never leave a mutant in the tree: an interrupt restores through finally.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    results = []
    for m in mutants:
        outcome, seconds = try_mutant(m, args, log)
        results.append({**m, "outcome": outcome, "seconds": round(seconds, 1)})
        print(f"#{m['id']:3} {outcome:15} {seconds:6.0f} s  {m['file']}:{m['line']} {m['op']}", flush=True)
    # Leave the tree built as it stands.
    run(["cmake", "--build", args.build, "-j", str(args.jobs)], args.build_timeout, log)

    counted = [r for r in results if r["outcome"] in ("killed", "survived", "timed out")]
    killed = sum(r["outcome"] in ("killed", "timed out") for r in counted)
    by = {o: sum(r["outcome"] == o for r in results) for o in
          ("killed", "survived", "timed out", "does not build", "build timed out", "not applicable")}
    print("\n" + ", ".join(f"{n} {o}" for o, n in by.items() if n))
    if counted:
        print(f"kill rate: {killed}/{len(counted)} = {100.0 * killed / len(counted):.1f} % "
              f"(timed out counts as killed; mutants that do not build are left out)")
    for r in results:
        if r["outcome"] == "survived":
            print(f"\nsurvived #{r['id']} {r['file']}:{r['line']} ({r['op']})\n{diff(r)}")
    if args.report:
        Path(args.report).write_text(json.dumps(results, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
