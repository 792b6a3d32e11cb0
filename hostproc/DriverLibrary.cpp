#include "DriverLibrary.h"

#include <map>
#include <mutex>

#include <dlfcn.h>

#include "Diagnostics.h"

namespace hostproc {

namespace {

std::mutex g_mtxLibraries;
std::map<std::string, std::weak_ptr<DriverLibrary>> g_libraries;

}  // namespace

DriverLibrary::DriverLibrary(void* hLibrary, std::string strPath)
    : m_hLibrary(hLibrary), m_strPath(std::move(strPath)), m_strShownPath(Escaped(m_strPath)) {
#define HOSTPROC_RESOLVE(OPNUM, RESULT, NAME, PARAMS, ARGS) \
    m_exports.NAME = reinterpret_cast<RESULT(*) PARAMS>(dlsym(m_hLibrary, #NAME));
    KESTREL_FORWARDING_EXPORTS(HOSTPROC_RESOLVE)
    KESTREL_DRIVER_SERVICE_EXPORTS(HOSTPROC_RESOLVE)
#undef HOSTPROC_RESOLVE
}

std::shared_ptr<DriverLibrary> DriverLibrary::Open(const std::string& strPath, std::string& strError) {
    std::lock_guard<std::mutex> lock(g_mtxLibraries);
    if (auto pShared = g_libraries[strPath].lock()) return pShared;
    // RTLD_LOCAL: a driver's calls to its own exports (its DeleteBuffer)
    // bind to the driver, never to another driver's.
    // The driver's constructors run in dlopen.
    const std::string strShownPath = Escaped(strPath);
    void* hLibrary = nullptr;
    {
        DriverCallScope scope({"LoadDriver", strPath.c_str(), strShownPath.c_str()});
        hLibrary = dlopen(strPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (hLibrary == nullptr) {
        const char* szError = dlerror();
        strError = szError != nullptr ? szError : "unknown error";
        g_libraries.erase(strPath);
        return nullptr;
    }
    std::shared_ptr<DriverLibrary> pLibrary(new DriverLibrary(hLibrary, strPath));
    g_libraries[strPath] = pLibrary;
    Diagnose("opened driver '%s'", strPath.c_str());
    return pLibrary;
}

DriverLibrary::~DriverLibrary() {
    {
        DriverCallScope scope(Site("UnloadDriver"));  // its destructors run in dlclose
        dlclose(m_hLibrary);
    }
    Diagnose("closed driver '%s'", m_strPath.c_str());
}

void DriverLibrary::ReportMissing(int nOpnum, const char* szExport) {
    const size_t nIndex = static_cast<size_t>(nOpnum) % m_reported.size();
    if (!m_reported[nIndex].exchange(true)) {
        DiagnoseAs(Severity::Warning, "driver '%s' has no export %s: answering 0 and null outputs", m_strPath.c_str(),
                   szExport);
    }
}

}  // namespace hostproc
