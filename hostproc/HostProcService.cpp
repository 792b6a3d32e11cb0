#include "HostProcService.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "Confinement.h"
#include "Diagnostics.h"
#include "LoadError.h"
#include "rpcrt/Status.h"

namespace hostproc {

namespace {

using kestrel::remote::OutBytes;
using kestrel::remote::OutDoubles;
using kestrel::remote::OutString;
using kestrel::remote::OutStringArray;
using kestrel::remote::OutWString;

// Caller storage for exports that write texts, as the driver API sizes it.
constexpr size_t kTextBuffer = 256;
constexpr int kMaxSupported = 256;
constexpr std::int32_t kMaxPresets = 4096;
constexpr std::int32_t kMaxStrLen = 4096;

DriverLibrary& LibraryOf(DriverContext& context) { return static_cast<DriverInstance&>(context).Library(); }

// A text from a driver's buffer of m characters, cut to m - 1 so that a
// buffer filled without a terminator still gives a valid reply.
std::string Cut(const char* szBuffer, size_t nSize) { return std::string(szBuffer, strnlen(szBuffer, nSize - 1)); }

void CheckBound(bool bInside) {
    if (!bInside) throw kestrel::rpc::RpcError(RPC_X_INVALID_BOUND);
}

// nCount zeroed buffers of nSize characters and the pointers to them.
class CallerBuffers {
public:
    CallerBuffers(size_t nCount, size_t nSize) : m_storage(nCount * nSize, '\0'), m_pointers(nCount), m_nSize(nSize) {
        for (size_t i = 0; i < nCount; ++i) m_pointers[i] = m_storage.data() + i * nSize;
    }
    char** Pointers() { return m_pointers.data(); }
    std::string Text(size_t i) const { return Cut(m_pointers[i], m_nSize); }

private:
    std::vector<char> m_storage;
    std::vector<char*> m_pointers;
    size_t m_nSize;
};

void SetText(OutString& out, const std::string& strText) { out.set(strText.c_str()); }

// A block the driver handed over goes onto the wire from where it lies and
// is released with the driver's own DeleteBuffer once sent.
void HandOverBlock(DriverLibrary& library, unsigned char* pBlock, int nLength, std::int32_t& nSize, OutBytes& out) {
    const auto pDelete = library.Exports().DeleteBuffer;
    auto release = [pBlock, pDelete, &library] {
        if (pDelete != nullptr) CallDriver(library.Site("DeleteBuffer"), pDelete, pBlock);
    };
    if (pBlock != nullptr && nLength > 0) {
        nSize = nLength;
        out.adopt(reinterpret_cast<const char*>(pBlock), release);
    } else {
        nSize = 0;
        if (pBlock != nullptr) release();
    }
}

void HandOverDoubles(DriverLibrary& library, double* pArray, OutDoubles& out) {
    if (pArray == nullptr) return;
    const auto pDelete = library.Exports().DeleteBuffer;
    out.adopt(pArray, [pArray, pDelete, &library] {
        if (pDelete != nullptr)
            CallDriver(library.Site("DeleteBuffer"), pDelete, reinterpret_cast<unsigned char*>(pArray));
    });
}

// A BSTR the driver stored goes back as a wide string; HostProc frees it.
class BstrVariable {
public:
    BstrVariable() = default;
    explicit BstrVariable(const char16_t* szText) : m_bs(SysAllocString(szText)) {}
    ~BstrVariable() { SysFreeString(m_bs); }
    BstrVariable(const BstrVariable&) = delete;
    BstrVariable& operator=(const BstrVariable&) = delete;
    BSTR* Address() { return &m_bs; }
    void SendTo(OutWString& out) const {
        if (m_bs != nullptr) out.set(m_bs);
    }

private:
    BSTR m_bs = nullptr;
};

}  // namespace

void HostProcService::Rundown(std::unique_ptr<DriverContext> pContext) {
    Diagnose("client went away: releasing an instance of '%s'",
             static_cast<DriverInstance&>(*pContext).Library().Path().c_str());
    pContext.reset();
}

std::unique_ptr<DriverContext> HostProcService::Serve(Op<Opnum::LoadDriver>, const kestrel::rpc::CallerInfo&,
                                                      const char* szDriverName) {
    if (const std::string strRefusal = LoadRefusal(szDriverName); !strRefusal.empty()) {
        DiagnoseAs(Severity::Warning, "cannot load driver '%s': %s", szDriverName, strRefusal.c_str());
        return nullptr;
    }
    std::string strError;
    std::shared_ptr<DriverLibrary> pLibrary = DriverLibrary::Open(szDriverName, strError);
    if (!pLibrary) {
        DiagnoseAs(Severity::Warning, "cannot load driver '%s': %s", szDriverName, strError.c_str());
        LeaveLoadError(strError);
        return nullptr;  // the null handle: the load failed
    }
    return std::make_unique<DriverInstance>(std::move(pLibrary));
}

void HostProcService::Serve(Op<Opnum::UnloadDriver>, std::unique_ptr<DriverContext> pContext) { pContext.reset(); }

// The three block exports: the driver returns the length of the block it
// handed over through its last argument.
template <Opnum N, typename... TArgs>
std::int32_t ServeBlock(DriverContext& context, std::int32_t& nSize, OutBytes& out, TArgs... args) {
    const auto pExport = Resolve<N>(context);
    if (pExport == nullptr) return 0;
    unsigned char* pBlock = nullptr;
    const int nResult = pExport(args..., &pBlock);
    HandOverBlock(LibraryOf(context), pBlock, nResult, nSize, out);
    return nResult;
}

std::int32_t HostProcService::Serve(Op<Opnum::GetImage2>, DriverContext& context, const char* szServer,
                                    std::int32_t nCamNo, std::int32_t& nSize, OutBytes& pJpgBytes) {
    return ServeBlock<Opnum::GetImage2>(context, nSize, pJpgBytes, szServer, nCamNo);
}

std::int32_t HostProcService::Serve(Op<Opnum::GetVideoDataBlock>, DriverContext& context, const char* szServer,
                                    std::int32_t nCamNo, std::int32_t& nSize, OutBytes& ppVideoDataBytes) {
    return ServeBlock<Opnum::GetVideoDataBlock>(context, nSize, ppVideoDataBytes, szServer, nCamNo);
}

std::int32_t HostProcService::Serve(Op<Opnum::GetMediaDataBlock>, DriverContext& context, const char* szServer,
                                    std::int32_t nMediaType, std::int32_t nDeviceIndex, std::int32_t nStreamIndex,
                                    std::int32_t& nSize, OutBytes& ppMediaDataBytes) {
    return ServeBlock<Opnum::GetMediaDataBlock>(context, nSize, ppMediaDataBytes, szServer, nMediaType, nDeviceIndex,
                                                nStreamIndex);
}

std::int32_t HostProcService::Serve(Op<Opnum::PutMediaDataBlock>, DriverContext& context, const char* szServer,
                                    std::int32_t nMediaType, std::int32_t nDeviceIndex, std::int32_t nStreamIndex,
                                    std::int32_t nLength, const char* pMediaDataBytes, std::int32_t& pResultCode) {
    const auto pExport = Resolve<Opnum::PutMediaDataBlock>(context);
    if (pExport == nullptr) return 0;
    // The driver takes the data before its length.
    return pExport(szServer, nMediaType, nDeviceIndex, nStreamIndex,
                   reinterpret_cast<const unsigned char*>(pMediaDataBytes), nLength, &pResultCode);
}

std::int32_t HostProcService::Serve(Op<Opnum::GetInfo>, DriverContext& context, const char* strIP, const char* strPass,
                                    OutString& xpcMAC, OutString& xpcDevType) {
    const auto pExport = Resolve<Opnum::GetInfo>(context);
    if (pExport == nullptr) return 0;
    CallerBuffers buffers(2, kTextBuffer);
    const int nResult = pExport(strIP, strPass, buffers.Pointers()[0], buffers.Pointers()[1]);
    SetText(xpcMAC, buffers.Text(0));
    SetText(xpcDevType, buffers.Text(1));
    return nResult;
}

void HostProcService::Serve(Op<Opnum::QueryDeviceTypeStrDyn>, DriverContext& context, const char* szServer,
                            const char* szPassword, OutString& pcDevType) {
    const auto pExport = Resolve<Opnum::QueryDeviceTypeStrDyn>(context);
    if (pExport == nullptr) return;
    CallerBuffers buffers(1, kTextBuffer);
    pExport(szServer, szPassword, buffers.Pointers()[0]);
    SetText(pcDevType, buffers.Text(0));
}

void HostProcService::Serve(Op<Opnum::SetPanTiltDriver>, DriverContext& context, const char* szServer,
                            const char* szUsername, const char* szPassword, std::int32_t nLength,
                            const std::int32_t* nDriver, const std::int32_t* nComPort, const std::int32_t* nAdrId) {
    const auto pExport = Resolve<Opnum::SetPanTiltDriver>(context);
    if (pExport == nullptr) return;
    // The driver reads 256 entries of each array, whatever was sent.
    constexpr size_t kEntries = 256;
    std::vector<int> drivers(kEntries, 0), ports(kEntries, 0), addresses(kEntries, 0);
    const size_t nCopy = std::min<size_t>(kEntries, nLength > 0 ? static_cast<size_t>(nLength) : 0);
    std::copy_n(nDriver, nCopy, drivers.begin());
    std::copy_n(nComPort, nCopy, ports.begin());
    std::copy_n(nAdrId, nCopy, addresses.begin());
    pExport(szServer, szUsername, szPassword, drivers.data(), ports.data(), addresses.data());
}

std::int32_t HostProcService::Serve(Op<Opnum::QueryPresetPositions>, DriverContext& context, const char* szServer,
                                    std::int32_t nCamNo, std::int32_t nPresetMax, std::int32_t nMaxStrLen,
                                    OutStringArray& locPresetnames) {
    CheckBound(nPresetMax >= 0 && nPresetMax <= kMaxPresets && nMaxStrLen >= 1 && nMaxStrLen <= kMaxStrLen);
    const auto pExport = Resolve<Opnum::QueryPresetPositions>(context);
    if (pExport == nullptr) return 0;
    CallerBuffers buffers(static_cast<size_t>(nPresetMax), static_cast<size_t>(nMaxStrLen));
    const int nResult = pExport(szServer, nCamNo, nPresetMax, buffers.Pointers());
    locPresetnames.resize(static_cast<size_t>(nPresetMax));
    for (size_t i = 0; i < static_cast<size_t>(nPresetMax); ++i) locPresetnames.set(i, buffers.Text(i).c_str());
    return nResult;
}

std::int32_t HostProcService::Serve(Op<Opnum::QueryPtzSupportedDyn>, DriverContext& context, const char* szServer,
                                    const char* szPassword, std::int32_t nMaxStrLen, std::int32_t& size,
                                    OutStringArray& ppszSupported) {
    CheckBound(nMaxStrLen >= 1 && nMaxStrLen <= kMaxStrLen);
    const auto pExport = Resolve<Opnum::QueryPtzSupportedDyn>(context);
    if (pExport == nullptr) return 0;
    CallerBuffers buffers(kMaxSupported, static_cast<size_t>(nMaxStrLen));
    const int nCount = std::clamp(pExport(szServer, szPassword, buffers.Pointers()), 0, kMaxSupported);
    size = nCount;
    ppszSupported.resize(static_cast<size_t>(nCount));
    for (int i = 0; i < nCount; ++i)
        ppszSupported.set(static_cast<size_t>(i), buffers.Text(static_cast<size_t>(i)).c_str());
    return nCount;
}

std::int32_t HostProcService::Serve(Op<Opnum::QueryDeviceControlledFramerates>, DriverContext& context,
                                    const char* szServer, const char* szPassword, std::int32_t nCamNo,
                                    std::int32_t& piNumFPSValues, OutDoubles& ppdFPSValuesArray,
                                    OutDoubles& ppdFPSInternalValsArray) {
    const auto pExport = Resolve<Opnum::QueryDeviceControlledFramerates>(context);
    if (pExport == nullptr) return 0;
    int nCount = 0;
    double* pValues = nullptr;
    double* pInternal = nullptr;
    const int nResult = pExport(szServer, szPassword, nCamNo, &nCount, &pValues, &pInternal);
    piNumFPSValues = nCount < 0 ? 0 : nCount;
    HandOverDoubles(LibraryOf(context), pValues, ppdFPSValuesArray);
    HandOverDoubles(LibraryOf(context), pInternal, ppdFPSInternalValsArray);
    return nResult;
}

// Exports that store a new BSTR in their last argument; HostProc sends it
// and frees it.
template <Opnum N, typename... TArgs>
std::int32_t ServeBstrOut(DriverContext& context, OutWString& out, TArgs... args) {
    const auto pExport = Resolve<N>(context);
    if (pExport == nullptr) return 0;
    BstrVariable bsOut;
    const auto result = pExport(args..., bsOut.Address());
    bsOut.SendTo(out);
    return result;
}

// Exports whose BSTR variable carries the XML in and the answer out.
template <Opnum N, typename... TArgs>
std::int32_t ServeBstrInOut(DriverContext& context, const char16_t* szIn, OutWString& out, TArgs... args) {
    const auto pExport = Resolve<N>(context);
    if (pExport == nullptr) return 0;
    BstrVariable bsVariable(szIn);
    const bool bResult = pExport(args..., bsVariable.Address());
    bsVariable.SendTo(out);
    return bResult ? 1 : 0;
}

std::int32_t HostProcService::Serve(Op<Opnum::GetXml>, DriverContext& context, const char* szServer, const char* szUser,
                                    const char* szPassword, const char* szFilter, OutWString& wstrXML) {
    return ServeBstrOut<Opnum::GetXml>(context, wstrXML, szServer, szUser, szPassword, szFilter);
}

std::int32_t HostProcService::Serve(Op<Opnum::SetXmlParams>, DriverContext& context, const char* szServer,
                                    const char* szUser, const char* szPassword, const char16_t* bsXml,
                                    OutWString& wstrXML) {
    return ServeBstrInOut<Opnum::SetXmlParams>(context, bsXml, wstrXML, szServer, szUser, szPassword);
}

std::int32_t HostProcService::Serve(Op<Opnum::SetXmlEvents>, DriverContext& context, const char* szServer,
                                    const char* szUser, const char* szPassword, const char16_t* bsXml,
                                    OutWString& wstrXML) {
    return ServeBstrInOut<Opnum::SetXmlEvents>(context, bsXml, wstrXML, szServer, szUser, szPassword);
}

std::int32_t HostProcService::Serve(Op<Opnum::GetTimeLine>, DriverContext& context, const char* szServer,
                                    std::int32_t eMediaType, std::int32_t nDeviceIndex, std::int32_t nStreamIndex,
                                    std::int64_t iStartTime, std::int64_t iEndTime, OutWString& wstrRecordingTimeInfo) {
    return ServeBstrOut<Opnum::GetTimeLine>(context, wstrRecordingTimeInfo, szServer, eMediaType, nDeviceIndex,
                                            nStreamIndex, static_cast<long long>(iStartTime),
                                            static_cast<long long>(iEndTime));
}

std::int32_t HostProcService::Serve(Op<Opnum::ParseXmlEventDataDyn>, DriverContext& context, const char* szServer,
                                    const char* szUser, const char* szPassword, std::int16_t nParserHandle,
                                    std::int32_t nLength, const char* inputData, OutWString& wstrXml) {
    // The driver takes the data before its length.
    return ServeBstrOut<Opnum::ParseXmlEventDataDyn>(
        context, wstrXml, szServer, szUser, szPassword, static_cast<short>(nParserHandle),
        reinterpret_cast<const unsigned char*>(inputData), static_cast<int>(nLength));
}

std::int32_t HostProcService::Serve(Op<Opnum::GenerateCredentialsDyn>, DriverContext& context, const char* szServer,
                                    const char* szUser, const char* szPassword, OutWString& wstrCredentials) {
    return ServeBstrOut<Opnum::GenerateCredentialsDyn>(context, wstrCredentials, szServer, szUser, szPassword);
}

std::int32_t HostProcService::Serve(Op<Opnum::GetStreamInfo>, DriverContext& context, const char* szServer,
                                    const char* szPassword, std::int32_t nDeviceIndex, OutWString& wstrXML) {
    return ServeBstrOut<Opnum::GetStreamInfo>(context, wstrXML, szServer, szPassword, static_cast<int>(nDeviceIndex));
}

std::int32_t HostProcService::Serve(Op<Opnum::OpenMediaStreamWithSettings>, DriverContext& context,
                                    const char* szServer, const char* szPassword, std::int32_t nMediaType,
                                    std::int32_t nDeviceIndex, std::int32_t nStreamIndex, const char* szEventName,
                                    const char16_t* settingsXml) {
    const auto pExport = Resolve<Opnum::OpenMediaStreamWithSettings>(context);
    if (pExport == nullptr) return 0;
    BstrVariable bsSettings(settingsXml);  // only read by the driver
    return pExport(szServer, szPassword, nMediaType, nDeviceIndex, nStreamIndex, szEventName, bsSettings.Address()) ? 1
                                                                                                                    : 0;
}

std::int32_t HostProcService::Serve(Op<Opnum::QueryEventsDyn>, DriverContext& context, const char* szServer,
                                    const char* szPass, std::int32_t nMaxStrLen, std::int32_t nofUsedEvents,
                                    const char* const* aszUsedEvents, std::int32_t& nofOpenEvents,
                                    OutStringArray& aszOpenEvents) {
    CheckBound(nMaxStrLen >= 1 && nMaxStrLen <= kMaxStrLen);
    const auto pExport = Resolve<Opnum::QueryEventsDyn>(context);
    if (pExport == nullptr) return 0;
    CStringArray usedEvents;
    for (std::int32_t i = 0; i < nofUsedEvents; ++i)
        usedEvents.Add(aszUsedEvents[i] != nullptr ? aszUsedEvents[i] : "");
    CStringArray openEvents;
    const int nResult = pExport(szServer, szPass, usedEvents, openEvents);
    nofOpenEvents = openEvents.GetSize();
    aszOpenEvents.resize(static_cast<size_t>(openEvents.GetSize()));
    for (int i = 0; i < openEvents.GetSize(); ++i) {
        const char* szEvent = openEvents[i] != nullptr ? openEvents[i] : "";
        aszOpenEvents.set(static_cast<size_t>(i), Cut(szEvent, static_cast<size_t>(nMaxStrLen)).c_str());
    }
    return nResult;
}

std::int32_t HostProcService::Serve(Op<Opnum::SetEventsDyn>, DriverContext& context, const char* szServer,
                                    const char* szPassword, std::int32_t nofEvents, const char* const* aszEvents) {
    const auto pExport = Resolve<Opnum::SetEventsDyn>(context);
    if (pExport == nullptr) return 0;
    CStringArray events;
    for (std::int32_t i = 0; i < nofEvents; ++i) events.Add(aszEvents[i] != nullptr ? aszEvents[i] : "");
    return pExport(szServer, szPassword, events);
}

}  // namespace hostproc
