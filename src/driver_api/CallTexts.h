// The call text of each forwarding export: the remote call as the export's
// exception line shows it, "rVal = rpc_OpenConnection(pCTX->m_hCtx,
// (RpcCChar*)szServer, ...)". Built at compile time from the procedure's row
// of the interface table and the export's row of the export list, by the
// rule the texts follow:
//   - "rVal = " when the procedure has a result;
//   - "rpc_" and the procedure's name;
//   - the context: pCTX->m_hCtx, or RPCCONTEXT on the streaming path (the
//     data-block exports, which write no entry line);
//   - the procedure's parameters in its order, by its names: a string with
//     the cast (RpcCChar*) before it, an out value the export keeps in a
//     local of its own by address (&nSize), a string-length bound as the
//     value the library always sends (256).
// The few texts that depart from the rule are written out below.
#pragma once

#include <kestrel/driver_exports.h>

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "remote/ProxyTable.h"

namespace kestrel::driver_api {

using remote::Opnum;

// The bound on every string of the string arrays that travel to HostProc.
inline constexpr std::int32_t kStringArrayBound = 256;

struct ExportRow {
    Opnum opnum;
    std::string_view name;
    std::string_view args;  // the export's parameter names: "(szServer, nCamNo)"
};

#define KESTREL_EXPORT_ROW(OP, R, NAME, PARAMS, ARGS) ExportRow{Opnum::NAME, #NAME, #ARGS},
inline constexpr ExportRow kForwardingExports[] = {KESTREL_FORWARDING_EXPORTS(KESTREL_EXPORT_ROW)};
#undef KESTREL_EXPORT_ROW
#define KESTREL_CHECK_OPNUM(OP, R, NAME, PARAMS, ARGS) \
    static_assert(static_cast<int>(Opnum::NAME) == OP, "the export list and the interface table disagree on " #NAME);
KESTREL_FORWARDING_EXPORTS(KESTREL_CHECK_OPNUM)
#undef KESTREL_CHECK_OPNUM

// The streaming path: no entry line, and RPCCONTEXT in the call text.
constexpr bool IsStreamingPath(Opnum opnum) {
    return opnum == Opnum::GetVideoDataBlock || opnum == Opnum::GetMediaDataBlock || opnum == Opnum::PutMediaDataBlock;
}

namespace call_text_detail {

// Texts that depart from the rule.
struct HandWritten {
    Opnum opnum;
    std::string_view text;
};
inline constexpr HandWritten kHandWritten[] = {
    {Opnum::GetInfo,  // "res", RPCCONTEXT and casts of its locals
     "res = rpc_GetInfo(RPCCONTEXT, (RpcCChar*)strIP, (RpcCChar*)strPass, (RpcChar**)&xpcMAC, (RpcChar**)&xpcDevType)"},
    {Opnum::GetImage2,  // the result is not kept
     "rpc_GetImage2(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, &nSize, pJpgBytes)"},
    {Opnum::OpenMediaStreamWithSettings,  // the BSTR's text
     "rVal = rpc_OpenMediaStreamWithSettings(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nMediaType, "
     "nDeviceIndex, nStreamIndex, (RpcCChar*)szEventName, *settingsXml)"},
    {Opnum::QueryEventsDyn,  // casts of the string arrays
     "rVal = rpc_QueryEventsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPass, 256, nofUsedEvents, "
     "(RpcCChar**)aszUsedEvents, &nofOpenEvents, (RpcChar***)&aszOpenEvents)"},
    {Opnum::QueryPtzSupportedDyn,  // the cast of the string array
     "rVal = rpc_QueryPtzSupportedDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, 256, &size, "
     "(RpcChar***)&ppszSupported)"},
    {Opnum::QueryDeviceTypeStrDyn,  // a block of its own
     "{ rpc_QueryDeviceTypeStrDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, (RpcChar**)&pcDevType); "
     "bOk = true; }"},
};

// True when the parenthesised name list holds strName as a whole word.
constexpr bool ListHolds(std::string_view list, std::string_view strName) {
    for (size_t nAt = list.find(strName); nAt != std::string_view::npos; nAt = list.find(strName, nAt + 1)) {
        const char cBefore = list[nAt - 1];
        const char cAfter = list[nAt + strName.size()];
        if ((cBefore == '(' || cBefore == ' ') && (cAfter == ',' || cAfter == ')')) return true;
    }
    return false;
}

constexpr std::string Decimal(int nValue) {
    std::string strDigits;
    do strDigits.insert(strDigits.begin(), static_cast<char>('0' + nValue % 10));
    while ((nValue /= 10) > 0);
    return strDigits;
}

constexpr std::string Build(Opnum opnum) {
    for (const HandWritten& row : kHandWritten) {
        if (row.opnum == opnum) return std::string(row.text);
    }
    const remote::Procedure& procedure = remote::ProcedureOf(opnum);
    const ExportRow* pExport = std::find_if(std::begin(kForwardingExports), std::end(kForwardingExports),
                                            [&](const ExportRow& row) { return row.opnum == opnum; });
    std::string strText = procedure.result == remote::ResultKind::Void ? "" : "rVal = ";
    strText += "rpc_" + std::string(procedure.name);
    strText += IsStreamingPath(opnum) ? "(RPCCONTEXT" : "(pCTX->m_hCtx";
    for (const remote::Parameter& param : procedure.params.subspan(1)) {
        const bool bBound = std::any_of(procedure.params.begin(), procedure.params.end(),
                                        [&](const remote::Parameter& other) { return other.bound == param.name; });
        strText += ", ";
        if (bBound)
            strText += Decimal(kStringArrayBound);
        else if (param.kind == remote::Kind::String)
            strText += "(RpcCChar*)" + std::string(param.name);
        else if (remote::IsOut(param.kind) && !ListHolds(pExport->args, param.name))
            strText += "&" + std::string(param.name);
        else
            strText += param.name;
    }
    return strText + ")";
}

template <Opnum Op>
constexpr auto Fixed() {
    std::array<char, Build(Op).size() + 1> text{};
    const std::string strText = Build(Op);
    std::copy(strText.begin(), strText.end(), text.begin());
    return text;
}

}  // namespace call_text_detail

// The call text of export Op, NUL-terminated, made at compile time.
template <Opnum Op>
inline constexpr auto kCallText = call_text_detail::Fixed<Op>();

}  // namespace kestrel::driver_api
