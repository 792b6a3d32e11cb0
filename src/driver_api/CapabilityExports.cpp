// Capability queries, events and XML configuration.
#include <kestrel/kestrel.h>

#include <cstdint>

#include "driver_api/CallFrame.h"
#include "driver_api/Conversions.h"

extern "C" {

// Capability queries.

KESTREL_API int QueryIsAbsoluteDyn(const char* szServer, const char* szPassword, int nDeviceType) {
    return ForwardCall(
        KESTREL_FRAME("QueryIsAbsoluteDyn",
                      "rVal = rpc_QueryIsAbsoluteDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nDeviceType)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_QueryIsAbsoluteDyn(hCtx, szServer, szPassword, nDeviceType);
        });
}

KESTREL_API int QueryIsPTZDeviceDyn(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryIsPTZDeviceDyn",
                      "rVal = rpc_QueryIsPTZDeviceDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryIsPTZDeviceDyn(hCtx, szServer, szPassword); });
}

KESTREL_API int QueryPtzCenterClickDyn(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryPtzCenterClickDyn",
                      "rVal = rpc_QueryPtzCenterClickDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryPtzCenterClickDyn(hCtx, szServer, szPassword); });
}

KESTREL_API int QueryPtzMoveAdvancedDyn(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryPtzMoveAdvancedDyn",
                      "rVal = rpc_QueryPtzMoveAdvancedDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryPtzMoveAdvancedDyn(hCtx, szServer, szPassword); });
}

KESTREL_API int QueryPtzPortsDyn(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryPtzPortsDyn",
                      "rVal = rpc_QueryPtzPortsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryPtzPortsDyn(hCtx, szServer, szPassword); });
}

KESTREL_API int QueryPtzZoomRelDyn(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryPtzZoomRelDyn",
                      "rVal = rpc_QueryPtzZoomRelDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryPtzZoomRelDyn(hCtx, szServer, szPassword); });
}

KESTREL_API int QueryPTZPosDyn(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryPTZPosDyn",
                      "rVal = rpc_QueryPTZPosDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryPTZPosDyn(hCtx, szServer, szPassword); });
}

KESTREL_API int QueryChangePortsDyn(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryChangePortsDyn",
                      "rVal = rpc_QueryChangePortsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryChangePortsDyn(hCtx, szServer, szPassword); });
}

KESTREL_API int QueryDeviceIdDyn(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryDeviceIdDyn",
                      "rVal = rpc_QueryDeviceIdDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryDeviceIdDyn(hCtx, szServer, szPassword); });
}

KESTREL_API int QueryNumberOfCamDyn(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryNumberOfCamDyn",
                      "rVal = rpc_QueryNumberOfCamDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryNumberOfCamDyn(hCtx, szServer, szPassword); });
}

KESTREL_API int QueryAudioInputsDyn(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryAudioInputsDyn",
                      "rVal = rpc_QueryAudioInputsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryAudioInputsDyn(hCtx, szServer, szPassword); });
}

KESTREL_API int QueryAudioOutputsDyn(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryAudioOutputsDyn",
                      "rVal = rpc_QueryAudioOutputsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryAudioOutputsDyn(hCtx, szServer, szPassword); });
}

KESTREL_API int QueryNoInputDyn(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryNoInputDyn",
                      "rVal = rpc_QueryNoInputDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryNoInputDyn(hCtx, szServer, szPassword); });
}

KESTREL_API int QueryNoOutputDyn(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryNoOutputDyn",
                      "rVal = rpc_QueryNoOutputDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryNoOutputDyn(hCtx, szServer, szPassword); });
}

KESTREL_API int QuerySendFtpDyn(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QuerySendFtpDyn",
                      "rVal = rpc_QuerySendFtpDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QuerySendFtpDyn(hCtx, szServer, szPassword); });
}

KESTREL_API int QueryIsBrowsableDyn(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryIsBrowsableDyn",
                      "rVal = rpc_QueryIsBrowsableDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryIsBrowsableDyn(hCtx, szServer, szPassword); });
}

KESTREL_API int FunctionSupported(const char* szServer, const char* szPassword, const char* szFunctionName) {
    return ForwardCall(
        KESTREL_FRAME("FunctionSupported",
                      "rVal = rpc_FunctionSupported(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, (RpcCChar*)szFunctionName)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_FunctionSupported(hCtx, szServer, szPassword, szFunctionName);
        });
}

// The driver's own answer, not the library's IsDebugBuild.
KESTREL_API bool IsDebugBuildDyn(const char* szServer, const char* szPassword) {
    const int rVal = ForwardCall(
        KESTREL_FRAME("IsDebugBuildDyn",
                      "rVal = rpc_IsDebugBuildDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_IsDebugBuildDyn(hCtx, szServer, szPassword); });
    return rVal != 0;
}

// The caller learns how many of its buffers (256 characters each) were
// filled; the driver's own result is not kept.
KESTREL_API int QueryPtzSupportedDyn(const char* szServer, const char* szPassword, char** ppszSupported) {
    std::int32_t size = 0;
    RpcChar** apszSupported = nullptr;
    const StubStrings ownSupported(apszSupported, size);
    ForwardCall(
        KESTREL_FRAME("QueryPtzSupportedDyn",
                      "rVal = rpc_QueryPtzSupportedDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, 256, &size, (RpcChar***)&ppszSupported)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_QueryPtzSupportedDyn(hCtx, szServer, szPassword, kStringArrayBound, &size, &apszSupported);
        });
    if (apszSupported != nullptr) {
        for (std::int32_t i = 0; i < size; ++i) CopyToCallerBuffer(ppszSupported[i], apszSupported[i]);
    }
    return size;
}

// pcDevType is a caller buffer of 256 characters.
KESTREL_API void QueryDeviceTypeStrDyn(const char* szServer, const char* szPassword, char* pcDevType) {
    RpcChar* xpcDevType = nullptr;
    const StubBlock<RpcChar> ownDevType(xpcDevType);
    ForwardCall(
        KESTREL_FRAME("QueryDeviceTypeStrDyn",
                      "{ rpc_QueryDeviceTypeStrDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, (RpcChar**)&pcDevType); bOk = true; }"),
        szServer, [&](RpcDriverCallCtx hCtx) { rpc_QueryDeviceTypeStrDyn(hCtx, szServer, szPassword, &xpcDevType); });
    CopyToCallerBuffer(pcDevType, xpcDevType);
}

// Events and the driver's XML event parser. BeginDefineEvent and EndDefineEvent
// name their instance szHostIP.

KESTREL_API int BeginDefineEvent(const char* szHostIP, const char* szUsername, const char* szPassword, int bEraseAll) {
    return ForwardCall(
        KESTREL_FRAME("BeginDefineEvent",
                      "rVal = rpc_BeginDefineEvent(pCTX->m_hCtx, (RpcCChar*)szHostIP, (RpcCChar*)szUsername, (RpcCChar*)szPassword, bEraseAll)"),
        szHostIP, [&](RpcDriverCallCtx hCtx) {
            return rpc_BeginDefineEvent(hCtx, szHostIP, szUsername, szPassword, bEraseAll);
        });
}

KESTREL_API int EndDefineEvent(const char* szHostIP, const char* szUsername, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("EndDefineEvent",
                      "rVal = rpc_EndDefineEvent(pCTX->m_hCtx, (RpcCChar*)szHostIP, (RpcCChar*)szUsername, (RpcCChar*)szPassword)"),
        szHostIP, [&](RpcDriverCallCtx hCtx) { return rpc_EndDefineEvent(hCtx, szHostIP, szUsername, szPassword); });
}

KESTREL_API int DefineEventDyn(const char* szServer, const char* szPassword, const char* szInput, const char* szDestIP,
                               const char* szDestPort, const char* szMessage, int nUseBuffer) {
    return ForwardCall(
        KESTREL_FRAME("DefineEventDyn",
                      "rVal = rpc_DefineEventDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, (RpcCChar*)szInput, (RpcCChar*)szDestIP, (RpcCChar*)szDestPort, (RpcCChar*)szMessage, nUseBuffer)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_DefineEventDyn(hCtx, szServer, szPassword, szInput, szDestIP, szDestPort, szMessage, nUseBuffer);
        });
}

// The open events replace the caller's list only when the driver reports
// success; what the stub returned is released either way.
KESTREL_API int QueryEventsDyn(const char* szServer, const char* szPass, CStringArray& aszUsedEvents,
                               CStringArray& aszOpenEvents) {
    std::int32_t nofOpenEvents = 0;
    RpcChar** apszOpenEvents = nullptr;
    const StubStrings ownOpenEvents(apszOpenEvents, nofOpenEvents);
    const std::int32_t nofUsedEvents = aszUsedEvents.GetSize();
    const auto apszUsedEvents = RequestArray(aszUsedEvents);
    const int rVal = ForwardCall(
        KESTREL_FRAME("QueryEventsDyn",
                      "rVal = rpc_QueryEventsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPass, 256, nofUsedEvents, (RpcCChar**)aszUsedEvents, &nofOpenEvents, (RpcChar***)&aszOpenEvents)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_QueryEventsDyn(hCtx, szServer, szPass, kStringArrayBound, nofUsedEvents, apszUsedEvents.get(),
                                      &nofOpenEvents, &apszOpenEvents);
        });
    if (rVal != 0) {
        aszOpenEvents.RemoveAll();
        if (apszOpenEvents != nullptr) {
            for (std::int32_t i = 0; i < nofOpenEvents; ++i) aszOpenEvents.Add(apszOpenEvents[i]);
        }
    }
    return rVal;
}

KESTREL_API int SetEventsDyn(const char* szServer, const char* szPassword, CStringArray& aszEvents) {
    const std::int32_t nofEvents = aszEvents.GetSize();
    const auto apszEvents = RequestArray(aszEvents);
    return ForwardCall(
        KESTREL_FRAME("SetEventsDyn",
                      "rVal = rpc_SetEventsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nofEvents, aszEvents)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_SetEventsDyn(hCtx, szServer, szPassword, nofEvents, apszEvents.get());
        });
}

KESTREL_API short QueryEventTypeDyn(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryEventTypeDyn",
                      "rVal = rpc_QueryEventTypeDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryEventTypeDyn(hCtx, szServer, szPassword); });
}

KESTREL_API short OpenXmlEventParserDyn(const char* szServer, const char* szUser, const char* szPassword,
                                        const char* szEventType) {
    return ForwardCall(
        KESTREL_FRAME("OpenXmlEventParserDyn",
                      "rVal = rpc_OpenXmlEventParserDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, (RpcCChar*)szEventType)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_OpenXmlEventParserDyn(hCtx, szServer, szUser, szPassword, szEventType);
        });
}

// The caller gives the data before its length, the procedure wants the
// length first. The parsed XML replaces the caller's BSTR.
KESTREL_API int ParseXmlEventDataDyn(const char* szServer, const char* szUser, const char* szPassword,
                                     short nParserHandle, const unsigned char* inputData, int nLength, BSTR* bsXml) {
    RpcWChar* wstrXml = nullptr;
    const StubBlock<RpcWChar> ownXml(wstrXml);
    const int rVal = ForwardCall(
        KESTREL_FRAME("ParseXmlEventDataDyn",
                      "rVal = rpc_ParseXmlEventDataDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, nParserHandle, nLength, inputData, &wstrXml)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_ParseXmlEventDataDyn(hCtx, szServer, szUser, szPassword, nParserHandle, nLength,
                                            reinterpret_cast<const RpcChar*>(inputData), &wstrXml);
        });
    HandOverBstr(bsXml, wstrXml);
    return rVal;
}

KESTREL_API void CloseXmlEventParserDyn(const char* szServer, const char* szUser, const char* szPassword,
                                        short nParserHandle) {
    ForwardCall(
        KESTREL_FRAME("CloseXmlEventParserDyn",
                      "rpc_CloseXmlEventParserDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, nParserHandle)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            rpc_CloseXmlEventParserDyn(hCtx, szServer, szUser, szPassword, nParserHandle);
        });
}

// XML configuration. Each export replaces the caller's BSTR with the XML the
// driver returned (an empty BSTR when none) and releases the one it held.

KESTREL_API int GetXml(const char* szServer, const char* szUser, const char* szPassword, const char* szFilter,
                       BSTR* bsXml) {
    RpcWChar* wstrXML = nullptr;
    const StubBlock<RpcWChar> ownXML(wstrXML);
    const int rVal = ForwardCall(
        KESTREL_FRAME("GetXml",
                      "rVal = rpc_GetXml(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, (RpcCChar*)szFilter, &wstrXML)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_GetXml(hCtx, szServer, szUser, szPassword, szFilter, &wstrXML);
        });
    KESTREL_LOG(kProxy, "GetXml", 3, "rVal='%d'", rVal);
    HandOverBstr(bsXml, wstrXML);
    return rVal;
}

// The caller's BSTR is the XML sent and then receives the XML returned.
KESTREL_API bool SetXmlParams(const char* szServer, const char* szUser, const char* szPassword, BSTR* bsXml) {
    RpcWChar* wstrXML = nullptr;
    const StubBlock<RpcWChar> ownXML(wstrXML);
    const bool bResult = ForwardCall(
        KESTREL_FRAME("SetXmlParams",
                      "rVal = rpc_SetXmlParams(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, bsXml, &wstrXML)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_SetXmlParams(hCtx, szServer, szUser, szPassword, *bsXml, &wstrXML);
        }) != 0;
    KESTREL_LOG(kProxy, "SetXmlParams", 3, "rVal='%d'", bResult ? 1 : 0);
    HandOverBstr(bsXml, wstrXML);
    return bResult;
}

// As SetXmlParams, for the event configuration.
KESTREL_API bool SetXmlEvents(const char* szServer, const char* szUser, const char* szPassword, BSTR* bsXml) {
    RpcWChar* wstrXML = nullptr;
    const StubBlock<RpcWChar> ownXML(wstrXML);
    const bool bResult = ForwardCall(
        KESTREL_FRAME("SetXmlEvents",
                      "rVal = rpc_SetXmlEvents(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, bsXml, &wstrXML)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_SetXmlEvents(hCtx, szServer, szUser, szPassword, *bsXml, &wstrXML);
        }) != 0;
    KESTREL_LOG(kProxy, "SetXmlEvents", 3, "rVal='%d'", bResult ? 1 : 0);
    HandOverBstr(bsXml, wstrXML);
    return bResult;
}

KESTREL_API int GenerateCredentialsDyn(const char* szServer, const char* szUser, const char* szPassword,
                                       BSTR* bsCredentials) {
    RpcWChar* wstrCredentials = nullptr;
    const StubBlock<RpcWChar> ownCredentials(wstrCredentials);
    const int rVal = ForwardCall(
        KESTREL_FRAME("GenerateCredentialsDyn",
                      "rVal = rpc_GenerateCredentialsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, &wstrCredentials)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_GenerateCredentialsDyn(hCtx, szServer, szUser, szPassword, &wstrCredentials);
        });
    HandOverBstr(bsCredentials, wstrCredentials);
    return rVal;
}

KESTREL_API int GetStreamInfo(const char* szServer, const char* szPassword, int nDeviceIndex, BSTR* bsXml) {
    RpcWChar* wstrXML = nullptr;
    const StubBlock<RpcWChar> ownXML(wstrXML);
    const int rVal = ForwardCall(
        KESTREL_FRAME("GetStreamInfo",
                      "rVal = rpc_GetStreamInfo(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nDeviceIndex, &wstrXML)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_GetStreamInfo(hCtx, szServer, szPassword, nDeviceIndex, &wstrXML);
        });
    HandOverBstr(bsXml, wstrXML);
    return rVal;
}

}  // extern "C"
