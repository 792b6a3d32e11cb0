// The device as a whole: state, password, information, I/O, frame rates and
// the custom commands.

#include "Device.h"

#include "Text.h"
#include "simcam.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace simcam {
namespace {

// The frame rates the device offers; its internal value is the frame
// interval in milliseconds.
constexpr double kOfferedRates[] = {1, 2, 5, 10, 15, 25, 30};

uint32_t Fnv1a(std::string_view text)
{
    uint32_t h = 2166136261u;
    for (unsigned char c : text) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

// Array new of bytes, so that DeleteBuffer's array delete matches.
std::unique_ptr<unsigned char[]> NewDoubles(size_t n)
{
    return std::unique_ptr<unsigned char[]>(new unsigned char[n * sizeof(double)]);
}

}  // namespace

Device::Device(std::string instanceId, Config config)
    : m_instanceId(std::move(instanceId)), m_config(std::move(config)), m_password(m_config.password)
{
    // No lock: nobody else can see the device yet.
    ResetState();
}

void Device::ResetState()
{
    m_password = m_config.password;
    m_cameras.clear();
    m_cameras.resize(static_cast<size_t>(m_config.cameras));
    for (size_t i = 0; i < m_cameras.size(); ++i) {
        Camera& c = m_cameras[i];
        c.name = "Camera " + std::to_string(i + 1);
        c.fps = m_config.fps;
        c.presets = {{"Home", {0, 0, 1, 500}},
                     {"Entrance", {-45, -10, 2, 500}},
                     {"Parking", {60, -20, 1.5, 500}},
                     {"Overview", {0, -5, 1, 500}}};
    }
    m_inputs.assign(static_cast<size_t>(m_config.inputs), 0);
    m_outputs.assign(static_cast<size_t>(m_config.outputs), false);
    m_outputPulseUntilMs.assign(static_cast<size_t>(m_config.outputs), 0);
    m_selectedEvents.clear();
    m_definitions.clear();
    m_pendingDefinitions.reset();
    m_parsers.clear();
    m_streams.clear();
    m_audioOutBytes = 0;
}

bool Device::PasswordOkLocked(const char* password) const { return password != nullptr && m_password == password; }

Device::Camera* Device::CameraAt(int camera)
{
    if (camera < 1 || camera > static_cast<int>(m_cameras.size()))
        return nullptr;
    return &m_cameras[static_cast<size_t>(camera - 1)];
}

int64_t Device::NowMs() const
{
    if (m_config.deterministic)
        return SIMCAM_DETERMINISTIC_EPOCH_MS + m_virtualUs / 1000;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t Device::SteadyUs() const
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Device::AdvanceVirtualClock(double fps)
{
    if (m_config.deterministic)
        m_virtualUs += std::llround(1e6 / fps);
}

int64_t Device::PaceLocked(int64_t& nextDueUs, double perSecond)
{
    if (m_config.deterministic)
        return 0;
    const int64_t now = SteadyUs();
    const int64_t due = std::max(nextDueUs, now);
    nextDueUs = due + std::llround(1e6 / perSecond);
    return due;
}

void Device::WaitUntilUs(int64_t dueUs, int64_t nowUs)
{
    if (dueUs > nowUs)
        std::this_thread::sleep_for(std::chrono::microseconds(dueUs - nowUs));
}

bool Device::OutputActive(int output) const
{
    const size_t i = static_cast<size_t>(output - 1);
    return m_outputs[i] || NowMs() < m_outputPulseUntilMs[i];
}

std::string Device::StatusLine() const
{
    std::string line;
    if (!m_inputs.empty()) {
        line += "IN ";
        for (int v : m_inputs)
            line.push_back(v != 0 ? '1' : '0');
    }
    if (!m_outputs.empty()) {
        line += line.empty() ? "OUT " : " OUT ";
        for (size_t i = 0; i < m_outputs.size(); ++i)
            line.push_back(OutputActive(static_cast<int>(i + 1)) ? '1' : '0');
    }
    return line;
}

/* ---- connections and information ---- */

int Device::OpenConnection(const char* password, bool halfSize, int camera, bool streaming)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    Camera* c = CameraAt(camera);
    if (c == nullptr)
        return SIMCAM_E_CAMERA;
    c->connected = true;
    c->halfSize = halfSize;
    c->streaming = streaming;
    return SIMCAM_OK;
}

void Device::CloseConnection(int camera)
{
    std::lock_guard lock(m_mutex);
    if (Camera* c = CameraAt(camera))
        c->connected = false;
}

void Device::ConfigDevice(const char* password, int camera, int* halfSize, int* imageWidth)
{
    std::lock_guard lock(m_mutex);
    Camera* c = CameraAt(camera);
    if (!PasswordOkLocked(password) || c == nullptr)
        return;
    if (halfSize != nullptr)
        *halfSize = c->connected && c->halfSize ? 1 : 0;
    if (imageWidth != nullptr)
        *imageWidth = c->connected && c->halfSize ? m_config.width / 2 : m_config.width;
}

int Device::ChangePassword(const char* password, const char* newPassword)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    if (newPassword == nullptr || *newPassword == '\0' || std::strlen(newPassword) > 63)
        return SIMCAM_E_ARGUMENT;
    m_password = newPassword;
    return SIMCAM_OK;
}

int Device::GetInfo(const char* password, char* mac, char* deviceType)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    // A locally administered address derived from the instance id.
    const uint32_t h = Fnv1a(m_instanceId);
    char text[32];
    std::snprintf(text, sizeof text, "02:53:43:%02X:%02X:%02X", (h >> 16) & 0xFF, (h >> 8) & 0xFF, h & 0xFF);
    CopyToCallerBuffer(mac, text);
    CopyToCallerBuffer(deviceType, SIMCAM_DEVICE_TYPE);
    return SIMCAM_OK;
}

void Device::QueryDeviceType(const char* password, char* deviceType)
{
    std::lock_guard lock(m_mutex);
    CopyToCallerBuffer(deviceType, PasswordOkLocked(password) ? SIMCAM_DEVICE_TYPE : "");
}

void Device::RefreshConfiguration(const char* password, int camera)
{
    const Config fresh = LoadConfig(m_instanceId);
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password) || (camera != 0 && CameraAt(camera) == nullptr))
        return;
    // The picture settings follow the configuration again; the rest of the
    // device's state (positions, I/O, events) stays.
    m_config.width = fresh.width;
    m_config.height = fresh.height;
    m_config.quality = fresh.quality;
    m_config.fps = fresh.fps;
    for (Camera& c : m_cameras)
        c.fps = fresh.fps;
}

void Device::SetPollingRate(int camera, int rateMs)
{
    std::lock_guard lock(m_mutex);
    if (Camera* c = CameraAt(camera); c != nullptr && rateMs >= 0)
        c->pollingRateMs = rateMs;
}

int Device::SetOutput(const char* password, int output, bool active)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    if (output < 1 || output > static_cast<int>(m_outputs.size()))
        return SIMCAM_E_CAMERA;
    m_outputs[static_cast<size_t>(output - 1)] = active;
    m_outputPulseUntilMs[static_cast<size_t>(output - 1)] = 0;
    return SIMCAM_OK;
}

void Device::TriggerOutput(const char* password, int output, int durationMs)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password) || output < 1 || output > static_cast<int>(m_outputs.size()) || durationMs < 0)
        return;
    m_outputPulseUntilMs[static_cast<size_t>(output - 1)] = NowMs() + durationMs;
}

void Device::SetPanTiltDriver(const char* password, const int* drivers, const int* ports, const int* addresses)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password) || drivers == nullptr || ports == nullptr || addresses == nullptr)
        return;
    for (size_t i = 0; i < m_cameras.size(); ++i) {
        m_cameras[i].panTiltDriver[0] = drivers[i];
        m_cameras[i].panTiltDriver[1] = ports[i];
        m_cameras[i].panTiltDriver[2] = addresses[i];
    }
}

int Device::Capability(const char* password, int value) const
{
    std::lock_guard lock(m_mutex);
    return PasswordOkLocked(password) ? value : SIMCAM_E_PASSWORD;
}

int Device::NumberOfCameras(const char* password) const
{
    std::lock_guard lock(m_mutex);
    return PasswordOkLocked(password) ? static_cast<int>(m_cameras.size()) : SIMCAM_E_PASSWORD;
}

int Device::NumberOfInputs(const char* password) const
{
    std::lock_guard lock(m_mutex);
    return PasswordOkLocked(password) ? static_cast<int>(m_inputs.size()) : SIMCAM_E_PASSWORD;
}

int Device::NumberOfOutputs(const char* password) const
{
    std::lock_guard lock(m_mutex);
    return PasswordOkLocked(password) ? static_cast<int>(m_outputs.size()) : SIMCAM_E_PASSWORD;
}

/* ---- frame rates ---- */

int Device::QueryFramerates(const char* password, int camera, int* count, double** values, double** internals)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    if (CameraAt(camera) == nullptr)
        return SIMCAM_E_CAMERA;
    if (count == nullptr || values == nullptr || internals == nullptr)
        return SIMCAM_E_ARGUMENT;
    const size_t n = std::size(kOfferedRates);
    auto valueBytes = NewDoubles(n);
    auto internalBytes = NewDoubles(n);
    auto* valueArray = reinterpret_cast<double*>(valueBytes.get());
    auto* internalArray = reinterpret_cast<double*>(internalBytes.get());
    for (size_t i = 0; i < n; ++i) {
        valueArray[i] = kOfferedRates[i];
        internalArray[i] = 1000.0 / kOfferedRates[i];
    }
    *count = static_cast<int>(n);
    *values = reinterpret_cast<double*>(valueBytes.release());
    *internals = reinterpret_cast<double*>(internalBytes.release());
    return SIMCAM_OK;
}

int Device::GetFramerate(const char* password, int camera, double* fps, double* internal)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    const Camera* c = CameraAt(camera);
    if (c == nullptr)
        return SIMCAM_E_CAMERA;
    if (fps != nullptr)
        *fps = c->fps;
    if (internal != nullptr)
        *internal = 1000.0 / c->fps;
    return SIMCAM_OK;
}

int Device::SetFramerate(const char* password, int camera, double internal)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    Camera* c = CameraAt(camera);
    if (c == nullptr)
        return SIMCAM_E_CAMERA;
    for (double rate : kOfferedRates) {
        if (std::fabs(internal - 1000.0 / rate) < 0.01) {
            c->fps = rate;
            return SIMCAM_OK;
        }
    }
    return SIMCAM_E_ARGUMENT;
}

int Device::QueryControlsFramerate(const char* password, int camera, int* controls)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    if (CameraAt(camera) == nullptr)
        return SIMCAM_E_CAMERA;
    if (controls != nullptr)
        *controls = 1;
    return SIMCAM_OK;
}

/* ---- custom commands ---- */

int Device::ExecuteCustomCommand(const char* password, int /*mediaType*/, int device, int /*stream*/,
                                 const char* command)
{
    {
        std::lock_guard lock(m_mutex);
        if (!PasswordOkLocked(password))
            return SIMCAM_E_PASSWORD;
    }
    const std::string text = command != nullptr ? command : "";
    std::istringstream words(text);
    std::string verb;
    words >> verb;

    // The failure commands run without the lock, as a real fault would.
    if (text == "crash")
        raise(SIGSEGV);
    if (text == "crash:write") {
        volatile uintptr_t address = 16;  // a low, non-null address: a genuine fault
        *reinterpret_cast<volatile int*>(address) = 1;
    }
    if (text == "abort")
        abort();
    if (text == "hang") {
        for (;;)
            pause();
    }
    if (text == "throw")
        throw std::runtime_error("simcam: exception on request");

    std::lock_guard lock(m_mutex);
    if (verb == "input") {
        int n = 0, state = -1;
        if (!(words >> n >> state) || (state != 0 && state != 1))
            return SIMCAM_E_ARGUMENT;
        if (n < 1 || n > static_cast<int>(m_inputs.size()))
            return SIMCAM_E_CAMERA;
        m_inputs[static_cast<size_t>(n - 1)] = state;
        RaiseEvent("Input" + std::to_string(n), state);
        return SIMCAM_OK;
    }
    if (verb == "motion") {
        int camera = 0;
        if (!(words >> camera))
            return SIMCAM_E_ARGUMENT;
        if (CameraAt(camera) == nullptr)
            return SIMCAM_E_CAMERA;
        RaiseEvent("Motion" + std::to_string(camera), 1);
        return SIMCAM_OK;
    }
    if (verb == "preset") {
        std::string action, name;
        words >> action;
        std::getline(words >> std::ws, name);
        Camera* c = CameraAt(device);
        if (c == nullptr)
            return SIMCAM_E_CAMERA;
        if (name.empty() || name.size() > 255)
            return SIMCAM_E_ARGUMENT;
        auto it = std::find_if(c->presets.begin(), c->presets.end(), [&](const auto& p) { return p.first == name; });
        if (action == "save") {
            const PtzPosition here = c->ptz.At(NowMs());
            if (it != c->presets.end())
                it->second = here;
            else
                c->presets.emplace_back(name, here);
            return SIMCAM_OK;
        }
        if (action == "delete") {
            if (it == c->presets.end())
                return SIMCAM_E_NOT_FOUND;
            c->presets.erase(it);
            return SIMCAM_OK;
        }
        return SIMCAM_E_ARGUMENT;
    }
    if (text == "reset") {
        ResetState();
        return SIMCAM_OK;
    }
    return SIMCAM_E_UNSUPPORTED;
}

}  // namespace simcam
