// HostProc's confinement, applied to itself once its socket is set up and
// before it loads any driver, so that the rules hold for every driver it
// ever loads: every thread that runs a driver starts after it.
//
// Settings come from the environment the library gives HostProc (see
// confine/Settings.h): KESTREL_CONFINE on|off|required (default on),
// KESTREL_ALLOW_READ and KESTREL_ALLOW_WRITE (colon-separated folders).
#pragma once

#include <string>

namespace hostproc {

// Creates the private state folder of proxy server strName (in every mode)
// and applies the profile; strSocketPath is the endpoint's socket file. Says
// in one diagnostics line what it did. Call while HostProc has one thread.
void Confine(const std::string& strName, const std::string& strSocketPath);

// Why the driver file szPath must not be loaded, or empty: Confine=required
// on a HostProc that could not be confined, or a file outside what the
// confinement lets HostProc read.
std::string LoadRefusal(const char* szPath);

}  // namespace hostproc
