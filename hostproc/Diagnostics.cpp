#include "Diagnostics.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include "confine/Settings.h"

namespace hostproc {

namespace {

// Prepared before any driver runs; read-only afterwards (and in the
// fatal-signal path, which may only copy them).
confine::LogTarget g_target = confine::LogTarget::Stderr;
char g_szPrefix[400] = "HostProc: ";
char g_szSyslogName[400] = "";   // "<name>: ", after syslog's own "HostProc[<pid>]: "
char g_szSyslogFatal[480] = "";  // the whole header of a datagram sent without syslog(3)
int g_hSyslog = -1;

size_t Append(char* pBuffer, size_t nAt, size_t nSize, const char* szText) noexcept {
    while (*szText != '\0' && nAt + 1 < nSize) pBuffer[nAt++] = *szText++;
    pBuffer[nAt] = '\0';
    return nAt;
}

// One write per line, so that lines of concurrent calls never mix.
void WriteLine(const char* szText) noexcept {
    char szLine[2600];
    size_t nLength = Append(szLine, 0, sizeof szLine - 1, g_szPrefix);
    nLength = Append(szLine, nLength, sizeof szLine - 1, szText);
    szLine[nLength++] = '\n';
    const int nSaved = errno;
    while (::write(STDERR_FILENO, szLine, nLength) < 0 && errno == EINTR) {
    }
    errno = nSaved;
}

int PriorityOf(Severity severity) {
    switch (severity) {
        case Severity::Error:
            return LOG_ERR;
        case Severity::Warning:
            return LOG_WARNING;
        default:
            return LOG_INFO;
    }
}

void Emit(Severity severity, const char* szFormat, va_list args) {
    if (g_target == confine::LogTarget::None) return;
    char szText[1024];
    vsnprintf(szText, sizeof szText, szFormat, args);
    char szShown[2048];
    Escape(szText, strlen(szText), szShown, sizeof szShown);
    if (g_target == confine::LogTarget::Syslog) {
        syslog(PriorityOf(severity), "%s%s", g_szSyslogName, szShown);
    } else {
        WriteLine(szShown);
    }
}

void PrepareSyslogHeaders(const char* szShownName) {
    if (*szShownName != '\0') snprintf(g_szSyslogName, sizeof g_szSyslogName, "%s: ", szShownName);
    snprintf(g_szSyslogFatal, sizeof g_szSyslogFatal, "<%d>HostProc[%d]: %s", LOG_DAEMON | LOG_ERR,
             static_cast<int>(getpid()), g_szSyslogName);
}

}  // namespace

void SetDiagnosticsTarget(const char* szTarget) {
    g_target = confine::ParseLogTarget(szTarget).value_or(confine::LogTarget::Stderr);
    if (g_target != confine::LogTarget::Syslog) return;
    // Connected now, before the confinement, and kept.
    openlog("HostProc", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    // syslog(3) is no call for a signal handler: the fatal-signal line goes
    // out as a datagram of its own on a socket connected beforehand.
    g_hSyslog = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, _PATH_LOG, sizeof address.sun_path - 1);
    if (g_hSyslog >= 0 && connect(g_hSyslog, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(g_hSyslog);
        g_hSyslog = -1;
    }
    PrepareSyslogHeaders("");
}

void SetDiagnosticsName(const std::string& strName) {
    const std::string strShown = Escaped(strName);
    snprintf(g_szPrefix, sizeof g_szPrefix, "HostProc %s[%d]: ", strShown.c_str(), static_cast<int>(getpid()));
    PrepareSyslogHeaders(strShown.c_str());
}

void Diagnose(const char* szFormat, ...) {
    va_list args;
    va_start(args, szFormat);
    Emit(Severity::Info, szFormat, args);
    va_end(args);
}

void DiagnoseAs(Severity severity, const char* szFormat, ...) {
    va_list args;
    va_start(args, szFormat);
    Emit(severity, szFormat, args);
    va_end(args);
}

void DiagnoseFatal(std::initializer_list<const char*> parts) noexcept {
    char szText[2048] = "";
    size_t nLength = 0;
    for (const char* szPart : parts) nLength = Append(szText, nLength, sizeof szText, szPart);
    if (g_target == confine::LogTarget::Stderr) {
        WriteLine(szText);
    } else if (g_target == confine::LogTarget::Syslog && g_hSyslog >= 0) {
        char szDatagram[2600];
        nLength =
            Append(szDatagram, Append(szDatagram, 0, sizeof szDatagram, g_szSyslogFatal), sizeof szDatagram, szText);
        const int nSaved = errno;
        [[maybe_unused]] ssize_t n = send(g_hSyslog, szDatagram, nLength, MSG_NOSIGNAL | MSG_DONTWAIT);
        errno = nSaved;
    }
}

size_t Escape(const char* pText, size_t nText, char* pOut, size_t nOut) noexcept {
    static constexpr char kHex[] = "0123456789abcdef";
    if (nOut == 0) return 0;
    const auto* pBytes = reinterpret_cast<const uint8_t*>(pText);
    const auto nLength = static_cast<int32_t>(nText < 0x7fffffff ? nText : 0x7fffffff);
    size_t nAt = 0;
    for (int32_t i = 0; i < nLength;) {
        const int32_t nStart = i;
        UChar32 c = 0;
        U8_NEXT(pBytes, i, nLength, c);  // c < 0: an ill-formed sequence, i past it
        const auto nBytes = static_cast<size_t>(i - nStart);
        const bool bControl = c < 0x20 || c == 0x7f || (c >= 0x80 && c < 0xa0);
        const size_t nNeed = c == '\\' ? 2 : bControl ? 4 * nBytes : nBytes;
        if (nAt + nNeed >= nOut) break;
        if (c == '\\') {
            pOut[nAt++] = '\\';
            pOut[nAt++] = '\\';
        } else if (!bControl) {
            memcpy(pOut + nAt, pText + nStart, nBytes);
            nAt += nBytes;
        } else {
            for (int32_t j = nStart; j < i; ++j) {
                pOut[nAt++] = '\\';
                pOut[nAt++] = 'x';
                pOut[nAt++] = kHex[pBytes[j] >> 4];
                pOut[nAt++] = kHex[pBytes[j] & 0xf];
            }
        }
    }
    pOut[nAt] = '\0';
    return nAt;
}

std::string Escaped(const std::string& strText) {
    std::string strShown(4 * strText.size() + 1, '\0');
    strShown.resize(Escape(strText.data(), strText.size(), strShown.data(), strShown.size()));
    return strShown;
}

}  // namespace hostproc
