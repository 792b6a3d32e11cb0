#include "Diagnostics.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include <unistd.h>

namespace hostproc {

namespace {
char g_szPrefix[160] = "HostProc";
}

void SetDiagnosticsName(const std::string& strName) {
    snprintf(g_szPrefix, sizeof g_szPrefix, "HostProc %s[%d]", strName.c_str(), static_cast<int>(getpid()));
}

void Diagnose(const char* szFormat, ...) {
    char szLine[1024];
    int nPrefix = snprintf(szLine, sizeof szLine, "%s: ", g_szPrefix);
    if (nPrefix < 0 || static_cast<size_t>(nPrefix) >= sizeof szLine) nPrefix = 0;
    va_list args;
    va_start(args, szFormat);
    vsnprintf(szLine + nPrefix, sizeof szLine - static_cast<size_t>(nPrefix) - 1, szFormat, args);
    va_end(args);
    size_t nLength = 0;
    while (szLine[nLength] != '\0') ++nLength;
    szLine[nLength++] = '\n';
    // One write per line, so lines of concurrent calls never mix.
    const int nSaved = errno;
    while (::write(STDERR_FILENO, szLine, nLength) < 0 && errno == EINTR) {
    }
    errno = nSaved;
}

}  // namespace hostproc
