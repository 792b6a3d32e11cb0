/*
 * testdriver_protocol.h - what libkestrel_testdriver.so answers, and the
 * helpers a test uses to predict it.
 *
 * The test driver exports all 86 forwarding exports plus SetFeatureSet and
 * DeleteBuffer. Every call is answered from its own arguments, so a test can
 * check pass-through export by export, through HostProc and libKestrel.so,
 * without any side channel.
 *
 * ECHO
 *   Each call is described by its echo text:
 *       Name(tok,tok,...)
 *   with one token per parameter, in the export's parameter order:
 *       const char*            Str(s):   "text" with \\, \" and \xHH escapes
 *                                        for bytes < 0x20 and 0x7F; null
 *       int, short, long long  Int(v):   decimal
 *       double                 Dbl(v):   printf %.17g
 *       const unsigned char*   Bytes(p, n): bytes(n,FNV1A32-HEX) with n the
 *                                        length argument that follows it
 *       const int* (256 each)  Ints(p, 256): ints(256,FNV1A32-HEX) over the
 *                                        ints as little-endian bytes
 *       BSTR* read as input    Wide(*p): L"utf-8 text" (up to its first 0);
 *                                        null for a null pointer or BSTR.
 *                                        Input BSTRs: SetXmlParams,
 *                                        SetXmlEvents, OpenMediaStreamWithSettings
 *       CStringArray& input    Array(a): ["a","b"]  (aszUsedEvents, aszEvents)
 *       every out parameter    Out(p):   & (or null for a null pointer)
 *
 * OUTPUTS (slot = the parameter's name, e.g. "pcMAC"; array element j of
 * parameter P has the slot "P[j]")
 *       int*                   OutInt(echo, slot); except piNumFPSValues,
 *                              which receives the array count
 *       double*                OutDouble(echo, slot)
 *       char* caller buffer    OutText(echo, slot), cut to 255 characters
 *       char** caller buffers  `count` entries (QueryPresetPositions: at most
 *                              nPresetMax), entry j = OutText(echo, "P[j]")
 *       double** arrays        `count` doubles, element j = OutDouble(echo,
 *                              "P[j]"), allocated with new unsigned char[];
 *                              null when count is 0
 *       unsigned char** block  the echo's bytes (no NUL), or `block=N` bytes
 *                              of PatternByte(i); new unsigned char[]; null
 *                              when empty
 *       BSTR* out              SysAllocString(UTF-16 of OutText(echo, slot));
 *                              the old BSTR is released first (SysFreeString),
 *                              except by GetTimeLine, which overwrites
 *       CStringArray& out      (aszOpenEvents) emptied and filled with `count`
 *                              entries OutText(echo, "aszOpenEvents[j]") cut to
 *                              255 characters, unless the result is 0
 *
 * RESULTS
 *       GetImage2, GetVideoDataBlock, GetMediaDataBlock: the block's length
 *       QueryPresetPositions, QueryPtzSupportedDyn, QueryEventsDyn: the number
 *         of entries written
 *       GetInfo: 0
 *       bool results: true
 *       short results: DefaultShortResult(echo)
 *       any other int: DefaultResult(echo)
 *   A `result=N` directive overrides all of them (bool: N != 0).
 *
 * DIRECTIVES
 *   Directives steer a call. Tokens are `word` or `word=value`; unknown tokens
 *   are ignored. They come from three places, applied in this order (later
 *   ones win):
 *     1. mode:  set per instance id with ExecuteCustomCommand "td:mode ..."
 *     2. id:    the instance id itself, `name#tok#tok...`, e.g. "t1#hang",
 *               "cam#block=1048576#result=-3"
 *     3. next:  queued per instance id with ExecuteCustomCommand "td:next ...";
 *               the first queued entry that matches is used up by one call
 *   A "td:mode"/"td:next" entry may start with "@Name" so that it applies
 *   only to calls of export Name.
 *
 *     result=N    the call's result
 *     null        no pointer outputs: blocks, arrays and BSTRs null, caller
 *                 buffers and CStringArrays untouched; count and block results
 *                 default to 0 (piNumFPSValues still receives `count`)
 *     block=N     blocks of N pattern bytes
 *     count=N     number of array entries (default 2)
 *     len=N       every output text padded (with a..z) or cut to N characters
 *     fill        caller buffers get 256 characters and no terminator
 *     delay=MS    sleep MS milliseconds before answering
 *     hang        block until "td:release" (or until the process is killed)
 *     crash       raise SIGSEGV; crash=segv the same; crash=write an invalid
 *                 memory write; crash=abort abort()
 *     exit=N      _exit(N)
 *     throw       throw std::runtime_error; throw=int throws an int
 *     print       write the echo and a newline to standard output
 *   Effects run in this order: print, delay, hang, exit, crash, throw.
 *
 * CONTROL (ExecuteCustomCommand with szCommand starting with "td:"; the
 * instance id selects the queue; these calls take no directives and are not
 * counted)
 *     td:next [@Name] TOKENS   queue; result 0
 *     td:mode [@Name] TOKENS   add a sticky entry; "td:mode" alone clears the
 *                              id's modes; result 0
 *     td:release               wake every hung call; result: how many
 *     td:wait-hung N           block until at least N calls hang; result: the
 *                              number hanging
 *     td:reset                 clear all queues, modes and counters; result 0
 *     anything else            result -1
 *
 * STATE (GetXml with szFilter "td:state", result 0): a BSTR of lines
 *     pid=<process id>
 *     featureset=<last SetFeatureSet text>
 *     featureset.calls=<SetFeatureSet calls>
 *     calls=<counted calls>
 *     calls.<Name>=<n>       one line per export called, sorted by name
 *     deletebuffer=<DeleteBuffer calls with a non-null pointer>
 *     blocks.live=<blocks and arrays handed over and not yet deleted>
 *     hung=<calls hanging now>
 */
#ifndef KESTREL_TESTDRIVER_PROTOCOL_H
#define KESTREL_TESTDRIVER_PROTOCOL_H

#include <kestrel/kestrel.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

namespace testdriver {

inline constexpr int kDefaultCount = 2;
inline constexpr int kCallerBufferSize = 256;

inline uint32_t Fnv1a32(std::string_view data)
{
    uint32_t h = 2166136261u;
    for (unsigned char c : data) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

inline std::string Hex8(uint32_t v)
{
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

inline std::u16string Utf8ToUtf16(std::string_view in)
{
    std::u16string out;
    size_t i = 0;
    while (i < in.size()) {
        const unsigned char c = static_cast<unsigned char>(in[i]);
        uint32_t cp = 0xFFFD;
        size_t n = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0 || (c & 0xF0) == 0xE0 || (c & 0xF8) == 0xF0) {
            const size_t need = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
            uint32_t v = c & (need == 2 ? 0x1F : need == 3 ? 0x0F : 0x07);
            size_t k = 1;
            for (; k < need && i + k < in.size(); ++k) {
                const unsigned char cc = static_cast<unsigned char>(in[i + k]);
                if ((cc & 0xC0) != 0x80)
                    break;
                v = (v << 6) | (cc & 0x3F);
            }
            n = k;
            const uint32_t minimum = need == 2 ? 0x80 : need == 3 ? 0x800 : 0x10000;
            if (k == need && v >= minimum && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF))
                cp = v;
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

inline std::string Utf16ToUtf8(std::u16string_view in)
{
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
        uint32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

/* ---- echo tokens ---- */

inline std::string Str(const char* s)
{
    if (s == nullptr)
        return "null";
    std::string out = "\"";
    for (const char* p = s; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\\' || c == '"') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20 || c == 0x7F) {
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    out.push_back('"');
    return out;
}

inline std::string Int(long long v) { return std::to_string(v); }

inline std::string Dbl(double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

inline std::string Bytes(const unsigned char* p, int n)
{
    if (p == nullptr)
        return "null";
    if (n < 0)
        return "bytes(" + std::to_string(n) + ")";
    const std::string_view data(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
    return "bytes(" + std::to_string(n) + "," + Hex8(Fnv1a32(data)) + ")";
}

inline std::string Ints(const int* p, int n)
{
    if (p == nullptr)
        return "null";
    std::string le;
    for (int i = 0; i < n; ++i) {
        const uint32_t v = static_cast<uint32_t>(p[i]);
        for (int b = 0; b < 4; ++b)
            le.push_back(static_cast<char>((v >> (8 * b)) & 0xFF));
    }
    return "ints(" + std::to_string(n) + "," + Hex8(Fnv1a32(le)) + ")";
}

inline std::string Wide(const char16_t* s)
{
    if (s == nullptr)
        return "null";
    return "L" + Str(Utf16ToUtf8(std::u16string_view(s)).c_str());
}

inline std::string Array(const CStringArray& a)
{
    std::string out = "[";
    for (int i = 0; i < a.GetSize(); ++i) {
        if (i > 0)
            out.push_back(',');
        out += Str(a.GetAt(i));
    }
    out.push_back(']');
    return out;
}

inline std::string Out(const void* p) { return p != nullptr ? "&" : "null"; }

/* The echo of export `name` with the given tokens. */
inline std::string Call(std::string_view name, std::initializer_list<std::string> tokens)
{
    std::string out(name);
    out.push_back('(');
    bool first = true;
    for (const std::string& t : tokens) {
        if (!first)
            out.push_back(',');
        out += t;
        first = false;
    }
    out.push_back(')');
    return out;
}

/* ---- answers ---- */

inline int DefaultResult(std::string_view echo)
{
    return static_cast<int>(Fnv1a32(echo) & 0x7FFFFFFFu);
}

inline short DefaultShortResult(std::string_view echo)
{
    return static_cast<short>(Fnv1a32(echo) & 0x7FFFu);
}

inline std::string OutText(std::string_view echo, std::string_view slot)
{
    std::string out(slot);
    out.push_back('=');
    out += echo;
    return out;
}

inline int OutInt(std::string_view echo, std::string_view slot)
{
    return static_cast<int>(Fnv1a32(OutText(echo, slot)) & 0x7FFFFFFFu);
}

inline double OutDouble(std::string_view echo, std::string_view slot)
{
    return OutInt(echo, slot) / 1024.0;
}

inline unsigned char PatternByte(size_t i)
{
    return static_cast<unsigned char>(i ^ (i >> 8) ^ (i >> 16) ^ (i >> 24));
}

/* The `len=N` rule: pad with a..z or cut to exactly n characters. */
inline std::string FitText(std::string text, size_t n)
{
    if (text.size() > n)
        text.resize(n);
    while (text.size() < n)
        text.push_back(static_cast<char>('a' + text.size() % 26));
    return text;
}

/* What a caller buffer of 256 receives for `text` (without `fill`). */
inline std::string CallerBufferText(std::string text)
{
    if (text.size() > static_cast<size_t>(kCallerBufferSize - 1))
        text.resize(kCallerBufferSize - 1);
    return text;
}

} // namespace testdriver

#endif // KESTREL_TESTDRIVER_PROTOCOL_H
