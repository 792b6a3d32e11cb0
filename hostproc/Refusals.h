// What a confined HostProc refused its drivers, and what it says about its
// confinement: on standard error (a refusal once per distinct access), and
// in full in the report file an application may ask for by naming it in
// $KESTREL_CONFINE_REPORT (kestrel probe does).
#pragma once

namespace hostproc {

// Opens the report file, if one is asked for; before the confinement, which
// would keep HostProc from opening it.
void OpenReport();

// A line about HostProc's confinement: diagnostics and report.
void Announce(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));

// One refused access, "refused: <what>". Lock-free and allocation-free, as
// it runs in drivers' threads and in the children they fork.
void Refused(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));

// From now on, file openings through the C library that fail with EACCES
// (Landlock's answer) are refused accesses too.
void WatchFileRefusals();
bool WatchingFileRefusals();

}  // namespace hostproc
