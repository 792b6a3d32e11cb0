// kestrel bench's figures and how the report shows them: medians of
// trials, the rows of the table, and their text and JSON forms.
#pragma once

#include "PerfCounters.h"

#include <string>
#include <vector>

namespace kestrel_cli {

struct Stats {
    double dMedian = 0, dMin = 0, dMax = 0;
    int nTrials = 0;
};

Stats Summarise(std::vector<double> samples);

struct Row {
    std::string strName;
    double dBytes = 0;                       // block size, 0 for calls
    Stats kestrel, direct, raw, rawProcess;  // raw: to a thread; rawProcess: to a forked process
    Counts kestrelCounts, directCounts, rawCounts, rawProcessCounts;  // unset where not counted
    bool bHasDirect = false, bHasRaw = false;
    std::string strGoal;
    double dRatio = 0;           // Kestrel/raw time (calls) or throughput share (blocks)
    double dTransportShare = 0;  // blocks: throughput share without the driver's own time
    bool bMet = false;
    bool bMeasured = true;  // false: a measure this installation cannot make
    std::string strNote;
};

// The verdict column: a measure that could not be made is not a missed goal.
std::string Verdict(const Row& row, bool bUpper);
std::string Micro(double dSeconds);
std::string Throughput(double dBytes, double dSeconds);
std::string Cell(const Row& row, const Stats& stats, bool bPresent);
std::string RatioText(const Row& row);
std::string JsonEscape(const std::string& strText);
std::string JsonStats(const Stats& stats);
std::string JsonCounts(const Counts& counts);
// The counted rows: CPU time, instructions, syscalls, page faults and
// context switches per call, Kestrel beside raw (and direct, for blocks),
// as console text or a Markdown table.
std::string CountsTable(const std::vector<Row>& rows, bool bMarkdown);
bool HaveGnuplot();

}  // namespace kestrel_cli
