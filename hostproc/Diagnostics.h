// HostProc's own diagnostics: one line per message, "HostProc <name>[<pid>]:
// <text>", on standard error (which it shares with the application that
// started it), to syslog, or nowhere, as [HostProc] Log= says.
//
// Every byte that is not printable ASCII or well-formed UTF-8 (control
// bytes, C1 controls, broken sequences) is shown as \xNN and a backslash as
// \\, in the name and in the text alike: names, paths and error texts that
// come from elsewhere can never forge or break a line. HostProc's own texts
// are plain ASCII, so escaping the whole line changes only what came from
// elsewhere.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>

namespace hostproc {

enum class Severity { Info, Warning, Error };

// Where the lines go: the value of $KESTREL_HOSTPROC_LOG (stderr when unset
// or unknown). Before the first line.
void SetDiagnosticsTarget(const char* szTarget);
// The name that prefixes every line.
void SetDiagnosticsName(const std::string& strName);

void Diagnose(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));
void DiagnoseAs(Severity severity, const char* szFormat, ...) __attribute__((format(printf, 2, 3)));

// A line of the given parts, already escaped, at Error severity.
// Async-signal-safe: no allocation, no lock, write(2) or send(2) only.
void DiagnoseFatal(std::initializer_list<const char*> parts) noexcept;

// nText bytes escaped into pOut (NUL-terminated, cut before an escape that
// would not fit); returns the length. Async-signal-safe.
size_t Escape(const char* pText, size_t nText, char* pOut, size_t nOut) noexcept;
std::string Escaped(const std::string& strText);

}  // namespace hostproc
