// kestrel bench: what the proxy costs, side by side with its floors.
//   Kestrel   the call through libKestrel.so, RPC over AF_UNIX, HostProc
//   direct    the same driver loaded into this process (the in-process floor)
//   raw       a socketpair to a thread, and to a forked process: a 64-byte
//             round trip, and a bulk transfer into a fresh new[] buffer (the
//             transport floor); for blocks also to a forked process that
//             sends the driver's own fresh blocks (the floor of any design
//             that keeps the driver in a process of its own)
// Every figure is the median of repeated trials; a trial times a batch of
// calls and divides.
#include "BenchReport.h"
#include "Commands.h"
#include "PerfCounters.h"
#include "RawPeer.h"
#include "Session.h"
#include "Util.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include <sched.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace kestrel_cli {

namespace {

constexpr const char* kBlockGoal = ">= 85 % of raw, two processes, less the driver";
constexpr const char* kBlockShares =
    "Kestrel vs raw for blocks: throughput share of the raw transfer to a thread; \"transport\" leaves out the\n"
    "driver's in-process time (Kestrel minus direct); \"two processes\" is the share of raw between two\n"
    "processes, then the same leaving out the driver's time as it runs in a process of its own beside the\n"
    "transfer (raw with the driver's block minus raw): what the proxy path itself achieves.\n";

struct BenchOptions {
    Target target;
    std::string strOut = "kestrel-bench-out";
    std::string strBlockDriver;
    int nTrials = 15;
    int nPin = -1;  // the CPU the application and its HostProcs run on, or free-running
    bool bQuick = false;
};

// Seconds per operation: nTrials batches after a warm-up, each batch sized
// from the warm-up to last about dTrialSeconds, so that fast calls are timed
// in bulk and slow ones are not repeated needlessly.
template <typename F>
Stats Measure(int nTrials, double dTrialSeconds, F&& operation)
{
    const Clock::time_point warm = Clock::now();
    int nWarm = 0;
    while (nWarm < 3 || (SecondsSince(warm) < dTrialSeconds / 4 && nWarm < 100000)) {
        operation();
        ++nWarm;
    }
    const double dEach = SecondsSince(warm) / nWarm;
    const int nBatch = static_cast<int>(std::clamp(dTrialSeconds / dEach, 1.0, 1e6));
    std::vector<double> samples;
    for (int t = 0; t < nTrials; ++t) {
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < nBatch; ++i)
            operation();
        samples.push_back(SecondsSince(start) / nBatch);
    }
    return Summarise(samples);
}

// Several operations measured trial by trial in turn: a ratio between them
// then compares figures of the same moments, whatever the machine drifts.
std::vector<Stats> MeasureInTurn(int nTrials, double dTrialSeconds,
                                 const std::vector<std::function<void()>>& operations)
{
    std::vector<std::vector<double>> samples(operations.size());
    for (int t = 0; t < nTrials; ++t) {
        for (size_t i = 0; i < operations.size(); ++i)
            samples[i].push_back(Measure(1, dTrialSeconds, operations[i]).dMedian);
    }
    std::vector<Stats> stats;
    for (std::vector<double>& one : samples)
        stats.push_back(Summarise(std::move(one)));
    return stats;
}

class TempWorld {
public:
    TempWorld()
    {
        char szRoot[] = "/tmp/kestrel-bench-XXXXXX";
        if (mkdtemp(szRoot) == nullptr)
            throw Failure{kExitIo, "cannot create a temporary folder"};
        m_strRoot = szRoot;
        const std::string strRpc = m_strRoot + "/rpc";
        const std::string strXdg = m_strRoot + "/xdg";
        mkdir(strRpc.c_str(), 0700);
        mkdir(strXdg.c_str(), 0700);
        // A private socket folder, a configuration folder without
        // Proxies.ini (no trace lines while measuring), and the HostProcs'
        // state folders, all gone with this world.
        setenv("KESTREL_RPC_DIR", strRpc.c_str(), 1);
        setenv("XDG_CONFIG_DIRS", strXdg.c_str(), 1);
        setenv("XDG_STATE_HOME", (m_strRoot + "/state").c_str(), 1);
    }
    ~TempWorld()
    {
        std::error_code error;
        fs::remove_all(m_strRoot, error);
    }
    // Proxies.ini of strLibrary: [HostProc] Confine=szMode (read by the
    // library whenever it starts a HostProc).
    void SetConfine(const std::string& strLibrary, const char* szMode)
    {
        const fs::path folder = fs::path(m_strRoot) / "xdg" / "VideoDeviceDrivers" /
                                fs::canonical(strLibrary).parent_path().relative_path() / "..";
        fs::create_directories(folder.lexically_normal());
        std::ofstream((folder / "Proxies.ini").lexically_normal()) << "[HostProc]\nConfine=" << szMode << "\n";
    }

private:
    std::string m_strRoot;
};

int RunBench(BenchOptions options)
{
    Target& target = options.target;
    target.bDirect = false;
    ResolveDefaults(target);
    const Locations where = FindLocations();
    const std::string strBlockDriver =
        options.strBlockDriver.empty() ? where.strBlockDriver : Absolute(options.strBlockDriver);
    const bool bBlocks = access(strBlockDriver.c_str(), R_OK) == 0;
    MakeFolder(options.strOut);
    const std::string strOut = Absolute(options.strOut);
    const int nTrials = options.bQuick ? 5 : options.nTrials;
    const double dTrial = options.bQuick ? 0.01 : 0.05;
    // Counted runs are separate from the timed trials: opening a counter on
    // every thread takes longer than a call.
    const double dCount = options.bQuick ? 0.05 : 0.4;
    if (options.nPin >= 0) {
        // HostProcs started from here inherit it.
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        CPU_SET(options.nPin, &cpus);
        if (sched_setaffinity(0, sizeof cpus, &cpus) != 0)
            throw Failure{kExitUsage, "--pin " + std::to_string(options.nPin) + ": " + std::strerror(errno)};
    }
    const std::vector<pid_t> self = {getpid()};
    // The simulated camera paces its frames in real time; measure it unpaced.
    setenv("SIMCAM_DETERMINISTIC", "1", 1);
    TempWorld world;

    const std::vector<size_t> sizes = {64 * 1024, 1024 * 1024, 8 * 1024 * 1024};
    std::vector<Row> rows;
    Message("measuring (" + std::to_string(nTrials) + " trials each)...");

    // The transport floor to a thread. The floor to another process is
    // measured in turn with Kestrel, which is set against it.
    auto countPeer = [&](RawPeer& peer) { return CountPerCall(peer.Processes(), dCount, [&] { peer.Call(); }); };
    auto measureRawThread = [&](size_t nReply, Row& row) {
        RawPeer peer(nReply, RawPeer::Kind::Thread);
        row.raw = Measure(nTrials, dTrial, [&] { peer.Call(); });
        row.rawCounts = countPeer(peer);
        row.bHasRaw = true;
    };

    // Through Kestrel and direct, the small call on the shipped driver.
    Row small;
    small.strName = "small call (QueryIsPTZDeviceDyn)";
    measureRawThread(64, small);
    Row smallOff;
    {
        Session session(target);
        session.Add("bench-small", "bench-small");
        // The same call on a HostProc that is not confined.
        world.SetConfine(target.strLibrary, "off");
        session.Add("bench-small-off", "bench-small-off");
        world.SetConfine(target.strLibrary, "on");
        auto pQuery = session.Need(session.Api().QueryIsPTZDeviceDyn, "QueryIsPTZDeviceDyn");
        auto call = [&](const char* szServer) {
            return [&, szServer] {
                session.Guard("QueryIsPTZDeviceDyn", [&] { return pQuery(szServer, target.strPassword.c_str()); });
            };
        };
        // Confined, not confined and raw to a process in turn.
        RawPeer peer(64, RawPeer::Kind::Process);
        const std::vector<Stats> turns =
            MeasureInTurn(nTrials, dTrial, {call("bench-small"), call("bench-small-off"), [&] { peer.Call(); }});
        small.kestrel = turns[0];
        smallOff.kestrel = turns[1];
        small.rawProcess = turns[2];
        small.rawProcessCounts = countPeer(peer);
        small.kestrelCounts = CountPerCall({getpid(), FindHostProc("bench-small")}, dCount, call("bench-small"));
        Target direct = target;
        direct.bDirect = true;
        Session driver(direct);
        auto pDirect = driver.Need(driver.Api().QueryIsPTZDeviceDyn, "QueryIsPTZDeviceDyn");
        auto directCall = [&] { pDirect("bench-small", target.strPassword.c_str()); };
        small.direct = Measure(nTrials, dTrial, directCall);
        small.directCounts = CountPerCall(self, dCount, directCall);
        // Unloaded, so that the unload measured below is a real one.
        session.Unload();
    }
    small.bHasDirect = true;
    // A forwarded call crosses processes, so its goal is set against the
    // round trip between two; the thread's is shown beside it.
    small.strGoal = "<= 1.3 x raw, two processes";
    small.dRatio = small.kestrel.dMedian / small.raw.dMedian;
    small.bMet = small.kestrel.dMedian <= 1.3 * small.rawProcess.dMedian;
    rows.push_back(small);
    smallOff.strName = "small call, Confine=off";
    smallOff.raw = small.raw;
    smallOff.rawProcess = small.rawProcess;
    smallOff.bHasRaw = true;
    smallOff.strGoal = "confined within 5 %";
    smallOff.dRatio = smallOff.kestrel.dMedian / small.raw.dMedian;
    smallOff.bMet = small.kestrel.dMedian <= 1.05 * smallOff.kestrel.dMedian;
    rows.push_back(smallOff);

    // Blocks.
    std::string strBlockSource = "not measured: " + strBlockDriver + " (blocks of a chosen size) is missing";
    for (size_t nSize : sizes) {
        if (bBlocks)
            break;
        Row row;
        row.dBytes = static_cast<double>(nSize);
        row.strName = "GetVideoDataBlock " + FormatBytes(row.dBytes);
        row.strGoal = kBlockGoal;
        row.bMeasured = false;
        rows.push_back(row);
    }
    if (bBlocks) {
        Target blockTarget = target;
        blockTarget.strDriver = strBlockDriver;
        Session session(blockTarget);
        Target directTarget = blockTarget;
        directTarget.bDirect = true;
        Session driver(directTarget);
        auto pGet = session.Need(session.Api().GetVideoDataBlock, "GetVideoDataBlock");
        auto pDirectGet = driver.Need(driver.Api().GetVideoDataBlock, "GetVideoDataBlock");
        auto pDirectDelete = driver.Need(driver.Api().DeleteBuffer, "DeleteBuffer");
        for (size_t nSize : sizes) {
            const std::string strServer = "x#block=" + std::to_string(nSize);
            session.Add(strServer, "bench-blocks");
            size_t nSeen = 0;
            auto viaKestrel = [&] {
                unsigned char* pBlock = nullptr;
                const int n = session.Guard("GetVideoDataBlock", [&] { return pGet(strServer.c_str(), 1, &pBlock); });
                nSeen = static_cast<size_t>(std::max(n, 0));
                session.Api().DeleteBuffer(pBlock);
            };
            viaKestrel();
            if (nSeen == 0)
                throw Failure{kExitDriverFailed, "GetVideoDataBlock handed over no block from " + strBlockDriver};
            const double dBytes = static_cast<double>(nSeen);
            Row row;
            row.dBytes = dBytes;
            row.strName = "GetVideoDataBlock " + FormatBytes(dBytes);
            auto direct = [&] {
                unsigned char* pBlock = nullptr;
                pDirectGet(strServer.c_str(), 1, &pBlock);
                pDirectDelete(pBlock);
            };
            row.direct = Measure(nTrials, dTrial, direct);
            row.directCounts = CountPerCall(self, dCount, direct);
            measureRawThread(nSeen, row);
            {
                RawPeer raw(nSeen, RawPeer::Kind::Process);
                RawPeer driverBlock(nSeen, RawPeer::Kind::Process,
                                    {[&] {
                                         unsigned char* pBlock = nullptr;
                                         pDirectGet(strServer.c_str(), 1, &pBlock);
                                         return pBlock;
                                     },
                                     [&](unsigned char* pBlock) { pDirectDelete(pBlock); }});
                const std::vector<Stats> turns =
                    MeasureInTurn(nTrials, dTrial, {viaKestrel, [&] { raw.Call(); }, [&] { driverBlock.Call(); }});
                row.kestrel = turns[0];
                row.rawProcess = turns[1];
                row.rawDriver = turns[2];
                row.kestrelCounts = CountPerCall({getpid(), FindHostProc("bench-blocks")}, dCount, viaKestrel);
                row.rawProcessCounts = countPeer(raw);
                row.rawDriverCounts = countPeer(driverBlock);
                row.bHasRawDriver = true;
            }
            row.bHasDirect = true;
            row.strGoal = kBlockGoal;
            row.dRatio = row.raw.dMedian / row.kestrel.dMedian;
            const double dTransport = row.kestrel.dMedian - row.direct.dMedian;
            row.dTransportShare = dTransport > 0 ? row.raw.dMedian / dTransport : 1.0;
            // The driver's time beside a transfer is what the driver's block
            // adds to raw between two processes.
            const double dBeside = row.kestrel.dMedian - (row.rawDriver.dMedian - row.rawProcess.dMedian);
            row.dProcessShare = dBeside > 0 ? row.rawProcess.dMedian / dBeside : 1.0;
            row.bMet = row.dProcessShare >= 0.85;
            rows.push_back(row);
            session.Remove(strServer);
        }
        session.Unload();
        strBlockSource = strBlockDriver + ", instance \"x#block=N\" (N pattern bytes per block)";
    }

    // Cold AddDeviceInstance: a new proxy server each time (start HostProc,
    // bind, load the driver).
    {
        // Confined and not in turn, so that drift of the machine hits both.
        Session session(target);
        Module& api = session.Api();
        std::vector<double> samples[2];
        for (int t = 0; t < nTrials; ++t) {
            for (const bool bOff : {false, true}) {
                world.SetConfine(target.strLibrary, bOff ? "off" : "on");
                const std::string strHost = std::string(bOff ? "bench-cold-off-" : "bench-cold-") + std::to_string(t);
                const Clock::time_point start = Clock::now();
                if (api.AddDeviceInstance("bench-cold", target.strDriver.c_str(), strHost.c_str()) != 1)
                    throw Failure{kExitLoad, "AddDeviceInstance failed"};
                samples[bOff].push_back(SecondsSince(start));
                api.RemoveDeviceInstance("bench-cold");
            }
        }
        world.SetConfine(target.strLibrary, "on");
        session.Unload();
        Row row;
        row.strName = "cold AddDeviceInstance";
        row.kestrel = Summarise(samples[0]);
        row.strGoal = "<= 25 ms";
        row.bMet = row.kestrel.dMedian <= 0.025;
        rows.push_back(row);
        Row off;
        off.strName = "cold AddDeviceInstance, Confine=off";
        off.kestrel = Summarise(samples[1]);
        off.strGoal = "confined <= this + 2 ms";
        off.bMet = row.kestrel.dMedian - off.kestrel.dMedian <= 0.002;
        rows.push_back(off);
    }

    // Unloading the library with one instance on a running HostProc.
    {
        std::vector<double> samples;
        bool bAllGone = true;
        for (int t = 0; t < std::max(5, nTrials / 2); ++t) {
            Module module;
            module.Open(target.strLibrary);
            if (module.AddDeviceInstance("bench-unload", target.strDriver.c_str(), "bench-unload") != 1)
                throw Failure{kExitLoad, "AddDeviceInstance failed"};
            module.QueryIsPTZDeviceDyn("bench-unload", target.strPassword.c_str());
            const Clock::time_point start = Clock::now();
            bAllGone = module.Close() && bAllGone;
            samples.push_back(SecondsSince(start));
        }
        Row row;
        row.strName = "library unload (dlclose)";
        row.kestrel = Summarise(samples);
        row.strGoal = "<= 50 ms";
        row.bMet = row.kestrel.dMedian <= 0.050;
        if (!bAllGone)
            row.strNote = "the library stayed mapped after dlclose";
        rows.push_back(row);
    }

    // Console table.
    utsname machine{};
    uname(&machine);
    const unsigned nCores = std::thread::hardware_concurrency();
    std::string strMachine = std::string(machine.sysname) + " " + machine.release + " " + machine.machine + ", " +
                             std::to_string(nCores) + " cores";
    const std::string strPlacement =
        options.nPin >= 0 ? "the application and its HostProc pinned to CPU " + std::to_string(options.nPin)
                          : "free-running (the scheduler places both processes)";
    const std::string strLimits = PerfCounters::Limits();
    std::printf("Kestrel performance report: medians of %d trials (%s)\n", nTrials, strMachine.c_str());
    std::printf("  placement: %s\n", strPlacement.c_str());
    std::printf("  blocks from: %s\n", strBlockSource.c_str());
    std::printf("  small call on: %s\n\n", target.strDriver.c_str());
    std::printf("%-36s %-24s %-24s %-24s %-24s %-24s %-50s %-30s %s\n", "measure", "Kestrel", "direct (in-process)",
                "raw AF_UNIX", "raw, two processes", "raw, driver's block", "Kestrel vs raw", "goal", "");
    for (const Row& row : rows) {
        std::printf("%-36s %-24s %-24s %-24s %-24s %-24s %-50s %-30s %s%s\n", row.strName.c_str(),
                    Cell(row, row.kestrel, true).c_str(), Cell(row, row.direct, row.bHasDirect).c_str(),
                    Cell(row, row.raw, row.bHasRaw).c_str(), Cell(row, row.rawProcess, row.bHasRaw).c_str(),
                    Cell(row, row.rawDriver, row.bHasRawDriver).c_str(), RatioText(row).c_str(), row.strGoal.c_str(),
                    Verdict(row, true).c_str(), row.strNote.empty() ? "" : (" (" + row.strNote + ")").c_str());
    }
    std::printf("\n%s", kBlockShares);
    std::printf("\nPer call, as the kernel counts it over every thread of the application and its HostProc%s:\n%s",
                strLimits.empty() ? "" : (" (" + strLimits + ")").c_str(), CountsTable(rows, false).c_str());

    // Markdown.
    {
        std::ostringstream md;
        md << "# Kestrel performance report\n\n"
           << "Medians of " << nTrials << " trials on " << strMachine << "; " << strPlacement << ".\n\n"
           << "- Blocks from: " << strBlockSource << "\n"
           << "- Small call on: " << target.strDriver << "\n"
           << "- Raw AF_UNIX: a socketpair and a thread in one process; 64-byte round trip, and the block size "
              "received into a fresh `new[]` buffer; \"two processes\": the same with a forked peer; \"driver's "
              "block\": a forked peer sending the driver's fresh blocks\n\n"
           << "| measure | Kestrel | direct (in-process) | raw AF_UNIX | raw, two processes | raw, driver's block | "
              "Kestrel vs raw | goal | |\n"
           << "|---|---|---|---|---|---|---|---|---|\n";
        for (const Row& row : rows)
            md << "| " << row.strName << " | " << Cell(row, row.kestrel, true) << " | "
               << Cell(row, row.direct, row.bHasDirect) << " | " << Cell(row, row.raw, row.bHasRaw) << " | "
               << Cell(row, row.rawProcess, row.bHasRaw) << " | " << Cell(row, row.rawDriver, row.bHasRawDriver)
               << " | " << RatioText(row) << " | " << row.strGoal << " | " << Verdict(row, false)
               << (row.strNote.empty() ? "" : " (" + row.strNote + ")") << " |\n";
        md << "\n"
           << kBlockShares
           << "\nPer call, as the kernel counts it over every thread of the application and its HostProc"
           << (strLimits.empty() ? "" : " (" + strLimits + ")") << ":\n\n"
           << CountsTable(rows, true);
        const std::string strText = md.str();
        WriteFile(strOut + "/bench.md", strText.data(), strText.size());
    }
    // JSON.
    {
        std::ostringstream json;
        json << "{\n  \"machine\": \"" << JsonEscape(strMachine) << "\",\n  \"pinned_cpu\": " << options.nPin
             << ",\n  \"trials\": " << nTrials << ",\n  \"block_source\": \"" << JsonEscape(strBlockSource)
             << "\",\n  \"rows\": [\n";
        for (size_t i = 0; i < rows.size(); ++i) {
            const Row& row = rows[i];
            json << "    {\"name\": \"" << JsonEscape(row.strName) << "\", \"bytes\": " << row.dBytes
                 << ", \"kestrel\": " << JsonStats(row.kestrel);
            if (row.bHasDirect)
                json << ", \"direct\": " << JsonStats(row.direct);
            if (row.bHasRaw)
                json << ", \"raw\": " << JsonStats(row.raw) << ", \"raw_processes\": " << JsonStats(row.rawProcess);
            if (row.bHasRawDriver)
                json << ", \"raw_driver_block\": " << JsonStats(row.rawDriver);
            json << ", \"ratio\": " << row.dRatio;
            if (row.kestrelCounts.dCpu >= 0)
                json << ", \"counts\": {\"kestrel\": " << JsonCounts(row.kestrelCounts)
                     << ", \"direct\": " << JsonCounts(row.directCounts) << ", \"raw\": " << JsonCounts(row.rawCounts)
                     << ", \"raw_processes\": " << JsonCounts(row.rawProcessCounts)
                     << (row.bHasRawDriver ? ", \"raw_driver_block\": " + JsonCounts(row.rawDriverCounts) : "") << "}";
            if (row.dBytes > 0)
                json << ", \"transport_share\": " << row.dTransportShare
                     << ", \"two_process_share\": " << row.dProcessShare;
            json << ", \"goal\": \"" << JsonEscape(row.strGoal)
                 << "\", \"measured\": " << (row.bMeasured ? "true" : "false")
                 << ", \"met\": " << (row.bMet ? "true" : "false") << "}" << (i + 1 < rows.size() ? "," : "") << "\n";
        }
        json << "  ]\n}\n";
        const std::string strText = json.str();
        WriteFile(strOut + "/bench.json", strText.data(), strText.size());
    }
    // Chart.
    std::string strChart = "skipped: gnuplot is not installed";
    if (HaveGnuplot()) {
        std::ostringstream blocks, calls;
        // MB/s of a measure; 0 for one that was not made.
        const auto mbps = [](double dBytes, double dSeconds) { return dSeconds > 0 ? dBytes / dSeconds / 1e6 : 0; };
        for (const Row& row : rows) {
            if (row.dBytes > 0 && row.bMeasured)
                blocks << '"' << FormatBytes(row.dBytes) << "\" " << mbps(row.dBytes, row.kestrel.dMedian) << ' '
                       << mbps(row.dBytes, row.direct.dMedian) << ' ' << mbps(row.dBytes, row.raw.dMedian) << ' '
                       << row.dProcessShare * mbps(row.dBytes, row.rawProcess.dMedian) << ' '
                       << mbps(row.dBytes, row.rawProcess.dMedian) << ' ' << mbps(row.dBytes, row.rawDriver.dMedian)
                       << '\n';
        }
        calls << "\"Kestrel\" " << small.kestrel.dMedian * 1e6 << "\n\"raw, thread\" " << small.raw.dMedian * 1e6
              << "\n\"raw, processes\" " << small.rawProcess.dMedian * 1e6 << "\n\"direct\" "
              << small.direct.dMedian * 1e6 << '\n';
        const std::string strBlocks = blocks.str(), strCalls = calls.str();
        WriteFile(strOut + "/bench-blocks.dat", strBlocks.data(), strBlocks.size());
        WriteFile(strOut + "/bench-calls.dat", strCalls.data(), strCalls.size());
        std::ostringstream gp;
        gp << "set terminal pngcairo noenhanced size 1100,480 font 'sans,10'\n"
           << "set output '" << strOut << "/bench.png'\n"
           << "set multiplot layout 1,2 title 'Kestrel: proxy cost against its floors (medians)'\n"
           << "set style data histograms\nset style histogram clustered gap 1\nset style fill solid 0.8 border -1\n"
           << "set boxwidth 0.9\nset grid ytics\nset key outside bottom center horizontal maxrows 2\n"
           << "set title 'small call (QueryIsPTZDeviceDyn)'\nset ylabel 'microseconds per call'\nset yrange [0:*]\n"
           << "plot '" << strOut
           << "/bench-calls.dat' using 2:xtic(1) title '' lc rgb '#4477aa'\n"
           // The in-process driver is an order of magnitude faster than any transfer.
           << "set title 'GetVideoDataBlock throughput'\nset ylabel 'MB/s (log scale)'\nset logscale y\n"
           << "set yrange [*:*]\n"
           << "plot '" << strOut << "/bench-blocks.dat' using 2:xtic(1) title 'Kestrel' lc rgb '#4477aa', "
           << "'' using 5 title 'Kestrel, less the driver' lc rgb '#66ccee', "
           << "'' using 3 title 'direct' lc rgb '#228833', '' using 4 title 'raw, thread' lc rgb "
              "'#ccbb44', '' using 6 title 'raw, 2 processes' lc rgb '#ee6677', '' using 7 title "
              "\"raw, driver's block\" lc rgb '#aa3377'\n"
           << "unset multiplot\n";
        const std::string strScript = gp.str();
        WriteFile(strOut + "/bench.gp", strScript.data(), strScript.size());
        const std::string strCommand = "gnuplot '" + strOut + "/bench.gp' 2>&1";
        const int nStatus = std::system(strCommand.c_str());
        strChart = nStatus == 0 ? strOut + "/bench.png" : "gnuplot failed (status " + std::to_string(nStatus) + ")";
    }
    std::printf("\nwritten: %s/bench.md, %s/bench.json; chart: %s\n", strOut.c_str(), strOut.c_str(), strChart.c_str());
    return kExitOk;
}

}  // namespace

Runner AddBenchCommand(CLI::App& app)
{
    auto options = std::make_shared<BenchOptions>();
    CLI::App* pCommand = app.add_subcommand(
        "bench",
        "Performance report: a small call and GetVideoDataBlock at 64 KiB, 1 MiB and 8 MiB through Kestrel, on the "
        "driver loaded directly, and over a raw AF_UNIX socketpair; a cold AddDeviceInstance; library unload. "
        "Medians of repeated trials, printed as a table with ratios and goals, written as bench.md, bench.json and "
        "bench.png (gnuplot) into --out. Blocks come from the block driver beside the simulated camera "
        "(libkestrel_blocks.so, instance \"x#block=N\"); a measure that cannot be made is reported as not measured.");
    AddModuleOptions(*pCommand, options->target);
    pCommand->add_option("--password", options->target.strPassword, "password of the small-call driver")
        ->capture_default_str();
    pCommand->add_option("--out", options->strOut, "folder for the report files")->capture_default_str();
    pCommand->add_option("--trials", options->nTrials, "trials per measure")
        ->capture_default_str()
        ->check(CLI::Range(3, 1000));
    pCommand->add_option(
        "--block-driver", options->strBlockDriver,
        "driver that makes blocks of a chosen size for instance \"x#block=N\" (default: libkestrel_blocks.so)");
    pCommand
        ->add_option("--pin", options->nPin,
                     "run the application and its HostProcs on this one CPU: CPU time per call, without the "
                     "cross-CPU wake-ups whose placement makes free-running figures vary")
        ->check(CLI::Range(0, CPU_SETSIZE - 1));
    pCommand->add_flag("--quick", options->bQuick, "fewer trials and shorter batches (a smoke run, figures are rough)");
    return [options] { return RunBench(*options); };
}

}  // namespace kestrel_cli
