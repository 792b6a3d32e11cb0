// Nothing a driver starts outlives HostProc. HostProc adopts every orphan
// among its descendants (a child subreaper), gives the children a driver
// forks a clean signal state (HostProc's handlers do not belong in them), and
// ends all descendants whenever it ends itself: at its idle end, after a
// bounded stop, when a driver calls exit(), and on a fatal signal.
#pragma once

namespace hostproc {

// Once, before any driver is loaded.
void AdoptDescendants();
// Kills and reaps every descendant. Async-signal-safe: raw system calls
// only, no allocation.
void EndDescendants() noexcept;

}  // namespace hostproc
