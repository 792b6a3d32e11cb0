// Driver results in words, where the driver API gives a result a meaning.
#pragma once

#include <string>

namespace kestrel_cli {

// " (meaning)" for nResult of the export szExport, or "" when the API
// defines none (a driver's own failure codes are its own).
std::string ResultMeaning(const std::string& strExport, long nResult);

// "CALL answered N (meaning)"; strCall starts with the export's name.
std::string Answered(const std::string& strCall, long nResult);

}  // namespace kestrel_cli
