#include "HostProcHarness.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include "testdriver_protocol.h"

extern char** environ;

namespace fs = std::filesystem;

namespace hostproc_test {

namespace {

// Long enough for the slowest sanitizer build, short enough to fail well
// before the test's CTest timeout.
constexpr auto kWatchdog = 150s;

std::string NewEndpoint() {
    uuid_t uuid;
    uuid_generate_random(uuid);
    char szText[37];
    uuid_unparse_upper(uuid, szText);
    return szText;
}

int PollOne(int nFd, short nEvents, std::chrono::milliseconds bound) {
    pollfd entry{nFd, nEvents, 0};
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const int nReady = poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (nReady >= 0 || errno != EINTR) return nReady;
    }
}

std::string ReadFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

// LeakSanitizer's report in a HostProc log: where it is, and whether every
// leak in it was allocated by code of a driver that HostProc has since
// unloaded (the test driver keeps its control state for the life of the
// module on purpose). Such leaks are the driver's; any other is HostProc's.
struct LeakReport {
    size_t nBegin = std::string::npos;
    size_t nEnd = std::string::npos;
    bool bOnlyUnloadedDrivers = true;
};

// A stack frame of code that is gone: not symbolised, and not in one of the
// system libraries HostProc runs on. Once a module is unmapped the
// sanitizer shows "<unknown module>", or a neighbouring module's name with
// an offset far beyond it.
bool IsUnloadedFrame(const std::string& strLine) {
    if (strLine.find(" in ") != std::string::npos) return false;
    for (const char* szSystem : {"/libstdc++.so", "/libc.so", "/libm.so", "/libgcc_s.so"}) {
        if (strLine.find(szSystem) != std::string::npos) return false;
    }
    return true;
}

LeakReport FindLeakReport(const std::string& strLog) {
    LeakReport report;
    const size_t nError = strLog.find("ERROR: LeakSanitizer: detected memory leaks");
    if (nError == std::string::npos) return report;
    const size_t nRule = strLog.rfind("\n=====", nError);
    report.nBegin = nRule == std::string::npos ? strLog.rfind('\n', nError) : nRule;
    if (report.nBegin == std::string::npos) report.nBegin = 0;
    const size_t nSummary = strLog.find("SUMMARY: AddressSanitizer:", nError);
    report.nEnd = nSummary == std::string::npos ? strLog.size() : strLog.find('\n', nSummary);
    if (report.nEnd == std::string::npos) report.nEnd = strLog.size();

    std::istringstream lines(strLog.substr(report.nBegin, report.nEnd - report.nBegin));
    bool bInBlock = false, bBlockInDriver = false;
    auto endBlock = [&] {
        if (bInBlock && !bBlockInDriver) report.bOnlyUnloadedDrivers = false;
        bInBlock = false;
    };
    for (std::string strLine; std::getline(lines, strLine);) {
        if (strLine.find("leak of ") != std::string::npos) {
            endBlock();
            bInBlock = true;
            bBlockInDriver = false;
        } else if (bInBlock && strLine.find(" #") != std::string::npos && strLine.find(" 0x") != std::string::npos &&
                   IsUnloadedFrame(strLine)) {
            bBlockInDriver = true;
        }
    }
    endBlock();
    return report;
}

}  // namespace

std::u16string WideOf(const char16_t* s) { return s != nullptr ? std::u16string(s) : std::u16string(); }

void HostProcTest::SetUp() {
    char szTemplate[] = "/tmp/kestrel-hostproc-test-XXXXXX";
    ASSERT_NE(mkdtemp(szTemplate), nullptr);
    m_strRoot = szTemplate;
    m_strRpcDir = m_strRoot + "/rpc";
    ASSERT_EQ(mkdir(m_strRpcDir.c_str(), 0700), 0);
    ASSERT_EQ(chmod(m_strRpcDir.c_str(), 0700), 0);
    // The client finds the socket directory in its own environment.
    setenv("KESTREL_RPC_DIR", m_strRpcDir.c_str(), 1);
    m_strEndpoint = NewEndpoint();
}

void HostProcTest::Start(const HostProcOptions& options) {
    ASSERT_EQ(m_pid, -1) << "one HostProc per test";
    std::map<std::string, std::string> env;
    for (char** p = environ; *p != nullptr; ++p) {
        const std::string strEntry = *p;
        const size_t nEq = strEntry.find('=');
        if (nEq != std::string::npos) env[strEntry.substr(0, nEq)] = strEntry.substr(nEq + 1);
    }
    // Nothing from the runner's own world may steer this HostProc.
    env.erase("KESTREL_TEST_HOSTPROC_MUTE");
    env["KESTREL_RPC_DIR"] = m_strRpcDir;
    // Confined, as by default: its state folder in this test's world, which
    // it may read (for files a test plants).
    env["XDG_STATE_HOME"] = m_strRoot + "/state";
    env["KESTREL_ALLOW_READ"] = m_strRoot;
    env["KESTREL_TEST_HOSTPROC_IDLE_MS"] = std::to_string(options.nIdleMs);
    env["KESTREL_TEST_HOSTPROC_INITIAL_MS"] = std::to_string(options.nInitialMs);
    env["KESTREL_TEST_HOSTPROC_STOP_MS"] = "300";
    for (const auto& [strName, strValue] : options.environment) env[strName] = strValue;
    std::vector<std::string> entries;
    for (const auto& [strName, strValue] : env) entries.push_back(strName + "=" + strValue);
    std::vector<char*> envp;
    for (std::string& strEntry : entries) envp.push_back(strEntry.data());
    envp.push_back(nullptr);

    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    // Our end only: Log() takes what is there right now (all that HostProc
    // wrote before replying to a call) without waiting for more.
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    const std::string strStdout = m_strRoot + "/stdout.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, strStdout.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);

    std::string strPath = KESTREL_TEST_HOSTPROC;
    std::string strArgument = options.strName + "_" + m_strEndpoint;
    char* argv[] = {strPath.data(), strArgument.data(), nullptr};
    pid_t pid = -1;
    const int nError = posix_spawn(&pid, strPath.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (nError != 0) close(pipeFds[0]);
    ASSERT_EQ(nError, 0) << strerror(nError);
    m_pid = pid;
    // Our own unreaped child: its pid cannot be reused before we wait.
    m_pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    ASSERT_GE(m_pidfd, 0) << strerror(errno);
    m_nLogFd = pipeFds[0];
    m_reader = std::thread([this] { ReaderLoop(); });
    m_watchdog = std::thread([this] { WatchdogLoop(); });
    ASSERT_TRUE(WaitForLine("serving endpoint")) << "HostProc did not start listening";
}

void HostProcTest::ReaderLoop() {
    for (;;) {
        int nFd;
        {
            std::lock_guard lock(m_mtx);
            if (m_nLogFd < 0) return;
            nFd = m_nLogFd;
        }
        // Only this thread closes the descriptor, so it stays valid here.
        pollfd entry{nFd, POLLIN, 0};
        if (poll(&entry, 1, -1) < 0 && errno != EINTR) return;
        std::lock_guard lock(m_mtx);
        DrainLocked();
        if (m_bLogClosed) {
            close(m_nLogFd);
            m_nLogFd = -1;
            return;
        }
    }
}

void HostProcTest::DrainLocked() {
    if (m_nLogFd < 0 || m_bLogClosed) return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(m_nLogFd, buffer, sizeof buffer);
        if (n > 0) {
            m_strLog.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno != EAGAIN) m_bLogClosed = true;
        break;
    }
    m_cv.notify_all();
}

void HostProcTest::WatchdogLoop() {
    std::unique_lock lock(m_mtx);
    if (m_cv.wait_for(lock, kWatchdog, [this] { return m_bDone; })) return;
    lock.unlock();
    ADD_FAILURE() << "the test hung: killing its HostProc";
    syscall(SYS_pidfd_send_signal, m_pidfd, SIGKILL, nullptr, 0);
}

handle_t HostProcTest::Bind() {
    std::string strProtseq = "ncalrpc";
    RPC_CSTR szBinding = nullptr;
    EXPECT_EQ(RpcStringBindingComposeA(nullptr, reinterpret_cast<RPC_CSTR>(strProtseq.data()), nullptr,
                                       reinterpret_cast<RPC_CSTR>(m_strEndpoint.data()), nullptr, &szBinding),
              RPC_S_OK);
    handle_t hBinding = nullptr;
    EXPECT_EQ(RpcBindingFromStringBindingA(szBinding, &hBinding), RPC_S_OK);
    RpcStringFreeA(&szBinding);
    m_bindings.push_back(hBinding);
    return hBinding;
}

RpcDriverCtx HostProcTest::Load(const std::string& strDriver) {
    if (m_bindings.empty()) Bind();
    RpcDriverCtx hCtx = rpc_LoadDriver(m_bindings.front(), strDriver.c_str());
    if (hCtx != nullptr) m_contexts.push_back(hCtx);
    return hCtx;
}

void HostProcTest::ReleaseClient() {
    // A copy of an unloaded handle is ignored here.
    for (RpcDriverCtx& hCtx : m_contexts) RpcSsDestroyClientContext(&hCtx);
    m_contexts.clear();
    for (handle_t& hBinding : m_bindings) RpcBindingFree(&hBinding);
    m_bindings.clear();
}

std::optional<int> HostProcTest::WaitExit(std::chrono::milliseconds bound) {
    if (m_exitStatus) return m_exitStatus;
    if (m_pidfd < 0) return std::nullopt;
    if (PollOne(m_pidfd, POLLIN, bound) != 1) return std::nullopt;
    int nStatus = 0;
    pid_t reaped;
    while ((reaped = waitpid(m_pid, &nStatus, 0)) < 0 && errno == EINTR) {
    }
    if (reaped != m_pid) return std::nullopt;
    m_exitStatus = nStatus;
    return m_exitStatus;
}

bool HostProcTest::IsCleanExit(int nStatus) {
    if (WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) return true;
    // A report of leaks left by unloaded drivers only ends the process
    // with exit code 1 (23 for LeakSanitizer alone), or by abort() under
    // abort_on_error.
    const LeakReport leaks = FindLeakReport(Log());
    const bool bLeakEnd = (WIFEXITED(nStatus) && (WEXITSTATUS(nStatus) == 1 || WEXITSTATUS(nStatus) == 23)) ||
                          (WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == SIGABRT);
    return leaks.nBegin != std::string::npos && leaks.bOnlyUnloadedDrivers && bLeakEnd;
}

void HostProcTest::Signal(int nSignal) {
    ASSERT_FALSE(m_exitStatus.has_value()) << "the HostProc was already reaped";
    ASSERT_EQ(syscall(SYS_pidfd_send_signal, m_pidfd, nSignal, nullptr, 0), 0) << strerror(errno);
}

bool HostProcTest::StaysFor(std::chrono::milliseconds wait) {
    if (m_exitStatus) return false;
    return PollOne(m_pidfd, POLLIN, wait) == 0;
}

std::string HostProcTest::Log() {
    std::lock_guard lock(m_mtx);
    DrainLocked();
    return m_strLog;
}

int HostProcTest::CountLines(const std::string& strText) {
    std::istringstream lines(Log());
    int nCount = 0;
    for (std::string strLine; std::getline(lines, strLine);) {
        if (strLine.find(strText) != std::string::npos) ++nCount;
    }
    return nCount;
}

bool HostProcTest::WaitForLine(const std::string& strText, std::chrono::milliseconds bound) {
    std::unique_lock lock(m_mtx);
    DrainLocked();
    return m_cv.wait_for(lock, bound, [&] { return m_strLog.find(strText) != std::string::npos || m_bLogClosed; }) &&
           m_strLog.find(strText) != std::string::npos;
}

bool HostProcTest::SocketExists() const {
    struct stat st {};
    return lstat(SocketPath().c_str(), &st) == 0;
}

void HostProcTest::RemoveStaleSocket() const { unlink(SocketPath().c_str()); }

std::string HostProcTest::StdoutText() const { return ReadFile(m_strRoot + "/stdout.log"); }

void HostProcTest::TearDown() {
    ReleaseClient();
    if (m_pid > 0) {
        if (!m_exitStatus) {
            // Still running: it must stop cleanly when asked (under ASan
            // this is also where LeakSanitizer judges it).
            syscall(SYS_pidfd_send_signal, m_pidfd, SIGTERM, nullptr, 0);
            const std::optional<int> status = WaitExit(60s);
            if (!status) {
                ADD_FAILURE() << "HostProc did not end on SIGTERM";
                syscall(SYS_pidfd_send_signal, m_pidfd, SIGKILL, nullptr, 0);
                WaitExit(60s);
            } else {
                EXPECT_TRUE(IsCleanExit(*status)) << "HostProc's end on SIGTERM: wait status " << *status;
            }
        }
        {
            std::lock_guard lock(m_mtx);
            m_bDone = true;
            m_cv.notify_all();
        }
        if (m_watchdog.joinable()) m_watchdog.join();
        if (m_reader.joinable()) m_reader.join();
        close(m_pidfd);
        EXPECT_FALSE(SocketExists()) << "the socket file outlived its HostProc";
        std::string strLog = Log();
        const LeakReport leaks = FindLeakReport(strLog);
        EXPECT_TRUE(leaks.bOnlyUnloadedDrivers) << "HostProc leaked memory of its own";
        if (leaks.nBegin != std::string::npos) strLog.erase(leaks.nBegin, leaks.nEnd - leaks.nBegin);
        for (const char* szReport : {"AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:"}) {
            EXPECT_EQ(strLog.find(szReport), std::string::npos) << "HostProc reported: " << szReport;
        }
    }
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD) << "a child of the test was left behind";
    if (HasFailure()) std::cerr << "---- HostProc stderr ----\n" << Log() << "---- end ----\n";
    std::error_code ignored;
    fs::remove_all(m_strRoot, ignored);
    unsetenv("KESTREL_RPC_DIR");
}

std::string HostProcTest::DriverState(RpcDriverCallCtx hCtx) {
    Owned<char16_t> state;
    rpc_GetXml(hCtx, "t", "", "", "td:state", &state);
    return testdriver::Utf16ToUtf8(WideOf(state.get()));
}

long HostProcTest::StateValue(const std::string& strState, const std::string& strKey) {
    const std::string strNeedle = strKey + "=";
    size_t nAt = strState.rfind("\n" + strNeedle);
    if (nAt != std::string::npos) {
        ++nAt;
    } else if (strState.rfind(strNeedle, 0) == 0) {
        nAt = 0;
    } else {
        return -1;
    }
    return std::strtol(strState.c_str() + nAt + strNeedle.size(), nullptr, 10);
}

int HostProcTest::Control(RpcDriverCallCtx hCtx, const std::string& strCommand) {
    return rpc_ExecuteCustomCommand(hCtx, "t", "", 0, 0, 0, strCommand.c_str());
}

std::string HostProcTest::TestDriver() { return TESTDRIVER_PATH; }
std::string HostProcTest::PartialDriver() { return PARTIALDRIVER_PATH; }

}  // namespace hostproc_test
