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
    double dBytes = 0;  // block size, 0 for calls
    // raw: to a thread; rawProcess: to a forked process; rawDriver: to a
    // forked process sending the driver's fresh blocks
    Stats kestrel, direct, raw, rawProcess, rawDriver;
    Counts kestrelCounts, directCounts, rawCounts, rawProcessCounts, rawDriverCounts;  // unset where not counted
    bool bHasDirect = false, bHasRaw = false, bHasRawDriver = false;
    std::string strGoal;
    double dRatio = 0;           // Kestrel/raw time (calls) or throughput share (blocks)
    double dTransportShare = 0;  // blocks: share of raw to a thread, less the driver's in-process time
    // Blocks: share of raw between two processes, less the driver's time as
    // it runs in a process of its own beside the transfer (rawDriver minus
    // rawProcess), the time any out-of-process design pays for it.
    double dProcessShare = 0;
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
