// Which driver export each thread is running, so that a driver that dies,
// throws or exits is named with the export it was in. Every call into a
// driver goes through CallDriver (the export resolvers of HostProcService
// hand out callables that do).
#pragma once

#include <cxxabi.h>

#include <exception>
#include <utility>

namespace hostproc {

struct DriverCallSite {
    const char* szExport;     // a static string
    const char* szPath;       // the driver's path, as given
    const char* szShownPath;  // the same, escaped for a line
};

// Marks the calling thread as inside a driver for its lifetime.
class DriverCallScope {
public:
    explicit DriverCallScope(const DriverCallSite& site);
    ~DriverCallScope();
    DriverCallScope(const DriverCallScope&) = delete;
    DriverCallScope& operator=(const DriverCallScope&) = delete;

private:
    DriverCallSite m_site;
    const DriverCallSite* m_pOuter;
};

// The line for a C++ exception that left a driver export; szWhat is null
// for one that is no std::exception.
void ReportDriverException(const DriverCallSite& site, const char* szWhat);

// The line for a fatal signal, naming the export when this thread is in
// one. Async-signal-safe.
void ReportFatalSignal(int nSignal) noexcept;

// The process the lines are about: a child a driver forks is not HostProc.
void SetHostProcPid();
bool InHostProc() noexcept;

// Calls pExport inside a scope; an exception is reported and goes on to the
// runtime, which answers the call with a fault.
template <typename TExport, typename... TArgs>
auto CallDriver(const DriverCallSite& site, TExport pExport, TArgs&&... args) {
    DriverCallScope scope(site);
    try {
        return pExport(std::forward<TArgs>(args)...);
    } catch (const abi::__forced_unwind&) {
        throw;  // a thread being cancelled, not the driver's doing
    } catch (const std::exception& error) {
        ReportDriverException(site, error.what());
        throw;
    } catch (...) {
        ReportDriverException(site, nullptr);
        throw;
    }
}

}  // namespace hostproc
