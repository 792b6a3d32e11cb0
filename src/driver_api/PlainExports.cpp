// The forwarding exports that pass their arguments to the remote procedure of
// the same name as they are, and return its result: made from the export
// list. The ones with post-processing of their own are written by hand
// beside it (DeviceExports, MediaExports, CapabilityExports) and named here.
#include <kestrel/driver_exports.h>

#include "driver_api/CallFrame.h"

#define KESTREL_OWN_GetInfo KESTREL_PP_PROBE
#define KESTREL_OWN_SetPanTiltDriver KESTREL_PP_PROBE
#define KESTREL_OWN_QueryPresetPositions KESTREL_PP_PROBE
#define KESTREL_OWN_GetImage2 KESTREL_PP_PROBE
#define KESTREL_OWN_GetVideoDataBlock KESTREL_PP_PROBE
#define KESTREL_OWN_GetMediaDataBlock KESTREL_PP_PROBE
#define KESTREL_OWN_PutMediaDataBlock KESTREL_PP_PROBE
#define KESTREL_OWN_OpenMediaStreamWithSettings KESTREL_PP_PROBE
#define KESTREL_OWN_GetTimeLine KESTREL_PP_PROBE
#define KESTREL_OWN_QueryPtzSupportedDyn KESTREL_PP_PROBE
#define KESTREL_OWN_QueryDeviceTypeStrDyn KESTREL_PP_PROBE
#define KESTREL_OWN_QueryEventsDyn KESTREL_PP_PROBE
#define KESTREL_OWN_SetEventsDyn KESTREL_PP_PROBE
#define KESTREL_OWN_ParseXmlEventDataDyn KESTREL_PP_PROBE
#define KESTREL_OWN_GetXml KESTREL_PP_PROBE
#define KESTREL_OWN_SetXmlParams KESTREL_PP_PROBE
#define KESTREL_OWN_SetXmlEvents KESTREL_PP_PROBE
#define KESTREL_OWN_GenerateCredentialsDyn KESTREL_PP_PROBE
#define KESTREL_OWN_GetStreamInfo KESTREL_PP_PROBE

// KESTREL_UNLESS_OWN(NAME, code): the code, unless NAME is written by hand.
#define KESTREL_PP_PROBE ~, 1
#define KESTREL_PP_SECOND(a, b, ...) b
#define KESTREL_PP_IS_PROBE(...) KESTREL_PP_SECOND(__VA_ARGS__, 0, ~)
#define KESTREL_UNLESS_OWN(NAME, ...) \
    KESTREL_PP_CAT(KESTREL_UNLESS_, KESTREL_PP_IS_PROBE(KESTREL_PP_CAT(KESTREL_OWN_, NAME)))(__VA_ARGS__)
#define KESTREL_UNLESS_0(...) __VA_ARGS__
#define KESTREL_UNLESS_1(...)

#define KESTREL_PLAIN(OP, R, NAME, PARAMS, ARGS)                                                    \
    KESTREL_UNLESS_OWN(                                                                             \
        NAME, extern "C" KESTREL_API R NAME PARAMS {                                                \
            return static_cast<R>(::kestrel::driver_api::ForwardCall(                               \
                KESTREL_FRAME(NAME), KESTREL_PP_FIRST ARGS,                                         \
                [&](RpcDriverCallCtx hCtx) { return rpc_##NAME(hCtx, KESTREL_PP_UNPAREN ARGS); })); \
        })
KESTREL_FORWARDING_EXPORTS(KESTREL_PLAIN)
