// One real HostProc (the test-timing variant) per test, driven through the
// RPC client functions directly: a private socket directory, the process's
// standard error collected through a pipe (so that a test can wait for a
// diagnostic line instead of sleeping); every wait is bounded, and a call
// that hangs is ended by the test's CTest timeout.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>
#include <unistd.h>

#include "remote/ProxyClient.h"
#include "rpcrt/Status.h"

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

class HostProcTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the HostProc and waits until it listens.
    void Start(const HostProcOptions& options = {});
    // A new binding to this test's HostProc (freed at teardown).
    handle_t Bind();
    // LoadDriver through the first binding (made on demand); the context is
    // destroyed at teardown unless the test unloaded it.
    RpcDriverCtx Load(const std::string& strDriver);

    // Drops every client object: contexts, bindings and so the connections.
    void ReleaseClient();
    // Waits for the HostProc to end by itself (bounded) and reaps it; the
    // wait status, or nullopt when it did not end in time.
    std::optional<int> WaitExit(std::chrono::milliseconds bound = 60s);
    // Sends a signal to the running (unreaped) HostProc.
    void Signal(int nSignal);
    // True when the HostProc is still running after waiting for it to end.
    bool StaysFor(std::chrono::milliseconds wait);

    // The collected standard error so far.
    std::string Log();
    int CountLines(const std::string& strText);
    // Waits (bounded) for a line containing strText.
    bool WaitForLine(const std::string& strText, std::chrono::milliseconds bound = 60s);

    bool SocketExists() const;
    void RemoveStaleSocket() const { unlink(SocketPath().c_str()); }
    std::string SocketPath() const { return m_strRpcDir + "/" + m_strEndpoint; }
    const std::string& Root() const { return m_strRoot; }
    pid_t Pid() const { return m_pid; }

    // The test driver's state text (GetXml "td:state").
    static std::string DriverState(RpcDriverCallCtx hCtx);
    // A value "key=N" of the state text; -1 when absent.
    static long StateValue(const std::string& strState, const std::string& strKey);
    // A test-driver control command (ExecuteCustomCommand "td:...").
    static int Control(RpcDriverCallCtx hCtx, const std::string& strCommand) {
        return rpc_ExecuteCustomCommand(hCtx, "t", "", 0, 0, 0, strCommand.c_str());
    }

    static std::string TestDriver() { return TESTDRIVER_PATH; }
    static std::string PartialDriver() { return PARTIALDRIVER_PATH; }

private:
    // Appends what the pipe holds now; m_mtx held.
    void DrainLocked();

    std::string m_strRoot;
    std::string m_strRpcDir;
    std::string m_strEndpoint;
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
