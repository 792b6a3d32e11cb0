/*
 * testdriver_protocol.h - what libkestrel_testdriver.so answers, and the
 * helpers a test uses to predict it. The driver exports the 86 forwarding
 * exports, SetFeatureSet and DeleteBuffer; every call is answered from its
 * own arguments, so pass-through can be checked export by export.
 *
 * ECHO  Name(tok,...), one token per parameter, spelt by the helpers below
 *   (Bytes takes the length argument that follows; const int* is 256 Ints;
 *   the BSTR* of SetXmlParams, SetXmlEvents, OpenMediaStreamWithSettings is
 *   read as Wide input; every out parameter, aszOpenEvents included, is Out).
 *
 * OUTPUTS (slot: the parameter's name; element j of P is "P[j]")
 *   int*, double*  OutInt/OutDouble(echo, slot); piNumFPSValues gets `count`
 *   char*          OutText(echo, slot) cut to 255 characters
 *   char**         `count` entries (QueryPresetPositions: at most nPresetMax)
 *   double**       `count` OutDouble elements in new unsigned char[]; null for 0
 *   unsigned char**  the echo's bytes, or `block=N` PatternByte bytes, in new
 *                  unsigned char[]; null when empty
 *   BSTR*          the UTF-16 of OutText; the old one freed first, except by
 *                  GetTimeLine (overwrites); OpenMediaStreamWithSettings: none
 *   aszOpenEvents  emptied and filled with `count` entries (cut to 255),
 *                  unless the result is 0
 * RESULTS  blocks: their length; QueryPresetPositions, QueryPtzSupportedDyn,
 *   QueryEventsDyn: the entries written; GetInfo 0; bool true; short
 *   DefaultShortResult(echo); other ints DefaultResult(echo).
 *
 * DIRECTIVES  `word` or `word=value` (unknown ones ignored, a bad number
 *   counts as none, later ones win), from: the id's sticky modes ("td:mode
 *   TOKENS"), the id itself ("cam#block=1048576#result=-3"), then the first
 *   entry queued for the id ("td:next TOKENS"), used up.
 *     result=N  the result (bool: N != 0)    block=N  blocks of N bytes
 *     null      no pointer outputs (blocks, arrays, BSTRs null; buffers and
 *               CStringArrays untouched; block and count results 0)
 *     count=N   array entries (2)    len=N  output texts padded (a..z) or cut
 *     fill      caller buffers get 256 characters and no terminator
 *   and effects, run in this order: print (the echo on standard output),
 *   fork (a child that ignores SIGTERM and waits for ever), hang (until
 *   td:release), exit=N (_exit), quit=N (exit), crash (SIGSEGV; crash=abort:
 *   abort()), throw (std::runtime_error; throw=int: an int).
 *
 * CONTROL  ExecuteCustomCommand with szCommand "td:...", neither counted nor
 *   steered: td:next, td:mode (result 0); td:release (wakes every hung call;
 *   result: how many); td:wait-hung N (blocks until N calls hang); else -1.
 * STATE  GetXml with szFilter "td:state": a BSTR of lines pid, featureset
 *   (the last SetFeatureSet text), featureset.calls, calls (counted calls),
 *   calls.<Name> (sorted), deletebuffer (non-null DeleteBuffer calls),
 *   blocks.live (blocks and arrays handed over and not deleted).
 */
#ifndef KESTREL_TESTDRIVER_PROTOCOL_H
#define KESTREL_TESTDRIVER_PROTOCOL_H

#include <kestrel/kestrel.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

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

// Ill-formed input becomes U+FFFD (ICU's header-only macros).
inline std::u16string Utf8ToUtf16(std::string_view in)
{
    std::u16string out;
    const auto* s = reinterpret_cast<const uint8_t*>(in.data());
    for (int32_t i = 0, n = static_cast<int32_t>(in.size()); i < n;) {
        UChar32 c = 0;
        U8_NEXT_OR_FFFD(s, i, n, c);
        char16_t units[2];
        int32_t k = 0;
        U16_APPEND_UNSAFE(units, k, c);
        out.append(units, static_cast<size_t>(k));
    }
    return out;
}

inline std::string Utf16ToUtf8(std::u16string_view in)
{
    std::string out;
    for (int32_t i = 0, n = static_cast<int32_t>(in.size()); i < n;) {
        UChar32 c = 0;
        U16_NEXT_OR_FFFD(in.data(), i, n, c);
        char bytes[4];
        int32_t k = 0;
        U8_APPEND_UNSAFE(bytes, k, c);
        out.append(bytes, static_cast<size_t>(k));
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

inline int DefaultResult(std::string_view echo) { return static_cast<int>(Fnv1a32(echo) & 0x7FFFFFFFu); }

inline short DefaultShortResult(std::string_view echo) { return static_cast<short>(Fnv1a32(echo) & 0x7FFFu); }

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

inline double OutDouble(std::string_view echo, std::string_view slot) { return OutInt(echo, slot) / 1024.0; }

inline unsigned char PatternByte(size_t i) { return static_cast<unsigned char>(i ^ (i >> 8) ^ (i >> 16) ^ (i >> 24)); }

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
inline std::string CallerBufferText(const std::string& text) { return text.substr(0, kCallerBufferSize - 1); }

}  // namespace testdriver

#endif  // KESTREL_TESTDRIVER_PROTOCOL_H
