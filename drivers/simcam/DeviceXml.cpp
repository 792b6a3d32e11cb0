// The configuration as XML, its validation and application, stream
// information and credentials.

#include "Device.h"

#include "Registry.h"
#include "Text.h"
#include "Xml.h"
#include "simcam.h"

#include <cstdio>
#include <cstdlib>
#include <random>

namespace simcam {
namespace {

const char* const kSections[] = {"Device", "Video", "Cameras", "IO", "Events", "Audio"};

std::string Fixed2(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", v);
    return text;
}

std::string Number(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

std::string Element(const std::string& name, const std::string& text)
{
    return "<" + name + ">" + XmlEscape(text) + "</" + name + ">";
}

std::string ErrorXml(const std::string& reason) { return "<Error>" + XmlEscape(reason) + "</Error>"; }

// Parses an integer field in [lo, hi] (and even, if asked); the reason for
// a refusal goes to `error`.
bool ReadInt(const XmlElement* e, const char* what, long lo, long hi, bool even, int& out, std::string& error)
{
    if (e == nullptr)
        return true;
    const std::string text(Trim(e->text));
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < lo || v > hi || (even && v % 2 != 0)) {
        error = std::string(what) + " must be " + (even ? "an even number" : "a number") + " from " +
                std::to_string(lo) + " to " + std::to_string(hi);
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

bool ReadDouble(const XmlElement* e, const char* what, double lo, double hi, double& out, std::string& error)
{
    if (e == nullptr)
        return true;
    const std::string text(Trim(e->text));
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v >= lo && v <= hi)) {
        error = std::string(what) + " must be a number from " + Number(lo) + " to " + Number(hi);
        return false;
    }
    out = v;
    return true;
}

uint32_t Fnv1a(std::string_view text)
{
    uint32_t h = 2166136261u;
    for (unsigned char c : text) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

uint32_t RandomWord()
{
    std::random_device random;
    return static_cast<uint32_t>(random());
}

}  // namespace

std::string Device::EventsXml() const
{
    std::string xml = "<Events>";
    for (const EventDefinition& d : m_definitions)
        xml += "<Event source=\"" + XmlEscape(d.source) + "\" destIP=\"" + XmlEscape(d.destIp) + "\" destPort=\"" +
               XmlEscape(d.destPort) + "\" message=\"" + XmlEscape(d.message) + "\" useBuffer=\"" +
               (d.useBuffer ? "1" : "0") + "\" sent=\"" + std::to_string(d.sent) + "\"/>";
    for (const std::string& s : m_selectedEvents)
        xml += Element("Selected", s);
    return xml + "</Events>";
}

std::string Device::ConfigXml(const std::string& section)
{
    auto wanted = [&](const char* name) { return section.empty() || section == name; };
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SimCam>";
    if (wanted("Device"))
        xml += "<Device>" + Element("Model", SIMCAM_DEVICE_TYPE) +
               Element("DeviceId", std::to_string(SIMCAM_DEVICE_ID)) + Element("Firmware", "1.4.0") +
               Element("FeatureSet", FeatureSet()) + "</Device>";
    if (wanted("Video"))
        xml += "<Video>" + Element("Width", std::to_string(m_config.width)) +
               Element("Height", std::to_string(m_config.height)) + Element("FrameRate", Number(m_config.fps)) +
               Element("Quality", std::to_string(m_config.quality)) + "</Video>";
    if (wanted("Cameras")) {
        xml += "<Cameras>";
        const int64_t now = NowMs();
        for (size_t i = 0; i < m_cameras.size(); ++i) {
            Camera& c = m_cameras[i];
            const PtzPosition p = c.ptz.At(now);
            xml += "<Camera id=\"" + std::to_string(i + 1) + "\">" + Element("Name", c.name) +
                   Element("FrameRate", Number(c.fps)) + Element("PollingRate", std::to_string(c.pollingRateMs)) +
                   Element("Pan", Fixed2(p.pan)) + Element("Tilt", Fixed2(p.tilt)) + Element("Zoom", Fixed2(p.zoom)) +
                   Element("Focus", Fixed2(p.focus)) + "<PanTiltDriver driver=\"" + std::to_string(c.panTiltDriver[0]) +
                   "\" comPort=\"" + std::to_string(c.panTiltDriver[1]) + "\" address=\"" +
                   std::to_string(c.panTiltDriver[2]) + "\"/>";
            for (const auto& [name, pos] : c.presets)
                xml += "<Preset name=\"" + XmlEscape(name) + "\" pan=\"" + Fixed2(pos.pan) + "\" tilt=\"" +
                       Fixed2(pos.tilt) + "\" zoom=\"" + Fixed2(pos.zoom) + "\"/>";
            xml += "</Camera>";
        }
        xml += "</Cameras>";
    }
    if (wanted("IO")) {
        xml += "<IO>";
        for (size_t i = 0; i < m_inputs.size(); ++i)
            xml += "<Input id=\"" + std::to_string(i + 1) + "\" state=\"" + std::to_string(m_inputs[i]) + "\"/>";
        for (size_t i = 0; i < m_outputs.size(); ++i)
            xml += "<Output id=\"" + std::to_string(i + 1) + "\" state=\"" +
                   (OutputActive(static_cast<int>(i + 1)) ? "1" : "0") + "\"/>";
        xml += "</IO>";
    }
    if (wanted("Events"))
        xml += EventsXml();
    if (wanted("Audio"))
        xml += "<Audio>" + Element("Inputs", "1") + Element("Outputs", "1") +
               Element("Received", std::to_string(m_audioOutBytes)) + "</Audio>";
    return xml + "</SimCam>";
}

int Device::GetXml(const char* password, const char* filter, BSTR* xml)
{
    std::string text;
    {
        std::lock_guard lock(m_mutex);
        if (!PasswordOkLocked(password))
            return SIMCAM_E_PASSWORD;
        std::string section = filter != nullptr ? filter : "";
        if (section == "*")
            section.clear();
        bool known = section.empty();
        for (const char* s : kSections)
            known = known || section == s;
        if (!known)
            return SIMCAM_E_NOT_FOUND;
        if (xml == nullptr)
            return SIMCAM_E_ARGUMENT;
        text = ConfigXml(section);
    }
    ReplaceBstr(xml, text);
    return SIMCAM_OK;
}

bool Device::ApplyParams(const XmlElement& root, std::string& error)
{
    if (root.name != "SimCam") {
        error = "the root element must be SimCam";
        return false;
    }
    // Everything is checked first and applied only when all of it is valid.
    Config video = m_config;
    std::vector<std::string> names;
    for (const Camera& c : m_cameras)
        names.push_back(c.name);
    std::vector<bool> outputs = m_outputs;

    if (const XmlElement* v = root.Child("Video")) {
        if (!ReadInt(v->Child("Width"), "Width", 64, 4096, true, video.width, error) ||
            !ReadInt(v->Child("Height"), "Height", 48, 4096, true, video.height, error) ||
            !ReadDouble(v->Child("FrameRate"), "FrameRate", 0.1, 60, video.fps, error) ||
            !ReadInt(v->Child("Quality"), "Quality", 1, 100, false, video.quality, error))
            return false;
    }
    if (const XmlElement* cameras = root.Child("Cameras")) {
        for (const XmlElement* camera : cameras->Children("Camera")) {
            const std::string* id = camera->Attribute("id");
            const int index = id != nullptr ? std::atoi(id->c_str()) : 0;
            if (index < 1 || index > static_cast<int>(names.size())) {
                error = "no camera " + (id != nullptr ? *id : std::string("without id"));
                return false;
            }
            if (const XmlElement* name = camera->Child("Name")) {
                const std::string_view text = Trim(name->text);
                if (text.empty() || text.size() > 63) {
                    error = "a camera name has 1 to 63 characters";
                    return false;
                }
                names[static_cast<size_t>(index - 1)] = std::string(text);
            }
        }
    }
    if (const XmlElement* io = root.Child("IO")) {
        for (const XmlElement* output : io->Children("Output")) {
            const std::string* id = output->Attribute("id");
            const std::string* state = output->Attribute("state");
            const int index = id != nullptr ? std::atoi(id->c_str()) : 0;
            if (index < 1 || index > static_cast<int>(outputs.size())) {
                error = "no output " + (id != nullptr ? *id : std::string("without id"));
                return false;
            }
            if (state == nullptr || (*state != "0" && *state != "1")) {
                error = "an output state is 0 or 1";
                return false;
            }
            outputs[static_cast<size_t>(index - 1)] = *state == "1";
        }
    }

    const bool rateChanged = video.fps != m_config.fps;
    m_config = video;
    for (size_t i = 0; i < m_cameras.size(); ++i) {
        m_cameras[i].name = names[i];
        if (rateChanged)
            m_cameras[i].fps = video.fps;
    }
    m_outputs = outputs;
    return true;
}

bool Device::SetXmlParams(const char* password, BSTR* xml)
{
    if (xml == nullptr)
        return false;
    const std::string input = FromBstr(*xml);
    std::string answer;
    bool ok = false;
    {
        std::lock_guard lock(m_mutex);
        std::string error;
        if (!PasswordOkLocked(password)) {
            error = "wrong password";
        } else {
            try {
                ok = ApplyParams(ParseXml(input), error);
            } catch (const XmlError& e) {
                error = std::string("malformed XML: ") + e.what();
            }
        }
        answer = ok ? ConfigXml("") : ErrorXml(error);
    }
    ReplaceBstr(xml, answer);
    return ok;
}

bool Device::ApplyEvents(const XmlElement& events, std::string& error)
{
    if (events.name != "Events") {
        error = "the root element must be Events";
        return false;
    }
    std::vector<EventDefinition> definitions;
    for (const XmlElement* e : events.Children("Event")) {
        auto attribute = [&](const char* name) {
            const std::string* v = e->Attribute(name);
            return v != nullptr ? *v : std::string();
        };
        EventDefinition d{
            attribute("source"), attribute("destIP"), attribute("destPort"), attribute("message"), false, 0};
        if (!IsEventSource(d.source)) {
            error = "unknown event source '" + d.source + "'";
            return false;
        }
        const std::string useBuffer = attribute("useBuffer");
        if (!useBuffer.empty() && useBuffer != "0" && useBuffer != "1") {
            error = "useBuffer is 0 or 1";
            return false;
        }
        d.useBuffer = useBuffer == "1";
        definitions.push_back(std::move(d));
    }
    m_definitions = std::move(definitions);
    return true;
}

bool Device::SetXmlEvents(const char* password, BSTR* xml)
{
    if (xml == nullptr)
        return false;
    const std::string input = FromBstr(*xml);
    std::string answer;
    bool ok = false;
    {
        std::lock_guard lock(m_mutex);
        std::string error;
        if (!PasswordOkLocked(password)) {
            error = "wrong password";
        } else {
            try {
                ok = ApplyEvents(ParseXml(input), error);
            } catch (const XmlError& e) {
                error = std::string("malformed XML: ") + e.what();
            }
        }
        answer = ok ? ConfigXml("Events") : ErrorXml(error);
    }
    ReplaceBstr(xml, answer);
    return ok;
}

int Device::GenerateCredentials(const char* password, const char* user, BSTR* credentials)
{
    std::string token;
    {
        std::lock_guard lock(m_mutex);
        if (!PasswordOkLocked(password))
            return SIMCAM_E_PASSWORD;
        if (credentials == nullptr)
            return SIMCAM_E_ARGUMENT;
        const unsigned long serial = ++m_credentialsIssued;
        for (int i = 0; i < 4; ++i) {
            const uint32_t word = m_config.deterministic ? Fnv1a(m_instanceId + "/" + (user != nullptr ? user : "") +
                                                                 "/" + std::to_string(serial) + "/" + std::to_string(i))
                                                         : RandomWord();
            char hex[9];
            std::snprintf(hex, sizeof hex, "%08x", word);
            token += hex;
        }
    }
    ReplaceBstr(credentials, "<Credentials>" + Element("User", user != nullptr ? user : "") + Element("Token", token) +
                                 "</Credentials>");
    return SIMCAM_OK;
}

int Device::GetStreamInfo(const char* password, int camera, BSTR* xml)
{
    std::string text;
    {
        std::lock_guard lock(m_mutex);
        if (!PasswordOkLocked(password))
            return SIMCAM_E_PASSWORD;
        const Camera* c = CameraAt(camera);
        if (c == nullptr)
            return SIMCAM_E_CAMERA;
        if (xml == nullptr)
            return SIMCAM_E_ARGUMENT;
        auto video = [&](int index, int divisor) {
            return "<Stream media=\"0\" index=\"" + std::to_string(index) + "\" codec=\"MJPEG\" width=\"" +
                   std::to_string(m_config.width / divisor) + "\" height=\"" +
                   std::to_string(m_config.height / divisor) + "\" frameRate=\"" + Number(c->fps) + "\"/>";
        };
        text =
            "<StreamInfo camera=\"" + std::to_string(camera) + "\">" + video(0, 1) + video(1, 2) +
            "<Stream media=\"1\" index=\"0\" codec=\"PCM16LE\" sampleRate=\"8000\" channels=\"1\"/>"
            "<Stream media=\"2\" index=\"0\" codec=\"PCM16LE\" sampleRate=\"8000\" channels=\"1\" direction=\"out\"/>"
            "<Stream media=\"3\" index=\"0\" codec=\"TEXT\"/></StreamInfo>";
    }
    ReplaceBstr(xml, text);
    return SIMCAM_OK;
}

}  // namespace simcam
