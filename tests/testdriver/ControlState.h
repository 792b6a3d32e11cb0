// Process-wide state of the test driver: queued and sticky directives per
// instance id, call counters, and the gate on which "hang" calls wait.
#pragma once

#include "Directives.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace testdriver {

class ControlState {
public:
    static ControlState& Get();

    // The directives of one call: modes, then the id's own, then the first
    // matching queued entry (used up).
    Directives Resolve(const std::string& instanceId, const std::string& exportName);

    // Runs a "td:" command; returns the call's result.
    int Command(const std::string& instanceId, const std::string& command);

    void CountCall(const std::string& exportName);
    void NoteFeatureSet(const char* text);
    void NoteBlockHandedOver();
    void NoteDeleteBuffer(const void* p);

    // Blocks until the next "td:release".
    void Hang();

    std::string StateText();

private:
    int WaitHung(int n);
    int Release();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, std::deque<DirectiveEntry>> m_queued;
    std::map<std::string, std::vector<DirectiveEntry>> m_modes;
    std::map<std::string, long> m_calls;
    long m_totalCalls = 0;
    std::string m_featureSet;
    long m_featureSetCalls = 0;
    long m_deleteBufferCalls = 0;
    long m_liveBlocks = 0;
    int m_hung = 0;
    unsigned long m_releaseGeneration = 0;
};

} // namespace testdriver
