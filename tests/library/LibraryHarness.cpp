#include "LibraryHarness.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace kestrel_test {

namespace {

void SetEnv(const char* szName, const std::string& strValue) { setenv(szName, strValue.c_str(), 1); }

std::string ReadFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

}  // namespace

int LibraryTest::CountEntries(const char* szFolder) {
    return static_cast<int>(std::distance(fs::directory_iterator(szFolder), fs::directory_iterator()));
}

void LibraryTest::SetUp() {
    // A sanitizer starts a background thread of its own with the program's
    // first thread; start it now so that it is not counted as the library's.
    std::thread([] {}).join();
    char szTemplate[] = "/tmp/kestrel-library-test-XXXXXX";
    ASSERT_NE(mkdtemp(szTemplate), nullptr);
    m_strRoot = szTemplate;
    fs::create_directories(m_strRoot + "/rpc");
    fs::permissions(m_strRoot + "/rpc", fs::perms::owner_all, fs::perm_options::replace);
    m_strLogFile = m_strRoot + "/stderr.log";

    // Everything this test's library and HostProcs write to stderr lands in
    // the log file.
    std::fflush(stderr);
    m_nSavedStderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    const int nLog = open(m_strLogFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(nLog, 0);
    dup2(nLog, STDERR_FILENO);
    close(nLog);
}

void LibraryTest::Load() {
    SetEnv("KESTREL_RPC_DIR", m_strRoot + "/rpc");
    SetEnv("KESTREL_TEST_DEADLINE_MS", std::to_string(options.nDeadlineMs));
    SetEnv("KESTREL_TEST_RETRY_MS", std::to_string(options.nRetryMs));
    SetEnv("KESTREL_TEST_TIMER_PERIOD_MS", "20");
    SetEnv("KESTREL_TEST_STOP_STEP_MS", "100");
    SetEnv("KESTREL_TEST_HOSTPROC_IDLE_MS", "300");
    SetEnv("KESTREL_TEST_HOSTPROC_INITIAL_MS", "5000");
    SetEnv("KESTREL_TEST_HOSTPROC_STOP_MS", "300");

    // Proxies.ini mirrors the library's folder one level up under the
    // common configuration folder.
    const std::string strXdg = m_strRoot + "/xdg";
    fs::create_directories(strXdg);
    SetEnv("XDG_CONFIG_DIRS", strXdg);
    if (!options.strTraceLevel.empty()) {
        const fs::path libraryFolder = fs::canonical(KESTREL_TEST_LIBRARY).parent_path();
        const fs::path iniFolder =
            (fs::path(strXdg) / "VideoDeviceDrivers" / libraryFolder.relative_path() / "..").lexically_normal();
        fs::create_directories(iniFolder);
        std::ofstream(iniFolder / "Proxies.ini") << "[ProxyLogging]\nLevel=" << options.strTraceLevel << "\n"
                                                 << options.strIniExtra;
    }
    // HostProcs keep their state folders in this test's world.
    SetEnv("XDG_STATE_HOME", m_strRoot + "/state");

    m_nFdsBefore = CountEntries("/proc/self/fd");
    m_nThreadsBefore = CountEntries("/proc/self/task");
    m_hLibrary = dlopen(KESTREL_TEST_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(m_hLibrary, nullptr) << dlerror();
#define KESTREL_TEST_RESOLVE(OP, R, NAME, PARAMS, ARGS) \
    k.NAME = reinterpret_cast<R(*) PARAMS>(dlsym(m_hLibrary, #NAME));
    KESTREL_FORWARDING_EXPORTS(KESTREL_TEST_RESOLVE)
    KESTREL_DRIVER_SERVICE_EXPORTS(KESTREL_TEST_RESOLVE)
#undef KESTREL_TEST_RESOLVE
#define KESTREL_TEST_RESOLVE_LOCAL(NAME) k.NAME = reinterpret_cast<decltype(k.NAME)>(dlsym(m_hLibrary, #NAME));
    KESTREL_TEST_RESOLVE_LOCAL(AddDeviceInstance)
    KESTREL_TEST_RESOLVE_LOCAL(RemoveDeviceInstance)
    KESTREL_TEST_RESOLVE_LOCAL(QueryDeviceId)
    KESTREL_TEST_RESOLVE_LOCAL(GetRuntimeVersion)
    KESTREL_TEST_RESOLVE_LOCAL(GetRuntimeVersionDyn)
    KESTREL_TEST_RESOLVE_LOCAL(PreventAutoDetect)
    KESTREL_TEST_RESOLVE_LOCAL(IsDebugBuild)
    KESTREL_TEST_RESOLVE_LOCAL(PreUnload)
#undef KESTREL_TEST_RESOLVE_LOCAL
}

void LibraryTest::Unload() {
    if (m_hLibrary == nullptr) return;
    ASSERT_EQ(dlclose(m_hLibrary), 0);
    m_hLibrary = nullptr;
    // Nothing pinned it: the module is really gone.
    EXPECT_EQ(dlopen(KESTREL_TEST_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr);
    // The library leaves no thread, no descriptor and no child behind.
    EXPECT_EQ(CountEntries("/proc/self/task"), m_nThreadsBefore);
    EXPECT_EQ(CountEntries("/proc/self/fd"), m_nFdsBefore);
}

void LibraryTest::TearDown() {
    Unload();
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD) << "a child of the test process was left behind";

    std::fflush(stderr);
    dup2(m_nSavedStderr, STDERR_FILENO);
    close(m_nSavedStderr);
    if (HasFailure()) std::cerr << "---- captured stderr ----\n" << Log() << "---- end ----\n";
    std::error_code ignored;
    fs::remove_all(m_strRoot, ignored);
}

std::string LibraryTest::Log() const { return ReadFile(m_strLogFile); }

int LibraryTest::CountLines(const std::string& strText) const {
    std::istringstream lines(Log());
    int nCount = 0;
    for (std::string strLine; std::getline(lines, strLine);) {
        if (strLine.find(strText) != std::string::npos) ++nCount;
    }
    return nCount;
}

bool LibraryTest::WaitForLine(const std::string& strText) const {
    // The log is a file that other processes write too: it is read again
    // until the line is there, for a minute at most.
    const auto tGiveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!HasLine(strText)) {
        if (std::chrono::steady_clock::now() > tGiveUp) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string LibraryTest::DriverState(const std::string& strInstance) {
    BSTR bsState = nullptr;
    k.GetXml(strInstance.c_str(), "", "", "td:state", &bsState);
    std::string strState;
    for (const OLECHAR* p = bsState; p != nullptr && *p != 0; ++p) strState.push_back(static_cast<char>(*p));
    SysFreeString(bsState);
    return strState;
}

int LibraryTest::HostProcPid(const std::string& strInstance) {
    const std::string strState = DriverState(strInstance);
    const size_t nAt = strState.find("pid=");
    return nAt == std::string::npos ? 0 : std::atoi(strState.c_str() + nAt + 4);
}

bool LibraryTest::ProcessHasEnded(int nPid, int nWaitMs) {
    const int hProcess = static_cast<int>(syscall(SYS_pidfd_open, nPid, 0));
    if (hProcess < 0) return errno == ESRCH;
    pollfd entry{hProcess, POLLIN, 0};
    int nReady;
    while ((nReady = poll(&entry, 1, nWaitMs)) < 0 && errno == EINTR) {
    }
    const bool bEnded = nReady == 1;
    close(hProcess);
    return bEnded;
}

}  // namespace kestrel_test
