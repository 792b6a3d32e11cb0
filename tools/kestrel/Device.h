// Questions an application asks a device: identity, capabilities, presets,
// position, configuration; shared by demo, probe and the small commands.
#pragma once

#include "Session.h"

#include <functional>
#include <string>
#include <vector>

// The capability queries that take (instance id, password) and answer a
// number: X(NAME, meaning).
#define KESTREL_CLI_CAPABILITY_QUERIES(X)                     \
    X(QueryIsPTZDeviceDyn, "pan-tilt-zoom head")              \
    X(QueryPTZPosDyn, "reports its PTZ position")             \
    X(QueryPtzCenterClickDyn, "centre on a click")            \
    X(QueryPtzMoveAdvancedDyn, "advanced PTZ moves")          \
    X(QueryPtzZoomRelDyn, "relative zoom")                    \
    X(QueryPtzPortsDyn, "PTZ ports")                          \
    X(QueryChangePortsDyn, "changeable ports")                \
    X(QueryDeviceIdDyn, "device id")                          \
    X(QueryNumberOfCamDyn, "cameras")                         \
    X(QueryNoInputDyn, "digital inputs")                      \
    X(QueryNoOutputDyn, "digital outputs")                    \
    X(QueryAudioInputsDyn, "audio inputs")                    \
    X(QueryAudioOutputsDyn, "audio outputs")                  \
    X(QueryNumberOfAudioInputs, "audio inputs (old query)")   \
    X(QueryNumberOfAudioOutputs, "audio outputs (old query)") \
    X(QuerySendFtpDyn, "FTP upload")                          \
    X(QueryIsBrowsableDyn, "browsable")                       \
    X(QueryIsIpix, "IPIX lens")                               \
    X(QueryIsCeilingMode, "ceiling mounted")

namespace kestrel_cli {

struct DeviceInfo {
    int nInfoResult = 0;
    std::string strMac;
    std::string strType;     // GetInfo
    std::string strTypeDyn;  // QueryDeviceTypeStrDyn
    int nCameras = 0;
    int nDeviceId = 0;
};
// Throws Failure when a call throws.
DeviceInfo QueryDeviceInfo(Session& session, const std::string& strServer);

struct CapabilityAnswer {
    std::string strName;
    std::string strMeaning;
    int nValue = 0;
};
std::vector<CapabilityAnswer> QueryCapabilities(Session& session, const std::string& strServer);
// QueryPtzSupportedDyn's list.
std::vector<std::string> QueryPtzSupported(Session& session, const std::string& strServer);

std::vector<std::string> QueryPresets(Session& session, const std::string& strServer, int nCamera);

struct PtzPosition {
    int nResult = 0;
    double dPan = 0, dTilt = 0, dZoom = 0;  // degrees, degrees, factor
};
PtzPosition QueryPosition(Session& session, const std::string& strServer, int nCamera);

// GetXml with a filter; the XML text (UTF-8).
std::string GetXmlText(Session& session, const std::string& strServer, const std::string& strFilter, int& nResult);
// SetXmlParams; bOk receives the driver's answer, the result is its XML.
std::string SetXmlText(Session& session, const std::string& strServer, const std::string& strXml, bool& bOk);

// XML on one line, cut to nMax characters.
std::string OneLine(const std::string& strXml, size_t nMax);

}  // namespace kestrel_cli
