#include "BenchReport.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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
    char szText[64];
    if (row.strGoal.empty() || !row.bMeasured)
        return "-";
    if (row.dBytes > 0)
        std::snprintf(szText, sizeof szText, "%.0f %% of raw (transport %.0f %%)", row.dRatio * 100,
                      row.dTransportShare * 100);
    else if (row.bHasRaw)
        std::snprintf(szText, sizeof szText, "%.2f x raw", row.dRatio);
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
