#include "c_api/CodeWords.h"

#include <kestrel/kestrel.h>

#include <cstdio>

namespace kestrel_codes {

namespace {

struct StatusName {
    unsigned long nStatus;
    const char* szName;
};

// The statuses the RPC runtime raises, and the low 24 bits of the fault
// statuses that reach the client as sent.
constexpr StatusName kStatusNames[] = {
    {6, "RPC_X_SS_CONTEXT_MISMATCH"},
    {14, "RPC_S_OUT_OF_MEMORY"},
    {87, "RPC_S_INVALID_ARG"},
    {1700, "RPC_S_INVALID_STRING_BINDING"},
    {1702, "RPC_S_INVALID_BINDING"},
    {1703, "RPC_S_PROTSEQ_NOT_SUPPORTED"},
    {1717, "RPC_S_UNKNOWN_IF"},
    {1721, "RPC_S_OUT_OF_RESOURCES"},
    {1722, "RPC_S_SERVER_UNAVAILABLE"},
    {1723, "RPC_S_SERVER_TOO_BUSY"},
    {1726, "RPC_S_CALL_FAILED"},
    {1727, "RPC_S_CALL_FAILED_DNE"},
    {1728, "RPC_S_PROTOCOL_ERROR"},
    {1734, "RPC_X_INVALID_BOUND"},
    {1745, "RPC_S_PROCNUM_OUT_OF_RANGE"},
    {1775, "RPC_X_SS_IN_NULL_CONTEXT"},
    {1780, "RPC_X_NULL_REF_POINTER"},
    {1783, "RPC_X_BAD_STUB_DATA"},
    {1818, "RPC_S_CALL_CANCELLED"},
    {0x010002, "nca_s_op_rng_error"},
    {0x01000B, "nca_s_proto_error"},
    {0x000007, "nca_s_fault_invalid_bound"},
    {0x00001A, "nca_s_fault_context_mismatch"},
    {0x00001B, "nca_s_fault_remote_no_memory"},
    {0x000012, "nca_s_fault_unspec"},
};

}  // namespace

std::string StatusInWords(unsigned long nStatus) {
    for (const StatusName& entry : kStatusNames) {
        // The NCA entries are 24-bit remains of 0x1C...... codes; the small
        // Windows values take precedence where both could match.
        if (entry.nStatus == nStatus) return std::string(entry.szName) + " (" + std::to_string(nStatus) + ")";
    }
    char szText[64];
    std::snprintf(szText, sizeof szText, "status %lu (0x%lX)", nStatus, nStatus);
    return szText;
}

std::string CodeInWords(unsigned long nCode) {
    const unsigned long nClass = KestrelErrorClass(nCode);
    const unsigned long nStatus = KestrelErrorStatus(nCode);
    if (nClass == KESTREL_HOSTPROCUNAVAILABLEERROR) return "proxy server lost: " + StatusInWords(nStatus);
    if (nClass == KESTREL_PROXYUNKNOWNDEVICEERROR) {
        if (nStatus == 0) return "unknown instance";
        return "unknown instance (its proxy server was already removed): " + StatusInWords(nStatus);
    }
    char szText[48];
    std::snprintf(szText, sizeof szText, "error class 0x%02lX: ", nClass >> 24);
    return szText + StatusInWords(nStatus);
}

std::string DescribeCode(unsigned long nCode) {
    char szHex[16];
    std::snprintf(szHex, sizeof szHex, "0x%08lX", nCode);
    return std::string(szHex) + " (" + CodeInWords(nCode) + ")";
}

}  // namespace kestrel_codes
