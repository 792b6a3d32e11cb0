// Adding and removing instances through libKestrel.so, with real HostProcs
// and the test driver: counts, refusals, failed starts and loads, the
// feature set, and what unloading the library leaves behind.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>
#include <tuple>

#include <sys/wait.h>
#include <unistd.h>

#include <boost/regex.hpp>

#include "LibraryHarness.h"

namespace kestrel_test {
namespace {

TEST_F(LibraryTest, AddTwiceRemoveTwiceLoadsAndUnloadsOnce) {
    Load();
    const std::string strDriver = TestDriver();
    EXPECT_EQ(k.AddDeviceInstance("cam1", strDriver.c_str(), "srv01"), 1);
    EXPECT_EQ(k.AddDeviceInstance("cam1", strDriver.c_str(), "srv01"), 1);
    EXPECT_EQ(CountLines("Adding instance 'cam1' on server 'srv01'"), 1);
    EXPECT_TRUE(HasLine("Increasing count(1) on instance 'cam1'"));
    // On another proxy server it is refused, and the count stays 2.
    EXPECT_EQ(k.AddDeviceInstance("cam1", strDriver.c_str(), "srv02"), 0);
    EXPECT_TRUE(HasLine("AddDeviceInstance called on instance already added on another server srv02 srv01 cam1"));
    const int nPid = HostProcPid("cam1");
    ASSERT_GT(nPid, 0);

    k.RemoveDeviceInstance("cam1");
    EXPECT_TRUE(HasLine("Decreasing count(2) on instance 'cam1'"));
    EXPECT_EQ(CountLines("cContext="), 0) << "the first removal makes no remote call";
    EXPECT_NO_THROW(k.QueryNumberOfCamDyn("cam1", ""));  // still usable

    k.RemoveDeviceInstance("cam1");
    EXPECT_TRUE(HasLine("Removing instance 'cam1' on server 'srv01'"));
    EXPECT_EQ(CountLines("cContext="), 1);
    // The unload ends with its result line, before the removal's own.
    EXPECT_TRUE(
        boost::regex_search(Log(), boost::regex(R"(cContext='[0-9a-f]+'\n[\s\S]*UnloadDriver\(\)\[0x[0-9A-F]+\] )"
                                                R"(ProxyUtil:\d+ return\n[\s\S]*Removing instance 'cam1' on)")));
    EXPECT_EQ(Thrown([&] { k.QueryNumberOfCamDyn("cam1", ""); }), 0UL);

    // Released, not killed: the HostProc ends by itself once idle.
    EXPECT_TRUE(ProcessHasEnded(nPid, 10000));
    // A third removal finds nothing and says only its first line.
    k.RemoveDeviceInstance("cam1");
    EXPECT_EQ(CountLines("Removing instance 'cam1'"), 4);
}

TEST_F(LibraryTest, InstancesShareANamedHostProc) {
    Load();
    const std::string strDriver = TestDriver();
    ASSERT_EQ(k.AddDeviceInstance("a", strDriver.c_str(), "shared"), 1);
    ASSERT_EQ(k.AddDeviceInstance("b", strDriver.c_str(), "shared"), 1);
    ASSERT_EQ(k.AddDeviceInstance("c", strDriver.c_str(), "other"), 1);
    EXPECT_EQ(HostProcPid("a"), HostProcPid("b"));
    EXPECT_NE(HostProcPid("a"), HostProcPid("c"));

    // Removing one of two instances leaves their HostProc alone.
    const int nShared = HostProcPid("a");
    k.RemoveDeviceInstance("a");
    EXPECT_EQ(HostProcPid("b"), nShared);

    // Each was started as "<driver folder>/hostproc/HostProc" "<name>_<ENDPOINT>",
    // with a fresh upper-case version-4 UUID as the endpoint of its socket.
    std::set<std::string> endpoints;
    for (const auto& [szId, szName] : {std::pair{"b", "shared"}, std::pair{"c", "other"}}) {
        std::ifstream cmdline("/proc/" + std::to_string(HostProcPid(szId)) + "/cmdline", std::ios::binary);
        std::string strExecutable, strArgument, strMore;
        std::getline(cmdline, strExecutable, '\0');
        std::getline(cmdline, strArgument, '\0');
        EXPECT_FALSE(std::getline(cmdline, strMore, '\0'));
        EXPECT_EQ(strExecutable, strDriver.substr(0, strDriver.rfind('/')) + "/hostproc/HostProc");
        EXPECT_TRUE(
            boost::regex_match(strArgument, boost::regex(std::string(szName) + "_[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-"
                                                                               "[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
            << strArgument;
        endpoints.insert(strArgument.substr(strArgument.rfind('_') + 1));
    }
    EXPECT_EQ(endpoints.size(), 2U);
}

// A driver named without its folder has no HostProc beside it; one that
// cannot be opened gets a HostProc that is killed with its entry, and the
// proxy-server name is free again.
TEST_F(LibraryTest, FailedAddsLeaveNoInstanceAndNoHostProc) {
    Load();
    EXPECT_EQ(k.AddDeviceInstance("cam1", "libkestrel_testdriver.so", "nofolder"), 0);
    EXPECT_TRUE(HasLine("Exception: Error running process!"));
    EXPECT_TRUE(HasLine("SpawnServer failed, szProxyServerName=nofolder"));

    EXPECT_EQ(k.AddDeviceInstance("cam1", KESTREL_TEST_DRIVERS_DIR "/libno_such_driver.so", "srv01"), 0);
    EXPECT_TRUE(HasLine("rpc_LoadDriver returned NULL handle on strServer='cam1'"));
    EXPECT_TRUE(HasLine("cannot load driver"));  // HostProc's own diagnostics
    EXPECT_TRUE(HasLine("szProxyServer='srv01'"));
    EXPECT_EQ(CountLines("throwed"), 0);
    EXPECT_EQ(k.AddDeviceInstance("cam1", TestDriver().c_str(), "srv01"), 1);
}

TEST_F(LibraryTest, HostProcThatNeverAnswersIsKilledAfterTenAttempts) {
    setenv("KESTREL_TEST_HOSTPROC_MUTE", "1", 1);
    Load();
    const std::string strDriver = TestDriver();
    EXPECT_EQ(k.AddDeviceInstance("cam1", strDriver.c_str(), "mute"), 0);
    unsetenv("KESTREL_TEST_HOSTPROC_MUTE");
    EXPECT_EQ(CountLines("Proxy RPC exception 1722(0x6ba), szDriverName="), 10);
    EXPECT_TRUE(HasLine("rpc_LoadDriver returned NULL handle on strServer='cam1'"));
    const std::string strLog = Log();
    const size_t nAt = strLog.find("HostProc mute[");
    ASSERT_NE(nAt, std::string::npos);
    const int nPid = std::atoi(strLog.c_str() + nAt + std::strlen("HostProc mute["));
    EXPECT_TRUE(ProcessHasEnded(nPid, 10000)) << "the mute HostProc was not killed";
}

TEST_F(LibraryTest, HostProcThatAnswersLateIsUsed) {
    // The first three connections are turned away; the real schedule's
    // sleeps (20, 40, 80 ms) leave the HostProc time to take over.
    options.nRetryMs = 20;
    setenv("KESTREL_TEST_HOSTPROC_REFUSE", "3", 1);
    Load();
    const std::string strDriver = TestDriver();
    EXPECT_EQ(k.AddDeviceInstance("cam1", strDriver.c_str(), "late"), 1);
    unsetenv("KESTREL_TEST_HOSTPROC_REFUSE");
    EXPECT_GE(CountLines("Proxy RPC exception"), 3);
    EXPECT_TRUE(HasLine("Adding instance 'cam1' on server 'late'"));
    EXPECT_NO_THROW(k.QueryNumberOfCamDyn("cam1", ""));
}

// The stored feature set reaches every driver loaded after it, even empty;
// once set to a text it cannot change, while an empty one leaves it free.
TEST_F(LibraryTest, FeatureSetReachesEveryLaterDriver) {
    Load();
    const std::string strDriver = TestDriver();
    const auto featureSetOf = [&](const char* szId) {
        EXPECT_EQ(k.AddDeviceInstance(szId, strDriver.c_str(), szId), 1);
        const std::string strState = DriverState(szId);
        EXPECT_NE(strState.find("featureset.calls=1\n"), std::string::npos) << "sent once, even when empty";
        const size_t nAt = strState.find("featureset=");
        return strState.substr(nAt + 11, strState.find('\n', nAt) - nAt - 11);
    };
    EXPECT_EQ(featureSetOf("before"), "");
    k.SetFeatureSet("");
    EXPECT_EQ(featureSetOf("empty"), "");
    k.SetFeatureSet("FS-1");
    k.SetFeatureSet("FS-2");
    EXPECT_EQ(featureSetOf("later"), "FS-1");
}

TEST_F(LibraryTest, UnloadWithInstancesMakesNoRemoteCallAndKillsNothing) {
    Load();
    const std::string strDriver = TestDriver();
    ASSERT_EQ(k.AddDeviceInstance("cam1", strDriver.c_str(), "srv01"), 1);
    ASSERT_EQ(k.AddDeviceInstance("cam2", strDriver.c_str(), "srv02"), 1);
    const int nPid1 = HostProcPid("cam1");
    const int nPid2 = HostProcPid("cam2");
    Unload();
    EXPECT_EQ(CountLines("cContext="), 0);
    EXPECT_EQ(CountLines("Force detach"), 0);
    // Their clients gone, both end by themselves, and say so: a killed one
    // would not. (How soon is HostProc's idle span, so liveness right after
    // the unload would prove nothing.)
    for (const int nPid : {nPid1, nPid2}) {
        EXPECT_TRUE(ProcessHasEnded(nPid, 10000));
        EXPECT_TRUE(WaitForLine("[" + std::to_string(nPid) + "]: exiting: no client left")) << nPid;
    }
}

TEST_F(LibraryTest, ForkedChildStartsEmptyAndParentKeepsWorking) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer cannot start threads in the child of a threaded process";
#endif
    Load();
    const std::string strDriver = TestDriver();
    ASSERT_EQ(k.AddDeviceInstance("parent-cam", strDriver.c_str(), "parent-srv"), 1);
    const int nParentHostProc = HostProcPid("parent-cam");

    const pid_t nChild = fork();
    if (nChild == 0) {
        int nFailures = 0;
        if (Thrown([&] { k.QueryNumberOfCamDyn("parent-cam", ""); }) != 0UL) nFailures |= 1;
        if (k.AddDeviceInstance("child-cam", strDriver.c_str(), "child-srv") != 1) nFailures |= 2;
        if (HostProcPid("child-cam") == nParentHostProc) nFailures |= 4;
        k.RemoveDeviceInstance("child-cam");
        _exit(nFailures);
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(nChild, &nStatus, 0), nChild);
    EXPECT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 0) << "bit 1: parent's instance seen, 2: add failed, 4: parent's HostProc used";
    EXPECT_EQ(HostProcPid("parent-cam"), nParentHostProc);
    EXPECT_NO_THROW(k.QueryNumberOfCamDyn("parent-cam", ""));
}

TEST_F(LibraryTest, LocalExportsAnswerThemselves) {
    Load();
    EXPECT_EQ(std::tuple(k.QueryDeviceId("anything", "x"), k.PreventAutoDetect(), k.IsDebugBuild(),
                         k.GetRuntimeVersion(), k.GetRuntimeVersionDyn()),
              std::tuple(406, 1, 0, 1000, 1000));
    k.PreUnload();
    k.DeleteBuffer(nullptr);
}

// The level comes from Proxies.ini; none, 0 and negative write nothing.
class TraceLevelTest : public LibraryTest, public ::testing::WithParamInterface<std::pair<std::string, int>> {};

TEST_P(TraceLevelTest, LevelFromConfigurationFile) {
    options.strTraceLevel = GetParam().first;
    Load();
    EXPECT_EQ(Thrown([&] { k.OpenConnection("nobody", "", 0, 1); }), 0UL);
    const int nLevel = GetParam().second;
    EXPECT_EQ(HasLine("OpenConnection()["), nLevel >= 2) << "entry line at level 2";
    char szMac[256] = "", szType[256] = "";
    EXPECT_EQ(Thrown([&] { k.GetInfo("nobody", "", szMac, szType); }), 0UL);
    EXPECT_EQ(HasLine("GetInfo()["), nLevel >= 1) << "GetInfo's entry line is at level 1";
    EXPECT_EQ(HasLine("Throw PROXYUNKNOWNDEVICEERROR Error: szServer='nobody'"), nLevel >= 1);
}

using Level = std::pair<std::string, int>;
INSTANTIATE_TEST_SUITE_P(Levels, TraceLevelTest,
                         ::testing::Values(Level{"", 0}, Level{"0", 0}, Level{"-4", 0}, Level{"1", 1}, Level{"2", 2},
                                           Level{"7 ; comment", 7}));

}  // namespace
}  // namespace kestrel_test
