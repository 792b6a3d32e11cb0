// A driver file opened by HostProc: its exports resolved once, shared by
// every instance loaded from it, closed with the last of them.
#pragma once

#include <kestrel/driver_exports.h>

#include <array>
#include <atomic>
#include <memory>
#include <string>

#include "DriverCall.h"

namespace hostproc {

// One pointer per driver export; null where the driver lacks the export.
struct DriverExports {
#define HOSTPROC_EXPORT_POINTER(OPNUM, RESULT, NAME, PARAMS, ARGS) RESULT(*NAME) PARAMS = nullptr;
    KESTREL_FORWARDING_EXPORTS(HOSTPROC_EXPORT_POINTER)
    KESTREL_DRIVER_SERVICE_EXPORTS(HOSTPROC_EXPORT_POINTER)
#undef HOSTPROC_EXPORT_POINTER
};

class DriverLibrary {
public:
    // The library for strPath, opened now or shared with the instances that
    // already use it; null when it cannot be opened (strError says why).
    static std::shared_ptr<DriverLibrary> Open(const std::string& strPath, std::string& strError);
    ~DriverLibrary();
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    const DriverExports& Exports() const { return m_exports; }
    const std::string& Path() const { return m_strPath; }
    // What a call of szExport (a static string) into this driver is.
    DriverCallSite Site(const char* szExport) const { return {szExport, m_strPath.c_str(), m_strShownPath.c_str()}; }
    // Logs, once per export, that a call got the neutral answer.
    void ReportMissing(int nOpnum, const char* szExport);

private:
    DriverLibrary(void* hLibrary, std::string strPath);

    void* m_hLibrary;
    std::string m_strPath;
    std::string m_strShownPath;
    DriverExports m_exports;
    std::array<std::atomic<bool>, 128> m_reported{};
};

}  // namespace hostproc
