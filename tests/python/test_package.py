"""The Python package over the C interface's test variant, with real
HostProcs running the test driver: values through the Python methods, thrown
codes as exceptions, a failed add with its reason. How each failure comes
about (a hung call, a mute HostProc, ...) is the C interface's and the
library's to test; here only how Python raises it."""

import os

import pytest

import kestrel


def test_methods_hand_values_through(lib, driver):
    with lib.add("py#block=70000#count=3", driver, "py-values") as cam:
        assert len(cam.snapshot()) == 70000  # the length HostProc sent
        assert len(list(cam.video(count=2))) == 2
        result, xml = cam.get_xml("td:state")
        assert result == 0 and "pid=" in xml
        accepted, answer = cam.set_xml("<Video>caf\u00e9</Video>")
        assert accepted is True and answer
        assert cam.event_sources(["Input1"])[0] == 3 and len(cam.event_sources()[1]) == 3
        assert len(cam.presets(most=8)) == 3


def test_thrown_codes_become_exceptions(lib, driver):
    with pytest.raises(kestrel.UnknownInstance) as unknown:
        lib.call("QueryNumberOfCamDyn", b"nobody", b"")
    assert unknown.value.code == 0 and "unknown instance" in unknown.value.words

    first = lib.add("py-1", driver, "py-crash")
    first.command("td:next crash")
    with pytest.raises(kestrel.ProxyServerLost) as lost:
        first.camera_count()
    assert lost.value.code == 0x010006BE and "RPC_S_CALL_FAILED (1726)" in lost.value.words
    first.readd()
    assert first.camera_count() >= 0
    first.remove()


def test_failed_add_says_why(lib):
    with pytest.raises(kestrel.AddFailed) as failed:
        lib.add("py-fail", os.path.join(os.environ["KESTREL_TEST_DRIVERS_DIR"], "libno_such_driver.so"), "py-fail")
    assert failed.value.code is None and "cannot open shared object file" in failed.value.words
