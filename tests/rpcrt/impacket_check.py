#!/usr/bin/python3
"""Our server as seen by an independent DCE/RPC implementation (impacket):
bind, requests it marshals (fragmented too), replies it decodes, a fault.

Usage: impacket_check.py TESTPEER. Exits 77 (skipped) without impacket.
"""
import os
import socket
import subprocess
import sys
import tempfile
import uuid

try:
    from impacket.dcerpc.v5 import rpcrt, transport
    from impacket.dcerpc.v5.dtypes import LONG, STR
    from impacket.dcerpc.v5.ndr import NDRCALL, NDRPOINTER, NDRSTRUCT, NDRUniConformantArray
    from impacket.uuid import uuidtup_to_bin
except ImportError:
    sys.exit(77)

IFACE = uuidtup_to_bin(("6ceaf5e7-3a56-48e5-af7e-5b4149df30ec", "1.0"))


class UnixTransport(transport.TCPTransport):
    def __init__(self, path):
        super().__init__("localhost", 0)
        self.path = path

    def connect(self):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(self.path)
        self._TCPTransport__socket = s
        return 1


class CONTEXT(NDRSTRUCT):
    structure = (("Attributes", "<L=0"), ("Uuid", "16s=b''"))


class BYTES(NDRUniConformantArray):
    item = "c"


class PBYTES(NDRPOINTER):
    referent = (("Data", BYTES),)


class LoadDriver(NDRCALL):
    opnum = 0
    structure = (("szDriverName", STR),)


class LoadDriverResponse(NDRCALL):
    structure = (("Context", CONTEXT),)


class GetVideoDataBlock(NDRCALL):
    opnum = 27
    structure = (("hCtx", CONTEXT), ("szServer", STR), ("nCamNo", LONG))


class GetVideoDataBlockResponse(NDRCALL):
    structure = (("nSize", LONG), ("Block", PBYTES), ("Result", LONG))


class PutMediaDataBlock(NDRCALL):
    opnum = 46
    structure = (("hCtx", CONTEXT), ("szServer", STR), ("nMediaType", LONG),
                 ("nDeviceIndex", LONG), ("nStreamIndex", LONG), ("nLength", LONG),
                 ("Data", BYTES))


class PutMediaDataBlockResponse(NDRCALL):
    structure = (("pResultCode", LONG), ("Result", LONG))


def pattern(i):
    return (i * 7 + (i >> 12)) & 0xFF


def main():
    peer = sys.argv[1]
    with tempfile.TemporaryDirectory() as d:
        os.chmod(d, 0o700)
        endpoint = str(uuid.uuid4()).upper()
        env = dict(os.environ, KESTREL_RPC_DIR=d)
        server = subprocess.Popen([peer, "server", endpoint], stdout=subprocess.PIPE, env=env)
        try:
            assert server.stdout.read(1) == b"R"
            dce = UnixTransport(os.path.join(d, endpoint)).get_dce_rpc()
            dce.connect()
            dce.bind(IFACE)

            call = LoadDriver()
            call["szDriverName"] = "echo\x00"
            ctx = dce.request(call, checkError=False)["Context"]
            assert ctx["Uuid"] != b"\x00" * 16, "a live context"

            call = GetVideoDataBlock()
            call["hCtx"] = ctx
            call["szServer"] = "size\x00"
            call["nCamNo"] = 200000  # four response fragments
            resp = dce.request(call, checkError=False)
            data = b"".join(resp["Block"])
            assert resp["nSize"] == 200000 and resp["Result"] == 200000
            assert all(data[i] == pattern(i) for i in range(0, 200000, 997)), "block content"

            dce.set_max_fragment_size(1000)  # impacket fragments the request
            call = PutMediaDataBlock()
            call["hCtx"] = ctx
            call["szServer"] = "s\x00"
            call["nMediaType"], call["nDeviceIndex"], call["nStreamIndex"] = 1, 2, 3
            call["nLength"] = 5000
            call["Data"] = [bytes([i & 0xFF]) for i in range(5000)]
            resp = dce.request(call, checkError=False)
            h = 2166136261  # the test host answers with a hash of the bytes that arrived
            for i in range(5000):
                h = ((h ^ (i & 0xFF)) * 16777619) & 0xFFFFFFFF
            assert resp["pResultCode"] == 5000 and resp["Result"] & 0xFFFFFFFF == h, "request bytes"
            dce.set_max_fragment_size(0)

            try:
                bad = LoadDriver()
                bad.opnum = 90
                bad["szDriverName"] = "x\x00"
                dce.request(bad, checkError=False)
                raise AssertionError("opnum 90 must fault")
            except rpcrt.DCERPCException as e:
                assert "nca_s_op_rng_error" in str(e), str(e)
            print("impacket: bind, requests, fragments and faults understood")
            return 0
        finally:
            server.kill()
            server.wait()


if __name__ == "__main__":
    sys.exit(main())
