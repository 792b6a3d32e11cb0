// Loads libKestrel.so the way an application does (dlopen, resolve the
// exports) inside a private world for one test: its own socket directory,
// its own configuration folder, and standard error captured to a file so
// that trace lines and HostProc's diagnostics can be checked.
#pragma once

#include <kestrel/driver_exports.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel_test {

// The exports of one loaded libKestrel.so.
struct Kestrel {
#define KESTREL_TEST_POINTER(OP, R, NAME, PARAMS, ARGS) R(*NAME) PARAMS = nullptr;
    KESTREL_FORWARDING_EXPORTS(KESTREL_TEST_POINTER)
    KESTREL_DRIVER_SERVICE_EXPORTS(KESTREL_TEST_POINTER)
#undef KESTREL_TEST_POINTER
    int (*AddDeviceInstance)(const char*, const char*, const char*) = nullptr;
    void (*RemoveDeviceInstance)(const char*) = nullptr;
    int (*QueryDeviceId)(const char*, const char*) = nullptr;
    int (*GetRuntimeVersion)() = nullptr;
    int (*GetRuntimeVersionDyn)() = nullptr;
    int (*PreventAutoDetect)() = nullptr;
    int (*IsDebugBuild)() = nullptr;
    void (*PreUnload)() = nullptr;
};

// What a test's world looks like; tests change it before Load().
struct WorldOptions {
    // "Level" written to Proxies.ini; no file when empty.
    std::string strTraceLevel = "3";
    // More of Proxies.ini, after the trace level.
    std::string strIniExtra;
    // Spans of the test variant of the library.
    int nDeadlineMs = 600000;
    int nRetryMs = 1;
};

constexpr unsigned long kCallFailed = 0x6BE;  // RPC_S_CALL_FAILED
constexpr unsigned long kHostProcLost = 0x01000000;

// The code a forwarding call threw, or 0xDEADBEEF when nothing was thrown.
template <typename TCall>
unsigned long Thrown(TCall&& call) {
    try {
        call();
    } catch (unsigned long nCode) {
        return nCode;
    }
    return 0xDEADBEEFUL;
}

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Loads the library (reading Proxies.ini now) and resolves its exports.
    void Load();
    // Unloads it; the module's end runs now.
    void Unload();

    // The captured standard error so far (trace lines and HostProc's).
    std::string Log() const;
    // How many captured lines contain szText.
    int CountLines(const std::string& strText) const;
    bool HasLine(const std::string& strText) const { return CountLines(strText) > 0; }
    // Waits (bounded) until a captured line contains strText.
    bool WaitForLine(const std::string& strText) const;

    // This test's private folder (socket folder, configuration, state).
    const std::string& Root() const { return m_strRoot; }
    // The test driver's path, beside the test HostProc.
    static std::string TestDriver() { return KESTREL_TEST_DRIVERS_DIR "/libkestrel_testdriver.so"; }

    // The test driver's state text for an instance (GetXml "td:state").
    std::string DriverState(const std::string& strInstance);
    // The pid of the HostProc serving strInstance, from the driver's state.
    int HostProcPid(const std::string& strInstance);
    // A test-driver control command through ExecuteCustomCommand.
    int Control(const std::string& strInstance, const std::string& strCommand) {
        return k.ExecuteCustomCommand(strInstance.c_str(), "", 0, 0, 0, strCommand.c_str());
    }

    // True once the process has ended, waiting for it at most nWaitMs.
    static bool ProcessHasEnded(int nPid, int nWaitMs = 0);

    WorldOptions options;
    Kestrel k;

private:
    static int CountEntries(const char* szFolder);

    std::string m_strRoot;
    std::string m_strLogFile;
    int m_nSavedStderr = -1;
    void* m_hLibrary = nullptr;
    int m_nFdsBefore = 0;
    int m_nThreadsBefore = 0;
};

}  // namespace kestrel_test
