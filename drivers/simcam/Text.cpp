#include "Text.h"

#include <cstdint>
#include <cstring>

namespace simcam {

std::u16string Utf8ToUtf16(std::string_view in)
{
    std::u16string out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        const unsigned char c = static_cast<unsigned char>(in[i]);
        size_t need = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        uint32_t cp = 0xFFFD;
        size_t used = 1;
        if (need == 1) {
            cp = c;
        } else if (need > 1) {
            uint32_t v = c & (0x7F >> need);
            size_t k = 1;
            while (k < need && i + k < in.size() && (static_cast<unsigned char>(in[i + k]) & 0xC0) == 0x80) {
                v = (v << 6) | (static_cast<unsigned char>(in[i + k]) & 0x3F);
                ++k;
            }
            used = k;
            static const uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
            if (k == need && v >= kMinimum[need] && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF))
                cp = v;
        }
        i += used;
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

void AppendUtf8(std::string& out, uint32_t cp)
{
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

std::string Utf16ToUtf8(std::u16string_view in)
{
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        uint32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

std::string FromBstr(BSTR bs)
{
    if (bs == nullptr)
        return {};
    return Utf16ToUtf8(std::u16string_view(bs, SysStringLen(bs)));
}

void ReplaceBstr(BSTR* pbs, std::string_view utf8)
{
    if (pbs == nullptr)
        return;
    const std::u16string wide = Utf8ToUtf16(utf8);
    BSTR fresh = SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
    SysFreeString(*pbs);
    *pbs = fresh;
}

std::string XmlEscape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

void CopyToCallerBuffer(char* buffer, std::string_view text)
{
    if (buffer == nullptr)
        return;
    const size_t n = text.size() < kCallerBufferSize - 1 ? text.size() : kCallerBufferSize - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

}  // namespace simcam
