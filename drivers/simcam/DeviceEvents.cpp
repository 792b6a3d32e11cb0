// Event sources, selections and definitions, the event stream, and the XML
// event parser.

#include "Device.h"

#include "Text.h"
#include "Xml.h"
#include "simcam.h"

#include <algorithm>

namespace simcam {
namespace {

constexpr size_t kMaxQueuedEvents = 1000;
constexpr size_t kMaxParsers = 64;

bool IsXmlName(std::string_view name)
{
    if (name.empty() || name.size() > 63)
        return false;
    auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    if (!letter(name.front()))
        return false;
    return std::all_of(name.begin(), name.end(),
                       [&](char c) { return letter(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; });
}

}  // namespace

std::vector<std::string> Device::EventSources() const
{
    std::vector<std::string> sources;
    for (size_t i = 1; i <= m_inputs.size(); ++i)
        sources.push_back("Input" + std::to_string(i));
    for (size_t i = 1; i <= m_cameras.size(); ++i)
        sources.push_back("Motion" + std::to_string(i));
    return sources;
}

bool Device::IsEventSource(const std::string& name) const
{
    const auto sources = EventSources();
    return std::find(sources.begin(), sources.end(), name) != sources.end();
}

void Device::RaiseEvent(const std::string& source, int state)
{
    const std::string text = "source=" + source + ";state=" + std::to_string(state) +
                             ";time=" + std::to_string(NowMs()) + ";seq=" + std::to_string(++m_eventSequence);
    for (EventDefinition& d : m_definitions)
        if (d.source == source)
            ++d.sent;
    if (!m_selectedEvents.empty() && m_selectedEvents.count(source) == 0)
        return;
    for (auto& [key, stream] : m_streams) {
        if (std::get<0>(key) != SIMCAM_MEDIA_EVENTS)
            continue;
        if (!stream.eventFilter.empty() && stream.eventFilter != source)
            continue;
        stream.events.push_back(text);
        if (stream.events.size() > kMaxQueuedEvents)
            stream.events.pop_front();
    }
}

int Device::BeginDefineEvent(const char* password, bool eraseAll)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    m_pendingDefinitions = eraseAll ? std::vector<EventDefinition>{} : m_definitions;
    return SIMCAM_OK;
}

int Device::DefineEvent(const char* password, const char* input, const char* destIp, const char* destPort,
                        const char* message, int useBuffer)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    if (!m_pendingDefinitions)
        return SIMCAM_E_NOT_OPEN;
    if (input == nullptr || !IsEventSource(input))
        return SIMCAM_E_NOT_FOUND;
    m_pendingDefinitions->push_back(EventDefinition{input, destIp != nullptr ? destIp : "",
                                                    destPort != nullptr ? destPort : "",
                                                    message != nullptr ? message : "", useBuffer != 0, 0});
    return static_cast<int>(m_pendingDefinitions->size());
}

int Device::EndDefineEvent(const char* password)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    if (!m_pendingDefinitions)
        return SIMCAM_E_NOT_OPEN;
    m_definitions = std::move(*m_pendingDefinitions);
    m_pendingDefinitions.reset();
    return static_cast<int>(m_definitions.size());
}

int Device::QueryEvents(const char* password, const CStringArray& used, CStringArray& open)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    std::vector<std::string> free;
    for (const std::string& source : EventSources()) {
        bool inUse = false;
        for (int i = 0; i < used.GetSize() && !inUse; ++i)
            inUse = source == used.GetAt(i);
        if (!inUse)
            free.push_back(source);
    }
    open.RemoveAll();
    for (const std::string& source : free)
        open.Add(source.c_str());
    return 1;
}

int Device::SetEvents(const char* password, const CStringArray& events)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    std::set<std::string> selected;
    for (int i = 0; i < events.GetSize(); ++i) {
        if (!IsEventSource(events.GetAt(i)))
            return SIMCAM_E_NOT_FOUND;
        selected.insert(events.GetAt(i));
    }
    m_selectedEvents = std::move(selected);
    return SIMCAM_OK;
}

short Device::QueryEventType(const char* password) const
{
    std::lock_guard lock(m_mutex);
    return PasswordOkLocked(password) ? SIMCAM_EVENT_TYPE_TEXT : SIMCAM_E_PASSWORD;
}

short Device::OpenEventParser(const char* password, const char* eventType)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    if (eventType == nullptr || !IsXmlName(eventType))
        return SIMCAM_E_ARGUMENT;
    if (m_parsers.size() >= kMaxParsers)
        return SIMCAM_E_UNSUPPORTED;
    while (m_parsers.count(m_nextParser) != 0 || m_nextParser <= 0)
        m_nextParser = m_nextParser <= 0 || m_nextParser == 32767 ? 1 : static_cast<short>(m_nextParser + 1);
    const short handle = m_nextParser;
    m_parsers[handle] = eventType;
    m_nextParser = handle == 32767 ? 1 : static_cast<short>(handle + 1);
    return handle;
}

int Device::ParseEvent(const char* password, short parser, const unsigned char* data, int length, BSTR* xml)
{
    std::string type;
    {
        std::lock_guard lock(m_mutex);
        if (!PasswordOkLocked(password))
            return SIMCAM_E_PASSWORD;
        const auto it = m_parsers.find(parser);
        if (it == m_parsers.end())
            return SIMCAM_E_NOT_FOUND;
        type = it->second;
    }
    if (length < 0 || (length > 0 && data == nullptr) || xml == nullptr)
        return SIMCAM_E_ARGUMENT;

    const std::string_view text(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    std::string out = "<Event type=\"" + XmlEscape(type) + "\">";
    int fields = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t end = text.find_first_of(";\n", pos);
        const std::string_view pair = Trim(text.substr(pos, end == std::string_view::npos ? end : end - pos));
        if (!pair.empty()) {
            const size_t eq = pair.find('=');
            if (eq == std::string_view::npos)
                return SIMCAM_E_ARGUMENT;
            const std::string_view key = Trim(pair.substr(0, eq));
            if (!IsXmlName(key))
                return SIMCAM_E_ARGUMENT;
            const std::string name(key);
            out += "<" + name + ">" + XmlEscape(Trim(pair.substr(eq + 1))) + "</" + name + ">";
            ++fields;
        }
        if (end == std::string_view::npos)
            break;
        pos = end + 1;
    }
    out += "</Event>";
    ReplaceBstr(xml, out);
    return fields;
}

void Device::CloseEventParser(const char* password, short parser)
{
    std::lock_guard lock(m_mutex);
    if (PasswordOkLocked(password))
        m_parsers.erase(parser);
}

}  // namespace simcam
