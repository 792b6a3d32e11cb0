#include "LoadError.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace hostproc {

namespace {
std::string g_strPath;
}

void SetLoadErrorFile(const std::string& strSocketPath) { g_strPath = strSocketPath + ".load-error"; }

void LeaveLoadError(const std::string& strMessage) {
    if (g_strPath.empty()) return;
    const int hFile = open(g_strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (hFile < 0) return;
    size_t nDone = 0;
    while (nDone < strMessage.size()) {
        const ssize_t n = write(hFile, strMessage.data() + nDone, strMessage.size() - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        nDone += static_cast<size_t>(n);
    }
    close(hFile);
}

void RemoveLoadError() {
    if (!g_strPath.empty()) unlink(g_strPath.c_str());
}

}  // namespace hostproc
