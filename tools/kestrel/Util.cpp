#include "Util.h"

#include "Api.h"
#include "platform/TextConversion.h"

#include <turbojpeg.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <csignal>
#include <iostream>

#include <poll.h>
#include <unistd.h>

namespace kestrel_cli {

namespace {
std::string g_strPrefix = "kestrel: ";
}

void SetCommandName(const std::string& strName) { g_strPrefix = strName + ": "; }

const std::string& MessagePrefix() { return g_strPrefix; }

void Message(const std::string& strText)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s%s\n", g_strPrefix.c_str(), strText.c_str());
}

bool StandardOutputClosed()
{
    // A pipe or socket whose reader is gone polls as an error.
    pollfd out{STDOUT_FILENO, 0, 0};
    return poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0;
}

void EndOnClosedOutput()
{
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
    _exit(128 + SIGPIPE);
}

bool OutputFailed()
{
    std::cout.flush();
    return (std::fflush(stdout) != 0 || std::ferror(stdout) != 0 || !std::cout.good()) && StandardOutputClosed();
}

// The library's own conversions (ICU), so that the tool shows texts the way
// the library reads and writes them.
std::string Utf8FromBstr(const OLECHAR* bs)
{
    return bs == nullptr ? std::string() : NmTextConversion::WideToUtf8(std::u16string(bs));
}

BSTR BstrFromUtf8(const std::string& strText)
{
    const std::u16string wide = NmTextConversion::Utf8ToWide(strText);
    BSTR bs = SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
    if (bs == nullptr)
        throw std::bad_alloc();
    return bs;
}

bool JpegDimensions(const unsigned char* p, size_t nSize, int& nWidth, int& nHeight)
{
    tjhandle hDecoder = tjInitDecompress();
    if (hDecoder == nullptr)
        return false;
    int nSubsampling = 0, nColorspace = 0;
    const bool bOk = tjDecompressHeader3(hDecoder, p, static_cast<unsigned long>(nSize), &nWidth, &nHeight,
                                         &nSubsampling, &nColorspace) == 0;
    tjDestroy(hDecoder);
    return bOk;
}

void WriteFile(const std::string& strPath, const void* pData, size_t nSize)
{
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(pData), static_cast<std::streamsize>(nSize));
    out.close();
    if (!out)
        throw Failure{kExitIo, "cannot write " + strPath + ": " + std::strerror(errno)};
}

std::string ReadFile(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    if (!in)
        throw Failure{kExitUsage, "cannot read " + strPath};
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void MakeFolder(const std::string& strPath)
{
    std::error_code error;
    std::filesystem::create_directories(strPath, error);
    if (error || !std::filesystem::is_directory(strPath))
        throw Failure{kExitIo, "cannot create folder " + strPath + ": " + error.message()};
}

std::string FormatBytes(double dBytes)
{
    char szText[32];
    if (dBytes >= 1024.0 * 1024.0)
        std::snprintf(szText, sizeof szText, "%.1f MiB", dBytes / (1024.0 * 1024.0));
    else if (dBytes >= 1024.0)
        std::snprintf(szText, sizeof szText, "%.1f KiB", dBytes / 1024.0);
    else
        std::snprintf(szText, sizeof szText, "%.0f B", dBytes);
    return szText;
}

std::string FormatDuration(double dSeconds)
{
    char szText[32];
    if (dSeconds >= 1.0)
        std::snprintf(szText, sizeof szText, "%.2f s", dSeconds);
    else if (dSeconds >= 1e-3)
        std::snprintf(szText, sizeof szText, "%.2f ms", dSeconds * 1e3);
    else
        std::snprintf(szText, sizeof szText, "%.1f us", dSeconds * 1e6);
    return szText;
}

ProgressLine::ProgressLine(FILE* pOut, double dPlainEverySeconds)
    : m_pOut(pOut), m_bTerminal(isatty(fileno(pOut)) == 1), m_dPlainEvery(dPlainEverySeconds)
{
}

void ProgressLine::Update(const std::string& strPlain)
{
    // On standard error it is a message like any other.
    const std::string strText = (m_pOut == stderr ? MessagePrefix() : std::string()) + strPlain;
    if (m_bTerminal) {
        std::string strLine = "\r" + strText;
        if (strText.size() < m_nLastWidth)
            strLine.append(m_nLastWidth - strText.size(), ' ');
        m_nLastWidth = strText.size();
        std::fputs(strLine.c_str(), m_pOut);
        std::fflush(m_pOut);
        m_bAny = true;
        return;
    }
    if (m_bAny && SecondsSince(m_lastPlain) < m_dPlainEvery)
        return;
    m_lastPlain = Clock::now();
    m_bAny = true;
    std::fprintf(m_pOut, "%s\n", strText.c_str());
    std::fflush(m_pOut);
}

void ProgressLine::Finish(const std::string& strText)
{
    if (m_bTerminal) {
        Update(strText);
        std::fputs("\n", m_pOut);
    } else {
        std::fprintf(m_pOut, "%s%s\n", m_pOut == stderr ? MessagePrefix().c_str() : "", strText.c_str());
    }
    std::fflush(m_pOut);
    m_bAny = false;
    m_nLastWidth = 0;
}

}  // namespace kestrel_cli
