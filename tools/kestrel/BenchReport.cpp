#include "BenchReport.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <sstream>

namespace kestrel_cli {

Stats Summarise(std::vector<double> samples)
{
    Stats stats;
    if (samples.empty())
        return stats;
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    stats.dMedian = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    stats.dMin = samples.front();
    stats.dMax = samples.back();
    stats.nTrials = static_cast<int>(n);
    return stats;
}

std::string Verdict(const Row& row, bool bUpper)
{
    if (!row.bMeasured)
        return "not measured";
    return row.bMet ? "met" : (bUpper ? "MISSED" : "missed");
}

std::string Micro(double dSeconds)
{
    char szText[32];
    std::snprintf(szText, sizeof szText, dSeconds < 1e-3 ? "%.2f us" : "%.3f ms",
                  dSeconds < 1e-3 ? dSeconds * 1e6 : dSeconds * 1e3);
    return szText;
}

std::string Throughput(double dBytes, double dSeconds)
{
    char szText[32];
    std::snprintf(szText, sizeof szText, "%.0f MB/s", dBytes / dSeconds / 1e6);
    return szText;
}

std::string Cell(const Row& row, const Stats& stats, bool bPresent)
{
    if (!bPresent || !row.bMeasured)
        return "-";
    if (row.dBytes > 0)
        return Micro(stats.dMedian) + " (" + Throughput(row.dBytes, stats.dMedian) + ")";
    return Micro(stats.dMedian);
}

std::string RatioText(const Row& row)
{
    char szText[96];
    if (row.strGoal.empty() || !row.bMeasured)
        return "-";
    if (row.dBytes > 0)
        std::snprintf(szText, sizeof szText, "%.0f %% of raw (transport %.0f %%; two processes %.0f %%, %.0f %%)",
                      row.dRatio * 100, row.dTransportShare * 100, row.rawProcess.dMedian / row.kestrel.dMedian * 100,
                      row.dProcessShare * 100);
    else if (row.bHasRaw)
        std::snprintf(szText, sizeof szText, "%.2f x raw (%.2f x two processes)", row.dRatio,
                      row.kestrel.dMedian / row.rawProcess.dMedian);
    else
        return "-";
    return szText;
}

std::string JsonEscape(const std::string& strText)
{
    std::string out;
    for (char c : strText) {
        if (c == '"' || c == '\\')
            out.push_back('\\');
        if (static_cast<unsigned char>(c) < 0x20) {
            char szEscape[8];
            std::snprintf(szEscape, sizeof szEscape, "\\u%04x", c);
            out += szEscape;
            continue;
        }
        out.push_back(c);
    }
    return out;
}

std::string JsonStats(const Stats& stats)
{
    char szText[160];
    std::snprintf(szText, sizeof szText, "{\"median_s\": %.9g, \"min_s\": %.9g, \"max_s\": %.9g, \"trials\": %d}",
                  stats.dMedian, stats.dMin, stats.dMax, stats.nTrials);
    return szText;
}

std::string JsonCounts(const Counts& counts)
{
    char szText[200];
    std::snprintf(szText, sizeof szText,
                  "{\"cpu_s\": %.9g, \"instructions\": %.6g, \"syscalls\": %.6g, \"page_faults\": %.6g, "
                  "\"context_switches\": %.6g}",
                  counts.dCpu, counts.dInstructions, counts.dSyscalls, counts.dPageFaults, counts.dContextSwitches);
    return szText;
}

namespace {

std::string Count(double dValue)
{
    if (dValue < 0)
        return "n/a";
    char szText[32];
    std::snprintf(szText, sizeof szText, dValue < 10 ? "%.2f" : "%.0f", dValue);
    return szText;
}

// "Kestrel / direct / raw / two processes / driver's block" of one measure.
std::string Cells(const Row& row, double Counts::*pField, bool bMicro)
{
    auto one = [&](const Counts& counts) {
        const double dValue = counts.*pField;
        return bMicro && dValue >= 0 ? Micro(dValue) : Count(dValue);
    };
    return one(row.kestrelCounts) + " / " + one(row.directCounts) + " / " + one(row.rawCounts) + " / " +
           one(row.rawProcessCounts) + (row.bHasRawDriver ? " / " + one(row.rawDriverCounts) : "");
}

}  // namespace

std::string CountsTable(const std::vector<Row>& rows, bool bMarkdown)
{
    const char* szHeads[] = {"measure (Kestrel / direct / raw / two processes / driver's block)",
                             "CPU time",
                             "instructions",
                             "syscalls",
                             "page faults",
                             "context switches"};
    std::ostringstream text;
    auto line = [&](const std::vector<std::string>& cells) {
        if (bMarkdown) {
            text << "|";
            for (const std::string& strCell : cells)
                text << " " << strCell << " |";
        } else {
            char szCell[80];
            for (size_t i = 0; i < cells.size(); ++i) {
                std::snprintf(szCell, sizeof szCell, i == 0 ? "%-66s" : " %-48s", cells[i].c_str());
                text << szCell;
            }
        }
        text << "\n";
    };
    line(std::vector<std::string>(std::begin(szHeads), std::end(szHeads)));
    if (bMarkdown)
        line(std::vector<std::string>(std::size(szHeads), "---"));
    for (const Row& row : rows) {
        if (row.kestrelCounts.dCpu < 0 || !row.bMeasured)
            continue;
        line({row.strName, Cells(row, &Counts::dCpu, true), Cells(row, &Counts::dInstructions, false),
              Cells(row, &Counts::dSyscalls, false), Cells(row, &Counts::dPageFaults, false),
              Cells(row, &Counts::dContextSwitches, false)});
    }
    return text.str();
}

bool HaveGnuplot()
{
    const char* szPath = std::getenv("PATH");
    std::stringstream folders(szPath ? szPath : "/usr/bin:/bin");
    for (std::string strFolder; std::getline(folders, strFolder, ':');) {
        if (!strFolder.empty() && access((strFolder + "/gnuplot").c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

}  // namespace kestrel_cli
