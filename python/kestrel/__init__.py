"""Kestrel from Python: the crash-proof camera driver API.

    import kestrel
    lib = kestrel.Library()                 # libKestrelC.so ($KESTREL_C_LIBRARY)
    with lib.add("cam-1", "/usr/local/lib/kestrel/drivers/libsimcam.so", "hostA",
                 password="simcam") as cam:
        cam.open(camera=1)
        jpeg = cam.snapshot(camera=1)

A driver that crashes takes only its proxy server (HostProc) down: the call
raises ProxyServerLost, calls on the other instances of that proxy server
raise UnknownInstance, and Library.add brings an instance back. Every thrown
code is a KestrelError with .code (exactly as thrown; 0 is "unknown
instance") and .words. Library.call(name, *args) reaches any export of the
driver API with ctypes arguments.
"""

import ctypes

from ._capi import CApi

__all__ = ["Library", "Instance", "EventParser", "KestrelError", "ProxyServerLost", "UnknownInstance",
           "AddFailed", "CLASS_MASK", "PROXY_SERVER_LOST"]

CLASS_MASK = 0xFF000000
PROXY_SERVER_LOST = 0x01000000


class KestrelError(Exception):
    """A call that did not return: .code is the thrown code (None when no code
    was thrown), .words says what happened."""

    def __init__(self, code, words):
        super().__init__(words)
        self.code = code
        self.words = words


class ProxyServerLost(KestrelError):
    """The instance's proxy server died or was killed by the deadline; it was
    removed with all its instances. Add them again."""


class UnknownInstance(KestrelError):
    """The instance was never added or is already removed. Add it again."""


class AddFailed(KestrelError):
    """AddDeviceInstance returned 0; .words says why (HostProc missing, the
    driver could not be opened, the proxy server never answered, ...)."""


def _error(code, words):
    if code is None:
        return KestrelError(None, words)
    if code & CLASS_MASK == PROXY_SERVER_LOST:
        return ProxyServerLost(code, words)
    if code & CLASS_MASK == 0:
        return UnknownInstance(code, words)
    return KestrelError(code, words)


class Library:
    """libKestrelC.so in this process (one registry of instances per process)."""

    def __init__(self, path=None):
        self._api = CApi(path)

    @property
    def path(self):
        """The file that was loaded."""
        return self._api.path

    def call(self, name, *args):
        """Export `name` with ctypes arguments (the result pointer is added);
        returns its result, raises KestrelError for a thrown code."""
        return self._api.call(_error, name, *args)

    def add(self, instance_id, driver, proxy_server, password=""):
        """AddDeviceInstance: an Instance (a context manager that removes it);
        AddFailed says why when it fails. driver is the driver file's path,
        proxy_server names the HostProc that hosts the instance."""
        if not self.call("AddDeviceInstance", instance_id.encode(), driver.encode(), proxy_server.encode()):
            raise AddFailed(None, self._api.last_error())
        return Instance(self, instance_id, password, driver, proxy_server)

    def set_feature_set(self, text):
        """SetFeatureSet: kept once, handed to every driver loaded later."""
        self.call("SetFeatureSet", text.encode())

    @property
    def runtime_version(self):
        """GetRuntimeVersion (1000)."""
        return self.call("GetRuntimeVersion")

    @property
    def last_error(self):
        """The last failure of this thread in words."""
        return self._api.last_error()


class Instance:
    """One added device instance. Methods are the driver API in Python style;
    camera numbers start at 1."""

    def __init__(self, library, instance_id, password, driver, proxy_server):
        self.library, self.id, self.password = library, instance_id, password
        self.driver, self.proxy_server = driver, proxy_server
        self._id, self._pw = instance_id.encode(), password.encode()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.remove()

    def __repr__(self):
        return "<kestrel.Instance %r on %r>" % (self.id, self.proxy_server)

    def _call(self, name, *args):
        return self.library.call(name, self._id, *args)

    def remove(self):
        """RemoveDeviceInstance (one announcement; the last unloads the driver)."""
        self.library.call("RemoveDeviceInstance", self._id)

    def readd(self):
        """Adds this instance again, after a lost proxy server."""
        self.library.add(self.id, self.driver, self.proxy_server, self.password)

    # -- device ---------------------------------------------------------
    def device_info(self):
        """GetInfo: (result, MAC, device type)."""
        mac, kind = ctypes.create_string_buffer(256), ctypes.create_string_buffer(256)
        result = self._call("GetInfo", self._pw, mac, kind)
        return result, mac.value.decode(errors="replace"), kind.value.decode(errors="replace")

    def device_type(self):
        """QueryDeviceTypeStrDyn."""
        kind = ctypes.create_string_buffer(256)
        self._call("QueryDeviceTypeStrDyn", self._pw, kind)
        return kind.value.decode(errors="replace")

    def camera_count(self):
        """QueryNumberOfCamDyn."""
        return self._call("QueryNumberOfCamDyn", self._pw)

    def supports(self, function):
        """FunctionSupported."""
        return self._call("FunctionSupported", self._pw, function.encode())

    def command(self, text, media_type=0, device=0, stream=0):
        """ExecuteCustomCommand: the driver's result."""
        return self._call("ExecuteCustomCommand", self._pw, media_type, device, stream, text.encode())

    # -- images and streams ----------------------------------------------
    def open(self, camera=1, half_size=False):
        """OpenConnection: the driver's result (0: open)."""
        return self._call("OpenConnection", self._pw, int(half_size), camera)

    def close(self, camera=1):
        """CloseConnection2."""
        self._call("CloseConnection2", camera)

    def snapshot(self, camera=1):
        """GetImage2: one JPEG picture as bytes (open() the camera first)."""
        api = self.library._api
        block, length = ctypes.c_void_p(), ctypes.c_size_t()
        api.status(api.dll.kestrel_get_image(self._id, camera, ctypes.byref(block), ctypes.byref(length)), _error)
        return api.take_block(block, length.value)

    def video(self, camera=1, count=None, half_size=False):
        """OpenStreamConnection, then GetVideoDataBlock: yields up to count
        blocks as bytes (without end when count is None); empty answers are
        skipped."""
        self._call("OpenStreamConnection", self._pw, int(half_size), camera)
        yield from self._blocks(lambda block: self._call("GetVideoDataBlock", camera, block), count)

    def media(self, media_type, device=0, stream=0, count=None, event_name=""):
        """OpenMediaStream, then GetMediaDataBlock: yields up to count blocks;
        CloseMediaStream at the end."""
        self._call("OpenMediaStream", self._pw, media_type, device, stream, event_name.encode())
        try:
            yield from self._blocks(
                lambda block: self._call("GetMediaDataBlock", media_type, device, stream, block), count)
        finally:
            self._call("CloseMediaStream", media_type, device, stream)

    def _blocks(self, get, count):
        got = 0
        while count is None or got < count:
            block = ctypes.c_void_p()
            data = self.library._api.take_block(block, get(ctypes.byref(block)))
            if data:
                got += 1
                yield data

    # -- pan, tilt and zoom -------------------------------------------------
    def presets(self, camera=1, most=64):
        """QueryPresetPositions: the preset names."""
        buffers = [ctypes.create_string_buffer(256) for _ in range(most)]
        pointers = (ctypes.c_char_p * most)(*[ctypes.cast(b, ctypes.c_char_p) for b in buffers])
        count = self._call("QueryPresetPositions", camera, most, pointers)
        return [buffers[i].value.decode(errors="replace") for i in range(max(0, min(count, most)))]

    def move_to_preset(self, name, camera=1):
        """MoveToPresetPosition: the driver's result."""
        return self._call("MoveToPresetPosition", camera, name.encode())

    def position(self, camera=1, driver=0):
        """GetPTZPos: (result, pan, tilt, zoom) in the driver's int units."""
        pan, tilt, zoom = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        result = self._call("GetPTZPos", camera, driver, ctypes.byref(pan), ctypes.byref(tilt), ctypes.byref(zoom))
        return result, pan.value, tilt.value, zoom.value

    def move(self, direction, camera=1):
        """MoveCamera2: one step in a direction of the driver's."""
        self._call("MoveCamera2", camera, direction)

    def ptz(self, command, speed=50, camera=1, driver=0, user=""):
        """PTZCommand: a continuous move until the driver's stop command."""
        self._call("PTZCommand", user.encode(), self._pw, camera, driver, command, speed)

    def move_absolute(self, pan, tilt, zoom, focus=0.0, camera=1, driver=0, user=""):
        """PTZSetAbsoluteDoubles."""
        self._call("PTZSetAbsoluteDoubles", user.encode(), self._pw, camera, driver,
                   float(pan), float(tilt), float(zoom), float(focus))

    # -- XML configuration ----------------------------------------------------
    def get_xml(self, section="", user=""):
        """GetXml: (result, XML text or None)."""
        bstr = ctypes.c_void_p()
        result = self._call("GetXml", user.encode(), self._pw, section.encode(), ctypes.byref(bstr))
        return result, self.library._api.bstr_text(bstr)

    def set_xml(self, xml, user=""):
        """SetXmlParams: (accepted, the driver's answer)."""
        return self._set("SetXmlParams", xml, user)

    def set_xml_events(self, xml, user=""):
        """SetXmlEvents: (accepted, the driver's answer)."""
        return self._set("SetXmlEvents", xml, user)

    def _set(self, name, xml, user):
        bstr = self.library._api.bstr(xml)
        try:
            accepted = self._call(name, user.encode(), self._pw, ctypes.byref(bstr))
        finally:
            answer = self.library._api.bstr_text(bstr)
        return accepted, answer

    # -- events ---------------------------------------------------------------
    def event_sources(self, used=()):
        """QueryEventsDyn: (result, the sources not in used)."""
        api = self.library._api
        used_array, open_array = api.string_array(used), api.string_array()
        try:
            result = self._call("QueryEventsDyn", self._pw, ctypes.byref(used_array), ctypes.byref(open_array))
        finally:
            api.take_string_array(used_array)
            sources = api.take_string_array(open_array)
        return result, sources

    def select_events(self, sources):
        """SetEventsDyn: the driver's result."""
        api = self.library._api
        array = api.string_array(sources)
        try:
            return self._call("SetEventsDyn", self._pw, ctypes.byref(array))
        finally:
            api.take_string_array(array)

    def event_parser(self, event_type, user=""):
        """OpenXmlEventParserDyn: an EventParser (a context manager)."""
        return EventParser(self, self._call("OpenXmlEventParserDyn", user.encode(), self._pw, event_type.encode()),
                           user)


class EventParser:
    """An XML event parser of an instance: parse(bytes) gives (result, XML)."""

    def __init__(self, instance, handle, user):
        self.instance, self.handle, self._user = instance, handle, user.encode()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def parse(self, data):
        """ParseXmlEventDataDyn."""
        bstr = ctypes.c_void_p()
        result = self.instance._call("ParseXmlEventDataDyn", self._user, self.instance._pw, self.handle,
                                     bytes(data), len(data), ctypes.byref(bstr))
        return result, self.instance.library._api.bstr_text(bstr)

    def close(self):
        """CloseXmlEventParserDyn."""
        self.instance._call("CloseXmlEventParserDyn", self._user, self.instance._pw, self.handle)
