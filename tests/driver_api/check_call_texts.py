#!/usr/bin/env python3
"""Checks every forwarding export of src/driver_api against its remote call.

For each export defined in src/driver_api/*Exports.cpp the script takes the
name and the call text given to KESTREL_FRAME / KESTREL_FRAME_AT_LEVEL, the
instance id passed to ForwardCall and the rpc_ call the export makes, and
checks that:
  - the exports defined are exactly the 86 of include/kestrel/driver_exports.h,
    each with the parameter list (names included) given there;
  - the frame names the export, at the expected entry level, with the
    export's instance id;
  - the call text is one string literal and equals the expected text: the
    fixed text in FIXED_TEXTS, or else the rule applied to the procedure's
    parameters in PROCEDURES (with the ARG_TEXTS renderings);
  - the export calls rpc_<name> exactly once, with the arguments of its call
    text in the same order (casts, & and * removed; hCtx stands for the
    context, kStringArrayBound for 256, LOCAL_NAMES for renamed locals).

The rule: "rVal = " unless the procedure returns nothing, "rpc_" and the
name, "(pCTX->m_hCtx, ", then the arguments by name in the procedure's order,
string arguments prefixed with "(RpcCChar*)", separated by ", ", then ")".

Usage: check_call_texts.py [--root DIR] [--idl FILE] [-v]
  --root DIR  the source tree (default: two levels above this script)
  --idl FILE  also compare PROCEDURES with the procedure declarations in FILE
              ("result rpc_Name(hCtx, ...);" lines, IDL attributes allowed,
              or KESTREL_PROC rows); src/remote/ProxyInterface.def is
              always compared when it exists
  -v          list every export with its text
Exit status 0 when everything agrees, 1 otherwise.
"""

import argparse
import os
import re
import sys

# opnum, result, name, parameters after the context in the procedure's order;
# "$" marks a string parameter.
PROCEDURES = """
 2 long  BeginDefineEvent szHostIP$ szUsername$ szPassword$ bEraseAll
 3 long  ChangePassword szServer$ szUsername$ szPassword$ szNewPassword$
 5 void  CloseConnection2 szServer$ nCamNo
 6 void  ConfigDevice2 szServer$ username$ password$ nCamNo Halfsize asize
 7 long  EndDefineEvent szHostIP$ szUsername$ szPassword$
 8 long  GetImage2 szServer$ nCamNo nSize pJpgBytes
 9 long  GetInfo strIP$ strPass$ xpcMAC xpcDevType
10 void  MoveCamera2 szServer$ nCamNo nDir
11 long  OpenConnection szServer$ szPassword$ bShowHalfsize nCamNo
12 long  OpenStreamConnection szServer$ szPassword$ bShowHalfsize nCamNo
13 void  PanTiltCamera2 szServer$ nCamNo nDriver nPan nTilt
14 void  SetPanTiltDriver szServer$ szUsername$ szPassword$ nLength nDriver nComPort nAdrId
15 void  ZoomCamera2 szServer$ nCamNo nDriver nZoom
16 void  PTZCamera szServer$ nCamNo nDriver nPan nTilt nZoom
17 long  QueryPTZMoveXY szServer$ szUsername$ szPassword$ nCamNo nDriver
18 void  PTZMoveXY szServer$ szUsername$ szPassword$ nCamNo nDriver nSpeedX nSpeedY
19 long  QueryPTZMoveXYZ szServer$ szUsername$ szPassword$ nCamNo nDriver
20 void  PTZMoveXYZ szServer$ szUsername$ szPassword$ nCamNo nDriver nSpeedX nSpeedY nSpeedZ
21 long  GetPTZPos szServer$ nCamNo nDriver pPan pTilt pZoom
22 long  QueryPresetPositions szServer$ nCamNo nPresetMax nMaxStrLen locPresetnames
23 long  MoveToPresetPosition szServer$ nCamNo szPresetName$
24 void  SetPollingRate szServer$ nCamNo iRate
25 void  TriggerOutput szServer$ szPass$ iOutput uiDuration
26 long  SetOutput szServer$ szPass$ iOutput bActive
27 long  GetVideoDataBlock szServer$ nCamNo nSize ppVideoDataBytes
28 long  QueryDeviceControlledFramerates szServer$ szPassword$ nCamNo piNumFPSValues ppdFPSValuesArray ppdFPSInternalValsArray
29 long  GetDeviceControlledFramerate szServer$ szPassword$ nCamNo pdFPSValue pdFPSInternalVal
30 long  SetDeviceControlledFramerate szServer$ szPassword$ nCamNo dFPSInternalVal
31 long  QueryDeviceControlsFramerate szServer$ szPassword$ nCamNo pbDoesControlFPS
32 void  PTZAreaZoom szServer$ szUsername$ szPassword$ nCamNo nDriver nX nY nWidth nHeight nSpeed
33 void  PTZCommand szServer$ szUsername$ szPassword$ nCamNo nDriver nCommand nSpeed
34 long  PTZCommandSupported szServer$ szUsername$ szPassword$ nCamNo nDriver nCommand
35 long  PTZGetAbsolute szServer$ szUsername$ szPassword$ nCamNo nDriver pPan pTilt pZoom pFocus
36 void  PTZSetAbsolute szServer$ szUsername$ szPassword$ nCamNo nDriver nPan nTilt nZoom nSpeed nFocus
37 long  PTZGetAbsoluteDoubles szServer$ szUsername$ szPassword$ nCamNo nDriver pPan pTilt pZoom pFocus
38 void  PTZSetAbsoluteDoubles szServer$ szUsername$ szPassword$ nCamNo nDriver dPan dTilt dZoom dFocus
39 void  PTZSetAbsoluteDoublesSpeed szServer$ szUsername$ szPassword$ nCamNo nDriver dPan dTilt dZoom dFocus dSpeed
40 long  QueryNumberOfAudioInputs szServer$ szPassword$
41 long  QueryNumberOfAudioOutputs szServer$ szPassword$
44 long  OpenMediaStream szServer$ szPassword$ nMediaType nDeviceIndex nStreamIndex szEventName$
45 long  GetMediaDataBlock szServer$ nMediaType nDeviceIndex nStreamIndex nSize ppMediaDataBytes
46 long  PutMediaDataBlock szServer$ nMediaType nDeviceIndex nStreamIndex nLength pMediaDataBytes pResultCode
47 void  CloseMediaStream szServer$ nMediaType nDeviceIndex nStreamIndex
48 long  SetMediaStreamPollingRate szServer$ nMediaType nDeviceIndex nStreamIndex dNewPollingRate
50 long  GetXml szServer$ szUser$ szPassword$ szFilter$ wstrXML
51 long  SetXmlParams szServer$ szUser$ szPassword$ bsXml wstrXML
53 long  SetXmlEvents szServer$ szUser$ szPassword$ bsXml wstrXML
54 long  Play szServer$ eMediaType nDeviceIndex nStreamIndex time_stamp dSpeed
55 long  Pause szServer$ eMediaType nDeviceIndex nStreamIndex
56 long  ExecuteCustomCommand szServer$ szPassword$ nMediaType nDeviceIndex nStreamIndex szCommand$
57 long  GetTimeLine szServer$ eMediaType nDeviceIndex nStreamIndex iStartTime iEndTime wstrRecordingTimeInfo
58 long  Retrieve szServer$ eMediaType nDeviceIndex nStreamIndex iStartTime iEndTime
59 long  RetrieveStatus szServer$ eMediaType nDeviceIndex nStreamIndex
60 long  QueryIsIpix szServer$ szPassword$
61 long  QueryIsCeilingMode szServer$ szPassword$
62 void  RefreshConfiguration szServer$ szUsername$ szPassword$ nCamNo
64 long  DefineEventDyn szServer$ szPassword$ szInput$ szDestIP$ szDestPort$ szMessage$ nUseBuffer
65 long  QueryEventsDyn szServer$ szPass$ nMaxStrLen nofUsedEvents aszUsedEvents nofOpenEvents aszOpenEvents
66 long  SetEventsDyn szServer$ szPassword$ nofEvents aszEvents
67 long  QueryIsAbsoluteDyn szServer$ szPassword$ nDeviceType
68 long  QueryIsPTZDeviceDyn szServer$ szPassword$
69 long  QueryPtzCenterClickDyn szServer$ szPassword$
70 long  QueryPtzMoveAdvancedDyn szServer$ szPassword$
71 long  QueryPtzPortsDyn szServer$ szPassword$
72 long  QueryPtzSupportedDyn szServer$ szPassword$ nMaxStrLen size ppszSupported
73 long  QueryPtzZoomRelDyn szServer$ szPassword$
74 long  QueryPTZPosDyn szServer$ szPassword$
75 long  QueryChangePortsDyn szServer$ szPassword$
76 long  QueryDeviceIdDyn szServer$ szPassword$
77 void  QueryDeviceTypeStrDyn szServer$ szPassword$ pcDevType
78 long  QueryNumberOfCamDyn szServer$ szPassword$
79 long  QueryAudioInputsDyn szServer$ szPassword$
80 long  QueryAudioOutputsDyn szServer$ szPassword$
81 long  QueryNoInputDyn szServer$ szPassword$
82 long  QueryNoOutputDyn szServer$ szPassword$
83 long  QuerySendFtpDyn szServer$ szPassword$
84 short QueryEventTypeDyn szServer$ szPassword$
85 short OpenXmlEventParserDyn szServer$ szUser$ szPassword$ szEventType$
86 long  ParseXmlEventDataDyn szServer$ szUser$ szPassword$ nParserHandle nLength inputData wstrXml
87 void  CloseXmlEventParserDyn szServer$ szUser$ szPassword$ nParserHandle
88 long  GenerateCredentialsDyn szServer$ szUser$ szPassword$ wstrCredentials
89 long  QueryIsBrowsableDyn szServer$ szPassword$
91 long  FunctionSupported szServer$ szPassword$ szFunctionName$
92 long  GetStreamInfo szServer$ szPassword$ nDeviceIndex wstrXML
93 long  OpenMediaStreamWithSettings szServer$ szPassword$ nMediaType nDeviceIndex nStreamIndex szEventName$ settingsXml
94 long  IsDebugBuildDyn szServer$ szPassword$
"""

# The call texts that are fixed as they stand rather than made by the rule.
FIXED_TEXTS = {
    "GetInfo": "res = rpc_GetInfo(RPCCONTEXT, (RpcCChar*)strIP, (RpcCChar*)strPass, (RpcChar**)&xpcMAC, (RpcChar**)&xpcDevType)",
    "QueryPresetPositions": "rVal = rpc_QueryPresetPositions(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nPresetMax, 256, &locPresetnames)",
    "SetPanTiltDriver": "rpc_SetPanTiltDriver(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nLength, nDriver, nComPort, nAdrId)",
    "GetImage2": "rpc_GetImage2(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, &nSize, pJpgBytes)",
    "GetVideoDataBlock": "rVal = rpc_GetVideoDataBlock(RPCCONTEXT, (RpcCChar*)szServer, nCamNo, &nSize, ppVideoDataBytes)",
    "GetMediaDataBlock": "rVal = rpc_GetMediaDataBlock(RPCCONTEXT, (RpcCChar*)szServer, nMediaType, nDeviceIndex, nStreamIndex, &nSize, ppMediaDataBytes)",
    "PutMediaDataBlock": "rVal = rpc_PutMediaDataBlock(RPCCONTEXT, (RpcCChar*)szServer, nMediaType, nDeviceIndex, nStreamIndex, nLength, pMediaDataBytes, pResultCode)",
    "OpenMediaStreamWithSettings": "rVal = rpc_OpenMediaStreamWithSettings(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nMediaType, nDeviceIndex, nStreamIndex, (RpcCChar*)szEventName, *settingsXml)",
    "GetTimeLine": "rVal = rpc_GetTimeLine(pCTX->m_hCtx, (RpcCChar*)szServer, eMediaType, nDeviceIndex, nStreamIndex, iStartTime, iEndTime, &wstrRecordingTimeInfo)",
    "SetXmlParams": "rVal = rpc_SetXmlParams(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, bsXml, &wstrXML)",
    "SetXmlEvents": "rVal = rpc_SetXmlEvents(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, bsXml, &wstrXML)",
    "QueryEventsDyn": "rVal = rpc_QueryEventsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPass, 256, nofUsedEvents, (RpcCChar**)aszUsedEvents, &nofOpenEvents, (RpcChar***)&aszOpenEvents)",
    "QueryPtzSupportedDyn": "rVal = rpc_QueryPtzSupportedDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, 256, &size, (RpcChar***)&ppszSupported)",
    "QueryDeviceTypeStrDyn": "{ rpc_QueryDeviceTypeStrDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, (RpcChar**)&pcDevType); bOk = true; }",
    "BeginDefineEvent": "rVal = rpc_BeginDefineEvent(pCTX->m_hCtx, (RpcCChar*)szHostIP, (RpcCChar*)szUsername, (RpcCChar*)szPassword, bEraseAll)",
    "EndDefineEvent": "rVal = rpc_EndDefineEvent(pCTX->m_hCtx, (RpcCChar*)szHostIP, (RpcCChar*)szUsername, (RpcCChar*)szPassword)",
}

# Rule texts whose out-argument is a local passed by address.
ARG_TEXTS = {
    "GetXml": {"wstrXML": "&wstrXML"},
    "GetStreamInfo": {"wstrXML": "&wstrXML"},
    "ParseXmlEventDataDyn": {"wstrXml": "&wstrXml"},
    "GenerateCredentialsDyn": {"wstrCredentials": "&wstrCredentials"},
}

# Locals of the code that the call text names otherwise.
LOCAL_NAMES = {
    "QueryEventsDyn": {"apszUsedEvents": "aszUsedEvents", "apszOpenEvents": "aszOpenEvents"},
    "SetEventsDyn": {"apszEvents": "aszEvents"},
    "QueryPtzSupportedDyn": {"apszSupported": "ppszSupported"},
    "QueryDeviceTypeStrDyn": {"xpcDevType": "pcDevType"},
}

# Entry levels other than 2 (0: no entry line).
ENTRY_LEVELS = {"GetInfo": 1, "GetVideoDataBlock": 0, "GetMediaDataBlock": 0, "PutMediaDataBlock": 0}

EXPORT_FILES = ("DeviceExports.cpp", "MediaExports.cpp", "CapabilityExports.cpp")


def parse_procedures(text):
    procs = {}
    for line in text.strip().splitlines():
        fields = line.split()
        opnum, result, name = int(fields[0]), fields[1], fields[2]
        params = [(p.rstrip("$"), p.endswith("$")) for p in fields[3:]]
        procs[name] = (opnum, result, params)
    return procs


def rule_text(name, proc):
    _, result, params = proc
    render = ARG_TEXTS.get(name, {})
    args = ["pCTX->m_hCtx"]
    for pname, is_string in params:
        args.append(render.get(pname, ("(RpcCChar*)" if is_string else "") + pname))
    return ("" if result == "void" else "rVal = ") + "rpc_%s(%s)" % (name, ", ".join(args))


def expected_text(name, proc):
    return FIXED_TEXTS.get(name) or rule_text(name, proc)


def blank_literals(src):
    """src with the contents of string and char literals and comments blanked
    (same length), and the list of (start, end, value) of string literals."""
    out = list(src)
    literals = []
    i, n = 0, len(src)
    while i < n:
        c = src[i]
        if src.startswith("//", i):
            j = src.find("\n", i)
            j = n if j < 0 else j
            for k in range(i, j):
                out[k] = " "
            i = j
        elif src.startswith("/*", i):
            j = src.find("*/", i + 2)
            j = n if j < 0 else j + 2
            for k in range(i, j):
                if out[k] != "\n":
                    out[k] = " "
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and src[j] != c:
                j += 2 if src[j] == "\\" else 1
            if c == '"':
                literals.append((i, j + 1, bytes(src[i + 1:j], "utf-8").decode("unicode_escape")))
            for k in range(i + 1, j):
                out[k] = " "
            i = j + 1
        else:
            i += 1
    return "".join(out), literals


def matching(code, open_pos, open_ch="(", close_ch=")"):
    depth = 0
    for i in range(open_pos, len(code)):
        if code[i] == open_ch:
            depth += 1
        elif code[i] == close_ch:
            depth -= 1
            if depth == 0:
                return i
    raise ValueError("unbalanced %s at %d" % (open_ch, open_pos))


def split_args(code):
    args, depth, cur = [], 0, ""
    for c in code:
        if c in "(<[{":
            depth += 1
        elif c in ")>]}":
            depth -= 1
        if c == "," and depth == 0:
            args.append(cur.strip())
            cur = ""
        else:
            cur += c
    if cur.strip():
        args.append(cur.strip())
    return args


def norm(s):
    return " ".join(s.replace("*", " * ").replace("&", " & ").split()).replace(" ,", ",")


def norm_text_arg(a):
    a = re.sub(r"^\((?:const\s+)?Rpc\w*\s*\**\)", "", a.strip())
    a = a.lstrip("&*").strip()
    return "hCtx" if a in ("pCTX->m_hCtx", "RPCCONTEXT") else a


def norm_code_arg(a, renames):
    a = a.strip()
    m = re.match(r"^reinterpret_cast<[^>]*>\((.*)\)$", a)
    if m:
        a = m.group(1).strip()
    a = re.sub(r"\.get\(\)$", "", a).lstrip("&*").strip()
    a = renames.get(a, a)
    return "256" if a == "kStringArrayBound" else a


def text_args(text):
    m = re.search(r"rpc_\w+\((.*?)\)(?:;|$)", text)
    return [norm_text_arg(a) for a in m.group(1).split(",")] if m else None


def extract_exports(path):
    src = open(path, encoding="utf-8").read()
    code, literals = blank_literals(src)
    found = {}
    for m in re.finditer(r"KESTREL_API\s+([\w ]+?)\s+(\w+)\s*\(", code):
        result, name = m.group(1), m.group(2)
        close = matching(code, m.end() - 1)
        params = code[m.end():close]
        brace = code.index("{", close)
        end = matching(code, brace, "{", "}")
        found[name] = dict(result=result, params=norm(params), body=(brace, end), file=os.path.basename(path),
                           line=src.count("\n", 0, m.start()) + 1)
        e = found[name]
        body = code[brace:end]
        lits = [lit for lit in literals if brace < lit[0] < end]
        fm = re.search(r"KESTREL_FRAME(_AT_LEVEL)?\(", body)
        e["frames"] = len(re.findall(r"KESTREL_FRAME(?:_AT_LEVEL)?\(", body))
        e["forwards"] = len(re.findall(r"\bForwardCall\(", body))
        if fm:
            fopen = brace + fm.end() - 1
            fclose = matching(code, fopen)
            fargs = split_args(code[fopen + 1:fclose])
            flits = [lit for lit in lits if fopen < lit[0] < fclose]
            e["frame_name"] = flits[0][2] if flits else None
            text_lits = [lit for lit in flits[1:]]
            e["text_literals"] = len(text_lits)
            e["text"] = "".join(lit[2] for lit in text_lits)
            e["level"] = int(fargs[2]) if fm.group(1) and len(fargs) > 2 and fargs[2].isdigit() else (
                None if fm.group(1) else 2)
            after = re.match(r"\s*,\s*(\w+)\s*,", code[fclose + 1:end])
            e["instance"] = after.group(1) if after else None
        calls = [c for c in re.finditer(r"\brpc_(\w+)\s*\(", body)]
        e["rpc_calls"] = []
        for c in calls:
            copen = brace + c.end() - 1
            cclose = matching(code, copen)
            e["rpc_calls"].append((c.group(1), split_args(code[copen + 1:cclose])))
    return found


def read_export_list(path):
    hdr = open(path, encoding="utf-8").read()
    start = hdr.index("#define KESTREL_FORWARDING_EXPORTS_T(X, T)")
    end = hdr.index("#define KESTREL_DRIVER_SERVICE_EXPORTS_T")
    # The list writes the two types that C spells differently as T(...).
    body = hdr[start:end].replace("T(BSTR)", "BSTR").replace("T(CStringArrayRef)", "CStringArray&")
    exports = {}
    for m in re.finditer(r"X\((-?\d+), (\w+), (\w+), \(([^)]*)\), \(([^)]*)\)\)", body):
        exports[m.group(3)] = (int(m.group(1)), m.group(2), norm(m.group(4)))
    return exports


def declared_procedures(path):
    """The procedures declared in path, as {name: (result, [(param, is_string)])}. Two forms are read:
    the interface table (KESTREL_PROC(opnum, Name, Result, (Kind, name, ...), ...) rows) and C or IDL
    declarations ("result rpc_Name(hCtx, ...);", IDL attributes allowed)."""
    src = open(path, encoding="utf-8").read()
    found = {}
    if "KESTREL_PROC(" in src:
        code = re.sub(r"//[^\n]*", "", src)
        for m in re.finditer(r"\bKESTREL_PROC\(", code):
            body = code[m.end():matching(code, m.end() - 1)]
            head = [f.strip() for f in body.split(",", 3)]
            name, result = head[1], head[2].lower()
            params = [(n, kind == "String") for kind, n in re.findall(r"\((\w+),\s*(\w+)[^()]*\)", head[3])
                      if kind not in ("CallCtx", "Binding")]
            found[name] = (result, params)
        return found
    src = re.sub(r"\[[^\]]*\]", "", src)
    for m in re.finditer(r"(\w+)\s+rpc_(\w+)\s*\(([^)]*)\)\s*;", src):
        result, name, params = m.groups()
        kind = "void" if result == "void" else ("short" if result in ("short", "int16_t") else "long")
        got = []
        for p in [p.strip() for p in params.split(",")][1:]:
            got.append((re.findall(r"\w+$", p)[0], re.match(r"^(const\s+)?RpcCChar\s*\*\s*\w+$", p) is not None))
        found[name] = (kind, got)
    return found


def check_declarations(path, procs):
    declared = declared_procedures(path)
    problems = []
    for name in sorted(procs):
        if name not in declared:
            problems.append("rpc_%s: not declared in %s" % (name, path))
        elif declared[name] != procs[name][1:]:
            problems.append("rpc_%s: %s declares %s, the table here %s" % (name, path, declared[name], procs[name][1:]))
    return problems


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--root", default=os.path.normpath(os.path.join(here, "..", "..")))
    ap.add_argument("--idl")
    ap.add_argument("-v", action="store_true")
    opts = ap.parse_args()

    procs = parse_procedures(PROCEDURES)
    problems = []
    if opts.idl:
        problems += check_declarations(opts.idl, procs)
    interface = os.path.join(opts.root, "src", "remote", "ProxyInterface.def")
    if os.path.exists(interface):
        problems += check_declarations(interface, procs)

    listed = read_export_list(os.path.join(opts.root, "include", "kestrel", "driver_exports.h"))
    found = {}
    for f in EXPORT_FILES:
        for name, e in extract_exports(os.path.join(opts.root, "src", "driver_api", f)).items():
            if name in found:
                problems.append("%s: defined twice" % name)
            found[name] = e

    for name in sorted(set(listed) - set(found)):
        problems.append("%s: not defined" % name)
    for name in sorted(set(found) - set(listed)):
        problems.append("%s: defined but not a forwarding export" % name)
    if len(procs) != len(listed) or set(procs) != set(listed):
        problems.append("the procedure table and driver_exports.h list different exports")

    for name in sorted(set(found) & set(listed)):
        e, (opnum, result, params) = found[name], listed[name]
        where = "%s:%d %s" % (e["file"], e["line"], name)
        proc = procs.get(name)
        if proc is None:
            continue
        if proc[0] != opnum:
            problems.append("%s: opnum %d in driver_exports.h, %d in the table" % (where, opnum, proc[0]))
        if e["params"] != params or norm(e["result"]) != result:
            problems.append("%s: signature %s (%s) differs from %s (%s)" % (where, e["result"], e["params"],
                                                                            result, params))
        if e["frames"] != 1 or e["forwards"] != 1:
            problems.append("%s: %d frames and %d ForwardCall, expected one each" % (where, e["frames"],
                                                                                   e["forwards"]))
            continue
        if e.get("frame_name") != name:
            problems.append("%s: frame names %r" % (where, e.get("frame_name")))
        level = ENTRY_LEVELS.get(name, 2)
        if e.get("level") != level:
            problems.append("%s: entry level %r, expected %d" % (where, e.get("level"), level))
        first_param = re.findall(r"(\w+)$", params.split(",")[0].strip())[0]
        if e.get("instance") != first_param:
            problems.append("%s: instance id %r, expected %s" % (where, e.get("instance"), first_param))
        if e.get("text_literals") != 1:
            problems.append("%s: the call text is %d string literals, expected 1" % (where, e.get("text_literals")))
        want = expected_text(name, proc)
        if e.get("text") != want:
            problems.append("%s: call text\n    got  %r\n    want %r" % (where, e.get("text"), want))
        if len(e["rpc_calls"]) != 1 or e["rpc_calls"][0][0] != name:
            problems.append("%s: calls %s, expected rpc_%s once" % (where, [c[0] for c in e["rpc_calls"]], name))
        else:
            renames = LOCAL_NAMES.get(name, {})
            got = [norm_code_arg(a, renames) for a in e["rpc_calls"][0][1]]
            expect = text_args(want)
            if got != expect:
                problems.append("%s: rpc arguments %s differ from the call text's %s" % (where, got, expect))
        if opts.v:
            rule = rule_text(name, proc)
            note = "" if want == rule else "   [fixed; rule: %s]" % rule
            print("%-32s %s%s" % (name, want, note))

    for p in problems:
        print("FAIL " + p)
    print("%d exports checked, %d problems" % (len(found), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
