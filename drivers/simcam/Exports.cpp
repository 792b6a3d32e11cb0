// The exported driver API of libsimcam.so: each export finds the instance's
// device and lets it answer. Failures inside the driver become results
// (SIMCAM_E_INTERNAL) rather than exceptions, except for the "throw" custom
// command, whose point is the exception.

#include "Device.h"
#include "Registry.h"
#include "Text.h"
#include "simcam.h"

#include <kestrel/driver_exports.h>

#include <cstring>
#include <exception>

using simcam::Device;
using simcam::DeviceFor;
using simcam::PtzPosition;

namespace {

// Runs body(device) for the instance id; `fallback` for a null id, and
// SIMCAM_E_INTERNAL-like `failed` when the driver itself fails.
template <typename R, typename F>
R Answer(const char* id, R fallback, R failed, F&& body)
{
    try {
        Device* device = DeviceFor(id);
        return device != nullptr ? body(*device) : fallback;
    } catch (const std::exception&) {
        return failed;
    }
}

template <typename F>
int Int(const char* id, F&& body)
{
    return Answer<int>(id, SIMCAM_E_ARGUMENT, SIMCAM_E_INTERNAL, std::forward<F>(body));
}

template <typename F>
void Void(const char* id, F&& body)
{
    Answer<int>(id, 0, 0, [&](Device& d) {
        body(d);
        return 0;
    });
}

template <typename F>
bool Bool(const char* id, F&& body)
{
    return Answer<bool>(id, false, false, std::forward<F>(body));
}

template <typename F>
short Short(const char* id, F&& body)
{
    return Answer<short>(id, SIMCAM_E_ARGUMENT, SIMCAM_E_INTERNAL, std::forward<F>(body));
}

bool IsExportName(const char* name)
{
    if (name == nullptr)
        return false;
#define SIMCAM_MATCH_EXPORT(OP, R, NAME, PARAMS, ARGS) \
    if (std::strcmp(name, #NAME) == 0)                 \
        return true;
    KESTREL_FORWARDING_EXPORTS(SIMCAM_MATCH_EXPORT)
    KESTREL_DRIVER_SERVICE_EXPORTS(SIMCAM_MATCH_EXPORT)
#undef SIMCAM_MATCH_EXPORT
    return false;
}

}  // namespace

/* ---- driver services ---- */

void SetFeatureSet(const char* szFeatureSet) { simcam::StoreFeatureSet(szFeatureSet); }

void DeleteBuffer(unsigned char* p) { delete[] p; }

/* ---- connections, information, outputs ---- */

int OpenConnection(const char* szServer, const char* szPassword, int bShowHalfsize, int nCamNo)
{
    return Int(szServer, [&](Device& d) { return d.OpenConnection(szPassword, bShowHalfsize != 0, nCamNo, false); });
}

int OpenStreamConnection(const char* szServer, const char* szPassword, int bShowHalfsize, int nCamNo)
{
    return Int(szServer, [&](Device& d) { return d.OpenConnection(szPassword, bShowHalfsize != 0, nCamNo, true); });
}

void CloseConnection2(const char* szServer, int nCamNo)
{
    Void(szServer, [&](Device& d) { d.CloseConnection(nCamNo); });
}

void ConfigDevice2(const char* szServer, const char*, const char* password, int nCamNo, int* Halfsize, int* asize)
{
    Void(szServer, [&](Device& d) { d.ConfigDevice(password, nCamNo, Halfsize, asize); });
}

int ChangePassword(const char* szServer, const char*, const char* szPassword, const char* szNewPassword)
{
    return Int(szServer, [&](Device& d) { return d.ChangePassword(szPassword, szNewPassword); });
}

int GetInfo(const char* strIP, const char* strPass, char* pcMAC, char* pcDevType)
{
    return Int(strIP, [&](Device& d) { return d.GetInfo(strPass, pcMAC, pcDevType); });
}

void RefreshConfiguration(const char* szServer, const char*, const char* szPassword, int nCamNo)
{
    Void(szServer, [&](Device& d) { d.RefreshConfiguration(szPassword, nCamNo); });
}

int QueryIsIpix(const char* szServer, const char* szPassword)
{
    return Int(szServer, [&](Device& d) { return d.Capability(szPassword, 0); });
}

int QueryIsCeilingMode(const char* szServer, const char* szPassword)
{
    return Int(szServer, [&](Device& d) { return d.Capability(szPassword, 0); });
}

void SetPollingRate(const char* szServer, int nCamNo, int iRate)
{
    Void(szServer, [&](Device& d) { d.SetPollingRate(nCamNo, iRate); });
}

void TriggerOutput(const char* szServer, const char* szPass, int iOutput, int uiDuration)
{
    Void(szServer, [&](Device& d) { d.TriggerOutput(szPass, iOutput, uiDuration); });
}

int SetOutput(const char* szServer, const char* szPass, int iOutput, int bActive)
{
    return Int(szServer, [&](Device& d) { return d.SetOutput(szPass, iOutput, bActive != 0); });
}

/* ---- frame rates ---- */

int QueryDeviceControlledFramerates(const char* szServer, const char* szPassword, int nCamNo, int* piNumFPSValues,
                                    double** ppdFPSValuesArray, double** ppdFPSInternalValsArray)
{
    return Int(szServer, [&](Device& d) {
        return d.QueryFramerates(szPassword, nCamNo, piNumFPSValues, ppdFPSValuesArray, ppdFPSInternalValsArray);
    });
}

int GetDeviceControlledFramerate(const char* szServer, const char* szPassword, int nCamNo, double* pdFPSValue,
                                 double* pdFPSInternalVal)
{
    return Int(szServer, [&](Device& d) { return d.GetFramerate(szPassword, nCamNo, pdFPSValue, pdFPSInternalVal); });
}

int SetDeviceControlledFramerate(const char* szServer, const char* szPassword, int nCamNo, double dFPSInternalVal)
{
    return Int(szServer, [&](Device& d) { return d.SetFramerate(szPassword, nCamNo, dFPSInternalVal); });
}

int QueryDeviceControlsFramerate(const char* szServer, const char* szPassword, int nCamNo, int* pbDoesControlFPS)
{
    return Int(szServer, [&](Device& d) { return d.QueryControlsFramerate(szPassword, nCamNo, pbDoesControlFPS); });
}

/* ---- pan, tilt, zoom ---- */

void MoveCamera2(const char* szServer, int nCamNo, int nDir)
{
    Void(szServer, [&](Device& d) { d.MoveStep(nCamNo, nDir); });
}

void PanTiltCamera2(const char* szServer, int nCamNo, int, int nPan, int nTilt)
{
    Void(szServer, [&](Device& d) { d.MoveRelative(nCamNo, nPan, nTilt, 0); });
}

void ZoomCamera2(const char* szServer, int nCamNo, int, int nZoom)
{
    Void(szServer, [&](Device& d) { d.MoveRelative(nCamNo, 0, 0, nZoom); });
}

void PTZCamera(const char* szServer, int nCamNo, int, int nPan, int nTilt, int nZoom)
{
    Void(szServer, [&](Device& d) { d.MoveRelative(nCamNo, nPan, nTilt, nZoom); });
}

void SetPanTiltDriver(const char* szServer, const char*, const char* szPassword, const int* nDriver,
                      const int* nComPort, const int* nAdrId)
{
    Void(szServer, [&](Device& d) { d.SetPanTiltDriver(szPassword, nDriver, nComPort, nAdrId); });
}

int QueryPTZMoveXY(const char* szServer, const char*, const char* szPassword, int nCamNo, int)
{
    return Int(szServer, [&](Device& d) { return d.QueryPtzMove(szPassword, nCamNo); });
}

void PTZMoveXY(const char* szServer, const char*, const char* szPassword, int nCamNo, int, int nSpeedX, int nSpeedY)
{
    Void(szServer, [&](Device& d) { d.MoveContinuously(szPassword, nCamNo, nSpeedX, nSpeedY, 0); });
}

int QueryPTZMoveXYZ(const char* szServer, const char*, const char* szPassword, int nCamNo, int)
{
    return Int(szServer, [&](Device& d) { return d.QueryPtzMove(szPassword, nCamNo); });
}

void PTZMoveXYZ(const char* szServer, const char*, const char* szPassword, int nCamNo, int, int nSpeedX, int nSpeedY,
                int nSpeedZ)
{
    Void(szServer, [&](Device& d) { d.MoveContinuously(szPassword, nCamNo, nSpeedX, nSpeedY, nSpeedZ); });
}

int GetPTZPos(const char* szServer, int nCamNo, int, int* pPan, int* pTilt, int* pZoom)
{
    return Int(szServer, [&](Device& d) { return d.GetPosition(nCamNo, pPan, pTilt, pZoom); });
}

int QueryPresetPositions(const char* szServer, int nCamNo, int nPresetMax, char** pszPresetNames)
{
    return Int(szServer, [&](Device& d) { return d.QueryPresets(nCamNo, nPresetMax, pszPresetNames); });
}

int MoveToPresetPosition(const char* szServer, int nCamNo, const char* szPresetName)
{
    return Int(szServer, [&](Device& d) { return d.MoveToPreset(nCamNo, szPresetName); });
}

void PTZAreaZoom(const char* szServer, const char*, const char* szPassword, int nCamNo, int, int nX, int nY, int nWidth,
                 int nHeight, int nSpeed)
{
    Void(szServer, [&](Device& d) { d.AreaZoom(szPassword, nCamNo, nX, nY, nWidth, nHeight, nSpeed); });
}

void PTZCommand(const char* szServer, const char*, const char* szPassword, int nCamNo, int, int nCommand, int nSpeed)
{
    Void(szServer, [&](Device& d) { d.PtzCommand(szPassword, nCamNo, nCommand, nSpeed); });
}

int PTZCommandSupported(const char* szServer, const char*, const char* szPassword, int nCamNo, int, int nCommand)
{
    return Int(szServer, [&](Device& d) { return d.PtzCommandSupported(szPassword, nCamNo, nCommand); });
}

int PTZGetAbsolute(const char* szServer, const char*, const char* szPassword, int nCamNo, int, int* pPan, int* pTilt,
                   int* pZoom, int* pFocus)
{
    return Int(szServer, [&](Device& d) { return d.GetAbsolute(szPassword, nCamNo, pPan, pTilt, pZoom, pFocus); });
}

void PTZSetAbsolute(const char* szServer, const char*, const char* szPassword, int nCamNo, int, int nPan, int nTilt,
                    int nZoom, int nSpeed, int nFocus)
{
    const PtzPosition target{nPan / 100.0, nTilt / 100.0, nZoom / 100.0, static_cast<double>(nFocus)};
    Void(szServer, [&](Device& d) { d.SetAbsolute(szPassword, nCamNo, target, nSpeed); });
}

int PTZGetAbsoluteDoubles(const char* szServer, const char*, const char* szPassword, int nCamNo, int, double* pPan,
                          double* pTilt, double* pZoom, double* pFocus)
{
    return Int(szServer,
               [&](Device& d) { return d.GetAbsoluteDoubles(szPassword, nCamNo, pPan, pTilt, pZoom, pFocus); });
}

void PTZSetAbsoluteDoubles(const char* szServer, const char*, const char* szPassword, int nCamNo, int, double dPan,
                           double dTilt, double dZoom, double dFocus)
{
    Void(szServer, [&](Device& d) { d.SetAbsolute(szPassword, nCamNo, {dPan, dTilt, dZoom, dFocus}, 0); });
}

void PTZSetAbsoluteDoublesSpeed(const char* szServer, const char*, const char* szPassword, int nCamNo, int, double dPan,
                                double dTilt, double dZoom, double dFocus, double dSpeed)
{
    Void(szServer, [&](Device& d) { d.SetAbsolute(szPassword, nCamNo, {dPan, dTilt, dZoom, dFocus}, dSpeed); });
}

/* ---- images and media ---- */

int GetImage2(const char* szServer, int nCamNo, unsigned char** pJpgBytes)
{
    return Int(szServer, [&](Device& d) { return d.GetImage(nCamNo, pJpgBytes); });
}

int GetVideoDataBlock(const char* szServer, int nCamNo, unsigned char** ppVideoDataBytes)
{
    return Int(szServer, [&](Device& d) { return d.GetVideoBlock(nCamNo, ppVideoDataBytes); });
}

int OpenMediaStream(const char* szServer, const char* szPassword, int nMediaType, int nDeviceIndex, int nStreamIndex,
                    const char* szEventName)
{
    return Int(szServer, [&](Device& d) {
        return d.OpenMediaStream(szPassword, nMediaType, nDeviceIndex, nStreamIndex, szEventName, nullptr);
    });
}

bool OpenMediaStreamWithSettings(const char* szServer, const char* szPassword, int nMediaType, int nDeviceIndex,
                                 int nStreamIndex, const char* szEventName, BSTR* settingsXml)
{
    return Bool(szServer, [&](Device& d) {
        const std::string settings = settingsXml != nullptr ? simcam::FromBstr(*settingsXml) : std::string();
        return d.OpenMediaStream(szPassword, nMediaType, nDeviceIndex, nStreamIndex, szEventName,
                                 settings.empty() ? nullptr : &settings) == SIMCAM_OK;
    });
}

int GetMediaDataBlock(const char* szServer, int nMediaType, int nDeviceIndex, int nStreamIndex,
                      unsigned char** ppMediaDataBytes)
{
    return Int(szServer,
               [&](Device& d) { return d.GetMediaBlock(nMediaType, nDeviceIndex, nStreamIndex, ppMediaDataBytes); });
}

int PutMediaDataBlock(const char* szServer, int nMediaType, int nDeviceIndex, int nStreamIndex,
                      const unsigned char* pMediaDataBytes, int nLength, int* pResultCode)
{
    return Int(szServer, [&](Device& d) {
        return d.PutMediaBlock(nMediaType, nDeviceIndex, nStreamIndex, pMediaDataBytes, nLength, pResultCode);
    });
}

void CloseMediaStream(const char* szServer, int nMediaType, int nDeviceIndex, int nStreamIndex)
{
    Void(szServer, [&](Device& d) { d.CloseMediaStream(nMediaType, nDeviceIndex, nStreamIndex); });
}

int SetMediaStreamPollingRate(const char* szServer, int nMediaType, int nDeviceIndex, int nStreamIndex,
                              double dNewPollingRate)
{
    return Int(szServer, [&](Device& d) {
        return d.SetMediaPollingRate(nMediaType, nDeviceIndex, nStreamIndex, dNewPollingRate);
    });
}

int Play(const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex, long long time_stamp, double dSpeed)
{
    return Int(szServer, [&](Device& d) { return d.Play(eMediaType, nDeviceIndex, nStreamIndex, time_stamp, dSpeed); });
}

int Pause(const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex)
{
    return Int(szServer, [&](Device& d) { return d.Pause(eMediaType, nDeviceIndex, nStreamIndex); });
}

int ExecuteCustomCommand(const char* szServer, const char* szPassword, int nMediaType, int nDeviceIndex,
                         int nStreamIndex, const char* szCommand)
{
    // Not guarded: "throw" is meant to leave the driver.
    Device* device = DeviceFor(szServer);
    if (device == nullptr)
        return SIMCAM_E_ARGUMENT;
    return device->ExecuteCustomCommand(szPassword, nMediaType, nDeviceIndex, nStreamIndex, szCommand);
}

int GetTimeLine(const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex, long long iStartTime,
                long long iEndTime, BSTR* bsRecordingTimeInfo)
{
    return Int(szServer, [&](Device& d) {
        return d.GetTimeLine(eMediaType, nDeviceIndex, nStreamIndex, iStartTime, iEndTime, bsRecordingTimeInfo);
    });
}

int Retrieve(const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex, long long iStartTime,
             long long iEndTime)
{
    return Int(szServer,
               [&](Device& d) { return d.Retrieve(eMediaType, nDeviceIndex, nStreamIndex, iStartTime, iEndTime); });
}

int RetrieveStatus(const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex)
{
    return Int(szServer, [&](Device& d) { return d.RetrieveStatus(eMediaType, nDeviceIndex, nStreamIndex); });
}

int QueryNumberOfAudioInputs(const char* szServer, const char* szPassword)
{
    return Int(szServer, [&](Device& d) { return d.Capability(szPassword, 1); });
}

int QueryNumberOfAudioOutputs(const char* szServer, const char* szPassword)
{
    return Int(szServer, [&](Device& d) { return d.Capability(szPassword, 1); });
}

/* ---- capabilities ---- */

int QueryIsAbsoluteDyn(const char* szServer, const char* szPassword, int)
{
    return Int(szServer, [&](Device& d) { return d.Capability(szPassword, 1); });
}

#define SIMCAM_CAPABILITY(NAME, VALUE)                                                    \
    int NAME(const char* szServer, const char* szPassword)                                \
    {                                                                                     \
        return Int(szServer, [&](Device& d) { return d.Capability(szPassword, VALUE); }); \
    }
SIMCAM_CAPABILITY(QueryIsPTZDeviceDyn, 1)
SIMCAM_CAPABILITY(QueryPtzCenterClickDyn, 1)
SIMCAM_CAPABILITY(QueryPtzMoveAdvancedDyn, 1)
SIMCAM_CAPABILITY(QueryPtzPortsDyn, 0)
SIMCAM_CAPABILITY(QueryPtzZoomRelDyn, 1)
SIMCAM_CAPABILITY(QueryPTZPosDyn, 1)
SIMCAM_CAPABILITY(QueryChangePortsDyn, 0)
SIMCAM_CAPABILITY(QueryDeviceIdDyn, SIMCAM_DEVICE_ID)
SIMCAM_CAPABILITY(QueryAudioInputsDyn, 1)
SIMCAM_CAPABILITY(QueryAudioOutputsDyn, 1)
SIMCAM_CAPABILITY(QuerySendFtpDyn, 0)
SIMCAM_CAPABILITY(QueryIsBrowsableDyn, 1)
#undef SIMCAM_CAPABILITY

int QueryNumberOfCamDyn(const char* szServer, const char* szPassword)
{
    return Int(szServer, [&](Device& d) { return d.NumberOfCameras(szPassword); });
}

int QueryNoInputDyn(const char* szServer, const char* szPassword)
{
    return Int(szServer, [&](Device& d) { return d.NumberOfInputs(szPassword); });
}

int QueryNoOutputDyn(const char* szServer, const char* szPassword)
{
    return Int(szServer, [&](Device& d) { return d.NumberOfOutputs(szPassword); });
}

bool IsDebugBuildDyn(const char*, const char*) { return false; }

int FunctionSupported(const char* szServer, const char* szPassword, const char* szFunctionName)
{
    return Int(szServer, [&](Device& d) { return d.Capability(szPassword, IsExportName(szFunctionName) ? 1 : 0); });
}

int QueryPtzSupportedDyn(const char* szServer, const char* szPassword, char** ppszSupported)
{
    return Int(szServer, [&](Device& d) { return d.QueryPtzSupported(szPassword, ppszSupported); });
}

void QueryDeviceTypeStrDyn(const char* szServer, const char* szPassword, char* pcDevType)
{
    Void(szServer, [&](Device& d) { d.QueryDeviceType(szPassword, pcDevType); });
}

/* ---- events ---- */

int BeginDefineEvent(const char* szHostIP, const char*, const char* szPassword, int bEraseAll)
{
    return Int(szHostIP, [&](Device& d) { return d.BeginDefineEvent(szPassword, bEraseAll != 0); });
}

int EndDefineEvent(const char* szHostIP, const char*, const char* szPassword)
{
    return Int(szHostIP, [&](Device& d) { return d.EndDefineEvent(szPassword); });
}

int DefineEventDyn(const char* szServer, const char* szPassword, const char* szInput, const char* szDestIP,
                   const char* szDestPort, const char* szMessage, int nUseBuffer)
{
    return Int(szServer, [&](Device& d) {
        return d.DefineEvent(szPassword, szInput, szDestIP, szDestPort, szMessage, nUseBuffer);
    });
}

int QueryEventsDyn(const char* szServer, const char* szPass, CStringArray& aszUsedEvents, CStringArray& aszOpenEvents)
{
    return Int(szServer, [&](Device& d) { return d.QueryEvents(szPass, aszUsedEvents, aszOpenEvents); });
}

int SetEventsDyn(const char* szServer, const char* szPassword, CStringArray& aszEvents)
{
    return Int(szServer, [&](Device& d) { return d.SetEvents(szPassword, aszEvents); });
}

short QueryEventTypeDyn(const char* szServer, const char* szPassword)
{
    return Short(szServer, [&](Device& d) { return d.QueryEventType(szPassword); });
}

short OpenXmlEventParserDyn(const char* szServer, const char*, const char* szPassword, const char* szEventType)
{
    return Short(szServer, [&](Device& d) { return d.OpenEventParser(szPassword, szEventType); });
}

int ParseXmlEventDataDyn(const char* szServer, const char*, const char* szPassword, short nParserHandle,
                         const unsigned char* inputData, int nLength, BSTR* bsXml)
{
    return Int(szServer, [&](Device& d) { return d.ParseEvent(szPassword, nParserHandle, inputData, nLength, bsXml); });
}

void CloseXmlEventParserDyn(const char* szServer, const char*, const char* szPassword, short nParserHandle)
{
    Void(szServer, [&](Device& d) { d.CloseEventParser(szPassword, nParserHandle); });
}

/* ---- XML configuration ---- */

int GetXml(const char* szServer, const char*, const char* szPassword, const char* szFilter, BSTR* bsXml)
{
    return Int(szServer, [&](Device& d) { return d.GetXml(szPassword, szFilter, bsXml); });
}

bool SetXmlParams(const char* szServer, const char*, const char* szPassword, BSTR* bsXml)
{
    return Bool(szServer, [&](Device& d) { return d.SetXmlParams(szPassword, bsXml); });
}

bool SetXmlEvents(const char* szServer, const char*, const char* szPassword, BSTR* bsXml)
{
    return Bool(szServer, [&](Device& d) { return d.SetXmlEvents(szPassword, bsXml); });
}

int GenerateCredentialsDyn(const char* szServer, const char* szUser, const char* szPassword, BSTR* bsCredentials)
{
    return Int(szServer, [&](Device& d) { return d.GenerateCredentials(szPassword, szUser, bsCredentials); });
}

int GetStreamInfo(const char* szServer, const char* szPassword, int nDeviceIndex, BSTR* bsXml)
{
    return Int(szServer, [&](Device& d) { return d.GetStreamInfo(szPassword, nDeviceIndex, bsXml); });
}
