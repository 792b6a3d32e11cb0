// Small helpers shared by the subcommands: texts, JPEG checks, files, time
// and the live progress line.
#pragma once

#include <kestrel/kestrel.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kestrel_cli {

// Every message on standard error starts with the command: "kestrel: " or,
// once a subcommand runs, "kestrel stream: ".
void SetCommandName(const std::string& strName);
const std::string& MessagePrefix();
// Writes "<prefix><text>\n" to standard error (standard output flushed first).
void Message(const std::string& strText);

// True when standard output is a pipe or socket whose reader has gone.
bool StandardOutputClosed();
// True when writing to standard output failed because its reader has gone.
bool OutputFailed();
// Ends the process as a closed pipe conventionally ends a command: by
// SIGPIPE, silently (status 141 in a shell).
[[noreturn]] void EndOnClosedOutput();

std::string Utf8FromBstr(const OLECHAR* bs);
// A new BSTR (release with SysFreeString).
BSTR BstrFromUtf8(const std::string& strText);

// True with the picture's size when the bytes are a JPEG that TurboJPEG can
// read the header of.
bool JpegDimensions(const unsigned char* p, size_t nSize, int& nWidth, int& nHeight);

// Writes a whole file; throws Failure (kExitIo) on error.
void WriteFile(const std::string& strPath, const void* pData, size_t nSize);
std::string ReadFile(const std::string& strPath);
// Creates a folder and its parents; throws Failure (kExitIo) on error.
void MakeFolder(const std::string& strPath);

// "1.5 MB", "640 KiB", ...
std::string FormatBytes(double dBytes);
std::string FormatDuration(double dSeconds);

using Clock = std::chrono::steady_clock;
inline double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One status line that updates in place on a terminal (\r) and is printed
// as plain lines otherwise (at most every nPlainEverySeconds).
class ProgressLine {
public:
    explicit ProgressLine(FILE* pOut, double dPlainEverySeconds = 1.0);
    void Update(const std::string& strText);
    // Ends the line (a final plain line when not a terminal).
    void Finish(const std::string& strText);

private:
    FILE* m_pOut;
    bool m_bTerminal;
    double m_dPlainEvery;
    Clock::time_point m_lastPlain;
    bool m_bAny = false;
    size_t m_nLastWidth = 0;
};

}  // namespace kestrel_cli
