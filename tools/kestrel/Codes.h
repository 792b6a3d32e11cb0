// Thrown error codes and RPC statuses in words: the words the C interface
// uses too (src/c_api/CodeWords.h).
#pragma once

#include "c_api/CodeWords.h"

namespace kestrel_cli {

using kestrel_codes::CodeInWords;
using kestrel_codes::DescribeCode;
using kestrel_codes::StatusInWords;

}  // namespace kestrel_cli
