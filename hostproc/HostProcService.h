// What HostProc serves: every remote procedure calls the driver's export of
// the same name, undoing the library's conversions on the way.
//
// The overrides are expanded from the interface table; each hands its
// arguments to a Serve overload. Procedures whose driver export takes the
// same values (with out values as pointers) go through one generic Serve;
// the others, which need caller buffers, BSTRs, string arrays or blocks
// released by the driver, have their own.
#pragma once

#include <kestrel/driver_exports.h>

#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include "DriverLibrary.h"
#include "remote/ProxyServer.h"
#include "remote/ProxyTable.h"

namespace hostproc {

using kestrel::remote::DriverContext;
using kestrel::remote::Opnum;

// One loaded driver instance: the context a LoadDriver call returned.
class DriverInstance final : public DriverContext {
public:
    DriverInstance(std::shared_ptr<DriverLibrary> pLibrary) : m_pLibrary(std::move(pLibrary)) {}
    DriverLibrary& Library() const { return *m_pLibrary; }

private:
    std::shared_ptr<DriverLibrary> m_pLibrary;
};

template <Opnum N>
struct Op {};

// The driver export behind each opnum.
template <Opnum N>
struct ExportOf;
#define HOSTPROC_EXPORT_OF(OPNUM, RESULT, NAME, PARAMS, ARGS)  \
    template <>                                                \
    struct ExportOf<Opnum::NAME> {                             \
        using Result = RESULT;                                 \
        static constexpr auto kPointer = &DriverExports::NAME; \
        static constexpr const char* kName = #NAME;            \
    };
KESTREL_FORWARDING_EXPORTS(HOSTPROC_EXPORT_OF)
HOSTPROC_EXPORT_OF(43, void, SetFeatureSet, (const char*), ())
#undef HOSTPROC_EXPORT_OF

// Procedures that cannot pass their values straight to the driver.
constexpr bool IsSpecial(Opnum opnum) {
    switch (opnum) {
        case Opnum::LoadDriver:
        case Opnum::UnloadDriver:
        case Opnum::GetImage2:
        case Opnum::GetInfo:
        case Opnum::SetPanTiltDriver:
        case Opnum::QueryPresetPositions:
        case Opnum::GetVideoDataBlock:
        case Opnum::QueryDeviceControlledFramerates:
        case Opnum::GetMediaDataBlock:
        case Opnum::PutMediaDataBlock:
        case Opnum::GetXml:
        case Opnum::SetXmlParams:
        case Opnum::SetXmlEvents:
        case Opnum::GetTimeLine:
        case Opnum::QueryEventsDyn:
        case Opnum::SetEventsDyn:
        case Opnum::QueryPtzSupportedDyn:
        case Opnum::QueryDeviceTypeStrDyn:
        case Opnum::ParseXmlEventDataDyn:
        case Opnum::GenerateCredentialsDyn:
        case Opnum::GetStreamInfo:
        case Opnum::OpenMediaStreamWithSettings:
            return true;
        default:
            return false;
    }
}

// A driver export (null when the driver lacks it) whose calls go through
// CallDriver.
template <typename TPointer>
class BoundExport {
public:
    BoundExport(const DriverLibrary& library, const char* szExport, TPointer pExport)
        : m_library(library), m_szExport(szExport), m_pExport(pExport) {}
    bool operator==(std::nullptr_t) const { return m_pExport == nullptr; }
    template <typename... TArgs>
    auto operator()(TArgs&&... args) const {
        return CallDriver(m_library.Site(m_szExport), m_pExport, std::forward<TArgs>(args)...);
    }

private:
    const DriverLibrary& m_library;
    const char* m_szExport;
    TPointer m_pExport;
};

// The driver's export for opnum N; a missing one is reported once.
template <Opnum N>
auto Resolve(DriverContext& context) {
    DriverLibrary& library = static_cast<DriverInstance&>(context).Library();
    const auto pExport = library.Exports().*ExportOf<N>::kPointer;
    if (pExport == nullptr) library.ReportMissing(static_cast<int>(N), ExportOf<N>::kName);
    return BoundExport(library, ExportOf<N>::kName, pExport);
}

// In values pass as they are; out values become the pointers the driver
// writes through.
template <typename T>
T&& Adapt(T&& value) {
    return std::forward<T>(value);
}
inline int* Adapt(std::int32_t& nOut) { return &nOut; }
inline double* Adapt(double& dOut) { return &dOut; }

namespace stype = kestrel::remote::stype;

class HostProcService final : public kestrel::remote::ProxyInterface {
public:
#define HOSTPROC_FORWARD_ARG(Kind, name, ...) , static_cast<decltype(name)&&>(name)
#define KESTREL_PROC(op, Name, R, ...)                                                        \
    stype::result::R Name(KESTREL_LIST(KESTREL_SERVER_PARAM, __VA_ARGS__)) override {         \
        return Serve(Op<Opnum::Name> {} KESTREL_FOR_EACH(HOSTPROC_FORWARD_ARG, __VA_ARGS__)); \
    }
#include "remote/ProxyInterface.def"
#undef KESTREL_PROC
#undef HOSTPROC_FORWARD_ARG

    void Rundown(std::unique_ptr<DriverContext> pContext) override;

private:
    template <Opnum N, typename... TArgs>
    requires(!IsSpecial(N)) typename ExportOf<N>::Result Serve(Op<N>, DriverContext& context, TArgs&&... args) {
        using TResult = typename ExportOf<N>::Result;
        const auto pExport = Resolve<N>(context);
        if (pExport == nullptr) {
            if constexpr (!std::is_void_v<TResult>)
                return TResult{};
            else
                return;
        }
        return pExport(Adapt(std::forward<TArgs>(args))...);
    }

    std::unique_ptr<DriverContext> Serve(Op<Opnum::LoadDriver>, const kestrel::rpc::CallerInfo& caller,
                                         const char* szDriverName);
    void Serve(Op<Opnum::UnloadDriver>, std::unique_ptr<DriverContext> pContext);
    std::int32_t Serve(Op<Opnum::GetImage2>, DriverContext& context, const char* szServer, std::int32_t nCamNo,
                       std::int32_t& nSize, kestrel::remote::OutBytes& pJpgBytes);
    std::int32_t Serve(Op<Opnum::GetInfo>, DriverContext& context, const char* strIP, const char* strPass,
                       kestrel::remote::OutString& xpcMAC, kestrel::remote::OutString& xpcDevType);
    void Serve(Op<Opnum::SetPanTiltDriver>, DriverContext& context, const char* szServer, const char* szUsername,
               const char* szPassword, std::int32_t nLength, const std::int32_t* nDriver, const std::int32_t* nComPort,
               const std::int32_t* nAdrId);
    std::int32_t Serve(Op<Opnum::QueryPresetPositions>, DriverContext& context, const char* szServer,
                       std::int32_t nCamNo, std::int32_t nPresetMax, std::int32_t nMaxStrLen,
                       kestrel::remote::OutStringArray& locPresetnames);
    std::int32_t Serve(Op<Opnum::GetVideoDataBlock>, DriverContext& context, const char* szServer, std::int32_t nCamNo,
                       std::int32_t& nSize, kestrel::remote::OutBytes& ppVideoDataBytes);
    std::int32_t Serve(Op<Opnum::QueryDeviceControlledFramerates>, DriverContext& context, const char* szServer,
                       const char* szPassword, std::int32_t nCamNo, std::int32_t& piNumFPSValues,
                       kestrel::remote::OutDoubles& ppdFPSValuesArray,
                       kestrel::remote::OutDoubles& ppdFPSInternalValsArray);
    std::int32_t Serve(Op<Opnum::GetMediaDataBlock>, DriverContext& context, const char* szServer,
                       std::int32_t nMediaType, std::int32_t nDeviceIndex, std::int32_t nStreamIndex,
                       std::int32_t& nSize, kestrel::remote::OutBytes& ppMediaDataBytes);
    std::int32_t Serve(Op<Opnum::PutMediaDataBlock>, DriverContext& context, const char* szServer,
                       std::int32_t nMediaType, std::int32_t nDeviceIndex, std::int32_t nStreamIndex,
                       std::int32_t nLength, const char* pMediaDataBytes, std::int32_t& pResultCode);
    std::int32_t Serve(Op<Opnum::GetXml>, DriverContext& context, const char* szServer, const char* szUser,
                       const char* szPassword, const char* szFilter, kestrel::remote::OutWString& wstrXML);
    std::int32_t Serve(Op<Opnum::SetXmlParams>, DriverContext& context, const char* szServer, const char* szUser,
                       const char* szPassword, const char16_t* bsXml, kestrel::remote::OutWString& wstrXML);
    std::int32_t Serve(Op<Opnum::SetXmlEvents>, DriverContext& context, const char* szServer, const char* szUser,
                       const char* szPassword, const char16_t* bsXml, kestrel::remote::OutWString& wstrXML);
    std::int32_t Serve(Op<Opnum::GetTimeLine>, DriverContext& context, const char* szServer, std::int32_t eMediaType,
                       std::int32_t nDeviceIndex, std::int32_t nStreamIndex, std::int64_t iStartTime,
                       std::int64_t iEndTime, kestrel::remote::OutWString& wstrRecordingTimeInfo);
    std::int32_t Serve(Op<Opnum::QueryEventsDyn>, DriverContext& context, const char* szServer, const char* szPass,
                       std::int32_t nMaxStrLen, std::int32_t nofUsedEvents, const char* const* aszUsedEvents,
                       std::int32_t& nofOpenEvents, kestrel::remote::OutStringArray& aszOpenEvents);
    std::int32_t Serve(Op<Opnum::SetEventsDyn>, DriverContext& context, const char* szServer, const char* szPassword,
                       std::int32_t nofEvents, const char* const* aszEvents);
    std::int32_t Serve(Op<Opnum::QueryPtzSupportedDyn>, DriverContext& context, const char* szServer,
                       const char* szPassword, std::int32_t nMaxStrLen, std::int32_t& size,
                       kestrel::remote::OutStringArray& ppszSupported);
    void Serve(Op<Opnum::QueryDeviceTypeStrDyn>, DriverContext& context, const char* szServer, const char* szPassword,
               kestrel::remote::OutString& pcDevType);
    std::int32_t Serve(Op<Opnum::ParseXmlEventDataDyn>, DriverContext& context, const char* szServer,
                       const char* szUser, const char* szPassword, std::int16_t nParserHandle, std::int32_t nLength,
                       const char* inputData, kestrel::remote::OutWString& wstrXml);
    std::int32_t Serve(Op<Opnum::GenerateCredentialsDyn>, DriverContext& context, const char* szServer,
                       const char* szUser, const char* szPassword, kestrel::remote::OutWString& wstrCredentials);
    std::int32_t Serve(Op<Opnum::GetStreamInfo>, DriverContext& context, const char* szServer, const char* szPassword,
                       std::int32_t nDeviceIndex, kestrel::remote::OutWString& wstrXML);
    std::int32_t Serve(Op<Opnum::OpenMediaStreamWithSettings>, DriverContext& context, const char* szServer,
                       const char* szPassword, std::int32_t nMediaType, std::int32_t nDeviceIndex,
                       std::int32_t nStreamIndex, const char* szEventName, const char16_t* settingsXml);
};

}  // namespace hostproc
