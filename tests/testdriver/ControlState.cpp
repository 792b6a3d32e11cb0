#include "ControlState.h"

#include <unistd.h>

#include <charconv>

namespace testdriver {

ControlState& ControlState::Get()
{
    // Never destroyed: a call may still be hanging while the process exits.
    static ControlState* state = new ControlState;
    return *state;
}

Directives ControlState::Resolve(const std::string& instanceId, const std::string& exportName)
{
    Directives d;
    std::lock_guard lock(m_mutex);
    if (auto it = m_modes.find(instanceId); it != m_modes.end())
        for (const DirectiveEntry& entry : it->second)
            if (entry.Matches(exportName))
                d.Apply(entry.tokens, " #");
    if (const size_t hash = instanceId.find('#'); hash != std::string::npos)
        d.Apply(std::string_view(instanceId).substr(hash + 1), "#");
    if (auto it = m_queued.find(instanceId); it != m_queued.end()) {
        auto& queue = it->second;
        for (auto entry = queue.begin(); entry != queue.end(); ++entry) {
            if (entry->Matches(exportName)) {
                d.Apply(entry->tokens, " #");
                queue.erase(entry);
                break;
            }
        }
    }
    return d;
}

int ControlState::Command(const std::string& instanceId, const std::string& command)
{
    const std::string_view text(command);
    auto argument = [&](std::string_view verb) {
        std::string_view rest = text.substr(verb.size());
        while (!rest.empty() && rest.front() == ' ')
            rest.remove_prefix(1);
        return rest;
    };
    auto isVerb = [&](std::string_view verb) {
        return text.substr(0, verb.size()) == verb &&
               (text.size() == verb.size() || text[verb.size()] == ' ');
    };

    if (isVerb("td:next")) {
        std::lock_guard lock(m_mutex);
        m_queued[instanceId].push_back(ParseEntry(argument("td:next")));
        return 0;
    }
    if (isVerb("td:mode")) {
        const std::string_view rest = argument("td:mode");
        std::lock_guard lock(m_mutex);
        if (rest.empty())
            m_modes.erase(instanceId);
        else
            m_modes[instanceId].push_back(ParseEntry(rest));
        return 0;
    }
    if (isVerb("td:release"))
        return Release();
    if (isVerb("td:wait-hung")) {
        const std::string_view rest = argument("td:wait-hung");
        int n = 1;
        std::from_chars(rest.data(), rest.data() + rest.size(), n);
        return WaitHung(n);
    }
    if (isVerb("td:reset")) {
        std::lock_guard lock(m_mutex);
        m_queued.clear();
        m_modes.clear();
        m_calls.clear();
        m_totalCalls = 0;
        m_featureSet.clear();
        m_featureSetCalls = 0;
        m_deleteBufferCalls = 0;
        m_liveBlocks = 0;
        return 0;
    }
    return -1;
}

void ControlState::CountCall(const std::string& exportName)
{
    std::lock_guard lock(m_mutex);
    ++m_calls[exportName];
    ++m_totalCalls;
}

void ControlState::NoteFeatureSet(const char* text)
{
    std::lock_guard lock(m_mutex);
    m_featureSet = text != nullptr ? text : "";
    ++m_featureSetCalls;
}

void ControlState::NoteBlockHandedOver()
{
    std::lock_guard lock(m_mutex);
    ++m_liveBlocks;
}

void ControlState::NoteDeleteBuffer(const void* p)
{
    if (p == nullptr)
        return;
    std::lock_guard lock(m_mutex);
    ++m_deleteBufferCalls;
    --m_liveBlocks;
}

void ControlState::Hang()
{
    std::unique_lock lock(m_mutex);
    const unsigned long generation = m_releaseGeneration;
    ++m_hung;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return m_releaseGeneration != generation; });
    --m_hung;
}

int ControlState::WaitHung(int n)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_hung >= n; });
    return m_hung;
}

int ControlState::Release()
{
    std::lock_guard lock(m_mutex);
    const int released = m_hung;
    ++m_releaseGeneration;
    m_changed.notify_all();
    return released;
}

std::string ControlState::StateText()
{
    std::lock_guard lock(m_mutex);
    std::string out;
    out += "pid=" + std::to_string(getpid()) + "\n";
    out += "featureset=" + m_featureSet + "\n";
    out += "featureset.calls=" + std::to_string(m_featureSetCalls) + "\n";
    out += "calls=" + std::to_string(m_totalCalls) + "\n";
    for (const auto& [name, n] : m_calls)
        out += "calls." + name + "=" + std::to_string(n) + "\n";
    out += "deletebuffer=" + std::to_string(m_deleteBufferCalls) + "\n";
    out += "blocks.live=" + std::to_string(m_liveBlocks) + "\n";
    out += "hung=" + std::to_string(m_hung) + "\n";
    return out;
}

} // namespace testdriver
