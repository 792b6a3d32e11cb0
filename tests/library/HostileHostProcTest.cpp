// The library against a HostProc that misbehaves on purpose: the
// kestrel-hostile-hostproc double, put where the library looks for HostProc
// beside a driver. A reply that never comes or never ends is cut off by the
// deadline timer, a reply larger than the stub limit is refused; either way
// the call throws its code, the HostProc goes with its instances, and the
// harness finds no thread, descriptor or child left.
#include <cstdlib>
#include <filesystem>

#include "LibraryHarness.h"

namespace fs = std::filesystem;

namespace kestrel_test {
namespace {

constexpr unsigned long kHostProcLost = 0x01000000;
constexpr unsigned long kCallFailed = 0x6BE;     // RPC_S_CALL_FAILED
constexpr unsigned long kProtocolError = 0x6C0;  // RPC_S_PROTOCOL_ERROR

class HostileHostProc : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        char szTemplate[] = "/tmp/kestrel-hostile-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        m_strFolder = szTemplate;
        fs::create_directories(m_strFolder + "/drv/hostproc");
        fs::create_symlink(KESTREL_HOSTILE_HOSTPROC, m_strFolder + "/drv/hostproc/HostProc");
    }
    void TearDown() override {
        LibraryTest::TearDown();
        std::error_code ignored;
        fs::remove_all(m_strFolder, ignored);
    }

    // Never opened: the double loads nothing.
    std::string Driver() const { return m_strFolder + "/drv/libanything.so"; }
    // The pid that the double for strMode told, 0 when it told none.
    int DoublePid(const std::string& strMode) const {
        const std::string strNeedle = "hostile HostProc " + strMode + " pid=";
        const std::string strLog = Log();
        const size_t nAt = strLog.find(strNeedle);
        return nAt == std::string::npos ? 0 : std::atoi(strLog.c_str() + nAt + strNeedle.size());
    }

    std::string m_strFolder;
};

TEST_F(HostileHostProc, SilentOrEndlessReplyIsCutOffByTheDeadline) {
    options.nDeadlineMs = 300;
    Load();
    for (const std::string strMode : {"silent", "trickle"}) {
        const std::string strInstance = strMode + "-cam";
        ASSERT_EQ(k.AddDeviceInstance(strInstance.c_str(), Driver().c_str(), strMode.c_str()), 1) << strMode;
        unsigned char* pBlock = nullptr;
        EXPECT_EQ(Thrown([&] { k.GetVideoDataBlock(strInstance.c_str(), 0, &pBlock); }), kHostProcLost | kCallFailed)
            << strMode;
        EXPECT_EQ(pBlock, nullptr) << strMode;
        EXPECT_TRUE(HasLine("hostproc '" + strMode + "' ended by signal 9 (SIGKILL) from the deadline timer")) << strMode;
        // The instance went with its HostProc.
        EXPECT_EQ(Thrown([&] { k.QueryIsIpix(strInstance.c_str(), ""); }), 0UL) << strMode;
    }
}

TEST_F(HostileHostProc, ReplyLargerThanTheLimitIsRefused) {
    Load();
    ASSERT_EQ(k.AddDeviceInstance("flood-cam", Driver().c_str(), "flood"), 1);
    unsigned char* pBlock = nullptr;
    EXPECT_EQ(Thrown([&] { k.GetVideoDataBlock("flood-cam", 0, &pBlock); }), kHostProcLost | kProtocolError);
    EXPECT_EQ(pBlock, nullptr);
    // Dropped by the library, the double ends by itself.
    const int nPid = DoublePid("flood");
    ASSERT_GT(nPid, 0);
    EXPECT_TRUE(ProcessHasEnded(nPid, 60000));
}

}  // namespace
}  // namespace kestrel_test
