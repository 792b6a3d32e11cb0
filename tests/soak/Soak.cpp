// kestrel-soak: application threads hammer libKestrel.so (its test-timing
// variant, with the test driver) while a chaos thread kills, stops and
// continues HostProcs, crashes drivers (some after forking a helper), hangs
// calls and removes and re-adds instances; the checks are the README's
// "Soak under chaos". It runs in a private world: its own socket directory
// and configuration folder, standard error in a log file.
//
//   kestrel-soak [--seconds N] [--no-memory-check]
//
// Exit status: 0 when every check passed, 1 when one failed, 2 on bad usage
// or when the world could not be set up.
#include "DriverTable.h"
#include "testdriver_protocol.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace testdriver;

namespace {

constexpr int kThreads = 64, kInstances = 8, kHostProcs = 2;
constexpr int kDeadlineMs = 3000, kChaosMs = 400, kIdleMs = 1000;
constexpr int kBlockBytes = 1 << 20;

// Calls fn with every entry name of a folder but "." and "..".
template <typename F>
void ForEachEntry(const std::string& strFolder, F fn)
{
    if (DIR* pDir = opendir(strFolder.c_str())) {
        while (dirent* pEntry = readdir(pDir))
            if (pEntry->d_name[0] != '.')
                fn(std::string(pEntry->d_name));
        closedir(pDir);
    }
}

int CountEntries(const char* szFolder)
{
    int nCount = 0;
    ForEachEntry(szFolder, [&](const std::string&) { ++nCount; });
    return nCount;
}

// The process's open descriptors and threads.
struct Levels {
    int nFds = CountEntries("/proc/self/fd"), nThreads = CountEntries("/proc/self/task");
    bool operator==(const Levels&) const = default;
};

std::string FirstLine(const std::string& strPath)
{
    std::ifstream in(strPath);
    std::string strLine;
    std::getline(in, strLine);
    return strLine;
}

// Resident memory in KiB (the second field of statm counts pages).
long RssKiB()
{
    long nPages = -1, nResident = -1;
    std::ifstream("/proc/self/statm") >> nPages >> nResident;
    return nResident < 0 ? -1 : nResident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The state letter of a process ('Z' for a zombie), or 0 when it is gone.
char ProcessState(int nPid)
{
    const std::string strStat = FirstLine("/proc/" + std::to_string(nPid) + "/stat");
    const size_t nParen = strStat.rfind(')');
    return nParen == std::string::npos || nParen + 2 >= strStat.size() ? 0 : strStat[nParen + 2];
}

// A code the library may throw: 0 (unknown instance), or class 0x00/0x01
// over a status the runtime defines.
bool IsDefinedCode(unsigned long nCode)
{
    static const std::set<unsigned long> statuses = {6, 14, 1717, 1722, 1726, 1728, 1734, 1745, 1775, 1780, 1783};
    return nCode == 0 || ((nCode >> 24) <= 1 && statuses.count(nCode & 0xFFFFFF) != 0);
}

std::string CodeText(unsigned long nCode)
{
    if (nCode == 0)
        return "0x00000000 (instance unknown)";
    char szText[80];
    std::snprintf(szText, sizeof szText, "0x%08lX (%s %lu%s)", nCode,
                  (nCode >> 24) == 1 ? "HostProc lost:" : "instance removed:", nCode & 0xFFFFFF,
                  IsDefinedCode(nCode) ? "" : " UNDEFINED");
    return szText;
}

enum CallKind { kBlock, kPut, kSmall, kXml, kCallKinds };
const char* const kCallNames[kCallKinds] = {"GetVideoDataBlock 1 MiB", "PutMediaDataBlock 1 MiB", "QueryNumberOfCamDyn",
                                            "GetXml"};

struct Slot {
    std::string strId;     // carries the directive that makes every block 1 MiB
    std::string strProxy;  // the HostProc it shares
    int nPutResult = 0;    // what the test driver answers to our fixed calls
    int nPutCode = 0;
    int nSmallResult = 0;
    std::mutex lock;  // serialises re-adding and the chaos thread's removal
    std::atomic<uint64_t> nEpoch{0};
    std::atomic<bool> bUp{false};
};

class Soak {
public:
    Soak(int nSeconds, bool bMemoryCheck) : m_nSeconds(nSeconds), m_bMemoryCheck(bMemoryCheck) {}
    int Run()
    {
        // 1 MiB blocks are mapped and unmapped each time, so resident memory
        // shows what is really held rather than what the allocator keeps.
        mallopt(M_MMAP_THRESHOLD, 256 * 1024);
        // A sanitizer starts a background thread of its own with the program's
        // first thread; start it now so that it is not counted as the library's.
        std::thread([] {}).join();
        if (!SetUpWorld())
            return 2;
        m_before = Levels();
        k = std::make_unique<Library>(KESTREL_SOAK_LIBRARY);
        if (k->AddDeviceInstance == nullptr || k->RemoveDeviceInstance == nullptr) {
            std::fprintf(stdout, "kestrel-soak: cannot load %s: %s\n", KESTREL_SOAK_LIBRARY, dlerror());
            return 2;
        }
        m_start = Levels();
        for (Slot& slot : m_slots) {
            if (!Recover(slot, 0)) {
                std::fprintf(stdout, "kestrel-soak: cannot add %s\n", slot.strId.c_str());
                return 2;
            }
        }

        m_tStart = Clock::now();
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i)
            threads.emplace_back(&Soak::Worker, this, i);
        std::thread chaos(&Soak::Chaos, this);
        std::thread monitor(&Soak::Monitor, this);
        {
            std::unique_lock<std::mutex> guard(m_stopLock);
            m_stopped.wait_until(guard, m_tStart + std::chrono::seconds(m_nSeconds), [&] { return m_bStop.load(); });
            m_bStop = true;
        }
        m_stopped.notify_all();
        m_resumed.notify_all();
        chaos.join();
        monitor.join();
        // A call hanging on the chaos thread's orders ends at the deadline.
        for (std::thread& thread : threads)
            thread.join();

        const bool bEnded = Finish();
        dlclose(k->handle);
        // A joined thread's task can linger in /proc for a moment after the
        // join returns (the kernel wakes the joiner before it tears the task
        // down); give it that moment, but no more than a second.
        const auto tSettle = Clock::now() + std::chrono::seconds(1);
        while ((m_after = Levels()).nThreads != m_before.nThreads && Clock::now() < tSettle)
            std::this_thread::yield();
        ForEachEntry("/proc/self/task", [&](const std::string& strTask) {
            m_strThreadsAfter += " " + strTask + ":" + FirstLine("/proc/self/task/" + strTask + "/comm");
        });

        const bool bMemoryOk = !m_bMemoryCheck || (m_nRssWarmKiB > 0 && m_nRssEndKiB * 100 <= m_nRssWarmKiB * 105);
        const bool bPassed = bEnded && bMemoryOk && TotalCalls() > 0 && m_nUndefined == 0 && m_nWrong == 0 &&
                             m_nZombies == 0 && m_end == m_start && m_after == m_before;
        Report(bPassed);
        if (bPassed) {
            std::error_code ignored;
            fs::remove_all(m_strRoot, ignored);
        }
        return bPassed ? 0 : 1;
    }

private:
    // What the chaos thread does, in turn, every kChaosMs to a random slot;
    // an action returns whether it hit its target. A new one is a new row.
    const std::vector<std::pair<const char*, std::function<bool(Slot&)>>> m_chaos = {
        {"HostProcs killed",
         [this](Slot& slot) {  // from outside
             const int nPid = HostProcPidOf(slot);
             return nPid > 0 && kill(nPid, SIGKILL) == 0;
         }},
        {"driver crashes", [this](Slot& slot) { return slot.bUp && Control(slot, "td:next crash"); }},
        // The next call hangs until the deadline timer kills the HostProc.
        {"hung calls", [this](Slot& slot) { return slot.bUp && Control(slot, "td:next hang"); }},
        {"removed and re-added", [this](Slot& slot) { return RemoveAndAddAgain(slot); }},
        // Stopped for a while, then let go: its own calls wait, nobody else's.
        {"HostProcs stopped and continued",
         [this](Slot& slot) {
             const int nPid = HostProcPidOf(slot);
             if (nPid <= 0 || kill(nPid, SIGSTOP) != 0)
                 return false;
             {
                 std::unique_lock<std::mutex> guard(m_stopLock);
                 m_stopped.wait_for(guard, std::chrono::milliseconds(kChaosMs), [&] { return m_bStop.load(); });
             }
             return kill(nPid, SIGCONT) == 0;
         }},
        // A driver leaves a helper that holds HostProc's sockets and ignores
        // SIGTERM, then crashes or hangs: the helper hides neither end, and
        // the end of the run finds it gone with its HostProc.
        {"forking drivers crashed",
         [this](Slot& slot) { return slot.bUp && Control(slot, "td:next fork") && Control(slot, "td:next crash"); }},
        {"forking drivers hung",
         [this](Slot& slot) { return slot.bUp && Control(slot, "td:next fork") && Control(slot, "td:next hang"); }},
        // The unload of a removal waits for the hung call (until the
        // deadline ends it); no other instance waits with it.
        {"removed while a call hangs",
         [this](Slot& slot) {
             if (!slot.bUp || !Control(slot, "td:next hang"))
                 return false;
             k->ExecuteCustomCommand(slot.strId.c_str(), "", 0, 0, 0, "td:wait-hung 1");
             return RemoveAndAddAgain(slot);
         }},
    };

    const int m_nSeconds;
    const bool m_bMemoryCheck;
    Slot m_slots[kInstances];
    struct Library : DriverTable {
        using DriverTable::DriverTable;
        int (*AddDeviceInstance)(const char*, const char*, const char*) =
            reinterpret_cast<int (*)(const char*, const char*, const char*)>(dlsym(handle, "AddDeviceInstance"));
        void (*RemoveDeviceInstance)(const char*) =
            reinterpret_cast<void (*)(const char*)>(dlsym(handle, "RemoveDeviceInstance"));
    };
    std::unique_ptr<Library> k;
    std::string m_strRoot;
    std::string m_strMarker;  // in every HostProc argument of this run
    std::string m_strFdsEnd;  // when the end's descriptors differ from the start's
    std::vector<unsigned char> m_pattern, m_putData;

    std::atomic<bool> m_bStop{false};
    // The monitor stops the load once to measure resident memory with no
    // call in flight.
    std::atomic<bool> m_bPause{false};
    int m_nParked = 0;
    std::mutex m_stopLock;
    std::condition_variable m_stopped, m_parked, m_resumed;
    std::atomic<int64_t> m_busySince[kThreads] = {};  // ns, 0 when idle
    std::atomic<int64_t> m_nLongestCallNs{0};

    std::atomic<uint64_t> m_nCalls[kCallKinds] = {}, m_nWrong{0}, m_nUndefined{0}, m_nRecoveries{0}, m_nFailedAdds{0};
    std::vector<std::atomic<uint64_t>> m_nChaos = std::vector<std::atomic<uint64_t>>(m_chaos.size());
    std::atomic<uint64_t> m_nChaosMissed{0};
    std::mutex m_failuresLock;
    std::map<unsigned long, uint64_t> m_failures;

    std::mutex m_watchLock;
    std::map<int, int> m_hostProcs;  // pid -> pidfd
    int m_nZombies = 0;
    std::string m_strDeadlock;

    long m_nRssWarmKiB = -1, m_nRssEndKiB = -1, m_nRssPeakKiB = 0;
    Levels m_before, m_start, m_end, m_after;  // before the load, at start, at the end, after the unload
    std::string m_strThreadsAfter;
    std::vector<int> m_leftHostProcs;
    Clock::time_point m_tStart;

    uint64_t TotalCalls() const { return std::accumulate(std::begin(m_nCalls), std::end(m_nCalls), uint64_t(0)); }

    bool SetUpWorld()
    {
        char szTemplate[] = "/tmp/kestrel-soak-XXXXXX";
        if (mkdtemp(szTemplate) == nullptr)
            return false;
        m_strRoot = szTemplate;
        std::error_code error;
        fs::create_directories(m_strRoot + "/rpc", error);
        fs::permissions(m_strRoot + "/rpc", fs::perms::owner_all, fs::perm_options::replace, error);
        if (error)
            return false;
        for (const auto& [szName, strValue] :
             {std::pair<const char*, std::string>{"KESTREL_RPC_DIR", m_strRoot + "/rpc"},
              {"KESTREL_TEST_DEADLINE_MS", std::to_string(kDeadlineMs)},
              {"KESTREL_TEST_RETRY_MS", "5"},
              {"KESTREL_TEST_TIMER_PERIOD_MS", "20"},
              {"KESTREL_TEST_STOP_STEP_MS", "100"},
              {"KESTREL_TEST_HOSTPROC_IDLE_MS", std::to_string(kIdleMs)},
              {"KESTREL_TEST_HOSTPROC_INITIAL_MS", "5000"},
              {"XDG_CONFIG_DIRS", m_strRoot + "/xdg"},
              {"XDG_STATE_HOME", m_strRoot + "/state"}})
            setenv(szName, strValue.c_str(), 1);

        // Level 1: every failure and removal is logged, as a field install would.
        const fs::path libraryFolder = fs::canonical(KESTREL_SOAK_LIBRARY, error).parent_path();
        const fs::path iniFolder =
            (fs::path(m_strRoot) / "xdg/VideoDeviceDrivers" / libraryFolder.relative_path() / "..").lexically_normal();
        fs::create_directories(iniFolder, error);
        std::ofstream(iniFolder / "Proxies.ini") << "[ProxyLogging]\nLevel=1\n";

        // The library's and the HostProcs' standard error go to the log.
        std::fflush(stderr);
        const int nLog = open((m_strRoot + "/stderr.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (nLog < 0)
            return false;
        dup2(nLog, STDERR_FILENO);
        close(nLog);

        m_strMarker = "soak" + std::to_string(getpid()) + "host";
        m_pattern.resize(kBlockBytes);
        m_putData.resize(kBlockBytes);
        for (size_t i = 0; i < kBlockBytes; ++i) {
            m_pattern[i] = PatternByte(i);
            m_putData[i] = static_cast<unsigned char>(i * 7 + 3);
        }
        // The answers of the test driver are functions of the call's arguments.
        for (int i = 0; i < kInstances; ++i) {
            Slot& slot = m_slots[i];
            slot.strId = "soak" + std::to_string(i) + "#block=" + std::to_string(kBlockBytes);
            slot.strProxy = m_strMarker + std::to_string(i % kHostProcs);
            const std::string strPut =
                Call("PutMediaDataBlock", {Str(slot.strId.c_str()), Int(0), Int(0), Int(0),
                                           Bytes(m_putData.data(), kBlockBytes), Int(kBlockBytes), "&"});
            slot.nPutResult = DefaultResult(strPut);
            slot.nPutCode = OutInt(strPut, "pResultCode");
            slot.nSmallResult = DefaultResult(Call("QueryNumberOfCamDyn", {Str(slot.strId.c_str()), Str("pw")}));
        }
        return true;
    }

    int HostProcPidOf(Slot& slot)
    {
        BSTR bsState = nullptr;
        try {
            k->GetXml(slot.strId.c_str(), "", "", "td:state", &bsState);
        } catch (unsigned long) {
            return 0;
        }
        const std::string strState = Utf16ToUtf8(std::u16string_view(bsState, SysStringLen(bsState)));
        SysFreeString(bsState);
        const size_t nAt = strState.find("pid=");
        return nAt == std::string::npos ? 0 : std::atoi(strState.c_str() + nAt + 4);
    }

    // The application withdraws the instance and announces it again.
    bool RemoveAndAddAgain(Slot& slot)
    {
        {
            std::lock_guard<std::mutex> guard(slot.lock);
            if (!slot.bUp)
                return false;
            slot.bUp = false;
            k->RemoveDeviceInstance(slot.strId.c_str());
            AddAgain(slot, false);
        }
        WatchHostProcOf(slot);
        return true;
    }

    bool Control(Slot& slot, const char* szCommand)
    {
        return k->ExecuteCustomCommand(slot.strId.c_str(), "", 0, 0, 0, szCommand) == 0;
    }

    // Keeps a pidfd of every HostProc seen, so that the end can wait for them.
    void WatchHostProcOf(Slot& slot)
    {
        const int nPid = HostProcPidOf(slot);
        std::lock_guard<std::mutex> guard(m_watchLock);
        if (nPid <= 0 || m_hostProcs.count(nPid) != 0)
            return;
        if (const int hProcess = static_cast<int>(syscall(SYS_pidfd_open, nPid, 0)); hProcess >= 0)
            m_hostProcs[nPid] = hProcess;
    }

    // Adds the slot's instance (its lock held) in a new epoch, backing off
    // between failed attempts as an application would. An add fails while the
    // library still holds a dead HostProc that other instances share, until a
    // call on one of them fails; so, like an application checking its other
    // cameras, it calls those. Up exactly when the add went through, even if
    // the run was stopped meanwhile: the end withdraws every instance that is up.
    bool AddAgain(Slot& slot, bool bWatch)
    {
        slot.bUp = false;
        for (int nAttempt = 1; !m_bStop; ++nAttempt) {
            if (k->AddDeviceInstance(slot.strId.c_str(), TESTDRIVER_PATH, slot.strProxy.c_str()) == 1) {
                if (bWatch)
                    WatchHostProcOf(slot);
                ++slot.nEpoch;
                return slot.bUp = true;
            }
            ++m_nFailedAdds;
            for (Slot& sibling : m_slots) {
                if (&sibling == &slot || sibling.strProxy != slot.strProxy || !sibling.bUp)
                    continue;
                try {
                    k->QueryNumberOfCamDyn(sibling.strId.c_str(), "pw");
                } catch (unsigned long nCode) {
                    Count(nCode);
                }
            }
            std::unique_lock<std::mutex> guard(m_stopLock);
            m_stopped.wait_for(guard, std::chrono::milliseconds(std::min(100, 5 * nAttempt)),
                               [&] { return m_bStop.load(); });
        }
        ++slot.nEpoch;
        return false;
    }

    // Adds the slot's instance again after a failure seen at nEpoch; only the
    // first thread to see a given epoch's failure does it.
    bool Recover(Slot& slot, uint64_t nEpoch)
    {
        std::lock_guard<std::mutex> guard(slot.lock);
        return slot.nEpoch.load() == nEpoch && AddAgain(slot, true);
    }

    // Whether the answer is right; a failed call throws its code.
    bool MakeCall(Slot& slot, CallKind kind)
    {
        const char* szId = slot.strId.c_str();
        if (kind == kBlock) {
            unsigned char* pBlock = nullptr;
            const int nResult = k->GetVideoDataBlock(szId, 0, &pBlock);
            const bool bRight =
                nResult == kBlockBytes && pBlock != nullptr && std::memcmp(pBlock, m_pattern.data(), kBlockBytes) == 0;
            k->DeleteBuffer(pBlock);
            return bRight;
        }
        if (kind == kPut) {
            int nResultCode = 0;
            const int nPut = k->PutMediaDataBlock(szId, 0, 0, 0, m_putData.data(), kBlockBytes, &nResultCode);
            return nPut == slot.nPutResult && nResultCode == slot.nPutCode;
        }
        if (kind == kSmall)
            return k->QueryNumberOfCamDyn(szId, "pw") == slot.nSmallResult;
        BSTR bsXml = nullptr;
        k->GetXml(szId, "user", "pw", "soak", &bsXml);
        const bool bRight = bsXml != nullptr && SysStringLen(bsXml) > 0;
        SysFreeString(bsXml);
        return bRight;
    }

    void Worker(int nIndex)
    {
        std::mt19937 random(static_cast<unsigned>(nIndex) * 2654435761u);
        while (!m_bStop) {
            if (m_bPause) {
                Park();
                continue;
            }
            Slot& slot = m_slots[random() % kInstances];
            const uint64_t nEpoch = slot.nEpoch.load();
            // Weighted: half the calls move a 1 MiB block one way or the other.
            const unsigned nPick = random() % 8;
            const CallKind kind = nPick < 2 ? kBlock : nPick < 4 ? kPut : nPick < 7 ? kSmall : kXml;
            const int64_t nStart = Clock::now().time_since_epoch().count();
            m_busySince[nIndex] = nStart;
            if (!slot.bUp) {
                Recover(slot, nEpoch);
            } else {
                try {
                    if (MakeCall(slot, kind))
                        ++m_nCalls[kind];
                    else if (slot.nEpoch.load() == nEpoch)
                        // A call that started as the instance was being replaced
                        // may meet the new one half set up; only a wrong answer
                        // from a stable instance counts.
                        ++m_nWrong;
                } catch (unsigned long nCode) {
                    Count(nCode);
                    if (Recover(slot, nEpoch))
                        ++m_nRecoveries;
                }
            }
            const int64_t nTook = Clock::now().time_since_epoch().count() - nStart;
            m_busySince[nIndex] = 0;
            int64_t nLongest = m_nLongestCallNs.load();
            while (nTook > nLongest && !m_nLongestCallNs.compare_exchange_weak(nLongest, nTook)) {
            }
        }
    }

    void Count(unsigned long nCode)
    {
        if (!IsDefinedCode(nCode))
            ++m_nUndefined;
        std::lock_guard<std::mutex> guard(m_failuresLock);
        ++m_failures[nCode];
    }

    void Park()
    {
        std::unique_lock<std::mutex> guard(m_stopLock);
        ++m_nParked;
        m_parked.notify_all();
        m_resumed.wait(guard, [&] { return !m_bPause || m_bStop; });
        --m_nParked;
    }

    void Chaos()
    {
        std::mt19937 random(12345);
        for (size_t nAction = 0;;) {
            {
                std::unique_lock<std::mutex> guard(m_stopLock);
                m_stopped.wait_for(guard, std::chrono::milliseconds(kChaosMs), [&] { return m_bStop || m_bPause; });
            }
            if (m_bStop)
                return;
            if (m_bPause) {
                Park();
                continue;
            }
            const size_t nKind = nAction++ % m_chaos.size();  // a park skips no action
            bool bDone = false;
            try {
                bDone = m_chaos[nKind].second(m_slots[random() % kInstances]);
            } catch (unsigned long) {
                // The HostProc went away under the control call: the workers
                // will notice and recover.
            }
            ++(bDone ? m_nChaos[nKind] : m_nChaosMissed);
        }
    }

    // Samples memory, looks for zombies and fails the run when a call is stuck
    // far past anything the deadline allows.
    void Monitor()
    {
        const auto tWarm = m_tStart + std::chrono::seconds(m_nSeconds) / 4;
        bool bWarmTaken = false;
        const int64_t nStuckNs = (int64_t(kDeadlineMs) * 3 + 15000) * 1000000;
        std::map<int, int> zombieSeen;  // pid -> consecutive samples
        for (;;) {
            {
                std::unique_lock<std::mutex> guard(m_stopLock);
                if (m_stopped.wait_for(guard, std::chrono::milliseconds(250), [&] { return m_bStop.load(); }))
                    return;
            }
            m_nRssPeakKiB = std::max(m_nRssPeakKiB, RssKiB());
            if (!bWarmTaken && Clock::now() >= tWarm) {
                // Once every thread has parked, no call is in flight: the
                // level after warm-up that the end is compared with.
                std::unique_lock<std::mutex> guard(m_stopLock);
                m_bPause = true;
                m_stopped.notify_all();  // the chaos thread parks too
                if (m_parked.wait_for(guard, std::chrono::milliseconds(250),
                                      [&] { return m_nParked == kThreads + 1 || m_bStop; })) {
                    guard.unlock();
                    m_nRssWarmKiB = RssWithNothingAdded();
                    for (Slot& slot : m_slots) {
                        std::lock_guard<std::mutex> slotGuard(slot.lock);
                        AddAgain(slot, true);
                    }
                    guard.lock();
                    bWarmTaken = true;
                    m_bPause = false;
                    m_resumed.notify_all();
                }
            }

            // A child exists only for the moment it takes to start a HostProc;
            // one that stays a zombie across two samples was not reaped.
            std::map<int, int> seenNow;
            ForEachEntry("/proc/self/task", [&](const std::string& strTask) {
                std::ifstream in("/proc/self/task/" + strTask + "/children");
                for (int nPid; in >> nPid;)
                    if (ProcessState(nPid) == 'Z' && (seenNow[nPid] = zombieSeen[nPid] + 1) == 2)
                        ++m_nZombies;
            });
            zombieSeen.swap(seenNow);

            const int64_t nNow = Clock::now().time_since_epoch().count();
            for (int i = 0; i < kThreads; ++i) {
                const int64_t nSince = m_busySince[i].load();  // a parked thread is idle: 0
                if (nSince == 0 || nNow - nSince <= nStuckNs)
                    continue;
                m_strDeadlock = "thread " + std::to_string(i) + " stuck in one call for " +
                                std::to_string((nNow - nSince) / 1000000) + " ms";
                // Where everyone stands, when a debugger is at hand.
                const std::string strDump = "gdb -p " + std::to_string(getpid()) +
                                            " -batch -ex 'thread apply all bt' > " + m_strRoot + "/stacks.txt 2>&1";
                if (access("/usr/bin/gdb", X_OK) == 0 && std::system(strDump.c_str()) == 0)
                    m_strDeadlock += ", stacks in " + m_strRoot + "/stacks.txt";
                Report(false);
                std::_Exit(1);
            }
        }
    }

    // Resident memory with every instance withdrawn (so no connection is
    // pooled, whose buffers come and go with HostProc restarts) and the
    // allocator's free pages given back: what is left is what the process
    // holds for good. Both ends of the comparison are taken this way.
    long RssWithNothingAdded()
    {
        for (Slot& slot : m_slots) {
            std::lock_guard<std::mutex> guard(slot.lock);
            if (slot.bUp)
                k->RemoveDeviceInstance(slot.strId.c_str());
            slot.bUp = false;
        }
        malloc_trim(0);
        return RssKiB();
    }

    // Withdraws every instance and waits for each HostProc to end by itself.
    bool Finish()
    {
        m_nRssEndKiB = RssWithNothingAdded();
        const auto tGrace = Clock::now() + std::chrono::milliseconds(kIdleMs + 3000);
        for (const auto& [nPid, hProcess] : m_hostProcs) {
            const auto nLeftMs = std::chrono::duration_cast<std::chrono::milliseconds>(tGrace - Clock::now()).count();
            pollfd entry{hProcess, POLLIN, 0};  // no signal handler here: no EINTR
            if (poll(&entry, 1, static_cast<int>(std::max<int64_t>(0, nLeftMs))) != 1)
                m_leftHostProcs.push_back(nPid);
            close(hProcess);
        }
        // Any HostProc of this run never seen through a pidfd must be gone too.
        ForEachEntry("/proc", [&](const std::string& strEntry) {
            const int nPid = std::atoi(strEntry.c_str());
            std::ifstream in("/proc/" + strEntry + "/cmdline", std::ios::binary);
            const std::string strCmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (nPid > 0 && nPid != getpid() && strCmdline.find(m_strMarker) != std::string::npos &&
                ProcessState(nPid) != 'Z' && std::count(m_leftHostProcs.begin(), m_leftHostProcs.end(), nPid) == 0)
                m_leftHostProcs.push_back(nPid);
        });
        // The library keeps a handle of each HostProc it released until its
        // timer has seen the process end (to reap it, should it be our child);
        // that takes one timer period after the end.
        const auto tSettle = Clock::now() + std::chrono::seconds(2);
        while ((m_end = Levels()).nFds != m_start.nFds && Clock::now() < tSettle)
            std::this_thread::yield();
        if (m_end.nFds != m_start.nFds) {  // what they are, for the report
            ForEachEntry("/proc/self/fd", [&](const std::string& strEntry) {
                char szTarget[256] = {};
                if (readlink(("/proc/self/fd/" + strEntry).c_str(), szTarget, sizeof szTarget - 1) > 0)
                    m_strFdsEnd += " " + strEntry + "=" + szTarget;
            });
        }
        return m_leftHostProcs.empty();
    }

    void Report(bool bPassed)
    {
        const auto nElapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_tStart).count();
        const uint64_t nTotal = TotalCalls();
        uint64_t nFailures = 0;
        std::ostringstream out;
        const auto row = [&](const std::string& strLabel) -> std::ostream& {
            return out << "\n" << strLabel << std::string(strLabel.size() < 21 ? 21 - strLabel.size() : 2, ' ');
        };
        out << "kestrel soak: " << kThreads << " threads over " << kInstances << " instances on " << kHostProcs
            << " HostProcs, " << nElapsed / 1000.0 << " s, deadline " << kDeadlineMs << " ms, chaos every " << kChaosMs
            << " ms";
        row("calls completed") << nTotal << " (" << nTotal * 1000 / std::max<int64_t>(1, nElapsed) << "/s)";
        for (int i = 0; i < kCallKinds; ++i)
            row("  " + std::string(kCallNames[i]) + std::string(24 - std::strlen(kCallNames[i]), ' ')) << m_nCalls[i];
        {
            std::lock_guard<std::mutex> guard(m_failuresLock);
            for (const auto& [nCode, nCount] : m_failures)
                nFailures += nCount;
            row("failures by code") << nFailures;
            for (const auto& [nCode, nCount] : m_failures)
                row("  " + CodeText(nCode)) << nCount;
        }
        row("recoveries (re-adds)") << m_nRecoveries << ", adds that failed and were retried " << m_nFailedAdds;
        row("chaos");
        for (size_t i = 0; i < m_chaos.size(); ++i)
            out << (i > 0 ? ", " : "") << m_nChaos[i] << " " << m_chaos[i].first;
        out << " (" << m_nChaosMissed << " actions missed their target)";
        row("application crashes") << 0;
        row("undefined codes") << m_nUndefined;
        row("wrong answers") << m_nWrong;
        row("deadlocks") << (m_strDeadlock.empty() ? "0" : "1: " + m_strDeadlock) << " (longest call "
                         << m_nLongestCallNs.load() / 1000000 << " ms)";
        row("zombies") << m_nZombies;
        char szMemory[160];
        const double dGrowth =
            m_nRssWarmKiB > 0 ? 100.0 * double(m_nRssEndKiB - m_nRssWarmKiB) / double(m_nRssWarmKiB) : 0;
        std::snprintf(szMemory, sizeof szMemory, "after warm-up %.1f MiB, end %.1f MiB (%+.1f %%), peak %.1f MiB%s",
                      m_nRssWarmKiB / 1024.0, m_nRssEndKiB / 1024.0, dGrowth, m_nRssPeakKiB / 1024.0,
                      m_bMemoryCheck ? "" : " (not checked)");
        row("resident memory") << szMemory;
        for (const auto& [szLabel, pCount] : {std::pair{"descriptors", &Levels::nFds}, {"threads", &Levels::nThreads}})
            row(szLabel) << "before load " << m_before.*pCount << ", start " << m_start.*pCount << ", end "
                         << m_end.*pCount << ", after unload " << m_after.*pCount;
        if (m_after.nThreads != m_before.nThreads)
            out << " (" << m_strThreadsAfter << " )";
        if (!m_strFdsEnd.empty())
            out << "\n  descriptors at the end:" << m_strFdsEnd;
        row("HostProcs") << (m_leftHostProcs.empty() ? "all ended within the idle grace" : "some did not end:");
        for (int nPid : m_leftHostProcs)
            out << " " << nPid;
        if (!bPassed)
            row("log") << m_strRoot << "/stderr.log";
        row("result") << (bPassed ? "PASS" : "FAIL") << "\n";
        const std::string strReport = out.str();
        if (write(STDOUT_FILENO, strReport.data(), strReport.size()) < 0) {
            // Nothing else to tell it to.
        }
    }
};

}  // namespace

int main(int argc, char** argv)
{
    int nSeconds = 10;
    bool bMemoryCheck = true;
    for (int i = 1; i < argc; ++i) {
        const std::string strArg = argv[i];
        char* pEnd = nullptr;
        if (strArg == "--no-memory-check")
            bMemoryCheck = false;
        else if (strArg != "--seconds" || i + 1 == argc || (nSeconds = int(std::strtol(argv[++i], &pEnd, 10))) < 1 ||
                 *pEnd != '\0')
            return std::fprintf(stderr, "usage: kestrel-soak [--seconds N] [--no-memory-check]\n"), 2;
    }
    return Soak(nSeconds, bMemoryCheck).Run();
}
