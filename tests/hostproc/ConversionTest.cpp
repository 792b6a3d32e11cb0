// What HostProc does with the sizes and bounds that the library always
// sends alike (256 entries, strings of 256): other bounds are honoured or
// refused, counts are clamped, short arrays are padded. The conversions the
// library does use are checked end to end by tests/library.
#include <vector>

#include "HostProcHarness.h"
#include "testdriver_protocol.h"

namespace hostproc_test {
namespace {

using testdriver::Call;
using testdriver::FitText;
using testdriver::Int;
using testdriver::Ints;
using testdriver::OutText;
using testdriver::Str;

// What a caller buffer of 256 yields when the driver filled all of it
// without a terminator: its first 255 characters.
std::string FilledBuffer(const std::string& strText) { return FitText(strText, 256).substr(0, 255); }

class Conversion : public HostProcTest {
protected:
    void SetUp() override {
        HostProcTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        Start();
        ASSERT_FALSE(HasFatalFailure());
        m_hCtx = Load(TestDriver());
        ASSERT_NE(m_hCtx, nullptr);
    }

    RpcDriverCtx m_hCtx = nullptr;
};

TEST_F(Conversion, PresetPositionsReturnEveryCallerBuffer) {
    struct Case {
        const char* szId;
        int32_t nPresetMax;
        int32_t nMaxStrLen;
        int nWritten;
        bool bFilled;
    };
    for (const Case& c : {Case{"t", 5, 128, 2, false}, Case{"t#count=7", 3, 128, 3, false},
                          Case{"t#fill", 3, 256, 2, true}, Case{"t", 0, 16, 0, false}}) {
        SCOPED_TRACE(std::string(c.szId) + " nPresetMax=" + std::to_string(c.nPresetMax));
        OwnedStrings names;
        names.n = static_cast<size_t>(c.nPresetMax);
        EXPECT_EQ(rpc_QueryPresetPositions(m_hCtx, c.szId, 1, c.nPresetMax, c.nMaxStrLen, &names), c.nWritten);
        ASSERT_NE(names.p, nullptr);
        const std::string strEcho = Call("QueryPresetPositions", {Str(c.szId), Int(1), Int(c.nPresetMax), "&"});
        for (int j = 0; j < c.nPresetMax; ++j) {
            ASSERT_NE(names.p[j], nullptr) << j;
            std::string strExpected;
            if (j < c.nWritten) {
                strExpected = OutText(strEcho, "pszPresetNames[" + std::to_string(j) + "]");
                if (c.bFilled) strExpected = FilledBuffer(strExpected);
            }
            EXPECT_EQ(names.p[j], strExpected) << j;
        }
    }
}

TEST_F(Conversion, PresetPositionBoundsAreChecked) {
    for (auto [nPresetMax, nMaxStrLen] :
         {std::pair{-1, 16}, std::pair{4097, 16}, std::pair{1, 0}, std::pair{1, 4097}, std::pair{1, -5}}) {
        SCOPED_TRACE(std::to_string(nPresetMax) + "x" + std::to_string(nMaxStrLen));
        OwnedStrings names;
        EXPECT_EQ(StatusOf([&] { rpc_QueryPresetPositions(m_hCtx, "t", 1, nPresetMax, nMaxStrLen, &names); }),
                  RPC_X_INVALID_BOUND);
        EXPECT_EQ(names.p, nullptr);
    }
    // The largest allowed shapes.
    for (auto [nPresetMax, nMaxStrLen] : {std::pair{4096, 1}, std::pair{1, 4096}}) {
        SCOPED_TRACE(std::to_string(nPresetMax) + "x" + std::to_string(nMaxStrLen));
        OwnedStrings names;
        names.n = static_cast<size_t>(nPresetMax);
        EXPECT_EQ(rpc_QueryPresetPositions(m_hCtx, "t#null", 1, nPresetMax, nMaxStrLen, &names), 0);
        ASSERT_NE(names.p, nullptr);
        for (int j = 0; j < nPresetMax; ++j) EXPECT_STREQ(names.p[j], "") << j;
    }
    // The faults did not cost the context or the driver anything.
    EXPECT_EQ(StateValue(DriverState(m_hCtx), "calls.QueryPresetPositions"), 2);
}

TEST_F(Conversion, PtzSupportedCountIsClampedAndSentAsSize) {
    struct Case {
        const char* szId;
        int32_t nExpected;
        int nTexts;
    };
    for (const Case& c :
         {Case{"t#count=3", 3, 3}, Case{"t#result=300", 256, 2}, Case{"t#result=-5", 0, 0}, Case{"t#count=0", 0, 0}}) {
        SCOPED_TRACE(c.szId);
        int32_t nSize = -1;
        OwnedStrings supported;
        supported.n = 256;
        EXPECT_EQ(rpc_QueryPtzSupportedDyn(m_hCtx, c.szId, "pw", 256, &nSize, &supported), c.nExpected);
        EXPECT_EQ(nSize, c.nExpected);
        supported.n = static_cast<size_t>(nSize);
        ASSERT_NE(supported.p, nullptr);
        const std::string strEcho = Call("QueryPtzSupportedDyn", {Str(c.szId), Str("pw"), "&"});
        for (int j = 0; j < nSize; ++j) {
            const std::string strExpected =
                j < c.nTexts ? OutText(strEcho, "ppszSupported[" + std::to_string(j) + "]") : "";
            EXPECT_EQ(supported.p[j], strExpected) << j;
        }
    }
    // Texts that fill their buffers are cut to nMaxStrLen - 1.
    int32_t nSize = -1;
    OwnedStrings supported;
    supported.n = 2;
    EXPECT_EQ(rpc_QueryPtzSupportedDyn(m_hCtx, "t#fill", "pw", 256, &nSize, &supported), 2);
    ASSERT_EQ(nSize, 2);
    const std::string strEcho = Call("QueryPtzSupportedDyn", {Str("t#fill"), Str("pw"), "&"});
    EXPECT_EQ(supported.p[1], FilledBuffer(OutText(strEcho, "ppszSupported[1]")));

    OwnedStrings refused;
    EXPECT_EQ(StatusOf([&] { rpc_QueryPtzSupportedDyn(m_hCtx, "t", "pw", 0, &nSize, &refused); }), RPC_X_INVALID_BOUND);
}

TEST_F(Conversion, PanTiltDriverAlwaysReceives256Entries) {
    for (int32_t nLength : {3, 0, 300}) {
        SCOPED_TRACE(nLength);
        std::vector<int32_t> drivers, ports, addresses;
        for (int32_t i = 0; i < nLength; ++i) {
            drivers.push_back(i + 1);
            ports.push_back(1000 + i);
            addresses.push_back(-i);
        }
        drivers.push_back(0);  // never empty, so data() is never null
        ports.push_back(0);
        addresses.push_back(0);
        rpc_SetPanTiltDriver(m_hCtx, "t#print", "u", "pw", nLength, drivers.data(), ports.data(), addresses.data());
        // What the driver saw: the values sent, then zeros, 256 in all.
        drivers.resize(256, 0);
        ports.resize(256, 0);
        addresses.resize(256, 0);
        EXPECT_TRUE(
            WaitForLine(Call("SetPanTiltDriver", {Str("t#print"), Str("u"), Str("pw"), Ints(drivers.data(), 256),
                                                  Ints(ports.data(), 256), Ints(addresses.data(), 256)}) +
                        "\n"));
    }
}

}  // namespace
}  // namespace hostproc_test
