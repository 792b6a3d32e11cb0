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

#include <memory>
#include <string>
#include <utility>

#include "DriverLibrary.h"
#include "remote/ProxyServer.h"

namespace hostproc {

using kestrel::remote::DriverContext;

// One loaded driver instance: the context a LoadDriver call returned.
class DriverInstance final : public DriverContext {
public:
    DriverInstance(std::shared_ptr<DriverLibrary> pLibrary) : m_pLibrary(std::move(pLibrary)) {}
    DriverLibrary& Library() const { return *m_pLibrary; }

private:
    std::shared_ptr<DriverLibrary> m_pLibrary;
};

template <int N>
struct Op {};

// The driver export behind each opnum.
template <int N>
struct ExportOf;
#define HOSTPROC_EXPORT_OF(OPNUM, RESULT, NAME, PARAMS, ARGS)           \
    template <>                                                         \
    struct ExportOf<OPNUM> {                                            \
        using Result = RESULT;                                          \
        static constexpr auto kPointer = &DriverExports::NAME;          \
        static constexpr const char* kName = #NAME;                     \
    };
KESTREL_FORWARDING_EXPORTS(HOSTPROC_EXPORT_OF)
HOSTPROC_EXPORT_OF(43, void, SetFeatureSet, (const char*), ())
#undef HOSTPROC_EXPORT_OF

// Procedures that cannot pass their values straight to the driver.
constexpr bool IsSpecial(int nOpnum) {
    switch (nOpnum) {
        case 0: case 1: case 8: case 9: case 14: case 22: case 27: case 28: case 45: case 46: case 50:
        case 51: case 53: case 57: case 65: case 66: case 72: case 77: case 86: case 88: case 92: case 93:
            return true;
        default:
            return false;
    }
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
#define KESTREL_PROC(op, Name, R, ...)                                                   \
    stype::result::R Name(KESTREL_LIST(KESTREL_SERVER_PARAM, __VA_ARGS__)) override {   \
        return Serve(Op<op>{} KESTREL_FOR_EACH(HOSTPROC_FORWARD_ARG, __VA_ARGS__));      \
    }
#define KESTREL_RESERVED_PROC(...)
#include "remote/ProxyInterface.def"
#undef KESTREL_PROC
#undef KESTREL_RESERVED_PROC
#undef HOSTPROC_FORWARD_ARG

    void Rundown(std::unique_ptr<DriverContext> pContext) override;

private:
    template <int N, typename... TArgs>
        requires(!IsSpecial(N))
    typename ExportOf<N>::Result Serve(Op<N>, DriverContext& context, TArgs&&... args) {
        using TResult = typename ExportOf<N>::Result;
        DriverLibrary& library = static_cast<DriverInstance&>(context).Library();
        const auto pExport = library.Exports().*ExportOf<N>::kPointer;
        if (pExport == nullptr) {
            library.ReportMissing(N, ExportOf<N>::kName);
            if constexpr (!std::is_void_v<TResult>) return TResult{};
            else return;
        }
        return pExport(Adapt(std::forward<TArgs>(args))...);
    }

    std::unique_ptr<DriverContext> Serve(Op<0>, const kestrel::rpc::CallerInfo& caller, const char* szDriverName);
    void Serve(Op<1>, std::unique_ptr<DriverContext> pContext);
    std::int32_t Serve(Op<8>, DriverContext& context, const char* szServer, std::int32_t nCamNo, std::int32_t& nSize,
                       kestrel::remote::OutBytes& pJpgBytes);
    std::int32_t Serve(Op<9>, DriverContext& context, const char* strIP, const char* strPass,
                       kestrel::remote::OutString& xpcMAC, kestrel::remote::OutString& xpcDevType);
    void Serve(Op<14>, DriverContext& context, const char* szServer, const char* szUsername, const char* szPassword,
               std::int32_t nLength, const std::int32_t* nDriver, const std::int32_t* nComPort,
               const std::int32_t* nAdrId);
    std::int32_t Serve(Op<22>, DriverContext& context, const char* szServer, std::int32_t nCamNo,
                       std::int32_t nPresetMax, std::int32_t nMaxStrLen,
                       kestrel::remote::OutStringArray& locPresetnames);
    std::int32_t Serve(Op<27>, DriverContext& context, const char* szServer, std::int32_t nCamNo, std::int32_t& nSize,
                       kestrel::remote::OutBytes& ppVideoDataBytes);
    std::int32_t Serve(Op<28>, DriverContext& context, const char* szServer, const char* szPassword,
                       std::int32_t nCamNo, std::int32_t& piNumFPSValues, kestrel::remote::OutDoubles& ppdFPSValuesArray,
                       kestrel::remote::OutDoubles& ppdFPSInternalValsArray);
    std::int32_t Serve(Op<45>, DriverContext& context, const char* szServer, std::int32_t nMediaType,
                       std::int32_t nDeviceIndex, std::int32_t nStreamIndex, std::int32_t& nSize,
                       kestrel::remote::OutBytes& ppMediaDataBytes);
    std::int32_t Serve(Op<46>, DriverContext& context, const char* szServer, std::int32_t nMediaType,
                       std::int32_t nDeviceIndex, std::int32_t nStreamIndex, std::int32_t nLength,
                       const char* pMediaDataBytes, std::int32_t& pResultCode);
    std::int32_t Serve(Op<50>, DriverContext& context, const char* szServer, const char* szUser,
                       const char* szPassword, const char* szFilter, kestrel::remote::OutWString& wstrXML);
    std::int32_t Serve(Op<51>, DriverContext& context, const char* szServer, const char* szUser,
                       const char* szPassword, const char16_t* bsXml, kestrel::remote::OutWString& wstrXML);
    std::int32_t Serve(Op<53>, DriverContext& context, const char* szServer, const char* szUser,
                       const char* szPassword, const char16_t* bsXml, kestrel::remote::OutWString& wstrXML);
    std::int32_t Serve(Op<57>, DriverContext& context, const char* szServer, std::int32_t eMediaType,
                       std::int32_t nDeviceIndex, std::int32_t nStreamIndex, std::int64_t iStartTime,
                       std::int64_t iEndTime, kestrel::remote::OutWString& wstrRecordingTimeInfo);
    std::int32_t Serve(Op<65>, DriverContext& context, const char* szServer, const char* szPass,
                       std::int32_t nMaxStrLen, std::int32_t nofUsedEvents, const char* const* aszUsedEvents,
                       std::int32_t& nofOpenEvents, kestrel::remote::OutStringArray& aszOpenEvents);
    std::int32_t Serve(Op<66>, DriverContext& context, const char* szServer, const char* szPassword,
                       std::int32_t nofEvents, const char* const* aszEvents);
    std::int32_t Serve(Op<72>, DriverContext& context, const char* szServer, const char* szPassword,
                       std::int32_t nMaxStrLen, std::int32_t& size, kestrel::remote::OutStringArray& ppszSupported);
    void Serve(Op<77>, DriverContext& context, const char* szServer, const char* szPassword,
               kestrel::remote::OutString& pcDevType);
    std::int32_t Serve(Op<86>, DriverContext& context, const char* szServer, const char* szUser,
                       const char* szPassword, std::int16_t nParserHandle, std::int32_t nLength, const char* inputData,
                       kestrel::remote::OutWString& wstrXml);
    std::int32_t Serve(Op<88>, DriverContext& context, const char* szServer, const char* szUser,
                       const char* szPassword, kestrel::remote::OutWString& wstrCredentials);
    std::int32_t Serve(Op<92>, DriverContext& context, const char* szServer, const char* szPassword,
                       std::int32_t nDeviceIndex, kestrel::remote::OutWString& wstrXML);
    std::int32_t Serve(Op<93>, DriverContext& context, const char* szServer, const char* szPassword,
                       std::int32_t nMediaType, std::int32_t nDeviceIndex, std::int32_t nStreamIndex,
                       const char* szEventName, const char16_t* settingsXml);
};

}  // namespace hostproc
