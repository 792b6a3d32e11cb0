// Images, video blocks, media streams, and the recording ring with its
// playback, time line and retrieval.

#include "Device.h"

#include "Frame.h"
#include "Text.h"
#include "Xml.h"
#include "simcam.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>

namespace simcam {
namespace {

constexpr int kAudioSampleRate = 8000;
constexpr double kAudioToneHz = 440.0;
constexpr double kAudioBlocksPerSecond = 50.0;  // 20 ms blocks
constexpr int kRetrievePerMs = 2;               // frames a retrieval fetches per ms

Block AudioBlock(uint64_t firstSample, int samples)
{
    Block b;
    b.data = std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(samples) * 2);
    b.size = samples * 2;
    for (int i = 0; i < samples; ++i) {
        const double t = static_cast<double>(firstSample + static_cast<uint64_t>(i)) / kAudioSampleRate;
        const auto v = static_cast<int16_t>(std::lround(8000.0 * std::sin(2 * std::numbers::pi * kAudioToneHz * t)));
        b.data[2 * static_cast<size_t>(i)] = static_cast<unsigned char>(v & 0xFF);
        b.data[2 * static_cast<size_t>(i) + 1] = static_cast<unsigned char>((v >> 8) & 0xFF);
    }
    return b;
}

bool ParseNumber(const XmlElement* e, double lo, double hi, double& out)
{
    if (e == nullptr)
        return true;
    const std::string text(Trim(e->text));
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v >= lo && v <= hi))
        return false;
    out = v;
    return true;
}

}  // namespace

Block Device::RenderLive(int camera, int width, int height)
{
    FrameSpec view;
    {
        std::lock_guard lock(m_mutex);
        Camera* c = CameraAt(camera);
        if (c == nullptr)
            return {};
        const int64_t now = NowMs();
        const PtzPosition p = c->ptz.At(now);
        view.width = width;
        view.height = height;
        view.quality = m_config.quality;
        view.camera = camera;
        view.frameNo = ++c->frames;
        view.timeMs = now;
        view.pan = p.pan;
        view.tilt = p.tilt;
        view.zoom = p.zoom;
        view.status = StatusLine();
        c->recording.push_back({view.frameNo, now, p, 1000.0 / c->fps});
        while (c->recording.size() > static_cast<size_t>(m_config.recordFrames))
            c->recording.pop_front();
        AdvanceVirtualClock(c->fps);
    }
    return RenderJpeg(view);
}

int Device::GetImage(int camera, unsigned char** jpeg)
{
    int width = 0, height = 0;
    {
        std::lock_guard lock(m_mutex);
        const Camera* c = CameraAt(camera);
        if (c == nullptr)
            return SIMCAM_E_CAMERA;
        if (!c->connected)
            return SIMCAM_E_NOT_OPEN;
        if (jpeg == nullptr)
            return SIMCAM_E_ARGUMENT;
        const int divisor = c->halfSize ? 2 : 1;
        width = m_config.width / divisor;
        height = m_config.height / divisor;
    }
    return RenderLive(camera, width, height).HandOver(jpeg);
}

int Device::GetVideoBlock(int camera, unsigned char** block)
{
    int width = 0, height = 0;
    int64_t due = 0;
    {
        std::lock_guard lock(m_mutex);
        Camera* c = CameraAt(camera);
        if (c == nullptr)
            return SIMCAM_E_CAMERA;
        if (!c->connected)
            return SIMCAM_E_NOT_OPEN;
        if (block == nullptr)
            return SIMCAM_E_ARGUMENT;
        const int divisor = c->halfSize ? 2 : 1;
        width = m_config.width / divisor;
        height = m_config.height / divisor;
        due = PaceLocked(c->nextVideoDueUs, c->fps);
    }
    WaitUntilUs(due, SteadyUs());
    return RenderLive(camera, width, height).HandOver(block);
}

Device::MediaStream* Device::StreamAt(int type, int device, int stream)
{
    const auto it = m_streams.find({type, device, stream});
    return it == m_streams.end() ? nullptr : &it->second;
}

int Device::OpenMediaStream(const char* password, int type, int device, int stream, const char* eventName,
                            const std::string* settingsXml)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    MediaStream s;
    switch (type) {
        case SIMCAM_MEDIA_VIDEO: {
            const Camera* c = CameraAt(device);
            if (c == nullptr || (stream != 0 && stream != 1))
                return SIMCAM_E_CAMERA;
            s.pollingRate = c->fps;
            s.halfSize = stream == 1;
            break;
        }
        case SIMCAM_MEDIA_AUDIO_IN:
        case SIMCAM_MEDIA_AUDIO_OUT:
            if (device != 1 || stream != 0)
                return SIMCAM_E_CAMERA;
            s.pollingRate = kAudioBlocksPerSecond;
            break;
        case SIMCAM_MEDIA_EVENTS:
            if (device != 0 || stream != 0)
                return SIMCAM_E_CAMERA;
            s.eventFilter = eventName != nullptr ? eventName : "";
            break;
        default:
            return SIMCAM_E_UNSUPPORTED;
    }
    if (settingsXml != nullptr) {
        // <Settings><Width/><Height/><FrameRate/></Settings>
        try {
            const XmlElement root = ParseXml(*settingsXml);
            double width = 0, height = 0, rate = s.pollingRate;
            if (root.name != "Settings" || !ParseNumber(root.Child("Width"), 64, 4096, width) ||
                !ParseNumber(root.Child("Height"), 48, 4096, height) ||
                !ParseNumber(root.Child("FrameRate"), 0.1, 100, rate))
                return SIMCAM_E_ARGUMENT;
            s.width = static_cast<int>(width) & ~1;
            s.height = static_cast<int>(height) & ~1;
            s.pollingRate = rate;
        } catch (const XmlError&) {
            return SIMCAM_E_ARGUMENT;
        }
    }
    m_streams[{type, device, stream}] = std::move(s);
    return SIMCAM_OK;
}

void Device::CloseMediaStream(int type, int device, int stream)
{
    std::lock_guard lock(m_mutex);
    m_streams.erase({type, device, stream});
}

int Device::GetMediaBlock(int type, int device, int stream, unsigned char** block)
{
    if (block == nullptr)
        return SIMCAM_E_ARGUMENT;
    std::unique_lock lock(m_mutex);
    MediaStream* s = StreamAt(type, device, stream);
    if (s == nullptr)
        return SIMCAM_E_NOT_OPEN;

    if (type == SIMCAM_MEDIA_EVENTS) {
        if (s->events.empty())
            return 0;
        Block b = Block::FromText(s->events.front());
        s->events.pop_front();
        return b.HandOver(block);
    }
    if (type == SIMCAM_MEDIA_AUDIO_OUT)
        return SIMCAM_E_UNSUPPORTED;
    if (type == SIMCAM_MEDIA_AUDIO_IN) {
        const int samples = std::max(1, static_cast<int>(std::lround(kAudioSampleRate / s->pollingRate)));
        const uint64_t first = s->samples;
        s->samples += static_cast<uint64_t>(samples);
        const int64_t due = PaceLocked(s->nextDueUs, s->pollingRate);
        lock.unlock();
        WaitUntilUs(due, SteadyUs());
        return AudioBlock(first, samples).HandOver(block);
    }

    // Video: live, or a recorded frame during playback.
    const int divisor = s->halfSize ? 2 : 1;
    const int width = s->width != 0 ? s->width : m_config.width / divisor;
    const int height = s->height != 0 ? s->height : m_config.height / divisor;
    if (s->paused)
        return 0;
    if (!s->playback) {
        const int64_t due = PaceLocked(s->nextDueUs, s->pollingRate);
        lock.unlock();
        WaitUntilUs(due, SteadyUs());
        return RenderLive(device, width, height).HandOver(block);
    }
    Camera* c = CameraAt(device);
    if (c == nullptr || c->recording.empty())
        return 0;
    const uint64_t oldest = c->recording.front().frameNo;
    if (s->playPosition < oldest || s->playPosition - oldest >= c->recording.size())
        return 0;  // played to the end of what is recorded
    const RecordedFrame frame = c->recording[s->playPosition - oldest];
    s->playPosition = s->speed < 0 ? s->playPosition - 1 : s->playPosition + 1;
    const int64_t due = PaceLocked(s->nextDueUs, 1000.0 / frame.intervalMs * std::fabs(s->speed));
    FrameSpec view;
    view.width = width;
    view.height = height;
    view.quality = m_config.quality;
    view.camera = device;
    view.frameNo = frame.frameNo;
    view.timeMs = frame.timeMs;
    view.pan = frame.position.pan;
    view.tilt = frame.position.tilt;
    view.zoom = frame.position.zoom;
    view.playback = true;
    lock.unlock();
    WaitUntilUs(due, SteadyUs());
    return RenderJpeg(view).HandOver(block);
}

int Device::PutMediaBlock(int type, int device, int stream, const unsigned char* data, int length, int* resultCode)
{
    auto answer = [resultCode](int code, int result) {
        if (resultCode != nullptr)
            *resultCode = code;
        return result;
    };
    std::lock_guard lock(m_mutex);
    if (StreamAt(type, device, stream) == nullptr)
        return answer(SIMCAM_E_NOT_OPEN, SIMCAM_E_NOT_OPEN);
    if (type != SIMCAM_MEDIA_AUDIO_OUT)
        return answer(SIMCAM_E_UNSUPPORTED, SIMCAM_E_UNSUPPORTED);
    if (length < 0 || (length > 0 && data == nullptr) || length % 2 != 0)
        return answer(SIMCAM_E_ARGUMENT, SIMCAM_E_ARGUMENT);
    m_audioOutBytes += length;
    return answer(SIMCAM_OK, length);
}

int Device::SetMediaPollingRate(int type, int device, int stream, double rate)
{
    std::lock_guard lock(m_mutex);
    MediaStream* s = StreamAt(type, device, stream);
    if (s == nullptr)
        return SIMCAM_E_NOT_OPEN;
    if (!(rate > 0 && rate <= 100))
        return SIMCAM_E_ARGUMENT;
    s->pollingRate = rate;
    return SIMCAM_OK;
}

size_t Device::PlaybackStart(const Camera& camera, long long timeMs) const
{
    for (size_t i = 0; i < camera.recording.size(); ++i)
        if (camera.recording[i].timeMs >= timeMs)
            return i;
    return camera.recording.size();
}

int Device::Play(int type, int device, int stream, long long timeMs, double speed)
{
    std::lock_guard lock(m_mutex);
    if (type != SIMCAM_MEDIA_VIDEO)
        return SIMCAM_E_UNSUPPORTED;
    MediaStream* s = StreamAt(type, device, stream);
    const Camera* c = CameraAt(device);
    if (s == nullptr || c == nullptr)
        return SIMCAM_E_NOT_OPEN;
    if (timeMs < 0) {
        s->playback = false;
        s->paused = false;
        return SIMCAM_OK;
    }
    const size_t index = PlaybackStart(*c, timeMs);
    if (index >= c->recording.size())
        return SIMCAM_E_NOT_FOUND;
    s->playback = true;
    s->paused = speed == 0;
    s->speed = speed == 0 ? 1 : speed;
    s->playPosition = c->recording[index].frameNo;
    return SIMCAM_OK;
}

int Device::Pause(int type, int device, int stream)
{
    std::lock_guard lock(m_mutex);
    if (type != SIMCAM_MEDIA_VIDEO)
        return SIMCAM_E_UNSUPPORTED;
    MediaStream* s = StreamAt(type, device, stream);
    if (s == nullptr)
        return SIMCAM_E_NOT_OPEN;
    s->paused = true;
    return SIMCAM_OK;
}

int Device::GetTimeLine(int type, int camera, int /*stream*/, long long startMs, long long endMs, BSTR* info)
{
    std::string xml;
    int segments = 0;
    {
        std::lock_guard lock(m_mutex);
        if (type != SIMCAM_MEDIA_VIDEO)
            return SIMCAM_E_UNSUPPORTED;
        const Camera* c = CameraAt(camera);
        if (c == nullptr)
            return SIMCAM_E_CAMERA;
        if (endMs < startMs || info == nullptr)
            return SIMCAM_E_ARGUMENT;
        xml = "<TimeLine camera=\"" + std::to_string(camera) + "\" start=\"" + std::to_string(startMs) + "\" end=\"" +
              std::to_string(endMs) + "\">";
        // Contiguous runs of recorded frames; a gap of more than three frame
        // intervals starts a new one.
        const auto& rec = c->recording;
        for (size_t i = 0; i < rec.size();) {
            size_t j = i;
            while (j + 1 < rec.size() && rec[j + 1].timeMs - rec[j].timeMs <= 3 * rec[j].intervalMs)
                ++j;
            if (rec[j].timeMs >= startMs && rec[i].timeMs <= endMs) {
                xml += "<Recording start=\"" + std::to_string(rec[i].timeMs) + "\" end=\"" +
                       std::to_string(rec[j].timeMs) + "\" frames=\"" + std::to_string(j - i + 1) + "\"/>";
                ++segments;
            }
            i = j + 1;
        }
        xml += "</TimeLine>";
    }
    // This export overwrites the variable without releasing what it held.
    const std::u16string wide = Utf8ToUtf16(xml);
    *info = SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
    return segments;
}

int Device::Retrieve(int type, int camera, int stream, long long startMs, long long endMs)
{
    std::lock_guard lock(m_mutex);
    if (type != SIMCAM_MEDIA_VIDEO)
        return SIMCAM_E_UNSUPPORTED;
    Camera* c = CameraAt(camera);
    if (c == nullptr)
        return SIMCAM_E_CAMERA;
    if (endMs < startMs)
        return SIMCAM_E_ARGUMENT;
    const auto total = std::count_if(c->recording.begin(), c->recording.end(),
                                     [&](const RecordedFrame& f) { return f.timeMs >= startMs && f.timeMs <= endMs; });
    if (total == 0)
        return SIMCAM_E_NOT_FOUND;
    c->retrieveJobs[stream] = RetrieveJob{static_cast<int>(total), 0, SteadyUs() / 1000};
    return static_cast<int>(total);
}

int Device::RetrieveStatus(int type, int camera, int stream)
{
    std::lock_guard lock(m_mutex);
    if (type != SIMCAM_MEDIA_VIDEO)
        return SIMCAM_E_UNSUPPORTED;
    Camera* c = CameraAt(camera);
    if (c == nullptr)
        return SIMCAM_E_CAMERA;
    const auto it = c->retrieveJobs.find(stream);
    if (it == c->retrieveJobs.end())
        return SIMCAM_E_NOT_FOUND;
    RetrieveJob& job = it->second;
    if (m_config.deterministic) {
        // A quarter of the job per status query.
        job.done = std::min(job.total, job.done + std::max(1, (job.total + 3) / 4));
    } else {
        const int64_t elapsed = SteadyUs() / 1000 - job.startedMs;
        job.done = static_cast<int>(std::min<int64_t>(job.total, elapsed * kRetrievePerMs));
    }
    return job.done * 100 / job.total;
}

}  // namespace simcam
