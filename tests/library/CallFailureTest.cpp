// What a failed forwarded call does: the thrown code, the removal of every
// instance of the lost HostProc, and the deadline that kills a hung call.
#include <chrono>
#include <csignal>
#include <future>
#include <thread>

#include "LibraryHarness.h"

namespace kestrel_test {
namespace {

TEST_F(LibraryTest, UnknownNamesThrowZeroWithoutRemoteCallAndADriverNameFindsItsInstance) {
    Load();
    unsigned char* pBlock = reinterpret_cast<unsigned char*>(0x1);
    EXPECT_EQ(Thrown([&] { k.GetVideoDataBlock("nobody", 1, &pBlock); }), 0UL);
    EXPECT_EQ(pBlock, nullptr) << "the caller's pointer is cleared first";
    EXPECT_TRUE(HasLine("Throw PROXYUNKNOWNDEVICEERROR Error: szServer='nobody'"));
    EXPECT_FALSE(HasLine("RPC exception"));

    // Not an instance id but a driver's file name: served by the first
    // instance in key order whose driver path ends in it. An address is
    // never taken for a driver name.
    ASSERT_EQ(k.AddDeviceInstance("b-cam", TestDriver().c_str(), "srv"), 1);
    ASSERT_EQ(k.AddDeviceInstance("a-cam", TestDriver().c_str(), "srv"), 1);
    EXPECT_NO_THROW(k.QueryIsPTZDeviceDyn("libkestrel_testdriver.so", ""));
    EXPECT_EQ(Thrown([&] { k.QueryIsPTZDeviceDyn("libother.so", ""); }), 0UL);
    EXPECT_EQ(Thrown([&] { k.QueryIsPTZDeviceDyn("10.0.0.1:80", ""); }), 0UL);
}

// Two calls hang on one HostProc: the deadline kills it once (a second kill
// would fail on the released process object and say "throwed"), both calls
// fail together, one with class 0x01 and one with class 0x00, the removal
// runs once, and the HostProc's other instance goes with it.
TEST_F(LibraryTest, HungCallsAreKilledByTheDeadlineOnce) {
    options.nDeadlineMs = 300;
    Load();
    const std::string strDriver = TestDriver();
    ASSERT_EQ(k.AddDeviceInstance("a#hang", strDriver.c_str(), "srv01"), 1);
    ASSERT_EQ(k.AddDeviceInstance("b#hang", strDriver.c_str(), "srv01"), 1);
    ASSERT_EQ(k.AddDeviceInstance("bystander", strDriver.c_str(), "srv01"), 1);
    auto first = std::async(std::launch::async, [&] { return Thrown([&] { k.QueryIsIpix("a#hang", ""); }); });
    auto second = std::async(std::launch::async, [&] { return Thrown([&] { k.QueryIsIpix("b#hang", ""); }); });
    const unsigned long nFirst = first.get();
    const unsigned long nSecond = second.get();
    EXPECT_EQ(nFirst | nSecond, kHostProcLost | kCallFailed);
    EXPECT_EQ(nFirst & nSecond, kCallFailed) << "one class 0x01 and one class 0x00";
    EXPECT_EQ(CountLines("Throw HOSTPROCUNAVAILABLEERROR"), 1);
    EXPECT_EQ(CountLines("Throw PROXYUNKNOWNDEVICEERROR Error: RPC exception thrown='1726'"), 1);
    EXPECT_EQ(CountLines("strHostProcName='srv01'"), 1) << "the removal ran once";
    EXPECT_TRUE(HasLine("#hang' triggers removal of hostproc 'srv01'"));
    EXPECT_TRUE(HasLine("hostproc 'srv01' ended by signal 9 (SIGKILL) from the deadline timer"));
    EXPECT_EQ(CountLines("throwed"), 0);
    EXPECT_EQ(Thrown([&] { k.QueryIsIpix("bystander", "pw"); }), 0UL);
}

// Waits for a call running on another thread; one still blocked after a
// minute is released by killing its HostProc, so that a missed deadline
// fails the test instead of hanging it.
unsigned long Outcome(std::future<unsigned long>& call, int nHostProcPid) {
    if (call.wait_for(std::chrono::minutes(1)) != std::future_status::ready) {
        ADD_FAILURE() << "the hung call outlived its deadline";
        kill(nHostProcPid, SIGKILL);
    }
    return call.get();
}

// The deadline belongs to the call: it ends the HostProc the call waits in
// even when the registry no longer leads there from the call's id.
TEST_F(LibraryTest, HungCallOnAHostProcDroppedByAnotherFailureIsStillKilled) {
    options.nDeadlineMs = 300;
    Load();
    const std::string strDriver = TestDriver();
    ASSERT_EQ(k.AddDeviceInstance("stuck#hang", strDriver.c_str(), "srv01"), 1);
    ASSERT_EQ(k.AddDeviceInstance("faulty#throw", strDriver.c_str(), "srv01"), 1);
    const int nPid = HostProcPid("faulty#throw");

    auto stuck = std::async(std::launch::async, [&] { return Thrown([&] { k.QueryIsIpix("stuck#hang", ""); }); });
    ASSERT_EQ(Control("faulty#throw", "td:wait-hung 1"), 1);
    // A driver exception fails this call; the failure path drops srv01's
    // entry and instances without killing the process, which still holds
    // the hung call.
    EXPECT_EQ(Thrown([&] { k.QueryIsIpix("faulty#throw", ""); }), kHostProcLost | kCallFailed);

    // Had the failure path killed the process, the hung call would have
    // ended at once and no deadline would have overrun.
    EXPECT_EQ(Outcome(stuck, nPid), kCallFailed) << "its instance was already gone: class 0x00";
    EXPECT_TRUE(ProcessHasEnded(nPid, 10000));
    EXPECT_TRUE(
        HasLine("server='stuck#hang' overran its deadline on hostproc 'srv01', no longer registered: kill sent"));
}

TEST_F(LibraryTest, HungCallMadeThroughTheDriverNameIsKilled) {
    options.nDeadlineMs = 300;
    Load();
    const std::string strDriver = TestDriver();
    ASSERT_EQ(k.AddDeviceInstance("cam", strDriver.c_str(), "srv01"), 1);
    const int nPid = HostProcPid("cam");
    // The driver queues directives under the id it is called with.
    ASSERT_EQ(Control("libkestrel_testdriver.so", "td:next hang"), 0);

    auto stuck =
        std::async(std::launch::async, [&] { return Thrown([&] { k.QueryIsIpix("libkestrel_testdriver.so", ""); }); });
    EXPECT_EQ(Outcome(stuck, nPid), kCallFailed) << "no instance under that id: class 0x00";
    EXPECT_TRUE(HasLine("server='libkestrel_testdriver.so' triggers removal of hostproc 'srv01'"));
    // The instance's HostProc is dead: its next call fails and removes it.
    EXPECT_EQ(Thrown([&] { k.QueryIsIpix("cam", ""); }) & kHostProcLost, kHostProcLost);
}

// Proxies.ini sets the deadline in whole seconds from 1 to 86400; any other
// value leaves the 10 minutes and says so.
class DeadlineSetting : public LibraryTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(DeadlineSetting, FromProxiesIni) {
    const std::string strValue = GetParam();
    options.strIniExtra = "[ProxyDeadline]\nSeconds=" + strValue + "\n";
    Load();
    const std::string strUnusable = "[ProxyDeadline] Seconds='" + strValue +
                                    "' is not a whole number of seconds from 1 to 86400: the deadline stays 600 s";
    if (strValue != "1") {
        EXPECT_TRUE(HasLine(strUnusable));
        return;
    }
    EXPECT_FALSE(HasLine("[ProxyDeadline]"));
    ASSERT_EQ(k.AddDeviceInstance("stuck#hang", TestDriver().c_str(), "srv01"), 1);
    EXPECT_EQ(Thrown([&] { k.QueryIsIpix("stuck#hang", ""); }), kHostProcLost | kCallFailed);
    EXPECT_TRUE(HasLine("server='stuck#hang' triggers removal of hostproc 'srv01'"));
}

INSTANTIATE_TEST_SUITE_P(Seconds, DeadlineSetting, ::testing::Values("1", "0", "86401", "abc", "-5", "1.5"));

TEST_F(LibraryTest, CallsThatEndInTimeLeaveNoDeadlineBehind) {
    options.nDeadlineMs = 300;
    Load();
    const std::string strDriver = TestDriver();
    ASSERT_EQ(k.AddDeviceInstance("quick", strDriver.c_str(), "srv01"), 1);
    const int nPid = HostProcPid("quick");
    for (int i = 0; i < 20; ++i) EXPECT_NO_THROW(k.QueryIsIpix("quick", ""));
    // Wait through more than a deadline's span with the timer running: the
    // HostProc must not be touched. The wait is on the process itself.
    EXPECT_FALSE(ProcessHasEnded(nPid, 600));
    EXPECT_FALSE(HasLine("triggers removal"));
    EXPECT_FALSE(HasLine("Clearing dead deadline handle"));
}

}  // namespace
}  // namespace kestrel_test
