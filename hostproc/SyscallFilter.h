// The seccomp part of HostProc's confinement: the system calls a camera
// driver has no business making answer EPERM, so that a driver sees an error
// it can handle rather than being killed.
#pragma once

#include <string>

namespace hostproc {

// Installs the filter on the calling thread, and so on every thread and
// process it starts later. Each refused call is reported (Refusals.h) by a
// thread of its own that answers the kernel's notifications; where the kernel
// cannot notify (an older kernel, or an outer filter that already listens),
// the kernel answers EPERM by itself and refusals go uncounted (bCounted
// false). False, with strError, when no filter could be installed.
bool InstallSyscallFilter(bool& bCounted, std::string& strError);

}  // namespace hostproc
