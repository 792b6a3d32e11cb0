// One misbehaving HostProc reaches nothing else: a HostProc that hangs
// while one of its instances is removed holds up no other instance
// or HostProc, a driver's forked helper neither hides HostProc's end nor
// outlives it, and a HostProc whose application dies does not outlive it.
#include <filesystem>
#include <fstream>
#include <future>

#include <sys/wait.h>
#include <unistd.h>

#include "LibraryHarness.h"

namespace kestrel_test {
namespace {

// The removal's unload waits for a call on the instance that hangs (a
// stopped HostProc holds it up the same way). Meanwhile every other HostProc
// serves on, a new one starts, the instance is unknown, and an add of its id
// waits for the removal and then starts afresh.
class RemovalTest : public LibraryTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RemovalTest, AHostProcHeldUpInARemovalHoldsUpNothingElse) {
    Load();
    const std::string strDriver = TestDriver();
    const char* szId = "a#hang";
    ASSERT_EQ(k.AddDeviceInstance(szId, strDriver.c_str(), "srvA"), 1);
    ASSERT_EQ(k.AddDeviceInstance("peer", strDriver.c_str(), "srvA"), 1);
    ASSERT_EQ(k.AddDeviceInstance("b", strDriver.c_str(), "srvB"), 1);
    auto hung = std::async(std::launch::async, [&] { return Thrown([&] { k.QueryIsIpix(szId, ""); }); });
    ASSERT_EQ(Control("peer", "td:wait-hung 1"), 1);
    auto removal = std::async(std::launch::async, [&] { k.RemoveDeviceInstance(szId); });
    ASSERT_TRUE(WaitForLine("cContext=")) << "the unload did not start";

    EXPECT_NO_THROW(k.QueryNumberOfCamDyn("b", ""));
    EXPECT_EQ(k.AddDeviceInstance("c", strDriver.c_str(), "srvC"), 1);
    EXPECT_NO_THROW(k.QueryNumberOfCamDyn("c", ""));
    EXPECT_EQ(Thrown([&] { k.QueryNumberOfCamDyn(szId, ""); }), 0UL) << "as if the removal were over";
    auto readd = std::async(std::launch::async, [&] { return k.AddDeviceInstance(szId, strDriver.c_str(), "srvA"); });

    EXPECT_EQ(Control("peer", "td:release"), 1);
    EXPECT_EQ(hung.get(), 0xDEADBEEFUL) << "released, the hung call returns";
    removal.get();
    EXPECT_EQ(readd.get(), 1);
    const std::string strLog = Log();
    const std::string strAdded = std::string("Adding instance '") + szId + "' on server 'srvA'";
    EXPECT_LT(strLog.find(std::string("Removing instance '") + szId + "' on server 'srvA'"), strLog.rfind(strAdded))
        << "the add waited for the removal";
    EXPECT_EQ(CountLines(strAdded), 2) << "and added afresh";
    EXPECT_NO_THROW(k.QueryNumberOfCamDyn("peer", ""));
}

// One value, so that the test keeps the name the README gives it.
INSTANTIATE_TEST_SUITE_P(Isolation, RemovalTest, ::testing::Values("Hung"));

// The children of HostProc: what its driver started (on whichever thread).
std::vector<int> HelpersOf(int nHostProc) {
    std::vector<int> helpers;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(nHostProc) + "/task")) {
        std::ifstream children(task.path() / "children");
        for (int nPid; children >> nPid;) helpers.push_back(nPid);
    }
    return helpers;
}

// A driver leaves a helper that holds HostProc's sockets and ignores
// SIGTERM, then crashes: the call fails at once with 1726 all the same, and
// the helper ends with its HostProc. (A HostProc the deadline kills ends
// the same way.)
TEST_F(LibraryTest, AHelperNeitherHidesHostProcsEndNorOutlivesIt) {
    Load();
    ASSERT_EQ(k.AddDeviceInstance("f", TestDriver().c_str(), "srvF"), 1);
    const int nHostProc = HostProcPid("f");
    ASSERT_EQ(Control("f", "td:next fork"), 0);
    ASSERT_EQ(Control("f", "td:next crash"), 0);
    EXPECT_NO_THROW(k.QueryIsIpix("f", ""));
    const std::vector<int> helpers = HelpersOf(nHostProc);
    ASSERT_EQ(helpers.size(), 1u);
    auto call = std::async(std::launch::async, [&] { return Thrown([&] { k.QueryIsIpix("f", ""); }); });
    ASSERT_EQ(call.wait_for(std::chrono::seconds(30)), std::future_status::ready)
        << "the helper's copy of the sockets kept the call waiting";
    EXPECT_EQ(call.get(), kHostProcLost | kCallFailed);
    EXPECT_TRUE(ProcessHasEnded(nHostProc, 30000));
    EXPECT_TRUE(ProcessHasEnded(helpers[0], 30000)) << "the helper outlived HostProc";
}

// An application that dies leaves no HostProc behind, not even one with a
// driver call that never returns: the HostProc ends once its client is gone
// (an idle one: the HostProc tests' Ending/Abandoned).
TEST_F(LibraryTest, ApplicationThatDiesLeavesNoHostProc) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer cannot start threads in the child of a threaded process";
#endif
    Load();
    int ahPid[2];
    ASSERT_EQ(pipe(ahPid), 0);
    const pid_t nApplication = fork();
    if (nApplication == 0) {
        int nPid = k.AddDeviceInstance("busy#hang", TestDriver().c_str(), "busy") == 1 ? HostProcPid("busy#hang") : 0;
        std::thread([&] { k.QueryIsIpix("busy#hang", ""); }).detach();
        Control("busy#hang", "td:wait-hung 1");
        [[maybe_unused]] ssize_t n = write(ahPid[1], &nPid, sizeof nPid);
        _exit(0);
    }
    close(ahPid[1]);
    int nHostProc = 0;
    ASSERT_EQ(read(ahPid[0], &nHostProc, sizeof nHostProc), static_cast<ssize_t>(sizeof nHostProc));
    close(ahPid[0]);
    ASSERT_EQ(waitpid(nApplication, nullptr, 0), nApplication);
    ASSERT_GT(nHostProc, 0);
    EXPECT_TRUE(ProcessHasEnded(nHostProc, 60000));
}

}  // namespace
}  // namespace kestrel_test
