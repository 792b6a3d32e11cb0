// The failure path of one export of every shape: the driver crashes inside
// the call, HostProc dies, and the export must log its exact call text at
// level 1, throw 0x010006BE (HostProc lost, RPC_S_CALL_FAILED), and leave
// the caller's buffers, arrays and BSTRs as they were (block pointers of
// the data-block exports are null, GetImage2's is not cleared).
#include <string>

#include "ExportTestSupport.h"
#include "LibraryHarness.h"

namespace kestrel_test {
namespace {

constexpr unsigned long kLostWithCallFailed = 0x010006BEUL;

struct FailureCase {
    const char* szShape;     // names the test
    const char* szExport;
    const char* szCallText;  // as the export must log it
    // Makes the call on instance szId with caller storage of its own,
    // returns the thrown code and checks the storage afterwards.
    unsigned long (*pRun)(Kestrel& k, const char* szId);
};

void PrintTo(const FailureCase& c, std::ostream* pOut) { *pOut << c.szShape; }

const FailureCase kFailureCases[] = {
    {"PlainInt", "ChangePassword",
     "rVal = rpc_ChangePassword(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, "
     "(RpcCChar*)szNewPassword)",
     [](Kestrel& k, const char* szId) { return ThrownBy([&] { k.ChangePassword(szId, "u", "old", "new"); }); }},
    {"IntWithTimeAndDouble", "Play",
     "rVal = rpc_Play(pCTX->m_hCtx, (RpcCChar*)szServer, eMediaType, nDeviceIndex, nStreamIndex, time_stamp, dSpeed)",
     [](Kestrel& k, const char* szId) { return ThrownBy([&] { k.Play(szId, 0, 1, 0, 1704067200000LL, 2.0); }); }},
    {"Void", "PTZSetAbsoluteDoublesSpeed",
     "rpc_PTZSetAbsoluteDoublesSpeed(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, "
     "(RpcCChar*)szPassword, nCamNo, nDriver, dPan, dTilt, dZoom, dFocus, dSpeed)",
     [](Kestrel& k, const char* szId) {
         return ThrownBy([&] { k.PTZSetAbsoluteDoublesSpeed(szId, "u", "pw", 1, 0, 10.5, -5.25, 2.0, 400.0, 30.0); });
     }},
    {"VoidWithOutInts", "ConfigDevice2",
     "rpc_ConfigDevice2(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)username, (RpcCChar*)password, nCamNo, "
     "Halfsize, asize)",
     [](Kestrel& k, const char* szId) {
         int nHalf = -11, nSize = -12;
         const unsigned long nCode = ThrownBy([&] { k.ConfigDevice2(szId, "u", "pw", 1, &nHalf, &nSize); });
         EXPECT_EQ(nHalf, -11);
         EXPECT_EQ(nSize, -12);
         return nCode;
     }},
    {"VoidWithIntArrays", "SetPanTiltDriver",
     "rpc_SetPanTiltDriver(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, "
     "nLength, nDriver, nComPort, nAdrId)",
     [](Kestrel& k, const char* szId) {
         const std::vector<int> drivers(256, 1), ports(256, 2), addresses(256, 3);
         return ThrownBy([&] { k.SetPanTiltDriver(szId, "u", "pw", drivers.data(), ports.data(), addresses.data()); });
     }},
    {"OutInts", "PTZGetAbsolute",
     "rVal = rpc_PTZGetAbsolute(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, "
     "nCamNo, nDriver, pPan, pTilt, pZoom, pFocus)",
     [](Kestrel& k, const char* szId) {
         int nPan = 1, nTilt = 2, nZoom = 3, nFocus = 4;
         const unsigned long nCode =
             ThrownBy([&] { k.PTZGetAbsolute(szId, "u", "pw", 1, 0, &nPan, &nTilt, &nZoom, &nFocus); });
         EXPECT_EQ(nPan + nTilt * 10 + nZoom * 100 + nFocus * 1000, 4321);
         return nCode;
     }},
    {"OutDoubles", "GetDeviceControlledFramerate",
     "rVal = rpc_GetDeviceControlledFramerate(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nCamNo, "
     "pdFPSValue, pdFPSInternalVal)",
     [](Kestrel& k, const char* szId) {
         double dValue = 1.25, dInternal = 2.5;
         const unsigned long nCode =
             ThrownBy([&] { k.GetDeviceControlledFramerate(szId, "pw", 1, &dValue, &dInternal); });
         EXPECT_EQ(dValue, 1.25);
         EXPECT_EQ(dInternal, 2.5);
         return nCode;
     }},
    {"Bool", "IsDebugBuildDyn", "rVal = rpc_IsDebugBuildDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)",
     [](Kestrel& k, const char* szId) { return ThrownBy([&] { k.IsDebugBuildDyn(szId, "pw"); }); }},
    {"BoolWithBstrInput", "OpenMediaStreamWithSettings",
     "rVal = rpc_OpenMediaStreamWithSettings(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nMediaType, "
     "nDeviceIndex, nStreamIndex, (RpcCChar*)szEventName, *settingsXml)",
     [](Kestrel& k, const char* szId) {
         BSTR bsSettings = NewBstr("<Settings/>");
         BSTR bsBefore = bsSettings;
         const unsigned long nCode =
             ThrownBy([&] { k.OpenMediaStreamWithSettings(szId, "pw", 0, 1, 0, "", &bsSettings); });
         EXPECT_EQ(bsSettings, bsBefore);
         EXPECT_EQ(TextOf(bsSettings), "<Settings/>");
         SysFreeString(bsSettings);
         return nCode;
     }},
    {"Short", "OpenXmlEventParserDyn",
     "rVal = rpc_OpenXmlEventParserDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, "
     "(RpcCChar*)szEventType)",
     [](Kestrel& k, const char* szId) { return ThrownBy([&] { k.OpenXmlEventParserDyn(szId, "u", "pw", "Alarm"); }); }},
    {"VideoBlock", "GetVideoDataBlock",
     "rVal = rpc_GetVideoDataBlock(RPCCONTEXT, (RpcCChar*)szServer, nCamNo, &nSize, ppVideoDataBytes)",
     [](Kestrel& k, const char* szId) {
         unsigned char stale = 0;
         unsigned char* pBlock = &stale;
         const unsigned long nCode = ThrownBy([&] { k.GetVideoDataBlock(szId, 1, &pBlock); });
         EXPECT_EQ(pBlock, nullptr) << "the caller's pointer is cleared before the call";
         return nCode;
     }},
    {"MediaBlock", "GetMediaDataBlock",
     "rVal = rpc_GetMediaDataBlock(RPCCONTEXT, (RpcCChar*)szServer, nMediaType, nDeviceIndex, nStreamIndex, &nSize, "
     "ppMediaDataBytes)",
     [](Kestrel& k, const char* szId) {
         unsigned char stale = 0;
         unsigned char* pBlock = &stale;
         const unsigned long nCode = ThrownBy([&] { k.GetMediaDataBlock(szId, 1, 1, 0, &pBlock); });
         EXPECT_EQ(pBlock, nullptr) << "the caller's pointer is cleared before the call";
         return nCode;
     }},
    {"PutBlock", "PutMediaDataBlock",
     "rVal = rpc_PutMediaDataBlock(RPCCONTEXT, (RpcCChar*)szServer, nMediaType, nDeviceIndex, nStreamIndex, "
     "nLength, pMediaDataBytes, pResultCode)",
     [](Kestrel& k, const char* szId) {
         const unsigned char data[4] = {1, 2, 3, 4};
         int nResultCode = 4711;
         const unsigned long nCode = ThrownBy([&] { k.PutMediaDataBlock(szId, 2, 1, 0, data, 4, &nResultCode); });
         EXPECT_EQ(nResultCode, 4711);
         return nCode;
     }},
    {"DoubleArrays", "QueryDeviceControlledFramerates",
     "rVal = rpc_QueryDeviceControlledFramerates(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nCamNo, "
     "piNumFPSValues, ppdFPSValuesArray, ppdFPSInternalValsArray)",
     [](Kestrel& k, const char* szId) {
         int nCount = 17;
         double stale = 0;
         double* pValues = &stale;
         double* pInternal = nullptr;
         const unsigned long nCode =
             ThrownBy([&] { k.QueryDeviceControlledFramerates(szId, "pw", 1, &nCount, &pValues, &pInternal); });
         EXPECT_EQ(nCount, 17);
         EXPECT_EQ(pValues, &stale);
         EXPECT_EQ(pInternal, nullptr);
         return nCode;
     }},
    {"CallerBuffers", "GetInfo",
     "res = rpc_GetInfo(RPCCONTEXT, (RpcCChar*)strIP, (RpcCChar*)strPass, (RpcChar**)&xpcMAC, "
     "(RpcChar**)&xpcDevType)",
     [](Kestrel& k, const char* szId) {
         CallerBuffer mac, type;
         const unsigned long nCode = ThrownBy([&] { k.GetInfo(szId, "pw", mac.Get(), type.Get()); });
         EXPECT_TRUE(mac.Untouched());
         EXPECT_TRUE(type.Untouched());
         return nCode;
     }},
    {"CallerBuffer", "QueryDeviceTypeStrDyn",
     "{ rpc_QueryDeviceTypeStrDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, (RpcChar**)&pcDevType); "
     "bOk = true; }",
     [](Kestrel& k, const char* szId) {
         CallerBuffer type;
         const unsigned long nCode = ThrownBy([&] { k.QueryDeviceTypeStrDyn(szId, "pw", type.Get()); });
         EXPECT_TRUE(type.Untouched());
         return nCode;
     }},
    {"PresetBuffers", "QueryPresetPositions",
     "rVal = rpc_QueryPresetPositions(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nPresetMax, 256, &locPresetnames)",
     [](Kestrel& k, const char* szId) {
         std::vector<CallerBuffer> names(3);
         char* pointers[3] = {names[0].Get(), names[1].Get(), names[2].Get()};
         const unsigned long nCode = ThrownBy([&] { k.QueryPresetPositions(szId, 1, 3, pointers); });
         for (const CallerBuffer& name : names) EXPECT_TRUE(name.Untouched());
         return nCode;
     }},
    {"SupportedBuffers", "QueryPtzSupportedDyn",
     "rVal = rpc_QueryPtzSupportedDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, 256, &size, "
     "(RpcChar***)&ppszSupported)",
     [](Kestrel& k, const char* szId) {
         std::vector<CallerBuffer> names(256);
         std::vector<char*> pointers;
         for (CallerBuffer& name : names) pointers.push_back(name.Get());
         const unsigned long nCode = ThrownBy([&] { k.QueryPtzSupportedDyn(szId, "pw", pointers.data()); });
         for (const CallerBuffer& name : names) EXPECT_TRUE(name.Untouched());
         return nCode;
     }},
    {"BstrOut", "GetXml",
     "rVal = rpc_GetXml(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, "
     "(RpcCChar*)szFilter, &wstrXML)",
     [](Kestrel& k, const char* szId) {
         // Left alone means not released either: freeing it here once is
         // the caller's right (a double free shows in the sanitizer build).
         BSTR bs = NewBstr("the caller's XML");
         BSTR bsBefore = bs;
         const unsigned long nCode = ThrownBy([&] { k.GetXml(szId, "u", "pw", "", &bs); });
         EXPECT_EQ(bs, bsBefore);
         EXPECT_EQ(TextOf(bs), "the caller's XML");
         SysFreeString(bs);
         return nCode;
     }},
    {"BstrInOut", "SetXmlParams",
     "rVal = rpc_SetXmlParams(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, bsXml, "
     "&wstrXML)",
     [](Kestrel& k, const char* szId) {
         BSTR bs = NewBstr("<Video><Width>640</Width></Video>");
         BSTR bsBefore = bs;
         const unsigned long nCode = ThrownBy([&] { k.SetXmlParams(szId, "u", "pw", &bs); });
         EXPECT_EQ(bs, bsBefore);
         EXPECT_EQ(TextOf(bs), "<Video><Width>640</Width></Video>");
         SysFreeString(bs);
         return nCode;
     }},
    {"BstrParsed", "ParseXmlEventDataDyn",
     "rVal = rpc_ParseXmlEventDataDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, "
     "nParserHandle, nLength, inputData, &wstrXml)",
     [](Kestrel& k, const char* szId) {
         const unsigned char data[5] = {'a', '=', '1', ';', 'b'};
         BSTR bs = NewBstr("before");
         const unsigned long nCode = ThrownBy([&] { k.ParseXmlEventDataDyn(szId, "u", "pw", 1, data, 5, &bs); });
         EXPECT_EQ(TextOf(bs), "before");
         SysFreeString(bs);
         return nCode;
     }},
    {"TimeLine", "GetTimeLine",
     "rVal = rpc_GetTimeLine(pCTX->m_hCtx, (RpcCChar*)szServer, eMediaType, nDeviceIndex, nStreamIndex, iStartTime, "
     "iEndTime, &wstrRecordingTimeInfo)",
     [](Kestrel& k, const char* szId) {
         BSTR bs = NewBstr("before");
         const unsigned long nCode = ThrownBy([&] { k.GetTimeLine(szId, 0, 1, 0, 0, 1000, &bs); });
         EXPECT_EQ(TextOf(bs), "before");
         SysFreeString(bs);
         return nCode;
     }},
    {"StringArrays", "QueryEventsDyn",
     "rVal = rpc_QueryEventsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPass, 256, nofUsedEvents, "
     "(RpcCChar**)aszUsedEvents, &nofOpenEvents, (RpcChar***)&aszOpenEvents)",
     [](Kestrel& k, const char* szId) {
         CStringArray used, open;
         used.Add("Input1");
         open.Add("stays");
         open.Add("as it was");
         const unsigned long nCode = ThrownBy([&] { k.QueryEventsDyn(szId, "pw", used, open); });
         EXPECT_EQ(testdriver::Array(used), "[\"Input1\"]");
         EXPECT_EQ(testdriver::Array(open), "[\"stays\",\"as it was\"]");
         return nCode;
     }},
    {"StringArrayInput", "SetEventsDyn",
     "rVal = rpc_SetEventsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nofEvents, aszEvents)",
     [](Kestrel& k, const char* szId) {
         CStringArray events;
         events.Add("Motion1");
         const unsigned long nCode = ThrownBy([&] { k.SetEventsDyn(szId, "pw", events); });
         EXPECT_EQ(testdriver::Array(events), "[\"Motion1\"]");
         return nCode;
     }},
    {"Image", "GetImage2", "rpc_GetImage2(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, &nSize, pJpgBytes)",
     [](Kestrel& k, const char* szId) {
         unsigned char stale = 0;
         unsigned char* pBlock = &stale;
         const unsigned long nCode = ThrownBy([&] { k.GetImage2(szId, 1, &pBlock); });
         EXPECT_EQ(pBlock, &stale) << "GetImage2 does not clear the caller's pointer";
         return nCode;
     }},
};

class ExportFailureTest : public LibraryTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(ExportFailureTest, LogsItsCallTextThrowsAndLeavesCallerStorageAlone) {
    options.strTraceLevel = "1";  // the line must be there at level 1
    Load();
    const FailureCase& c = GetParam();
    const char* szId = "victim#crash";
    ASSERT_EQ(k.AddDeviceInstance(szId, TestDriver().c_str(), "srv01"), 1);
    ASSERT_EQ(k.AddDeviceInstance("bystander", TestDriver().c_str(), "srv01"), 1);

    EXPECT_EQ(c.pRun(k, szId), kLostWithCallFailed);

    const std::string strLog = Log();
    EXPECT_EQ(CountTraceLines(strLog, c.szExport,
                              std::string("RPC exception 1726(0x6be), server='") + szId + "', rpc call='" +
                                  c.szCallText + "'"),
              1);
    // At this level the export writes nothing else: no closing line, and
    // only GetInfo has its entry line at level 1.
    const bool bEntryAtLevel1 = std::string(c.szExport) == "GetInfo";
    EXPECT_EQ(CountTraceLines(strLog, c.szExport, std::string("szServer='") + szId + "'"), bEntryAtLevel1 ? 1 : 0);
    EXPECT_EQ(CountTraceLines(strLog, c.szExport, ""), bEntryAtLevel1 ? 2 : 1);
    EXPECT_EQ(CountExactLinesEndingWith(strLog, "Throw HOSTPROCUNAVAILABLEERROR Error: RPC exception thrown='1726'"), 1);
    // Both instances of the lost HostProc are gone.
    EXPECT_EQ(ThrownBy([&] { k.QueryIsIpix(szId, ""); }), 0UL);
    EXPECT_EQ(ThrownBy([&] { k.QueryIsIpix("bystander", ""); }), 0UL);
    ExpectNoLeaks();
}

INSTANTIATE_TEST_SUITE_P(Shapes, ExportFailureTest, testing::ValuesIn(kFailureCases),
                         [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.szShape); });

}  // namespace
}  // namespace kestrel_test
