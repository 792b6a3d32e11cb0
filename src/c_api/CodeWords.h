// Thrown error codes and RPC statuses in words, as the kestrel command and
// the C interface print them.
#pragma once

#include <string>

namespace kestrel_codes {

// "RPC_S_CALL_FAILED (1726)"; an unnamed status as "status 1234 (0x4D2)".
std::string StatusInWords(unsigned long nStatus);

// The whole code: "proxy server lost: RPC_S_CALL_FAILED (1726)",
// "unknown instance", ...
std::string CodeInWords(unsigned long nCode);

// "0x010006BE (proxy server lost: RPC_S_CALL_FAILED (1726))"
std::string DescribeCode(unsigned long nCode);

}  // namespace kestrel_codes
