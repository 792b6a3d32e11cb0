"""libKestrelC.so through ctypes: every export's C function, built from the
table the library gives of itself (kestrel_describe_export)."""

import ctypes
import os

RETURNED, THREW, FAILED = 0, 1, 2


class StringArray(ctypes.Structure):
    """kestrel_string_array."""
    _fields_ = [("count", ctypes.c_int), ("capacity", ctypes.c_int), ("items", ctypes.POINTER(ctypes.c_char_p))]


# The letters of kestrel_describe_export as ctypes types.
_PARAMS = {
    "i": ctypes.c_int, "h": ctypes.c_short, "q": ctypes.c_longlong, "d": ctypes.c_double,
    "s": ctypes.c_char_p, "y": ctypes.c_char_p, "x": ctypes.c_void_p,
    "c": ctypes.POINTER(ctypes.c_char), "C": ctypes.POINTER(ctypes.c_char_p),
    "I": ctypes.POINTER(ctypes.c_int), "K": ctypes.POINTER(ctypes.c_int),
    "D": ctypes.POINTER(ctypes.c_double), "P": ctypes.POINTER(ctypes.c_void_p),
    "Y": ctypes.POINTER(ctypes.c_void_p), "B": ctypes.POINTER(ctypes.c_void_p),
    "A": ctypes.POINTER(StringArray),
}
_RESULTS = {"i": ctypes.c_int, "b": ctypes.c_int, "h": ctypes.c_short}


def library_path(path=None):
    """The libKestrelC.so to load: the argument, $KESTREL_C_LIBRARY, the one
    `make install` recorded, else the loader's search."""
    if path:
        return path
    if os.environ.get("KESTREL_C_LIBRARY"):
        return os.environ["KESTREL_C_LIBRARY"]
    try:
        from . import _installed
        if os.path.exists(_installed.LIBRARY):
            return _installed.LIBRARY
    except ImportError:
        pass
    return "libKestrelC.so.1"


class CApi:
    """The loaded library: call(name, *args) runs export `name`."""

    def __init__(self, path=None):
        self.path = library_path(path)
        self.dll = ctypes.CDLL(self.path)
        d = self.dll
        d.kestrel_last_code.restype = ctypes.c_uint32
        d.kestrel_last_error.restype = ctypes.c_char_p
        d.kestrel_describe_export.restype = ctypes.c_char_p
        d.kestrel_describe_export.argtypes = [ctypes.c_int]
        d.kestrel_get_image.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(ctypes.c_void_p),
                                        ctypes.POINTER(ctypes.c_size_t)]
        d.kestrel_bstr_from_utf8.restype = ctypes.c_void_p
        d.kestrel_bstr_from_utf8.argtypes = [ctypes.c_char_p]
        d.kestrel_bstr_to_utf8.restype = ctypes.c_void_p
        d.kestrel_bstr_to_utf8.argtypes = [ctypes.c_void_p]
        d.kestrel_bstr_free.argtypes = [ctypes.c_void_p]
        d.kestrel_free.argtypes = [ctypes.c_void_p]
        d.kestrel_string_array_add.argtypes = [ctypes.POINTER(StringArray), ctypes.c_char_p]
        d.kestrel_string_array_free.argtypes = [ctypes.POINTER(StringArray)]
        self.exports = {}
        index = 0
        while True:
            entry = d.kestrel_describe_export(index)
            if entry is None:
                break
            name, result, params = entry.decode().split(":")
            function = getattr(d, "kestrel_" + name)
            function.restype = ctypes.c_int
            function.argtypes = ([ctypes.POINTER(_RESULTS[result])] if result != "v" else []) + \
                [_PARAMS[p] for p in params]
            self.exports[name] = (function, result, params)
            index += 1

    def status(self, status, fail):
        """Raises fail(code, words) for a thrown code, fail(None, words) for
        another failure."""
        if status == THREW:
            raise fail(self.dll.kestrel_last_code(), self.last_error())
        if status != RETURNED:
            raise fail(None, self.last_error())

    def call(self, fail, name, *args):
        function, result, _ = self.exports[name]
        out = _RESULTS[result]() if result != "v" else None
        self.status(function(*((ctypes.byref(out),) if out is not None else ()), *args), fail)
        if out is None:
            return None
        return bool(out.value) if result == "b" else out.value

    def last_error(self):
        return self.dll.kestrel_last_error().decode(errors="replace")

    def bstr_text(self, bstr, free=True):
        """The text of a BSTR (None for null), released unless free is False."""
        if not bstr:
            return None
        text = self.dll.kestrel_bstr_to_utf8(bstr)
        try:
            return ctypes.string_at(text).decode() if text else ""
        finally:
            self.dll.kestrel_free(text)
            if free:
                self.dll.kestrel_bstr_free(bstr)

    def bstr(self, text):
        """A new BSTR (a c_void_p) holding text."""
        return ctypes.c_void_p(self.dll.kestrel_bstr_from_utf8(text.encode()) if text is not None else None)

    def string_array(self, items=()):
        array = StringArray(0, 0, None)
        for item in items:
            if self.dll.kestrel_string_array_add(ctypes.byref(array), item.encode()) < 0:
                raise MemoryError
        return array

    def take_string_array(self, array):
        items = [array.items[i].decode(errors="replace") for i in range(array.count)]
        self.dll.kestrel_string_array_free(ctypes.byref(array))
        return items

    def take_block(self, pointer, length):
        """The bytes of a block the library handed over, which is released."""
        if not pointer.value:
            return b""
        try:
            return ctypes.string_at(pointer.value, max(length, 0))
        finally:
            self.exports["DeleteBuffer"][0](pointer)
