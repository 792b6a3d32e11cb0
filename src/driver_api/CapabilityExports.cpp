// The capability, event and XML exports with post-processing of their own:
// caller buffers, string arrays both ways, and BSTRs handed over.
#include <kestrel/kestrel.h>

#include <cstdint>

#include "driver_api/CallFrame.h"
#include "driver_api/Conversions.h"

using namespace kestrel::driver_api;

namespace {

// The BSTR hand-over: the procedure's wide-string answer replaces the
// caller's BSTR (an empty one when there is none), the old one released.
// bClosingLine: the result is logged at level 3 first (bool results as 0 or 1).
template <typename TResult, typename TCall>
TResult WithBstrOut(const ExportFrame& frame, const char* szServer, BSTR* pbsVariable, bool bClosingLine,
                    TCall&& call) {
    RpcWChar* wstrOut = nullptr;
    const StubBlock<RpcWChar> ownOut(wstrOut);
    const TResult result =
        static_cast<TResult>(ForwardCall(frame, szServer, [&](RpcDriverCallCtx hCtx) { return call(hCtx, &wstrOut); }));
    if (bClosingLine) KESTREL_LOG(kProxy, frame.szExport, 3, "rVal='%d'", static_cast<int>(result));
    HandOverBstr(pbsVariable, wstrOut);
    return result;
}

}  // namespace

extern "C" {

// The caller learns how many of its buffers (256 characters each) were
// filled; the driver's own result is not kept.
KESTREL_API int QueryPtzSupportedDyn(const char* szServer, const char* szPassword, char** ppszSupported) {
    std::int32_t size = 0;
    RpcChar** apszSupported = nullptr;
    const StubStrings ownSupported(apszSupported, size);
    ForwardCall(KESTREL_FRAME(QueryPtzSupportedDyn), szServer, [&](RpcDriverCallCtx hCtx) {
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
    ForwardCall(KESTREL_FRAME(QueryDeviceTypeStrDyn), szServer,
                [&](RpcDriverCallCtx hCtx) { rpc_QueryDeviceTypeStrDyn(hCtx, szServer, szPassword, &xpcDevType); });
    CopyToCallerBuffer(pcDevType, xpcDevType);
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
    const int rVal = ForwardCall(KESTREL_FRAME(QueryEventsDyn), szServer, [&](RpcDriverCallCtx hCtx) {
        return rpc_QueryEventsDyn(hCtx, szServer, szPass, kStringArrayBound, nofUsedEvents, apszUsedEvents.get(),
                                  &nofOpenEvents, &apszOpenEvents);
    });
    if (rVal != 0) {
        aszOpenEvents.RemoveAll();
        for (std::int32_t i = 0; apszOpenEvents != nullptr && i < nofOpenEvents; ++i)
            aszOpenEvents.Add(apszOpenEvents[i]);
    }
    return rVal;
}

KESTREL_API int SetEventsDyn(const char* szServer, const char* szPassword, CStringArray& aszEvents) {
    const std::int32_t nofEvents = aszEvents.GetSize();
    const auto apszEvents = RequestArray(aszEvents);
    return ForwardCall(KESTREL_FRAME(SetEventsDyn), szServer, [&](RpcDriverCallCtx hCtx) {
        return rpc_SetEventsDyn(hCtx, szServer, szPassword, nofEvents, apszEvents.get());
    });
}

// The caller gives the data before its length, the procedure wants the
// length first. The parsed XML replaces the caller's BSTR.
KESTREL_API int ParseXmlEventDataDyn(const char* szServer, const char* szUser, const char* szPassword,
                                     short nParserHandle, const unsigned char* inputData, int nLength, BSTR* bsXml) {
    return WithBstrOut<int>(KESTREL_FRAME(ParseXmlEventDataDyn), szServer, bsXml, false, [&](auto hCtx, auto pwstrXml) {
        return rpc_ParseXmlEventDataDyn(hCtx, szServer, szUser, szPassword, nParserHandle, nLength,
                                        reinterpret_cast<const RpcChar*>(inputData), pwstrXml);
    });
}

KESTREL_API int GetXml(const char* szServer, const char* szUser, const char* szPassword, const char* szFilter,
                       BSTR* bsXml) {
    return WithBstrOut<int>(KESTREL_FRAME(GetXml), szServer, bsXml, true, [&](auto hCtx, auto pwstrXML) {
        return rpc_GetXml(hCtx, szServer, szUser, szPassword, szFilter, pwstrXML);
    });
}

// The caller's BSTR is the XML sent, and then receives the XML returned.
KESTREL_API bool SetXmlParams(const char* szServer, const char* szUser, const char* szPassword, BSTR* bsXml) {
    return WithBstrOut<bool>(KESTREL_FRAME(SetXmlParams), szServer, bsXml, true, [&](auto hCtx, auto pwstrXML) {
        return rpc_SetXmlParams(hCtx, szServer, szUser, szPassword, *bsXml, pwstrXML);
    });
}

KESTREL_API bool SetXmlEvents(const char* szServer, const char* szUser, const char* szPassword, BSTR* bsXml) {
    return WithBstrOut<bool>(KESTREL_FRAME(SetXmlEvents), szServer, bsXml, true, [&](auto hCtx, auto pwstrXML) {
        return rpc_SetXmlEvents(hCtx, szServer, szUser, szPassword, *bsXml, pwstrXML);
    });
}

KESTREL_API int GenerateCredentialsDyn(const char* szServer, const char* szUser, const char* szPassword,
                                       BSTR* bsCredentials) {
    return WithBstrOut<int>(KESTREL_FRAME(GenerateCredentialsDyn), szServer, bsCredentials, false,
                            [&](auto hCtx, auto pwstrCredentials) {
                                return rpc_GenerateCredentialsDyn(hCtx, szServer, szUser, szPassword, pwstrCredentials);
                            });
}

KESTREL_API int GetStreamInfo(const char* szServer, const char* szPassword, int nDeviceIndex, BSTR* bsXml) {
    return WithBstrOut<int>(KESTREL_FRAME(GetStreamInfo), szServer, bsXml, false, [&](auto hCtx, auto pwstrXML) {
        return rpc_GetStreamInfo(hCtx, szServer, szPassword, nDeviceIndex, pwstrXML);
    });
}

}  // extern "C"
