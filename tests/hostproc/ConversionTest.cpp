// Every conversion HostProc makes between the wire and the driver's C API,
// checked against the echo driver: caller buffers and their cuts, string
// arrays and their bounds, blocks released with the driver's DeleteBuffer,
// double arrays, BSTRs both ways, CStringArrays, and the parameter orders
// that differ between the wire and the export.
#include <functional>
#include <vector>

#include "HostProcHarness.h"
#include "testdriver_protocol.h"

namespace hostproc_test {
namespace {

using testdriver::Bytes;
using testdriver::Call;
using testdriver::Dbl;
using testdriver::DefaultResult;
using testdriver::DefaultShortResult;
using testdriver::FitText;
using testdriver::Int;
using testdriver::Ints;
using testdriver::OutDouble;
using testdriver::OutInt;
using testdriver::OutText;
using testdriver::PatternByte;
using testdriver::Str;
using testdriver::Utf16ToUtf8;
using testdriver::Utf8ToUtf16;
using testdriver::Wide;

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

TEST_F(Conversion, CallerBuffersOf256AreCutTo255) {
    for (const char* szId : {"t", "t#len=300", "t#fill", "t#null"}) {
        SCOPED_TRACE(szId);
        const std::string strId = szId;
        auto expected = [&](const std::string& strEcho, const char* szSlot) -> std::string {
            if (strId == "t#null") return "";  // untouched, zeroed buffer
            if (strId == "t") return OutText(strEcho, szSlot);
            return FilledBuffer(OutText(strEcho, szSlot));
        };

        Owned<char> mac, type;
        EXPECT_EQ(rpc_GetInfo(m_hCtx, szId, "pw", &mac, &type), 0);
        const std::string strInfo = Call("GetInfo", {Str(szId), Str("pw"), "&", "&"});
        ASSERT_NE(mac.get(), nullptr);
        ASSERT_NE(type.get(), nullptr);
        EXPECT_EQ(mac.get(), expected(strInfo, "pcMAC"));
        EXPECT_EQ(type.get(), expected(strInfo, "pcDevType"));

        Owned<char> devType;
        rpc_QueryDeviceTypeStrDyn(m_hCtx, szId, "pw", &devType);
        ASSERT_NE(devType.get(), nullptr);
        EXPECT_EQ(devType.get(),
                  expected(Call("QueryDeviceTypeStrDyn", {Str(szId), Str("pw"), "&"}), "pcDevType"));
    }
}

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
    for (auto [nPresetMax, nMaxStrLen] : {std::pair{-1, 16}, std::pair{4097, 16}, std::pair{1, 0},
                                          std::pair{1, 4097}, std::pair{1, -5}}) {
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
    for (const Case& c : {Case{"t#count=3", 3, 3}, Case{"t#result=300", 256, 2}, Case{"t#result=-5", 0, 0},
                          Case{"t#count=0", 0, 0}}) {
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
    EXPECT_EQ(StatusOf([&] { rpc_QueryPtzSupportedDyn(m_hCtx, "t", "pw", 0, &nSize, &refused); }),
              RPC_X_INVALID_BOUND);
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
        EXPECT_TRUE(WaitForLine(Call("SetPanTiltDriver", {Str("t#print"), Str("u"), Str("pw"), Ints(drivers.data(), 256),
                                                          Ints(ports.data(), 256), Ints(addresses.data(), 256)}) +
                                "\n"));
    }
}

TEST_F(Conversion, BlocksTravelByResultAndAreDeletedByTheDriver) {
    struct BlockProc {
        const char* szName;
        std::function<int32_t(const char*, int32_t*, char**)> call;
        std::function<std::string(const char*)> echo;
    };
    const std::vector<BlockProc> procs = {
        {"GetImage2", [&](const char* szId, int32_t* pSize, char** ppBlock) { return rpc_GetImage2(m_hCtx, szId, 1, pSize, ppBlock); },
         [](const char* szId) { return Call("GetImage2", {Str(szId), Int(1), "&"}); }},
        {"GetVideoDataBlock",
         [&](const char* szId, int32_t* pSize, char** ppBlock) { return rpc_GetVideoDataBlock(m_hCtx, szId, 1, pSize, ppBlock); },
         [](const char* szId) { return Call("GetVideoDataBlock", {Str(szId), Int(1), "&"}); }},
        {"GetMediaDataBlock",
         [&](const char* szId, int32_t* pSize, char** ppBlock) {
             return rpc_GetMediaDataBlock(m_hCtx, szId, 0, 1, 0, pSize, ppBlock);
         },
         [](const char* szId) { return Call("GetMediaDataBlock", {Str(szId), Int(0), Int(1), Int(0), "&"}); }},
    };
    auto isPattern = [](const char* pBlock, size_t nSize) {
        for (size_t i = 0; i < nSize; ++i) {
            if (static_cast<unsigned char>(pBlock[i]) != PatternByte(i)) return false;
        }
        return true;
    };
    int nHandedOver = 0;
    for (const BlockProc& proc : procs) {
        SCOPED_TRACE(proc.szName);
        {
            // The echo itself.
            int32_t nSize = -1;
            Owned<char> block;
            const std::string strEcho = proc.echo("t");
            EXPECT_EQ(proc.call("t", &nSize, &block), static_cast<int32_t>(strEcho.size()));
            ASSERT_EQ(nSize, static_cast<int32_t>(strEcho.size()));
            ASSERT_NE(block.get(), nullptr);
            EXPECT_EQ(std::string(block.get(), static_cast<size_t>(nSize)), strEcho);
            ++nHandedOver;
        }
        {
            int32_t nSize = -1;
            Owned<char> block;
            EXPECT_EQ(proc.call("t#block=1048576", &nSize, &block), 1048576);
            ASSERT_EQ(nSize, 1048576);
            ASSERT_NE(block.get(), nullptr);
            EXPECT_TRUE(isPattern(block.get(), 1048576));
            ++nHandedOver;
        }
        {
            int32_t nSize = -1;
            Owned<char> block;
            EXPECT_EQ(proc.call("t#null", &nSize, &block), 0);
            EXPECT_EQ(nSize, 0);
            EXPECT_EQ(block.get(), nullptr);
        }
        {
            // The result, not the block's size, says how much travels.
            int32_t nSize = -1;
            Owned<char> block;
            EXPECT_EQ(proc.call("t#block=100#result=5", &nSize, &block), 5);
            ASSERT_EQ(nSize, 5);
            ASSERT_NE(block.get(), nullptr);
            EXPECT_TRUE(isPattern(block.get(), 5));
            ++nHandedOver;
        }
        {
            // A failure result sends nothing, and the block is still freed.
            int32_t nSize = -1;
            Owned<char> block;
            EXPECT_EQ(proc.call("t#block=100#result=-1", &nSize, &block), -1);
            EXPECT_EQ(nSize, 0);
            EXPECT_EQ(block.get(), nullptr);
            ++nHandedOver;
        }
    }
    const std::string strState = DriverState(m_hCtx);
    EXPECT_EQ(StateValue(strState, "deletebuffer"), nHandedOver) << strState;
    EXPECT_EQ(StateValue(strState, "blocks.live"), 0) << strState;
}

TEST_F(Conversion, FrameratesComeBackAsTwoDoubleArrays) {
    for (int nCount : {2, 5}) {
        const std::string strId = "t#count=" + std::to_string(nCount);
        SCOPED_TRACE(strId);
        int32_t nValues = -1;
        Owned<double> values, internal;
        const std::string strEcho = Call("QueryDeviceControlledFramerates", {Str(strId.c_str()), Str("pw"), Int(1), "&", "&", "&"});
        EXPECT_EQ(rpc_QueryDeviceControlledFramerates(m_hCtx, strId.c_str(), "pw", 1, &nValues, &values, &internal),
                  DefaultResult(strEcho));
        ASSERT_EQ(nValues, nCount);
        ASSERT_NE(values.get(), nullptr);
        ASSERT_NE(internal.get(), nullptr);
        for (int j = 0; j < nCount; ++j) {
            EXPECT_EQ(values.get()[j], OutDouble(strEcho, "ppdFPSValuesArray[" + std::to_string(j) + "]")) << j;
            EXPECT_EQ(internal.get()[j], OutDouble(strEcho, "ppdFPSInternalValsArray[" + std::to_string(j) + "]")) << j;
        }
    }
    {
        int32_t nValues = -1;
        Owned<double> values, internal;
        rpc_QueryDeviceControlledFramerates(m_hCtx, "t#count=0", "pw", 1, &nValues, &values, &internal);
        EXPECT_EQ(nValues, 0);
        EXPECT_EQ(values.get(), nullptr);
        EXPECT_EQ(internal.get(), nullptr);
    }
    {
        // A count without arrays: the count travels, the arrays stay null.
        int32_t nValues = -1;
        Owned<double> values, internal;
        rpc_QueryDeviceControlledFramerates(m_hCtx, "t#null", "pw", 1, &nValues, &values, &internal);
        EXPECT_EQ(nValues, 2);
        EXPECT_EQ(values.get(), nullptr);
        EXPECT_EQ(internal.get(), nullptr);
    }
    const std::string strState = DriverState(m_hCtx);
    EXPECT_EQ(StateValue(strState, "deletebuffer"), 4) << strState;
    EXPECT_EQ(StateValue(strState, "blocks.live"), 0) << strState;
}

TEST_F(Conversion, ByteInputsReachTheDriverBeforeTheirLength) {
    std::string strData(1000, '\0');
    for (size_t i = 0; i < strData.size(); ++i) strData[i] = static_cast<char>(i * 7);
    const auto* pData = reinterpret_cast<const unsigned char*>(strData.data());
    for (int32_t nLength : {1000, 0}) {
        SCOPED_TRACE(nLength);
        int32_t nCode = -1;
        const std::string strPut =
            Call("PutMediaDataBlock", {Str("t"), Int(2), Int(1), Int(0), Bytes(pData, nLength), Int(nLength), "&"});
        EXPECT_EQ(rpc_PutMediaDataBlock(m_hCtx, "t", 2, 1, 0, nLength, strData.data(), &nCode), DefaultResult(strPut));
        EXPECT_EQ(nCode, OutInt(strPut, "pResultCode"));

        Owned<char16_t> xml;
        const std::string strParse =
            Call("ParseXmlEventDataDyn", {Str("t"), Str("u"), Str("pw"), Int(7), Bytes(pData, nLength), Int(nLength), "&"});
        EXPECT_EQ(rpc_ParseXmlEventDataDyn(m_hCtx, "t", "u", "pw", 7, nLength, strData.data(), &xml),
                  DefaultResult(strParse));
        EXPECT_EQ(WideOf(xml.get()), Utf8ToUtf16(OutText(strParse, "bsXml")));
    }
}

TEST_F(Conversion, BstrsTravelBothWays) {
    // Outputs.
    {
        Owned<char16_t> xml;
        const std::string strEcho = Call("GetXml", {Str("t"), Str("u"), Str("pw"), Str("Video"), "&"});
        EXPECT_EQ(rpc_GetXml(m_hCtx, "t", "u", "pw", "Video", &xml), DefaultResult(strEcho));
        EXPECT_EQ(WideOf(xml.get()), Utf8ToUtf16(OutText(strEcho, "bsXml")));
    }
    {
        Owned<char16_t> info;
        const std::string strEcho =
            Call("GetTimeLine", {Str("t"), Int(0), Int(1), Int(0), Int(1704067200000LL), Int(-5), "&"});
        EXPECT_EQ(rpc_GetTimeLine(m_hCtx, "t", 0, 1, 0, 1704067200000LL, -5, &info), DefaultResult(strEcho));
        EXPECT_EQ(WideOf(info.get()), Utf8ToUtf16(OutText(strEcho, "bsRecordingTimeInfo")));
    }
    {
        Owned<char16_t> credentials;
        const std::string strEcho = Call("GenerateCredentialsDyn", {Str("t"), Str("u"), Str("pw"), "&"});
        EXPECT_EQ(rpc_GenerateCredentialsDyn(m_hCtx, "t", "u", "pw", &credentials), DefaultResult(strEcho));
        EXPECT_EQ(WideOf(credentials.get()), Utf8ToUtf16(OutText(strEcho, "bsCredentials")));
    }
    {
        Owned<char16_t> xml;
        const std::string strEcho = Call("GetStreamInfo", {Str("t"), Str("pw"), Int(2), "&"});
        EXPECT_EQ(rpc_GetStreamInfo(m_hCtx, "t", "pw", 2, &xml), DefaultResult(strEcho));
        EXPECT_EQ(WideOf(xml.get()), Utf8ToUtf16(OutText(strEcho, "bsXml")));
    }
    {
        // Long texts, and none at all.
        Owned<char16_t> longXml, noXml;
        const std::string strEcho = Call("GetXml", {Str("t#len=100000"), Str("u"), Str("pw"), Str(""), "&"});
        rpc_GetXml(m_hCtx, "t#len=100000", "u", "pw", "", &longXml);
        EXPECT_EQ(WideOf(longXml.get()), Utf8ToUtf16(FitText(OutText(strEcho, "bsXml"), 100000)));
        rpc_GetXml(m_hCtx, "t#null", "u", "pw", "", &noXml);
        EXPECT_EQ(noXml.get(), nullptr);
    }

    // Inputs, with text outside the 8-bit and the 16-bit ranges.
    const std::u16string strInput = u"<x a=\"\u00e9\u20ac\">\U0001F600</x>";
    const std::string strWide = Wide(strInput.c_str());
    using SetXml = int32_t (*)(RpcDriverCallCtx, const char*, const char*, const char*, const char16_t*, char16_t**);
    for (auto [szName, pSet] : {std::pair<const char*, SetXml>{"SetXmlParams", &rpc_SetXmlParams},
                                std::pair<const char*, SetXml>{"SetXmlEvents", &rpc_SetXmlEvents}}) {
        SCOPED_TRACE(szName);
        Owned<char16_t> reply;
        const std::string strEcho = Call(szName, {Str("t"), Str("u"), Str("pw"), strWide});
        EXPECT_EQ(pSet(m_hCtx, "t", "u", "pw", strInput.c_str(), &reply), 1);
        EXPECT_EQ(WideOf(reply.get()), Utf8ToUtf16(OutText(strEcho, "bsXml")));
        Owned<char16_t> refused;
        EXPECT_EQ(pSet(m_hCtx, "t#result=0", "u", "pw", strInput.c_str(), &refused), 0);
    }
    EXPECT_EQ(rpc_OpenMediaStreamWithSettings(m_hCtx, "t#print", "pw", 0, 1, 0, "ev", strInput.c_str()), 1);
    EXPECT_TRUE(WaitForLine(
        Call("OpenMediaStreamWithSettings", {Str("t#print"), Str("pw"), Int(0), Int(1), Int(0), Str("ev"), strWide}) +
        "\n"));
    EXPECT_EQ(rpc_OpenMediaStreamWithSettings(m_hCtx, "t#result=0", "pw", 0, 1, 0, "ev", u""), 0);
}

TEST_F(Conversion, EventListsTravelAsStringArrays) {
    const char* used[] = {"a", "b"};
    for (int32_t nMaxStrLen : {256, 10}) {
        SCOPED_TRACE(nMaxStrLen);
        int32_t nOpen = -1;
        OwnedStrings open;
        open.n = 2;
        const std::string strEcho = Call("QueryEventsDyn", {Str("t"), Str("pw"), "[\"a\",\"b\"]", "&"});
        EXPECT_EQ(rpc_QueryEventsDyn(m_hCtx, "t", "pw", nMaxStrLen, 2, used, &nOpen, &open), 2);
        ASSERT_EQ(nOpen, 2);
        ASSERT_NE(open.p, nullptr);
        for (int j = 0; j < 2; ++j) {
            const std::string strFull = OutText(strEcho, "aszOpenEvents[" + std::to_string(j) + "]");
            EXPECT_EQ(open.p[j], strFull.substr(0, static_cast<size_t>(nMaxStrLen - 1))) << j;
        }
    }
    {
        int32_t nOpen = -1;
        OwnedStrings open;
        open.n = 3;
        const std::string strEcho = Call("QueryEventsDyn", {Str("t#count=3"), Str("pw"), "[]", "&"});
        EXPECT_EQ(rpc_QueryEventsDyn(m_hCtx, "t#count=3", "pw", 256, 0, used, &nOpen, &open), 3);
        ASSERT_EQ(nOpen, 3);
        EXPECT_EQ(open.p[2], OutText(strEcho, "aszOpenEvents[2]"));
    }
    {
        int32_t nOpen = -1;
        OwnedStrings open;
        EXPECT_EQ(rpc_QueryEventsDyn(m_hCtx, "t#count=0", "pw", 256, 2, used, &nOpen, &open), 0);
        EXPECT_EQ(nOpen, 0);
    }

    const char* events[] = {"x", nullptr, "z\"q"};
    EXPECT_EQ(rpc_SetEventsDyn(m_hCtx, "t", "pw", 3, events),
              DefaultResult(Call("SetEventsDyn", {Str("t"), Str("pw"), "[\"x\",\"\",\"z\\\"q\"]"})));
    EXPECT_EQ(rpc_SetEventsDyn(m_hCtx, "t", "pw", 0, events), DefaultResult(Call("SetEventsDyn", {Str("t"), Str("pw"), "[]"})));
}

TEST_F(Conversion, PlainValuesPassStraightThrough) {
    {
        int32_t nPan = 0, nTilt = 0, nZoom = 0;
        const std::string strEcho = Call("GetPTZPos", {Str("t"), Int(1), Int(2), "&", "&", "&"});
        EXPECT_EQ(rpc_GetPTZPos(m_hCtx, "t", 1, 2, &nPan, &nTilt, &nZoom), DefaultResult(strEcho));
        EXPECT_EQ(nPan, OutInt(strEcho, "pPan"));
        EXPECT_EQ(nTilt, OutInt(strEcho, "pTilt"));
        EXPECT_EQ(nZoom, OutInt(strEcho, "pZoom"));
    }
    {
        double dPan = 0, dTilt = 0, dZoom = 0, dFocus = 0;
        const std::string strEcho =
            Call("PTZGetAbsoluteDoubles", {Str("t"), Str("u"), Str("pw"), Int(1), Int(2), "&", "&", "&", "&"});
        EXPECT_EQ(rpc_PTZGetAbsoluteDoubles(m_hCtx, "t", "u", "pw", 1, 2, &dPan, &dTilt, &dZoom, &dFocus),
                  DefaultResult(strEcho));
        EXPECT_EQ(dPan, OutDouble(strEcho, "pPan"));
        EXPECT_EQ(dTilt, OutDouble(strEcho, "pTilt"));
        EXPECT_EQ(dZoom, OutDouble(strEcho, "pZoom"));
        EXPECT_EQ(dFocus, OutDouble(strEcho, "pFocus"));
    }
    {
        int32_t nHalf = 0, nSize = 0;
        const std::string strEcho = Call("ConfigDevice2", {Str("t"), Str("u"), Str("pw"), Int(3), "&", "&"});
        rpc_ConfigDevice2(m_hCtx, "t", "u", "pw", 3, &nHalf, &nSize);
        EXPECT_EQ(nHalf, OutInt(strEcho, "Halfsize"));
        EXPECT_EQ(nSize, OutInt(strEcho, "asize"));
    }
    {
        double dValue = 0, dInternal = 0;
        const std::string strEcho = Call("GetDeviceControlledFramerate", {Str("t"), Str("pw"), Int(1), "&", "&"});
        EXPECT_EQ(rpc_GetDeviceControlledFramerate(m_hCtx, "t", "pw", 1, &dValue, &dInternal), DefaultResult(strEcho));
        EXPECT_EQ(dValue, OutDouble(strEcho, "pdFPSValue"));
        EXPECT_EQ(dInternal, OutDouble(strEcho, "pdFPSInternalVal"));
    }
    EXPECT_EQ(rpc_Play(m_hCtx, "t", 0, 1, 0, -1234567890123LL, -2.5),
              DefaultResult(Call("Play", {Str("t"), Int(0), Int(1), Int(0), Int(-1234567890123LL), Dbl(-2.5)})));
    EXPECT_EQ(rpc_SetDeviceControlledFramerate(m_hCtx, "t", "pw", 1, 29.97),
              DefaultResult(Call("SetDeviceControlledFramerate", {Str("t"), Str("pw"), Int(1), Dbl(29.97)})));
    const char* szOdd = "a\"b\\c\x01\xc3\xa9";
    EXPECT_EQ(rpc_ChangePassword(m_hCtx, "t", "u", "pw", szOdd),
              DefaultResult(Call("ChangePassword", {Str("t"), Str("u"), Str("pw"), Str(szOdd)})));
    EXPECT_EQ(rpc_OpenXmlEventParserDyn(m_hCtx, "t", "u", "pw", "text"),
              DefaultShortResult(Call("OpenXmlEventParserDyn", {Str("t"), Str("u"), Str("pw"), Str("text")})));
    EXPECT_EQ(rpc_IsDebugBuildDyn(m_hCtx, "t", "pw"), 1);
    EXPECT_EQ(rpc_IsDebugBuildDyn(m_hCtx, "t#result=0", "pw"), 0);

    rpc_SetFeatureSet(m_hCtx, "feature-set-7");
    const std::string strState = DriverState(m_hCtx);
    EXPECT_NE(strState.find("\nfeatureset=feature-set-7\n"), std::string::npos) << strState;
    EXPECT_EQ(StateValue(strState, "featureset.calls"), 1);
}

}  // namespace
}  // namespace hostproc_test
