// Directives that steer one call of the test driver (see
// testdriver_protocol.h for the tokens).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace testdriver {

struct Directives {
    std::optional<long long> result;
    bool null = false;
    std::optional<long long> block;
    std::optional<int> count;
    std::optional<int> len;
    bool fill = false;
    int delayMs = 0;
    bool hang = false;
    std::string crash;     // "", "segv", "write", "abort"
    std::string throwKind; // "", "std", "int"
    std::optional<int> exitCode;
    bool print = false;

    // Applies tokens separated by any of `separators`; later tokens win.
    void Apply(std::string_view tokens, std::string_view separators);
};

// A queued or sticky entry: its tokens and the export it is limited to.
struct DirectiveEntry {
    std::string onlyFor; // empty: every export
    std::string tokens;

    bool Matches(std::string_view exportName) const
    {
        return onlyFor.empty() || onlyFor == exportName;
    }
};

// Parses "[@Name] tokens".
DirectiveEntry ParseEntry(std::string_view text);

} // namespace testdriver
