// HostProc's own diagnostics: one line per message on standard error, which
// it shares with the application that started it.
#pragma once

#include <string>

namespace hostproc {

// The name that prefixes every line ("HostProc <name>[<pid>]: ...").
void SetDiagnosticsName(const std::string& strName);
void Diagnose(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));

}  // namespace hostproc
