// The dynamic loader's message for a driver HostProc could not open, left
// for the library beside the socket as <socket>.load-error (mode 0600): the
// library reads and removes it when rpc_LoadDriver answers with a null
// handle, so the reason reaches the application while the wire protocol
// stays as it is.
#pragma once

#include <string>

namespace hostproc {

// Where the message goes: the socket's path plus ".load-error".
void SetLoadErrorFile(const std::string& strSocketPath);
void LeaveLoadError(const std::string& strMessage);
// At exit: a message nobody read goes with the socket.
void RemoveLoadError();

}  // namespace hostproc
