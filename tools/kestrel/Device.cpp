#include "Device.h"

#include "Util.h"

#include <cstring>

namespace kestrel_cli {

namespace {

constexpr int kCallerBuffer = 256;

std::string Quoted(const std::string& strServer) { return "(\"" + strServer + "\")"; }

}  // namespace

DeviceInfo QueryDeviceInfo(Session& session, const std::string& strServer)
{
    Module& api = session.Api();
    const char* szServer = strServer.c_str();
    const char* szPassword = session.Options().strPassword.c_str();
    DeviceInfo info;
    char szMac[kCallerBuffer] = {};
    char szType[kCallerBuffer] = {};
    auto pGetInfo = session.Need(api.GetInfo, "GetInfo");
    info.nInfoResult =
        session.Guard("GetInfo" + Quoted(strServer), [&] { return pGetInfo(szServer, szPassword, szMac, szType); });
    info.strMac = szMac;
    info.strType = szType;
    if (api.QueryDeviceTypeStrDyn != nullptr) {
        char szTypeDyn[kCallerBuffer] = {};
        session.Guard("QueryDeviceTypeStrDyn" + Quoted(strServer),
                      [&] { api.QueryDeviceTypeStrDyn(szServer, szPassword, szTypeDyn); });
        info.strTypeDyn = szTypeDyn;
    }
    if (api.QueryNumberOfCamDyn != nullptr)
        info.nCameras = session.Guard("QueryNumberOfCamDyn" + Quoted(strServer),
                                      [&] { return api.QueryNumberOfCamDyn(szServer, szPassword); });
    if (api.QueryDeviceIdDyn != nullptr)
        info.nDeviceId = session.Guard("QueryDeviceIdDyn" + Quoted(strServer),
                                       [&] { return api.QueryDeviceIdDyn(szServer, szPassword); });
    return info;
}

std::vector<CapabilityAnswer> QueryCapabilities(Session& session, const std::string& strServer)
{
    Module& api = session.Api();
    const char* szServer = strServer.c_str();
    const char* szPassword = session.Options().strPassword.c_str();
    std::vector<CapabilityAnswer> answers;
#define KESTREL_CLI_ASK(NAME, MEANING)                                                    \
    if (api.NAME != nullptr)                                                              \
        answers.push_back({#NAME, MEANING, session.Guard(#NAME + Quoted(strServer), [&] { \
                               return static_cast<int>(api.NAME(szServer, szPassword));   \
                           })});
    KESTREL_CLI_CAPABILITY_QUERIES(KESTREL_CLI_ASK)
#undef KESTREL_CLI_ASK
    return answers;
}

std::vector<std::string> QueryPtzSupported(Session& session, const std::string& strServer)
{
    Module& api = session.Api();
    std::vector<std::string> names;
    if (api.QueryPtzSupportedDyn == nullptr)
        return names;
    std::vector<std::vector<char>> storage(256, std::vector<char>(kCallerBuffer, '\0'));
    std::vector<char*> buffers;
    for (auto& buffer : storage)
        buffers.push_back(buffer.data());
    const int nCount = session.Guard("QueryPtzSupportedDyn" + Quoted(strServer), [&] {
        return api.QueryPtzSupportedDyn(strServer.c_str(), session.Options().strPassword.c_str(), buffers.data());
    });
    for (int i = 0; i < nCount && i < 256; ++i)
        names.emplace_back(storage[static_cast<size_t>(i)].data(),
                           strnlen(storage[static_cast<size_t>(i)].data(), kCallerBuffer));
    return names;
}

std::vector<std::string> QueryPresets(Session& session, const std::string& strServer, int nCamera)
{
    constexpr int kMaxPresets = 64;
    auto pQuery = session.Need(session.Api().QueryPresetPositions, "QueryPresetPositions");
    std::vector<std::vector<char>> storage(kMaxPresets, std::vector<char>(kCallerBuffer, '\0'));
    std::vector<char*> buffers;
    for (auto& buffer : storage)
        buffers.push_back(buffer.data());
    const int nCount = session.Guard("QueryPresetPositions" + Quoted(strServer),
                                     [&] { return pQuery(strServer.c_str(), nCamera, kMaxPresets, buffers.data()); });
    std::vector<std::string> names;
    for (int i = 0; i < nCount && i < kMaxPresets; ++i)
        names.emplace_back(storage[static_cast<size_t>(i)].data(),
                           strnlen(storage[static_cast<size_t>(i)].data(), kCallerBuffer));
    return names;
}

PtzPosition QueryPosition(Session& session, const std::string& strServer, int nCamera)
{
    auto pGet = session.Need(session.Api().GetPTZPos, "GetPTZPos");
    int nPan = 0, nTilt = 0, nZoom = 0;
    PtzPosition position;
    position.nResult = session.Guard("GetPTZPos" + Quoted(strServer),
                                     [&] { return pGet(strServer.c_str(), nCamera, 0, &nPan, &nTilt, &nZoom); });
    // The int form carries hundredths of a degree and of the zoom factor.
    position.dPan = nPan / 100.0;
    position.dTilt = nTilt / 100.0;
    position.dZoom = nZoom / 100.0;
    return position;
}

std::string GetXmlText(Session& session, const std::string& strServer, const std::string& strFilter, int& nResult)
{
    auto pGetXml = session.Need(session.Api().GetXml, "GetXml");
    BSTR bsXml = nullptr;
    nResult = session.Guard("GetXml" + Quoted(strServer), [&] {
        return pGetXml(strServer.c_str(), "", session.Options().strPassword.c_str(), strFilter.c_str(), &bsXml);
    });
    std::string strXml = Utf8FromBstr(bsXml);
    SysFreeString(bsXml);
    return strXml;
}

std::string SetXmlText(Session& session, const std::string& strServer, const std::string& strXml, bool& bOk)
{
    auto pSetXml = session.Need(session.Api().SetXmlParams, "SetXmlParams");
    BSTR bsXml = BstrFromUtf8(strXml);
    try {
        bOk = session.Guard("SetXmlParams" + Quoted(strServer), [&] {
            return pSetXml(strServer.c_str(), "", session.Options().strPassword.c_str(), &bsXml);
        });
    } catch (...) {
        // After a failed call the variable holds whatever the call left there.
        SysFreeString(bsXml);
        throw;
    }
    std::string strAnswer = Utf8FromBstr(bsXml);
    SysFreeString(bsXml);
    return strAnswer;
}

std::string OneLine(const std::string& strXml, size_t nMax)
{
    std::string strLine;
    for (char c : strXml) {
        if (c == '\n' || c == '\r' || c == '\t')
            continue;
        strLine.push_back(c);
    }
    const size_t nDeclarationEnd = strLine.rfind("?>");
    if (strLine.rfind("<?xml", 0) == 0 && nDeclarationEnd != std::string::npos)
        strLine.erase(0, nDeclarationEnd + 2);
    if (strLine.size() > nMax)
        strLine = strLine.substr(0, nMax - 3) + "...";
    return strLine;
}

}  // namespace kestrel_cli
