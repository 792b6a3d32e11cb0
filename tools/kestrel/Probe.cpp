// kestrel probe: what a driver offers and how it answers, as a table a
// driver author can act on. Calls go through libKestrel.so by default, so a
// driver that crashes on one of them costs only its HostProc and the probe
// goes on.
#include "Commands.h"
#include "Device.h"
#include "ProbeElf.h"
#include "Results.h"
#include "Util.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

#include <unistd.h>

#include "confine/Settings.h"

namespace fs = std::filesystem;

namespace kestrel_cli {

namespace {

struct ProbeOptions {
    Target target;
    std::string strDriverFile;
};

struct Row {
    std::string strCall;
    std::string strAnswer;
    double dSeconds = 0;
    std::optional<unsigned long> nThrown;
};

class Prober {
public:
    explicit Prober(Session& session) : m_session(session) {}

    // Runs one call, timing it; a thrown code is recorded and the instance
    // added again so that the probe can go on.
    template <typename F>
    Row Call(const std::string& strCall, F&& call)
    {
        Row row{strCall, {}, 0, std::nullopt};
        const Clock::time_point start = Clock::now();
        try {
            row.strAnswer = call();
            row.dSeconds = SecondsSince(start);
        } catch (unsigned long nCode) {
            Thrown(row, start, nCode, strCall + " threw " + DescribeCode(nCode));
        } catch (const Failure& failure) {
            if (failure.nExitCode != kExitThrown)
                throw;
            Thrown(row, start, failure.nThrownCode, failure.strMessage);
        }
        return row;
    }

    const std::vector<std::string>& Thrown() const { return m_thrown; }

private:
    void Thrown(Row& row, Clock::time_point start, unsigned long nCode, const std::string& strWhat)
    {
        row.dSeconds = SecondsSince(start);
        row.nThrown = nCode;
        row.strAnswer = "threw " + CodeInWords(nCode);
        m_thrown.push_back(strWhat);
        m_session.Remove(m_session.Options().strServer);
        m_session.Add();
    }

    Session& m_session;
    std::vector<std::string> m_thrown;
};

std::string Join(const std::vector<std::string>& items, size_t nMax)
{
    std::string strText;
    for (size_t i = 0; i < items.size() && i < nMax; ++i)
        strText += (i ? ", " : "") + items[i];
    if (items.size() > nMax)
        strText += ", ... (" + std::to_string(items.size() - nMax) + " more)";
    return strText;
}

// HostProc's own account of its confinement and of each access it refused,
// appended to a file this probe names in $KESTREL_CONFINE_REPORT before the
// library starts HostProc.
class ConfinementReport {
public:
    ConfinementReport()
    {
        char szPath[] = "/tmp/kestrel-probe-XXXXXX";
        const int hFile = mkstemp(szPath);
        if (hFile < 0)
            return;
        close(hFile);
        m_strPath = szPath;
        setenv(confine::kReportVariable, szPath, 1);
    }
    ~ConfinementReport()
    {
        if (!m_strPath.empty())
            unlink(m_strPath.c_str());
        unsetenv(confine::kReportVariable);
    }
    ConfinementReport(const ConfinementReport&) = delete;
    ConfinementReport& operator=(const ConfinementReport&) = delete;

    // Prints what HostProc said; adds findings about it.
    void Print(std::vector<std::string>& findings) const
    {
        std::istringstream lines(m_strPath.empty() ? "" : ReadFile(m_strPath));
        std::map<std::string, int> refused;
        std::string strState;
        int nRefused = 0;
        for (std::string strLine; std::getline(lines, strLine);) {
            if (strLine.rfind("refused: ", 0) == 0) {
                ++refused[strLine.substr(9)];
                ++nRefused;
            } else {
                std::printf("  %s\n", strLine.c_str());
                if (strLine.find("confined") != std::string::npos)
                    strState = strLine;
            }
        }
        if (strState.empty())
            std::printf("  HostProc said nothing about its confinement\n");
        else if (strState.rfind("confined: ", 0) != 0)
            findings.push_back("HostProc did not run fully confined: " + strState);
        std::printf("  refused accesses: %d\n", nRefused);
        for (const auto& [strAccess, nTimes] : refused)
            std::printf("    %-60s %dx\n", strAccess.c_str(), nTimes);
        if (nRefused > 0)
            findings.push_back(std::to_string(refused.size()) +
                               " kinds of access refused to the confined driver (see Confinement): it meets the same "
                               "errors in every confined HostProc; a folder it needs goes into Proxies.ini [HostProc] "
                               "AllowRead= or AllowWrite=");
    }

private:
    std::string m_strPath;
};

// A driver in a folder without hostproc/HostProc (a build folder) is probed
// from a temporary folder holding it and the HostProc beside the shipped
// drivers, which is where libKestrel.so looks. Linked or copied, not
// symlinked: a confined HostProc reads only beneath its own folder, and
// the kernel judges a file by where it really is.
class HostProcFolder {
public:
    // The driver path to announce.
    std::string Arrange(const std::string& strDriver)
    {
        const fs::path driver(strDriver);
        if (access((driver.parent_path() / "hostproc" / "HostProc").c_str(), X_OK) == 0)
            return strDriver;
        const std::string strHostProc = FindLocations().strHostProc;
        if (access(strHostProc.c_str(), X_OK) != 0)
            throw Failure{kExitLoad, "no HostProc beside " + strDriver + " nor at " + strHostProc};
        char szFolder[] = "/tmp/kestrel-probe-XXXXXX";
        if (mkdtemp(szFolder) == nullptr)
            throw Failure{kExitIo, std::string("cannot create a temporary folder: ") + std::strerror(errno)};
        m_folder = szFolder;
        std::error_code error;
        fs::create_directory(m_folder / "hostproc", error);
        if (!error)
            Place(strHostProc, m_folder / "hostproc" / "HostProc", error);
        if (!error)
            Place(driver, m_folder / driver.filename(), error);
        if (error)
            throw Failure{kExitIo, "cannot arrange a HostProc in " + m_folder.string() + ": " + error.message()};
        std::printf("  %s has no hostproc/HostProc: probing it as %s, with %s\n", driver.parent_path().c_str(),
                    (m_folder / driver.filename()).c_str(), strHostProc.c_str());
        return (m_folder / driver.filename()).string();
    }
    ~HostProcFolder()
    {
        std::error_code error;
        if (!m_folder.empty())
            fs::remove_all(m_folder, error);
    }

private:
    static void Place(const fs::path& from, const fs::path& to, std::error_code& error)
    {
        fs::create_hard_link(from, to, error);
        if (error)
            fs::copy_file(from, to, error);
    }

    fs::path m_folder;
};

// What the file's symbol tables say about how the driver was linked.
void AddBuildFindings(const std::string& strDriver, std::vector<std::string>& findings)
{
    ElfReport report;
    std::string strError;
    if (!InspectDriverFile(strDriver, report, strError)) {
        findings.push_back("the symbol tables could not be read: " + strError);
        return;
    }
    if (!report.strayExports.empty())
        findings.push_back(
            "exported symbols that are not driver API (link with a version script that exports the API "
            "alone): " +
            Join(report.strayExports, 6));
    if (!report.uniqueSymbols.empty())
        findings.push_back(
            "GNU unique symbols, which keep the driver loaded for good (compile with -fno-gnu-unique): " +
            Join(report.uniqueSymbols, 6));
    if (!report.interposable.empty())
        findings.push_back(
            "calls and references inside the driver that go through the dynamic symbol table, so that "
            "another library can interpose them (link with -Wl,-Bsymbolic): " +
            Join(report.interposable, 6));
}

void PrintRow(const Row& row, int nWidth)
{
    std::printf("  %-*s %-44s %10s\n", nWidth, row.strCall.c_str(), row.strAnswer.c_str(),
                FormatDuration(row.dSeconds).c_str());
}

int RunProbe(ProbeOptions options)
{
    Target& target = options.target;
    target.strDriver = options.strDriverFile;
    std::string strError;
    const std::vector<ExportPresence> presence = ExportsOfFile(Absolute(target.strDriver), strError);
    if (presence.empty())
        throw Failure{kExitLoad, "cannot load " + target.strDriver + ": " + strError};

    // Through libKestrel.so every export exists; what counts is the file.
    std::set<std::string> exported;
    for (const ExportPresence& entry : presence) {
        if (entry.bPresent)
            exported.insert(entry.strName);
    }
    auto offers = [&](const std::string& strName) { return exported.count(strName) > 0; };

    std::printf("Probe of %s\n", Absolute(target.strDriver).c_str());
    HostProcFolder hostProcFolder;
    if (!target.bDirect)
        target.strDriver = hostProcFolder.Arrange(Absolute(target.strDriver));
    std::optional<ConfinementReport> report;
    if (!target.bDirect)
        report.emplace();
    Session session(target);
    const Target& t = session.Options();
    Module& api = session.Api();
    const std::string& strServer = t.strServer;
    const char* szServer = strServer.c_str();
    const char* szPassword = t.strPassword.c_str();
    Prober prober(session);
    std::vector<std::string> findings;

    if (session.Direct())
        std::printf("  loaded directly into this process (a crash ends the probe)\n");
    else
        std::printf("  through %s, proxy server \"%s\"\n", api.Path().c_str(), t.strHost.c_str());
    std::printf("  instance \"%s\", password \"%s\", camera %d\n", szServer, szPassword, t.nCamera);

    {
        const Clock::time_point start = Clock::now();
        session.Add();
        std::printf("  AddDeviceInstance: %s\n",
                    session.Direct() ? "not needed" : FormatDuration(SecondsSince(start)).c_str());
    }

    // Exports, and whether FunctionSupported agrees.
    std::vector<std::string> missing, claimedButMissing, presentButDenied;
    int nPresent = 0;
    std::printf("\nExports (dlsym on the driver file) and FunctionSupported\n");
    std::printf("  %-34s %-8s %-18s %10s\n", "export", "in file", "FunctionSupported", "time");
    for (const ExportPresence& entry : presence) {
        std::string strSupported = "-";
        double dSeconds = 0;
        if (offers("FunctionSupported")) {
            const Row row = prober.Call("FunctionSupported", [&] {
                return std::to_string(api.FunctionSupported(szServer, szPassword, entry.strName.c_str()));
            });
            strSupported = row.nThrown ? "threw" : row.strAnswer;
            dSeconds = row.dSeconds;
            if (!row.nThrown && entry.bPresent && row.strAnswer == "0")
                presentButDenied.push_back(entry.strName);
            if (!row.nThrown && !entry.bPresent && row.strAnswer != "0")
                claimedButMissing.push_back(entry.strName);
        }
        nPresent += entry.bPresent;
        if (!entry.bPresent)
            missing.push_back(entry.strName);
        std::printf("  %-34s %-8s %-18s %10s\n", entry.strName.c_str(), entry.bPresent ? "yes" : "NO",
                    strSupported.c_str(), FormatDuration(dSeconds).c_str());
    }
    std::printf("  %d of %zu exports present\n", nPresent, presence.size());

    // Capability queries.
    std::printf("\nCapabilities\n");
    std::printf("  %-34s %-44s %10s\n", "query", "answer", "time");
    auto capability = [&](const char* szName, const char* szMeaning, auto pFunction) {
        if (pFunction == nullptr || !offers(szName)) {
            std::printf("  %-34s %-44s %10s\n", szName, "(not exported)", "-");
            return;
        }
        Row row =
            prober.Call(szName, [&] { return std::to_string(static_cast<int>(pFunction(szServer, szPassword))); });
        if (!row.nThrown)
            row.strAnswer += std::string("  ") + szMeaning;
        PrintRow(row, 34);
    };
#define KESTREL_CLI_PROBE_CAPABILITY(NAME, MEANING) capability(#NAME, MEANING, api.NAME);
    KESTREL_CLI_CAPABILITY_QUERIES(KESTREL_CLI_PROBE_CAPABILITY)
#undef KESTREL_CLI_PROBE_CAPABILITY
    capability("QueryEventTypeDyn", "event type", api.QueryEventTypeDyn);
    capability("IsDebugBuildDyn", "debug build", api.IsDebugBuildDyn);
    if (offers("QueryIsAbsoluteDyn"))
        PrintRow(prober.Call("QueryIsAbsoluteDyn(type 0)",
                             [&] { return std::to_string(api.QueryIsAbsoluteDyn(szServer, szPassword, 0)); }),
                 34);
    if (offers("QueryPtzSupportedDyn"))
        PrintRow(prober.Call("QueryPtzSupportedDyn", [&] { return Join(QueryPtzSupported(session, strServer), 6); }),
                 34);

    // Device information.
    std::printf("\nDevice information\n");
    if (offers("GetInfo")) {
        const Row row = prober.Call("GetInfo", [&] {
            char szMac[256] = {};
            char szType[256] = {};
            const int nResult = api.GetInfo(szServer, szPassword, szMac, szType);
            if (nResult != 0 && nResult != 77)
                findings.push_back(Answered("GetInfo", nResult));
            return std::to_string(nResult) + ResultMeaning("GetInfo", nResult) + ", MAC \"" + szMac + "\", type \"" +
                   szType + "\"";
        });
        PrintRow(row, 34);
    }
    if (offers("QueryDeviceTypeStrDyn")) {
        PrintRow(prober.Call("QueryDeviceTypeStrDyn",
                             [&] {
                                 char szType[256] = {};
                                 api.QueryDeviceTypeStrDyn(szServer, szPassword, szType);
                                 if (szType[0] == '\0')
                                     findings.push_back("QueryDeviceTypeStrDyn leaves the type empty");
                                 return std::string("\"") + szType + "\"";
                             }),
                 34);
    }
    if (offers("GetStreamInfo")) {
        PrintRow(prober.Call("GetStreamInfo(device 1)",
                             [&] {
                                 BSTR bsXml = nullptr;
                                 const int nResult = api.GetStreamInfo(szServer, szPassword, 1, &bsXml);
                                 const std::string strXml = Utf8FromBstr(bsXml);
                                 SysFreeString(bsXml);
                                 return std::to_string(nResult) + ", " + OneLine(strXml, 36);
                             }),
                 34);
    }

    // One image.
    std::printf("\nOne image (camera %d)\n", t.nCamera);
    bool bImage = false;
    if (offers("OpenConnection")) {
        const Row row = prober.Call(
            "OpenConnection", [&] { return std::to_string(api.OpenConnection(szServer, szPassword, 0, t.nCamera)); });
        PrintRow(row, 34);
        if (!row.nThrown && row.strAnswer != "0" && row.strAnswer.rfind("-", 0) == 0)
            findings.push_back("OpenConnection answered " + row.strAnswer);
    }
    if (offers("GetImage2")) {
        const Row row = prober.Call("GetImage2", [&] {
            try {
                const std::vector<unsigned char> jpeg = session.Image(strServer, t.nCamera);
                int nWidth = 0, nHeight = 0;
                if (!JpegDimensions(jpeg.data(), jpeg.size(), nWidth, nHeight)) {
                    findings.push_back("GetImage2 hands over bytes that TurboJPEG cannot read");
                    return "unreadable JPEG, " + FormatBytes(static_cast<double>(jpeg.size()));
                }
                bImage = true;
                return std::to_string(nWidth) + "x" + std::to_string(nHeight) + " JPEG, " +
                       FormatBytes(static_cast<double>(jpeg.size()));
            } catch (const Failure& failure) {
                if (failure.nExitCode == kExitThrown)
                    throw;
                findings.push_back(failure.strMessage);
                return std::string("no picture");
            }
        });
        PrintRow(row, 34);
    }
    if (offers("CloseConnection2"))
        prober.Call("CloseConnection2", [&] {
            api.CloseConnection2(szServer, t.nCamera);
            return std::string();
        });

    std::printf("\nConfinement (HostProc's own account)\n");
    if (report)
        report->Print(findings);
    else
        std::printf("  none: the driver runs inside this process\n");

    // What the author can act on.
    const std::set<std::string> missingSet(missing.begin(), missing.end());
    if (missingSet.count("DeleteBuffer"))
        findings.push_back("DeleteBuffer is missing: blocks the driver hands over cannot be released");
    if (missingSet.count("FunctionSupported"))
        findings.push_back("FunctionSupported is missing: an application cannot ask which functions work");
    if (missingSet.count("GetImage2"))
        findings.push_back("GetImage2 is missing: no pictures");
    if (missingSet.count("SetFeatureSet"))
        findings.push_back("SetFeatureSet is missing: the application's feature set does not reach the driver");
    if (!missing.empty())
        findings.push_back(std::to_string(missing.size()) +
                           " exports missing (HostProc answers them with 0 and empty outputs): " + Join(missing, 8));
    if (!claimedButMissing.empty())
        findings.push_back("FunctionSupported says 1 for names the file does not export: " +
                           Join(claimedButMissing, 8));
    if (!presentButDenied.empty())
        findings.push_back("FunctionSupported says 0 for exported names: " + Join(presentButDenied, 8));
    AddBuildFindings(Absolute(options.strDriverFile), findings);
    for (const std::string& strThrown : prober.Thrown())
        findings.push_back(strThrown + " - the driver crashed or hung there; HostProc's message is on stderr");

    std::printf("\nFindings\n");
    if (findings.empty())
        std::printf(
            "  none: every export present, FunctionSupported agrees, the image is a readable JPEG, the file exports "
            "the driver API alone\n");
    for (const std::string& strFinding : findings)
        std::printf("  - %s\n", strFinding.c_str());
    session.Close();
    if (!prober.Thrown().empty())
        return kExitThrown;
    return bImage || !offers("GetImage2") ? kExitOk : kExitDriverFailed;
}

}  // namespace

Runner AddProbeCommand(CLI::App& app)
{
    auto options = std::make_shared<ProbeOptions>();
    CLI::App* pProbe = app.add_subcommand(
        "probe",
        "Probe a driver: which exports its file offers (dlsym), what FunctionSupported and the capability "
        "queries answer, device information and one image, with the time each call took, and findings a driver "
        "author can act on, among them how the file was linked (exports that are not driver API, GNU unique "
        "symbols, calls that another library can interpose). Calls go through libKestrel.so unless --direct is "
        "given; a driver in a folder without hostproc/HostProc (a build folder) gets the shipped HostProc.");
    pProbe->add_option("DRIVER", options->strDriverFile, "driver file (.so)")->required();
    AddTargetOptions(*pProbe, options->target);
    pProbe->get_option("--host")->default_str("probe");
    options->target.strHost = "probe";
    return [options] { return RunProbe(*options); };
}

}  // namespace kestrel_cli
