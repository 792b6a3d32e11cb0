// HostProc's confinement, end to end through libKestrel.so: a hostile
// driver's attempts on the application and the user's files fail confined
// (the default) and succeed with Confine=off; a driver from another folder;
// Confine=on and Confine=required on a kernel that offers no Landlock.
#include "LibraryHarness.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <seccomp.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace kestrel_test {

namespace {

// Something of the application's that no driver may read.
const char g_szSecret[] = "application secret";

std::string HostileDriver() { return KESTREL_TEST_DRIVERS_DIR "/libkestrel_hostiledriver.so"; }

class ConfinementTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        m_strHome = Root() + "/home";
        fs::create_directories(m_strHome);
        std::ofstream(m_strHome + "/secret") << g_szSecret;
        if (const char* szHome = std::getenv("HOME")) m_strSavedHome = szHome;
        setenv("HOME", m_strHome.c_str(), 1);
    }
    void TearDown() override {
        LibraryTest::TearDown();
        setenv("HOME", m_strSavedHome.c_str(), 1);
    }
    // One attempt of the hostile driver's instance: 0 or the errno it met.
    int Try(const std::string& strCommand) { return Control("evil", strCommand); }

    std::string m_strHome;
    std::string m_strSavedHome;
};

class HostileDriverTest : public ConfinementTest, public ::testing::WithParamInterface<bool> {};

TEST_P(HostileDriverTest, AttemptsFailConfinedAndWorkWithConfineOff) {
    const bool bConfined = GetParam();
    const std::string strShared = Root() + "/shared";
    fs::create_directories(strShared);
    options.strIniExtra =
        std::string("[HostProc]\n") + (bConfined ? "" : "Confine=off\n") + "AllowWrite=" + strShared + "\n";
    Load();
    // The default state folder, inside the home it must not open up.
    unsetenv("XDG_STATE_HOME");
    ASSERT_EQ(k.AddDeviceInstance("evil", HostileDriver().c_str(), "hostile"), 1);

    const std::string strPid = std::to_string(getpid());
    const std::string strAddress = std::to_string(reinterpret_cast<std::uintptr_t>(g_szSecret));
    const struct {
        std::string strCommand;
        int nConfined;  // the errno when confined; every attempt works unconfined
    } attempts[] = {
        {"read " + m_strHome + "/secret", EACCES},
        {"write " + m_strHome + "/planted", EACCES},
        {"ptrace " + strPid, EPERM},
        {"mem " + strPid + " " + strAddress, EACCES},
        {"vmread " + strPid + " " + strAddress, EPERM},
        {"exec", EPERM},
        // What a driver may do: write its state folder and AllowWrite folders.
        {"write " + m_strHome + "/.local/state/kestrel/hostile/note", 0},
        {"write " + strShared + "/note", 0},
    };
    // Each answer comes from the same HostProc, which serves on after every refusal.
    for (const auto& attempt : attempts) {
        EXPECT_EQ(Try(attempt.strCommand), bConfined ? attempt.nConfined : 0) << attempt.strCommand;
    }
    EXPECT_EQ(fs::exists(m_strHome + "/planted"), !bConfined);
    EXPECT_EQ(HasLine("confined: Landlock ABI"), bConfined);
    EXPECT_EQ(HasLine("unconfined: Confine=off"), !bConfined);
    // What HostProc observed and said about it.
    for (const std::string& strRefusal :
         {"open '" + m_strHome + "/secret' (EACCES)", "open '" + m_strHome + "/planted' (EACCES)",
          "open '/proc/" + strPid + "/mem' (EACCES)", std::string("process_vm_readv (EPERM)"),
          std::string("execve (EPERM)")}) {
        EXPECT_EQ(HasLine("refused: " + strRefusal), bConfined) << strRefusal;
    }
}

INSTANTIATE_TEST_SUITE_P(ConfinedOrOff, HostileDriverTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Confined" : "ConfineOff"; });

TEST_F(ConfinementTest, ADriverFromAnotherFolderLoadsOnlyFromAnAllowReadFolder) {
    for (const char* szFolder : {"/elsewhere", "/allowed"}) {
        fs::create_directories(Root() + szFolder);
        fs::copy_file(HostileDriver(), Root() + szFolder + "/libhostile.so");
    }
    options.strIniExtra = "[HostProc]\nAllowRead=" + Root() + "/allowed\n";
    Load();
    ASSERT_EQ(k.AddDeviceInstance("evil", HostileDriver().c_str(), "mixed"), 1);
    const std::string strElsewhere = Root() + "/elsewhere/libhostile.so";
    EXPECT_EQ(k.AddDeviceInstance("other", strElsewhere.c_str(), "mixed"), 0);
    EXPECT_TRUE(
        HasLine("cannot load driver '" + strElsewhere + "': it lies outside what this confined HostProc may read"));
    EXPECT_EQ(k.AddDeviceInstance("allowed", (Root() + "/allowed/libhostile.so").c_str(), "mixed"), 1);
}

class WithoutLandlockTest : public ConfinementTest, public ::testing::WithParamInterface<bool> {};

TEST_P(WithoutLandlockTest, OnRunsWithTheFilterOnlyAndRequiredRefusesTheDriver) {
    const bool bRequired = GetParam();
    options.strIniExtra = bRequired ? "[HostProc]\nConfine=required\n" : "[HostProc]\nConfine=on\n";
    Load();
    int nAdded = -1;
    // This thread, and the HostProc it starts, find no Landlock.
    std::thread([&] {
        scmp_filter_ctx pFilter = seccomp_init(SCMP_ACT_ALLOW);
        ASSERT_EQ(seccomp_rule_add(pFilter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(landlock_create_ruleset), 0), 0);
        ASSERT_EQ(seccomp_load(pFilter), 0);
        seccomp_release(pFilter);
        nAdded = k.AddDeviceInstance("evil", HostileDriver().c_str(), "bare");
    }).join();
    if (bRequired) {
        EXPECT_EQ(nAdded, 0);
        EXPECT_TRUE(
            HasLine("HostProc 'bare' will refuse every driver: Confine=required, but this kernel has no Landlock"));
        EXPECT_TRUE(
            HasLine("cannot load driver '" + HostileDriver() + "': Confine=required, but this kernel has no Landlock"));
        return;
    }
    ASSERT_EQ(nAdded, 1);
    EXPECT_TRUE(HasLine("HostProc 'bare' runs without full confinement: this kernel has no Landlock"));
    EXPECT_TRUE(HasLine("partly confined: a seccomp filter only (this kernel has no Landlock)"));
    EXPECT_EQ(Try("read " + m_strHome + "/secret"), 0);
    EXPECT_EQ(Try("exec"), EPERM);
}

INSTANTIATE_TEST_SUITE_P(OnOrRequired, WithoutLandlockTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Required" : "On"; });

}  // namespace

}  // namespace kestrel_test
