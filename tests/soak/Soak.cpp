// kestrel-soak: many application threads hammer libKestrel.so while a chaos
// thread kills HostProcs, crashes drivers, hangs calls past the deadline and
// removes and re-adds instances. The run passes only when the application
// survives, every thrown code is one the library can define, nothing
// deadlocks, memory, descriptors and threads come back to their levels, no
// zombie appears and every HostProc ends within its idle grace.
//
// It loads the test-timing variant of the library (shortened deadline) with
// the test driver, in a private world: its own socket directory and
// configuration folder, standard error in a log file.
//
//   kestrel-soak [--seconds N] [--threads N] [--instances N] [--hostprocs N]
//                [--deadline-ms N] [--chaos-ms N] [--no-memory-check]
//
// Exit status: 0 when every check passed, 1 when one failed, 2 on bad usage
// or when the world could not be set up.
#include "testdriver_protocol.h"

#include <kestrel/driver_exports.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace testdriver;

namespace {

// ---- options ---------------------------------------------------------------

struct Options {
    int nSeconds = 10;
    int nThreads = 64;
    int nInstances = 8;
    int nHostProcs = 2;
    int nDeadlineMs = 3000;
    int nChaosMs = 400;
    int nIdleMs = 1000;
    bool bMemoryCheck = true;
};

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string strArg = argv[i];
        if (strArg == "--no-memory-check") {
            options.bMemoryCheck = false;
            continue;
        }
        const std::map<std::string, int*> numbers = {
            {"--seconds", &options.nSeconds},         {"--threads", &options.nThreads},
            {"--instances", &options.nInstances},     {"--hostprocs", &options.nHostProcs},
            {"--deadline-ms", &options.nDeadlineMs}, {"--chaos-ms", &options.nChaosMs},
        };
        const auto it = numbers.find(strArg);
        if (it == numbers.end() || i + 1 == argc) {
            std::fprintf(stderr, "kestrel-soak: unknown or incomplete option '%s'\n", strArg.c_str());
            return false;
        }
        char* pEnd = nullptr;
        const long nValue = std::strtol(argv[++i], &pEnd, 10);
        if (*pEnd != '\0' || nValue < 1 || nValue > 1000000) {
            std::fprintf(stderr, "kestrel-soak: %s needs a positive number\n", strArg.c_str());
            return false;
        }
        *it->second = static_cast<int>(nValue);
    }
    if (options.nHostProcs > options.nInstances) {
        std::fprintf(stderr, "kestrel-soak: more HostProcs than instances\n");
        return false;
    }
    return true;
}

// ---- the process's own resources -----------------------------------------

// The names of this process's threads, for a report whose counts differ.
std::string ThreadNames()
{
    std::string strNames;
    if (DIR* pDir = opendir("/proc/self/task")) {
        while (dirent* pEntry = readdir(pDir)) {
            if (pEntry->d_name[0] == '.')
                continue;
            std::ifstream in(std::string("/proc/self/task/") + pEntry->d_name + "/comm");
            std::string strName;
            std::getline(in, strName);
            strNames += " " + std::string(pEntry->d_name) + ":" + strName;
        }
        closedir(pDir);
    }
    return strNames;
}

int CountEntries(const char* szFolder)
{
    int nCount = 0;
    if (DIR* pDir = opendir(szFolder)) {
        while (dirent* pEntry = readdir(pDir))
            nCount += pEntry->d_name[0] != '.';
        closedir(pDir);
    }
    return nCount;
}

// A "Name:   value kB" field of /proc/<pid>/status, in KiB; -1 when absent.
long StatusKiB(const std::string& strPid, const char* szField)
{
    std::ifstream in("/proc/" + strPid + "/status");
    for (std::string strLine; std::getline(in, strLine);) {
        if (strLine.rfind(szField, 0) == 0 && strLine[std::strlen(szField)] == ':')
            return std::atol(strLine.c_str() + std::strlen(szField) + 1);
    }
    return -1;
}

// The state letter of a process ('Z' for a zombie), or 0 when it is gone.
char ProcessState(int nPid)
{
    std::ifstream in("/proc/" + std::to_string(nPid) + "/stat");
    std::string strStat;
    std::getline(in, strStat);
    const size_t nParen = strStat.rfind(')');
    return nParen == std::string::npos || nParen + 2 >= strStat.size() ? 0 : strStat[nParen + 2];
}

std::vector<int> Children()
{
    std::vector<int> children;
    if (DIR* pDir = opendir("/proc/self/task")) {
        while (dirent* pEntry = readdir(pDir)) {
            if (pEntry->d_name[0] == '.')
                continue;
            std::ifstream in(std::string("/proc/self/task/") + pEntry->d_name + "/children");
            for (int nPid; in >> nPid;)
                children.push_back(nPid);
        }
        closedir(pDir);
    }
    return children;
}

// Processes of this user whose command line carries szMarker (HostProcs are
// started with "<proxy name>_<endpoint>").
std::vector<int> ProcessesWithArgument(const std::string& strMarker)
{
    std::vector<int> found;
    DIR* pDir = opendir("/proc");
    if (pDir == nullptr)
        return found;
    while (dirent* pEntry = readdir(pDir)) {
        const int nPid = std::atoi(pEntry->d_name);
        if (nPid <= 0 || nPid == getpid())
            continue;
        std::ifstream in(std::string("/proc/") + pEntry->d_name + "/cmdline", std::ios::binary);
        const std::string strCmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (strCmdline.find(strMarker) != std::string::npos && ProcessState(nPid) != 'Z')
            found.push_back(nPid);
    }
    closedir(pDir);
    return found;
}

// ---- the library ----------------------------------------------------------

struct Kestrel {
#define KESTREL_SOAK_POINTER(OP, R, NAME, PARAMS, ARGS) R(*NAME) PARAMS = nullptr;
    KESTREL_FORWARDING_EXPORTS(KESTREL_SOAK_POINTER)
    KESTREL_DRIVER_SERVICE_EXPORTS(KESTREL_SOAK_POINTER)
#undef KESTREL_SOAK_POINTER
    int (*AddDeviceInstance)(const char*, const char*, const char*) = nullptr;
    void (*RemoveDeviceInstance)(const char*) = nullptr;
};

// A code the library may throw: 0 (unknown instance), or class 0x00/0x01
// over a status the runtime defines.
bool IsDefinedCode(unsigned long nCode)
{
    static const std::set<unsigned long> statuses = {6, 14, 1717, 1722, 1726, 1728, 1734, 1745, 1775, 1780, 1783};
    if (nCode == 0)
        return true;
    const unsigned long nClass = nCode >> 24;
    return (nClass == 0x00 || nClass == 0x01) && statuses.count(nCode & 0xFFFFFF) != 0;
}

std::string CodeText(unsigned long nCode)
{
    char szCode[16];
    std::snprintf(szCode, sizeof szCode, "0x%08lX", nCode);
    static const std::map<unsigned long, const char*> names = {
        {6, "context mismatch"},       {14, "out of memory"},     {1717, "unknown interface"},
        {1722, "server unavailable"},  {1726, "call failed"},     {1728, "protocol error"},
        {1734, "invalid bound"},       {1745, "procedure number"}, {1775, "null context"},
        {1780, "null reference"},      {1783, "bad stub data"},
    };
    if (nCode == 0)
        return std::string(szCode) + " (instance unknown)";
    const auto it = names.find(nCode & 0xFFFFFF);
    std::string strText = std::string(szCode) + ((nCode >> 24) == 1 ? " (HostProc lost: " : " (instance removed: ");
    return strText + (it != names.end() ? it->second : "UNDEFINED") + ")";
}

// ---- one run ---------------------------------------------------------------

enum CallKind { kBlock, kPut, kSmall, kXml, kCallKinds };
const char* const kCallNames[kCallKinds] = {"GetVideoDataBlock 1 MiB", "PutMediaDataBlock 1 MiB",
                                            "QueryNumberOfCamDyn", "GetXml"};
constexpr int kBlockBytes = 1 << 20;

struct Slot {
    std::string strId;     // carries the directive that makes every block 1 MiB
    std::string strProxy;  // the HostProc it shares
    int nPutResult = 0;    // what the test driver answers to our fixed calls
    int nPutCode = 0;
    int nSmallResult = 0;
    std::mutex lock;       // serialises re-adding and the chaos thread's removal
    std::atomic<uint64_t> nEpoch{0};
    std::atomic<bool> bUp{false};
};

struct Stats {
    std::atomic<uint64_t> nCalls[kCallKinds] = {};
    std::atomic<uint64_t> nWrong{0};
    std::atomic<uint64_t> nUndefined{0};
    std::atomic<uint64_t> nRecoveries{0};
    std::atomic<uint64_t> nFailedAdds{0};
    std::atomic<uint64_t> nChaos[4] = {};
    std::atomic<uint64_t> nChaosMissed{0};
    std::mutex lock;
    std::map<unsigned long, uint64_t> failures;
};

class Soak {
public:
    explicit Soak(const Options& options) : m_options(options), m_slots(options.nInstances) {}
    int Run();

private:
    bool SetUpWorld();
    bool Load();
    void Worker(int nIndex);
    void Chaos();
    void Monitor();
    bool Recover(Slot& slot, uint64_t nEpoch);
    bool AddAgain(Slot& slot);
    void Park();
    void Count(unsigned long nCode);
    void WatchHostProcOf(Slot& slot);
    int HostProcPidOf(Slot& slot);
    bool MakeCall(Slot& slot, CallKind kind);
    bool Finish();
    long RssWithNothingAdded();
    void Report(bool bPassed);

    Options m_options;
    std::vector<Slot> m_slots;
    Kestrel k;
    void* m_hLibrary = nullptr;
    std::string m_strRoot;
    std::string m_strMarker;  // in every HostProc argument of this run
    std::vector<unsigned char> m_pattern;
    std::vector<unsigned char> m_putData;

    std::atomic<bool> m_bStop{false};
    // The monitor stops the load now and then to measure resident memory
    // with no call in flight.
    std::atomic<bool> m_bPause{false};
    int m_nParked = 0;
    std::condition_variable m_parked;
    std::condition_variable m_resumed;
    std::mutex m_stopLock;
    std::condition_variable m_stopped;
    std::vector<std::unique_ptr<std::atomic<int64_t>>> m_busySince;  // ns, 0 when idle
    std::atomic<int64_t> m_nLongestCallNs{0};
    Stats m_stats;

    std::mutex m_watchLock;
    std::map<int, int> m_hostProcs;  // pid -> pidfd
    int m_nZombies = 0;
    bool m_bDeadlock = false;
    std::string m_strDeadlock;

    long m_nRssWarmKiB = -1;
    long m_nRssEndKiB = -1;
    long m_nRssPeakKiB = 0;
    int m_nFdsBefore = 0, m_nFdsStart = 0, m_nFdsEnd = 0, m_nFdsAfter = 0;
    int m_nThreadsBefore = 0, m_nThreadsStart = 0, m_nThreadsEnd = 0, m_nThreadsAfter = 0;
    std::string m_strThreadsAfter;
    std::vector<int> m_leftHostProcs;
    bool m_bEndedInGrace = true;
    Clock::time_point m_tStart;
};

bool Soak::SetUpWorld()
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
    setenv("KESTREL_RPC_DIR", (m_strRoot + "/rpc").c_str(), 1);
    // The HostProcs' state folders go with this world.
    setenv("XDG_STATE_HOME", (m_strRoot + "/state").c_str(), 1);
    setenv("KESTREL_TEST_DEADLINE_MS", std::to_string(m_options.nDeadlineMs).c_str(), 1);
    setenv("KESTREL_TEST_RETRY_MS", "5", 1);
    setenv("KESTREL_TEST_TIMER_PERIOD_MS", "20", 1);
    setenv("KESTREL_TEST_STOP_STEP_MS", "100", 1);
    setenv("KESTREL_TEST_HOSTPROC_IDLE_MS", std::to_string(m_options.nIdleMs).c_str(), 1);
    setenv("KESTREL_TEST_HOSTPROC_INITIAL_MS", "5000", 1);

    // Level 1: every failure and removal is logged, as a field install would.
    const std::string strXdg = m_strRoot + "/xdg";
    setenv("XDG_CONFIG_DIRS", strXdg.c_str(), 1);
    const fs::path libraryFolder = fs::canonical(KESTREL_SOAK_LIBRARY, error).parent_path();
    const fs::path iniFolder =
        (fs::path(strXdg) / "VideoDeviceDrivers" / libraryFolder.relative_path() / "..").lexically_normal();
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
    for (int i = 0; i < m_options.nInstances; ++i) {
        Slot& slot = m_slots[static_cast<size_t>(i)];
        slot.strId = "soak" + std::to_string(i) + "#block=" + std::to_string(kBlockBytes);
        slot.strProxy = m_strMarker + std::to_string(i % m_options.nHostProcs);
    }
    m_pattern.resize(kBlockBytes);
    for (size_t i = 0; i < m_pattern.size(); ++i)
        m_pattern[i] = PatternByte(i);
    m_putData.resize(kBlockBytes);
    for (size_t i = 0; i < m_putData.size(); ++i)
        m_putData[i] = static_cast<unsigned char>(i * 7 + 3);
    // The answers of the test driver are functions of the call's arguments.
    int nCode = 0;
    for (Slot& slot : m_slots) {
        const std::string strPut = Call("PutMediaDataBlock",
                                        {Str(slot.strId.c_str()), Int(0), Int(0), Int(0),
                                         Bytes(m_putData.data(), kBlockBytes), Int(kBlockBytes), Out(&nCode)});
        slot.nPutResult = DefaultResult(strPut);
        slot.nPutCode = OutInt(strPut, "pResultCode");
        slot.nSmallResult = DefaultResult(Call("QueryNumberOfCamDyn", {Str(slot.strId.c_str()), Str("pw")}));
    }
    return true;
}

bool Soak::Load()
{
    m_nFdsBefore = CountEntries("/proc/self/fd");
    m_nThreadsBefore = CountEntries("/proc/self/task");
    m_hLibrary = dlopen(KESTREL_SOAK_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (m_hLibrary == nullptr)
        return false;
#define KESTREL_SOAK_RESOLVE(OP, R, NAME, PARAMS, ARGS) k.NAME = reinterpret_cast<R(*) PARAMS>(dlsym(m_hLibrary, #NAME));
    KESTREL_FORWARDING_EXPORTS(KESTREL_SOAK_RESOLVE)
    KESTREL_DRIVER_SERVICE_EXPORTS(KESTREL_SOAK_RESOLVE)
#undef KESTREL_SOAK_RESOLVE
    k.AddDeviceInstance = reinterpret_cast<decltype(k.AddDeviceInstance)>(dlsym(m_hLibrary, "AddDeviceInstance"));
    k.RemoveDeviceInstance =
        reinterpret_cast<decltype(k.RemoveDeviceInstance)>(dlsym(m_hLibrary, "RemoveDeviceInstance"));
    return k.AddDeviceInstance != nullptr && k.RemoveDeviceInstance != nullptr;
}

int Soak::HostProcPidOf(Slot& slot)
{
    BSTR bsState = nullptr;
    try {
        k.GetXml(slot.strId.c_str(), "", "", "td:state", &bsState);
    } catch (unsigned long) {
        return 0;
    }
    std::string strState;
    for (const OLECHAR* p = bsState; p != nullptr && *p != 0; ++p)
        strState.push_back(static_cast<char>(*p));
    SysFreeString(bsState);
    const size_t nAt = strState.find("pid=");
    return nAt == std::string::npos ? 0 : std::atoi(strState.c_str() + nAt + 4);
}

// Keeps a pidfd of every HostProc seen, so that the end can wait for them.
void Soak::WatchHostProcOf(Slot& slot)
{
    const int nPid = HostProcPidOf(slot);
    if (nPid <= 0)
        return;
    std::lock_guard<std::mutex> guard(m_watchLock);
    if (m_hostProcs.count(nPid) != 0)
        return;
    const int hProcess = static_cast<int>(syscall(SYS_pidfd_open, nPid, 0));
    if (hProcess >= 0)
        m_hostProcs[nPid] = hProcess;
}

// Adds the slot's instance, backing off between failed attempts as an
// application would. An add fails while the library still holds a dead
// HostProc that other instances share, until a call on one of them fails;
// so, like an application checking its other cameras, it calls those.
bool Soak::AddAgain(Slot& slot)
{
    for (int nAttempt = 1; !m_bStop; ++nAttempt) {
        if (k.AddDeviceInstance(slot.strId.c_str(), TESTDRIVER_PATH, slot.strProxy.c_str()) == 1)
            return true;
        ++m_stats.nFailedAdds;
        for (Slot& sibling : m_slots) {
            if (&sibling == &slot || sibling.strProxy != slot.strProxy || !sibling.bUp)
                continue;
            try {
                k.QueryNumberOfCamDyn(sibling.strId.c_str(), "pw");
            } catch (unsigned long nCode) {
                Count(nCode);
            }
        }
        std::unique_lock<std::mutex> guard(m_stopLock);
        m_stopped.wait_for(guard, std::chrono::milliseconds(std::min(100, 5 * nAttempt)), [&] { return m_bStop.load(); });
    }
    return false;
}

// Adds the slot's instance again after a failure seen at nEpoch; only the
// first thread to see a given epoch's failure does it.
bool Soak::Recover(Slot& slot, uint64_t nEpoch)
{
    std::lock_guard<std::mutex> guard(slot.lock);
    if (slot.nEpoch.load() != nEpoch)
        return false;
    slot.bUp = false;
    if (!AddAgain(slot))
        return false;
    WatchHostProcOf(slot);
    ++slot.nEpoch;
    slot.bUp = true;
    return true;
}

// Whether the answer is right; a failed call throws its code.
bool Soak::MakeCall(Slot& slot, CallKind kind)
{
    switch (kind) {
    case kBlock: {
        unsigned char* pBlock = nullptr;
        const int nResult = k.GetVideoDataBlock(slot.strId.c_str(), 0, &pBlock);
        const bool bRight = nResult == kBlockBytes && pBlock != nullptr &&
                            std::memcmp(pBlock, m_pattern.data(), kBlockBytes) == 0;
        k.DeleteBuffer(pBlock);
        return bRight;
    }
    case kPut: {
        int nResultCode = 0;
        const int nResult = k.PutMediaDataBlock(slot.strId.c_str(), 0, 0, 0, m_putData.data(), kBlockBytes,
                                                &nResultCode);
        return nResult == slot.nPutResult && nResultCode == slot.nPutCode;
    }
    case kSmall:
        return k.QueryNumberOfCamDyn(slot.strId.c_str(), "pw") == slot.nSmallResult;
    case kXml: {
        BSTR bsXml = nullptr;
        k.GetXml(slot.strId.c_str(), "user", "pw", "soak", &bsXml);
        const bool bRight = bsXml != nullptr && SysStringLen(bsXml) > 0;
        SysFreeString(bsXml);
        return bRight;
    }
    default:
        return false;
    }
}

void Soak::Worker(int nIndex)
{
    std::mt19937 random(static_cast<unsigned>(nIndex) * 2654435761u);
    std::atomic<int64_t>& busySince = *m_busySince[static_cast<size_t>(nIndex)];
    while (!m_bStop) {
        if (m_bPause) {
            Park();
            continue;
        }
        Slot& slot = m_slots[random() % m_slots.size()];
        const uint64_t nEpoch = slot.nEpoch.load();
        // Weighted: half the calls move a 1 MiB block one way or the other.
        const unsigned nPick = random() % 8;
        const CallKind kind = nPick < 2 ? kBlock : nPick < 4 ? kPut : nPick < 7 ? kSmall : kXml;
        const int64_t nStart = Clock::now().time_since_epoch().count();
        busySince = nStart;
        if (!slot.bUp) {
            Recover(slot, nEpoch);
        } else {
            try {
                if (MakeCall(slot, kind)) {
                    ++m_stats.nCalls[kind];
                } else if (slot.nEpoch.load() == nEpoch) {
                    // A call that started as the instance was being
                    // replaced may meet the new one half set up; only a
                    // wrong answer from a stable instance counts.
                    ++m_stats.nWrong;
                }
            } catch (unsigned long nCode) {
                Count(nCode);
                if (Recover(slot, nEpoch))
                    ++m_stats.nRecoveries;
            }
        }
        const int64_t nTook = Clock::now().time_since_epoch().count() - nStart;
        busySince = 0;
        int64_t nLongest = m_nLongestCallNs.load();
        while (nTook > nLongest && !m_nLongestCallNs.compare_exchange_weak(nLongest, nTook)) {
        }
    }
}

void Soak::Count(unsigned long nCode)
{
    if (!IsDefinedCode(nCode))
        ++m_stats.nUndefined;
    std::lock_guard<std::mutex> guard(m_stats.lock);
    ++m_stats.failures[nCode];
}

void Soak::Park()
{
    std::unique_lock<std::mutex> guard(m_stopLock);
    ++m_nParked;
    m_parked.notify_all();
    m_resumed.wait(guard, [&] { return !m_bPause || m_bStop; });
    --m_nParked;
}

void Soak::Chaos()
{
    std::mt19937 random(12345);
    for (unsigned nAction = 0;; ++nAction) {
        {
            std::unique_lock<std::mutex> guard(m_stopLock);
            m_stopped.wait_for(guard, std::chrono::milliseconds(m_options.nChaosMs),
                               [&] { return m_bStop || m_bPause; });
        }
        if (m_bStop)
            return;
        if (m_bPause) {
            Park();
            continue;
        }
        Slot& slot = m_slots[random() % m_slots.size()];
        const unsigned nKind = nAction % 4;
        bool bDone = false;
        try {
            switch (nKind) {
            case 0: {  // the HostProc is killed from outside
                const int nPid = HostProcPidOf(slot);
                bDone = nPid > 0 && kill(nPid, SIGKILL) == 0;
                break;
            }
            case 1:  // the driver crashes in the next call
                bDone = slot.bUp && k.ExecuteCustomCommand(slot.strId.c_str(), "", 0, 0, 0, "td:next crash") == 0;
                break;
            case 2:  // the next call hangs until the deadline timer kills
                bDone = slot.bUp && k.ExecuteCustomCommand(slot.strId.c_str(), "", 0, 0, 0, "td:next hang") == 0;
                break;
            case 3: {  // the application withdraws and announces it again
                std::lock_guard<std::mutex> guard(slot.lock);
                if (!slot.bUp)
                    break;
                slot.bUp = false;
                k.RemoveDeviceInstance(slot.strId.c_str());
                // Up exactly when the add went through, even if the run was
                // stopped meanwhile: the end withdraws every instance that is up.
                slot.bUp = AddAgain(slot);
                ++slot.nEpoch;
                bDone = true;
                break;
            }
            }
        } catch (unsigned long) {
            // The HostProc went away under the control call: the workers
            // will notice and recover.
        }
        ++(bDone ? m_stats.nChaos[nKind] : m_stats.nChaosMissed);
        if (nKind == 3 && bDone)
            WatchHostProcOf(slot);
    }
}

// Samples memory, looks for zombies and fails the run when a call is stuck
// far past anything the deadline allows.
void Soak::Monitor()
{
    const auto tWarm = m_tStart + std::chrono::seconds(m_options.nSeconds) / 4;
    bool bWarmTaken = false;
    const int64_t nStuckNs = (int64_t(m_options.nDeadlineMs) * 3 + 15000) * 1000000;
    std::map<int, int> zombieSeen;  // pid -> consecutive samples
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(m_stopLock);
            if (m_stopped.wait_for(guard, std::chrono::milliseconds(250), [&] { return m_bStop.load(); }))
                return;
        }
        m_nRssPeakKiB = std::max(m_nRssPeakKiB, StatusKiB("self", "VmRSS"));
        if (!bWarmTaken && Clock::now() >= tWarm) {
            // Once every thread has parked, no call is in flight: the
            // level after warm-up that the end is compared with.
            std::unique_lock<std::mutex> guard(m_stopLock);
            m_bPause = true;
            m_stopped.notify_all();  // the chaos thread parks too
            if (m_parked.wait_for(guard, std::chrono::milliseconds(250),
                                  [&] { return m_nParked == m_options.nThreads + 1 || m_bStop; })) {
                guard.unlock();
                m_nRssWarmKiB = RssWithNothingAdded();
                for (Slot& slot : m_slots) {
                    std::lock_guard<std::mutex> slotGuard(slot.lock);
                    slot.bUp = AddAgain(slot);
                    if (slot.bUp)
                        WatchHostProcOf(slot);
                    ++slot.nEpoch;
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
        for (int nPid : Children()) {
            if (ProcessState(nPid) == 'Z' && (seenNow[nPid] = zombieSeen[nPid] + 1) == 2)
                ++m_nZombies;
        }
        zombieSeen.swap(seenNow);

        const int64_t nNow = Clock::now().time_since_epoch().count();
        for (size_t i = 0; i < m_busySince.size(); ++i) {
            const int64_t nSince = m_busySince[i]->load();
            // (A parked thread is idle: busySince is 0.)
            if (nSince != 0 && nNow - nSince > nStuckNs) {
                m_bDeadlock = true;
                m_strDeadlock = "thread " + std::to_string(i) + " stuck in one call for " +
                                std::to_string((nNow - nSince) / 1000000) + " ms";
                // Where everyone stands, when a debugger is at hand.
                const std::string strDump = "gdb -p " + std::to_string(getpid()) +
                                            " -batch -ex 'thread apply all bt' > " + m_strRoot +
                                            "/stacks.txt 2>&1";
                if (access("/usr/bin/gdb", X_OK) == 0 && std::system(strDump.c_str()) == 0)
                    m_strDeadlock += ", stacks in " + m_strRoot + "/stacks.txt";
                Report(false);
                std::_Exit(1);
            }
        }
    }
}

// Resident memory with every instance withdrawn (so no connection is
// pooled, whose buffers come and go with HostProc restarts) and the
// allocator's free pages given back: what is left is what the process
// holds for good. Both ends of the comparison are taken this way.
long Soak::RssWithNothingAdded()
{
    for (Slot& slot : m_slots) {
        std::lock_guard<std::mutex> guard(slot.lock);
        if (slot.bUp)
            k.RemoveDeviceInstance(slot.strId.c_str());
        slot.bUp = false;
    }
    malloc_trim(0);
    return StatusKiB("self", "VmRSS");
}

// Withdraws every instance and waits for each HostProc to end by itself.
bool Soak::Finish()
{
    m_nRssEndKiB = RssWithNothingAdded();
    const int nGraceMs = m_options.nIdleMs + 3000;
    const auto tGrace = Clock::now() + std::chrono::milliseconds(nGraceMs);
    for (const auto& [nPid, hProcess] : m_hostProcs) {
        const int nLeftMs = static_cast<int>(std::max<int64_t>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(tGrace - Clock::now()).count()));
        pollfd entry{hProcess, POLLIN, 0};
        int nReady;
        while ((nReady = poll(&entry, 1, nLeftMs)) < 0 && errno == EINTR) {
        }
        if (nReady != 1) {
            m_bEndedInGrace = false;
            m_leftHostProcs.push_back(nPid);
        }
        close(hProcess);
    }
    m_hostProcs.clear();
    // Any HostProc of this run never seen through a pidfd must be gone too.
    for (int nPid : ProcessesWithArgument(m_strMarker)) {
        if (std::find(m_leftHostProcs.begin(), m_leftHostProcs.end(), nPid) == m_leftHostProcs.end())
            m_leftHostProcs.push_back(nPid);
        m_bEndedInGrace = false;
    }
    // The library keeps a handle of each HostProc it released until its
    // timer has seen the process end (to reap it, should it be our child);
    // that takes one timer period after the end.
    const auto tSettle = Clock::now() + std::chrono::seconds(2);
    while ((m_nFdsEnd = CountEntries("/proc/self/fd")) != m_nFdsStart && Clock::now() < tSettle)
        std::this_thread::yield();
    m_nThreadsEnd = CountEntries("/proc/self/task");
    return m_bEndedInGrace;
}

void Soak::Report(bool bPassed)
{
    std::ostringstream out;
    const auto nElapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_tStart).count();
    uint64_t nTotal = 0;
    for (auto& n : m_stats.nCalls)
        nTotal += n;
    out << "kestrel soak: " << m_options.nThreads << " threads over " << m_options.nInstances << " instances on "
        << m_options.nHostProcs << " HostProcs, " << nElapsed / 1000.0 << " s, deadline " << m_options.nDeadlineMs
        << " ms, chaos every " << m_options.nChaosMs << " ms\n";
    out << "calls completed      " << nTotal << " (" << static_cast<uint64_t>(nTotal * 1000 / std::max<int64_t>(1, nElapsed))
        << "/s)\n";
    for (int i = 0; i < kCallKinds; ++i)
        out << "  " << kCallNames[i] << std::string(26 - std::strlen(kCallNames[i]), ' ') << m_stats.nCalls[i] << "\n";
    uint64_t nFailures = 0;
    {
        std::lock_guard<std::mutex> guard(m_stats.lock);
        for (const auto& [nCode, nCount] : m_stats.failures)
            nFailures += nCount;
        out << "failures by code     " << nFailures << "\n";
        for (const auto& [nCode, nCount] : m_stats.failures)
            out << "  " << CodeText(nCode) << "  " << nCount << "\n";
    }
    out << "recoveries (re-adds) " << m_stats.nRecoveries << ", adds that failed and were retried "
        << m_stats.nFailedAdds << "\n";
    out << "chaos                " << m_stats.nChaos[0] << " HostProcs killed, " << m_stats.nChaos[1]
        << " driver crashes, " << m_stats.nChaos[2] << " hung calls, " << m_stats.nChaos[3]
        << " removed and re-added (" << m_stats.nChaosMissed << " actions missed their target)\n";
    out << "application crashes  0\n";
    out << "undefined codes      " << m_stats.nUndefined << "\n";
    out << "wrong answers        " << m_stats.nWrong << "\n";
    out << "deadlocks            " << (m_bDeadlock ? "1: " + m_strDeadlock : std::string("0")) << " (longest call "
        << m_nLongestCallNs.load() / 1000000 << " ms)\n";
    out << "zombies              " << m_nZombies << "\n";
    char szMemory[160];
    const double dGrowth = m_nRssWarmKiB > 0 ? 100.0 * double(m_nRssEndKiB - m_nRssWarmKiB) / double(m_nRssWarmKiB) : 0;
    std::snprintf(szMemory, sizeof szMemory, "after warm-up %.1f MiB, end %.1f MiB (%+.1f %%), peak %.1f MiB%s",
                  m_nRssWarmKiB / 1024.0, m_nRssEndKiB / 1024.0, dGrowth, m_nRssPeakKiB / 1024.0,
                  m_options.bMemoryCheck ? "" : " (not checked)");
    out << "resident memory      " << szMemory << "\n";
    out << "descriptors          before load " << m_nFdsBefore << ", start " << m_nFdsStart << ", end " << m_nFdsEnd
        << ", after unload " << m_nFdsAfter << "\n";
    out << "threads              before load " << m_nThreadsBefore << ", start " << m_nThreadsStart << ", end "
        << m_nThreadsEnd << ", after unload " << m_nThreadsAfter
        << (m_nThreadsAfter != m_nThreadsBefore ? " (" + m_strThreadsAfter + " )" : std::string()) << "\n";
    out << "HostProcs            " << (m_bEndedInGrace ? "all ended within the idle grace" : "some did not end:");
    for (int nPid : m_leftHostProcs)
        out << " " << nPid;
    out << "\n";
    if (!bPassed)
        out << "log                  " << m_strRoot << "/stderr.log\n";
    out << "result               " << (bPassed ? "PASS" : "FAIL") << "\n";
    const std::string strReport = out.str();
    if (write(STDOUT_FILENO, strReport.data(), strReport.size()) < 0) {
        // Nothing else to tell it to.
    }
}

int Soak::Run()
{
    // 1 MiB blocks are mapped and unmapped each time, so resident memory
    // shows what is really held rather than what the allocator keeps.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    // A sanitizer starts a background thread of its own with the program's
    // first thread; start it now so that it is not counted as the library's.
    std::thread([] {}).join();
    if (!SetUpWorld() || !Load()) {
        std::fprintf(stdout, "kestrel-soak: cannot set up: %s\n", dlerror());
        return 2;
    }
    m_nFdsStart = CountEntries("/proc/self/fd");
    m_nThreadsStart = CountEntries("/proc/self/task");
    for (Slot& slot : m_slots) {
        if (!Recover(slot, 0)) {
            std::fprintf(stdout, "kestrel-soak: cannot add %s\n", slot.strId.c_str());
            return 2;
        }
    }

    m_tStart = Clock::now();
    for (int i = 0; i < m_options.nThreads; ++i)
        m_busySince.push_back(std::make_unique<std::atomic<int64_t>>(0));
    std::vector<std::thread> threads;
    for (int i = 0; i < m_options.nThreads; ++i)
        threads.emplace_back(&Soak::Worker, this, i);
    std::thread chaos(&Soak::Chaos, this);
    std::thread monitor(&Soak::Monitor, this);
    {
        std::unique_lock<std::mutex> guard(m_stopLock);
        m_stopped.wait_until(guard, m_tStart + std::chrono::seconds(m_options.nSeconds), [&] { return m_bStop.load(); });
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
    dlclose(m_hLibrary);
    m_nFdsAfter = CountEntries("/proc/self/fd");
    // A joined thread's task can linger in /proc for a moment after the
    // join returns (the kernel wakes the joiner before it tears the task
    // down); give it that moment, but no more than a second.
    const auto tSettle = Clock::now() + std::chrono::seconds(1);
    while ((m_nThreadsAfter = CountEntries("/proc/self/task")) != m_nThreadsBefore && Clock::now() < tSettle)
        std::this_thread::yield();
    m_strThreadsAfter = ThreadNames();

    uint64_t nTotal = 0;
    for (auto& n : m_stats.nCalls)
        nTotal += n;
    const bool bMemoryOk = !m_options.bMemoryCheck || (m_nRssWarmKiB > 0 && m_nRssEndKiB * 100 <= m_nRssWarmKiB * 105);
    const bool bPassed = bEnded && bMemoryOk && nTotal > 0 && m_stats.nUndefined == 0 && m_stats.nWrong == 0 &&
                         m_nZombies == 0 && !m_bDeadlock && m_nFdsEnd == m_nFdsStart &&
                         m_nThreadsEnd == m_nThreadsStart && m_nFdsAfter == m_nFdsBefore &&
                         m_nThreadsAfter == m_nThreadsBefore;
    Report(bPassed);
    if (bPassed) {
        std::error_code ignored;
        fs::remove_all(m_strRoot, ignored);
    }
    return bPassed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options))
        return 2;
    return Soak(options).Run();
}
