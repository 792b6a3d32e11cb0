// One real HostProc (the test-timing variant) per test, driven through the
// RPC client functions directly: a private socket directory, the process's
// standard error collected through a pipe (so that a test can wait for a
// diagnostic line instead of sleeping); every wait is bounded, and a call
// that hangs is ended by the test's CTest timeout.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include "remote/ProxyClient.h"
#include "rpcrt/Status.h"
#include "testdriver_protocol.h"

extern char** environ;

namespace hostproc_test {

using namespace std::chrono_literals;

// The status a client call raised, or nullopt when it returned normally.
template <typename TCall>
std::optional<uint32_t> StatusOf(TCall&& call) {
    try {
        call();
    } catch (const kestrel::rpc::RpcError& error) {
        return error.status();
    }
    return std::nullopt;
}

// A client-allocated (new[]) output, released on scope exit (a string
// array's strings are the test's to free).
template <typename T>
struct Owned {
    T* p = nullptr;
    Owned() = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { delete[] p; }
    T** operator&() { return &p; }
    T* get() const { return p; }
};

struct HostProcOptions {
    int nIdleMs = 60000;
    int nInitialMs = 60000;
    std::map<std::string, std::string> environment;  // extra
    std::string strName = "hostproctest";            // its proxy-server name
};

inline int PollOne(int nFd, std::chrono::milliseconds bound) {
    pollfd entry{nFd, POLLIN, 0};
    int nReady;
    while ((nReady = poll(&entry, 1, static_cast<int>(bound.count()))) < 0 && errno == EINTR) {
    }
    return nReady;
}

class HostProcTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/kestrel-hostproc-test-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        m_strRoot = szTemplate;
        m_strRpcDir = m_strRoot + "/rpc";
        ASSERT_EQ(mkdir(m_strRpcDir.c_str(), 0700), 0);
        // The client finds the socket directory in its own environment.
        setenv("KESTREL_RPC_DIR", m_strRpcDir.c_str(), 1);
        uuid_t uuid;
        uuid_generate_random(uuid);
        char szEndpoint[37];
        uuid_unparse_upper(uuid, szEndpoint);
        m_strEndpoint = szEndpoint;
    }

    // Starts the HostProc and waits until it listens.
    void Start(const HostProcOptions& options = {}) {
        ASSERT_EQ(m_pid, -1) << "one HostProc per test";
        std::map<std::string, std::string> env;
        for (char** p = environ; *p != nullptr; ++p) {
            const std::string strEntry = *p;
            env[strEntry.substr(0, strEntry.find('='))] = strEntry.substr(strEntry.find('=') + 1);
        }
        // Nothing from the runner's own world may steer this HostProc.
        env.erase("KESTREL_TEST_HOSTPROC_MUTE");
        env["KESTREL_RPC_DIR"] = m_strRpcDir;
        // Confined, as by default: its state folder in this test's world,
        // which it may read (for files a test plants).
        env["XDG_STATE_HOME"] = m_strRoot + "/state";
        env["KESTREL_ALLOW_READ"] = m_strRoot;
        env["KESTREL_TEST_HOSTPROC_IDLE_MS"] = std::to_string(options.nIdleMs);
        env["KESTREL_TEST_HOSTPROC_INITIAL_MS"] = std::to_string(options.nInitialMs);
        env["KESTREL_TEST_HOSTPROC_STOP_MS"] = "300";
        for (const auto& [strName, strValue] : options.environment) env[strName] = strValue;
        std::vector<std::string> entries;
        std::vector<char*> envp;
        for (const auto& [strName, strValue] : env) entries.push_back(strName + "=" + strValue);
        for (std::string& strEntry : entries) envp.push_back(strEntry.data());
        envp.push_back(nullptr);

        int pipeFds[2];
        ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
        // Our end only: Log() takes what is there right now (all that
        // HostProc wrote before replying to a call) without waiting for more.
        fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
        m_nLogFd = pipeFds[0];
        const std::string strStdout = m_strRoot + "/stdout.log";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, strStdout.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
        std::string strPath = KESTREL_TEST_HOSTPROC;
        std::string strArgument = options.strName + "_" + m_strEndpoint;
        char* argv[] = {strPath.data(), strArgument.data(), nullptr};
        const int nError = posix_spawn(&m_pid, strPath.c_str(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(pipeFds[1]);
        ASSERT_EQ(nError, 0) << strerror(nError);
        // Our own unreaped child: its pid cannot be reused before we wait.
        m_pidfd = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
        ASSERT_GE(m_pidfd, 0) << strerror(errno);
        m_reader = std::thread([this] {
            for (pollfd entry{m_nLogFd, POLLIN, 0};;) {
                poll(&entry, 1, -1);
                std::lock_guard lock(m_mtx);
                DrainLocked();
                if (m_bLogClosed) return;
            }
        });
        ASSERT_TRUE(WaitForLine("serving endpoint")) << "HostProc did not start listening";
    }

    // A new binding to this test's HostProc (freed at teardown).
    handle_t Bind() {
        std::string strBinding = "ncalrpc:[" + m_strEndpoint + "]";
        handle_t hBinding = nullptr;
        EXPECT_EQ(RpcBindingFromStringBindingA(reinterpret_cast<RPC_CSTR>(strBinding.data()), &hBinding), RPC_S_OK);
        m_bindings.push_back(hBinding);
        return hBinding;
    }

    // LoadDriver through the first binding (made on demand); the context is
    // destroyed at teardown unless the test unloaded it.
    RpcDriverCtx Load(const std::string& strDriver) {
        RpcDriverCtx hCtx = rpc_LoadDriver(m_bindings.empty() ? Bind() : m_bindings.front(), strDriver.c_str());
        if (hCtx != nullptr) m_contexts.push_back(hCtx);
        return hCtx;
    }

    // Drops every client object: contexts, bindings and so the connections
    // (a copy of an unloaded handle is ignored).
    void ReleaseClient() {
        for (RpcDriverCtx& hCtx : m_contexts) RpcSsDestroyClientContext(&hCtx);
        m_contexts.clear();
        for (handle_t& hBinding : m_bindings) RpcBindingFree(&hBinding);
        m_bindings.clear();
    }

    // Waits for the HostProc to end by itself (bounded) and reaps it; the
    // wait status, or nullopt when it did not end in time.
    std::optional<int> WaitExit(std::chrono::milliseconds bound = 60s) {
        if (m_exitStatus || m_pidfd < 0 || PollOne(m_pidfd, bound) != 1) return m_exitStatus;
        int nStatus = 0;
        if (waitpid(m_pid, &nStatus, 0) == m_pid) m_exitStatus = nStatus;
        return m_exitStatus;
    }

    // Sends a signal to the running (unreaped) HostProc.
    void Signal(int nSignal) {
        ASSERT_FALSE(m_exitStatus.has_value()) << "the HostProc was already reaped";
        ASSERT_EQ(syscall(SYS_pidfd_send_signal, m_pidfd, nSignal, nullptr, 0), 0) << strerror(errno);
    }

    // True when the HostProc is still running after waiting for it to end.
    bool StaysFor(std::chrono::milliseconds wait) { return !m_exitStatus && PollOne(m_pidfd, wait) == 0; }

    // The collected standard error so far.
    std::string Log() {
        std::lock_guard lock(m_mtx);
        DrainLocked();
        return m_strLog;
    }

    int CountLines(const std::string& strText) {
        std::istringstream lines(Log());
        int nCount = 0;
        for (std::string strLine; std::getline(lines, strLine);) nCount += strLine.find(strText) != std::string::npos;
        return nCount;
    }

    // Waits (bounded) for a line containing strText.
    bool WaitForLine(const std::string& strText, std::chrono::milliseconds bound = 60s) {
        std::unique_lock lock(m_mtx);
        DrainLocked();
        m_cv.wait_for(lock, bound, [&] { return m_strLog.find(strText) != std::string::npos || m_bLogClosed; });
        return m_strLog.find(strText) != std::string::npos;
    }

    bool SocketExists() const {
        struct stat st {};
        return lstat(SocketPath().c_str(), &st) == 0;
    }
    void RemoveStaleSocket() const { unlink(SocketPath().c_str()); }
    std::string SocketPath() const { return m_strRpcDir + "/" + m_strEndpoint; }
    const std::string& Root() const { return m_strRoot; }
    pid_t Pid() const { return m_pid; }

    void TearDown() override {
        ReleaseClient();
        if (m_pid > 0) {
            if (!m_exitStatus) {
                // Still running: it must stop cleanly when asked (under ASan
                // this is also where LeakSanitizer judges it).
                syscall(SYS_pidfd_send_signal, m_pidfd, SIGTERM, nullptr, 0);
                const std::optional<int> status = WaitExit(60s);
                EXPECT_EQ(status, 0) << "HostProc's end on SIGTERM";
                if (!status) {
                    syscall(SYS_pidfd_send_signal, m_pidfd, SIGKILL, nullptr, 0);
                    WaitExit(60s);
                }
            }
            if (m_reader.joinable()) m_reader.join();
            close(m_pidfd);
            close(m_nLogFd);
            EXPECT_FALSE(SocketExists()) << "the socket file outlived its HostProc";
            const std::string strLog = Log();
            for (const char* szReport : {"AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:"})
                EXPECT_EQ(strLog.find(szReport), std::string::npos) << "HostProc reported: " << szReport;
        }
        errno = 0;
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD) << "a child of the test was left behind";
        if (HasFailure()) std::cerr << "---- HostProc stderr ----\n" << Log() << "---- end ----\n";
        std::error_code ignored;
        std::filesystem::remove_all(m_strRoot, ignored);
        unsetenv("KESTREL_RPC_DIR");
    }

    // The test driver's state text (GetXml "td:state").
    static std::string DriverState(RpcDriverCallCtx hCtx) {
        Owned<char16_t> state;
        rpc_GetXml(hCtx, "t", "", "", "td:state", &state);
        return testdriver::Utf16ToUtf8(state.get() != nullptr ? state.get() : u"");
    }
    // A value "key=N" of the state text; -1 when absent.
    static long StateValue(const std::string& strState, const std::string& strKey) {
        const size_t nAt = ("\n" + strState).find("\n" + strKey + "=");
        return nAt == std::string::npos ? -1 : std::strtol(strState.c_str() + nAt + strKey.size() + 1, nullptr, 10);
    }
    // A test-driver control command (ExecuteCustomCommand "td:...").
    static int Control(RpcDriverCallCtx hCtx, const std::string& strCommand) {
        return rpc_ExecuteCustomCommand(hCtx, "t", "", 0, 0, 0, strCommand.c_str());
    }

    static std::string TestDriver() { return TESTDRIVER_PATH; }
    static std::string PartialDriver() { return PARTIALDRIVER_PATH; }

private:
    // Appends what the pipe holds now; m_mtx held.
    void DrainLocked() {
        if (m_nLogFd < 0 || m_bLogClosed) return;
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(m_nLogFd, buffer, sizeof buffer);
            if (n > 0) {
                m_strLog.append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                m_bLogClosed = n == 0 || errno != EAGAIN;
                break;
            }
        }
        m_cv.notify_all();
    }

    std::string m_strRoot, m_strRpcDir, m_strEndpoint;
    pid_t m_pid = -1;
    int m_pidfd = -1;
    std::optional<int> m_exitStatus;

    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::string m_strLog;
    int m_nLogFd = -1;
    bool m_bLogClosed = false;
    std::thread m_reader;

    std::vector<handle_t> m_bindings;
    std::vector<RpcDriverCtx> m_contexts;
};

}  // namespace hostproc_test
