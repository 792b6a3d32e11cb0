// One simulated camera server (one instance id): its cameras, PTZ heads,
// I/O, events, media streams and recordings. Every public member is safe to
// call from any thread; frames are rendered and pacing waits happen outside
// the device's lock.
//
// The members mirror the driver exports (without the instance id); their
// results are the exports' results (see simcam.h).
#pragma once

#include "Block.h"
#include "Config.h"
#include "Ptz.h"

#include <kestrel/kestrel.h>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace simcam {

struct XmlElement;

class Device {
public:
    Device(std::string instanceId, Config config);

    // Connections and device information
    int OpenConnection(const char* password, bool halfSize, int camera, bool streaming);
    void CloseConnection(int camera);
    void ConfigDevice(const char* password, int camera, int* halfSize, int* imageWidth);
    int ChangePassword(const char* password, const char* newPassword);
    int GetInfo(const char* password, char* mac, char* deviceType);
    void QueryDeviceType(const char* password, char* deviceType);
    void RefreshConfiguration(const char* password, int camera);
    void SetPollingRate(int camera, int rateMs);
    int SetOutput(const char* password, int output, bool active);
    void TriggerOutput(const char* password, int output, int durationMs);
    void SetPanTiltDriver(const char* password, const int* drivers, const int* ports, const int* addresses);
    // The answer of a capability query: `value`, or the password error.
    int Capability(const char* password, int value) const;
    int NumberOfCameras(const char* password) const;
    int NumberOfInputs(const char* password) const;
    int NumberOfOutputs(const char* password) const;
    int ExecuteCustomCommand(const char* password, int mediaType, int device, int stream, const char* command);

    // Frame rates
    int QueryFramerates(const char* password, int camera, int* count, double** values, double** internals);
    int GetFramerate(const char* password, int camera, double* fps, double* internal);
    int SetFramerate(const char* password, int camera, double internal);
    int QueryControlsFramerate(const char* password, int camera, int* controls);

    // Pan, tilt, zoom
    void MoveStep(int camera, int direction);
    void MoveRelative(int camera, int panHundredths, int tiltHundredths, int zoomHundredths);
    void MoveContinuously(const char* password, int camera, int speedX, int speedY, int speedZ);
    void PtzCommand(const char* password, int camera, int command, int speed);
    int PtzCommandSupported(const char* password, int camera, int command);
    int QueryPtzMove(const char* password, int camera);
    int GetPosition(int camera, int* pan, int* tilt, int* zoom);
    int GetAbsolute(const char* password, int camera, int* pan, int* tilt, int* zoom, int* focus);
    int GetAbsoluteDoubles(const char* password, int camera, double* pan, double* tilt, double* zoom, double* focus);
    void SetAbsolute(const char* password, int camera, const PtzPosition& target, double speed);
    void AreaZoom(const char* password, int camera, int x, int y, int width, int height, int speed);
    int QueryPresets(int camera, int maxCount, char** names);
    int MoveToPreset(int camera, const char* name);
    int QueryPtzSupported(const char* password, char** names);

    // Images and media streams
    int GetImage(int camera, unsigned char** jpeg);
    int GetVideoBlock(int camera, unsigned char** block);
    int OpenMediaStream(const char* password, int type, int device, int stream, const char* eventName,
                        const std::string* settingsXml);
    void CloseMediaStream(int type, int device, int stream);
    int GetMediaBlock(int type, int device, int stream, unsigned char** block);
    int PutMediaBlock(int type, int device, int stream, const unsigned char* data, int length, int* resultCode);
    int SetMediaPollingRate(int type, int device, int stream, double rate);
    int Play(int type, int device, int stream, long long timeMs, double speed);
    int Pause(int type, int device, int stream);
    int GetTimeLine(int type, int camera, int stream, long long startMs, long long endMs, BSTR* info);
    int Retrieve(int type, int camera, int stream, long long startMs, long long endMs);
    int RetrieveStatus(int type, int camera, int stream);

    // Events
    int BeginDefineEvent(const char* password, bool eraseAll);
    int DefineEvent(const char* password, const char* input, const char* destIp, const char* destPort,
                    const char* message, int useBuffer);
    int EndDefineEvent(const char* password);
    int QueryEvents(const char* password, const CStringArray& used, CStringArray& open);
    int SetEvents(const char* password, const CStringArray& events);
    short QueryEventType(const char* password) const;
    short OpenEventParser(const char* password, const char* eventType);
    int ParseEvent(const char* password, short parser, const unsigned char* data, int length, BSTR* xml);
    void CloseEventParser(const char* password, short parser);

    // XML configuration
    int GetXml(const char* password, const char* filter, BSTR* xml);
    bool SetXmlParams(const char* password, BSTR* xml);
    bool SetXmlEvents(const char* password, BSTR* xml);
    int GenerateCredentials(const char* password, const char* user, BSTR* credentials);
    int GetStreamInfo(const char* password, int camera, BSTR* xml);

private:
    struct RecordedFrame {
        uint64_t frameNo;
        int64_t timeMs;
        PtzPosition position;
        double intervalMs;
    };

    struct RetrieveJob {
        int total = 0;
        int done = 0;
        int64_t startedMs = 0;
    };

    struct Camera {
        std::string name;
        double fps = 10;
        int pollingRateMs = 0;
        PtzHead ptz;
        std::vector<std::pair<std::string, PtzPosition>> presets;
        bool connected = false;
        bool halfSize = false;
        bool streaming = false;
        int64_t nextVideoDueUs = 0;
        uint64_t frames = 0;
        std::deque<RecordedFrame> recording;
        int panTiltDriver[3] = {0, 0, 0};         // driver, COM port, address
        std::map<int, RetrieveJob> retrieveJobs;  // by stream index
    };

    struct EventDefinition {
        std::string source;
        std::string destIp;
        std::string destPort;
        std::string message;
        bool useBuffer = false;
        long sent = 0;
    };

    struct MediaStream {
        double pollingRate = 10;  // blocks per second
        int64_t nextDueUs = 0;
        bool halfSize = false;
        int width = 0;  // 0: the device's size
        int height = 0;
        bool playback = false;
        bool paused = false;
        double speed = 1;
        uint64_t playPosition = 0;  // frame number of the next recorded frame
        uint64_t samples = 0;
        std::string eventFilter;
        std::deque<std::string> events;
    };
    using StreamKey = std::tuple<int, int, int>;

    // Everything below runs with m_mutex held.
    void ResetState();
    bool PasswordOkLocked(const char* password) const;
    Camera* CameraAt(int camera);
    int64_t NowMs() const;
    int64_t SteadyUs() const;
    // The wall-clock-free virtual time advances by one frame of `fps`.
    void AdvanceVirtualClock(double fps);
    // Reserves the next slot of a paced source; returns when to deliver it.
    int64_t PaceLocked(int64_t& nextDueUs, double perSecond);
    bool OutputActive(int output) const;
    std::string StatusLine() const;
    void RaiseEvent(const std::string& source, int state);
    std::vector<std::string> EventSources() const;
    bool IsEventSource(const std::string& name) const;
    std::string ConfigXml(const std::string& section);
    std::string EventsXml() const;
    bool ApplyParams(const XmlElement& root, std::string& error);
    bool ApplyEvents(const XmlElement& events, std::string& error);
    MediaStream* StreamAt(int type, int device, int stream);
    size_t PlaybackStart(const Camera& camera, long long timeMs) const;

    // Takes the lock itself: picks the frame, then renders it unlocked.
    Block RenderLive(int camera, int width, int height);
    static void WaitUntilUs(int64_t dueUs, int64_t nowUs);

    const std::string m_instanceId;
    mutable std::mutex m_mutex;
    Config m_config;
    std::string m_password;
    std::vector<Camera> m_cameras;
    std::vector<int> m_inputs;
    std::vector<bool> m_outputs;
    std::vector<int64_t> m_outputPulseUntilMs;
    std::set<std::string> m_selectedEvents;
    std::vector<EventDefinition> m_definitions;
    std::optional<std::vector<EventDefinition>> m_pendingDefinitions;
    std::map<short, std::string> m_parsers;
    short m_nextParser = 1;
    std::map<StreamKey, MediaStream> m_streams;
    long long m_audioOutBytes = 0;
    unsigned long m_credentialsIssued = 0;
    unsigned long m_eventSequence = 0;
    int64_t m_virtualUs = 0;
};

}  // namespace simcam
