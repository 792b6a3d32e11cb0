// What a driver file's dynamic symbol table and relocations say about how it
// was built: findings for `kestrel probe`.
#pragma once

#include <string>
#include <vector>

namespace kestrel_cli {

struct ElfReport {
    std::vector<std::string> strayExports;   // defined, exported, not driver API
    std::vector<std::string> uniqueSymbols;  // STB_GNU_UNIQUE: the driver can never be unloaded
    std::vector<std::string> interposable;   // own symbols reached through the dynamic table
};

// Reads the file with libelf; false with strError when it cannot.
bool InspectDriverFile(const std::string& strPath, ElfReport& report, std::string& strError);

}  // namespace kestrel_cli
