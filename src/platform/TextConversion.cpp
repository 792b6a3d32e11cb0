#include "platform/TextConversion.h"

#include <cstring>
#include <memory>

#include <unicode/ucnv.h>
#include <unicode/unistr.h>

namespace NmTextConversion {
namespace {

constexpr const char* kUtf8 = "UTF-8";
constexpr const char* kUtf16Le = "UTF-16LE";

// Results up to this size need no heap buffer for the extract.
constexpr int32_t kStackBufferSize = 256;

// Extracts the whole of strUnicode in the target encoding. szTarget nullptr
// selects ICU's default converter (the local code page).
std::string Extract(const icu::UnicodeString& strUnicode, const char* szTarget)
{
    const auto extractInto = [&](char* pBuffer, int32_t nCapacity) {
        return szTarget != nullptr
                   ? strUnicode.extract(0, strUnicode.length(), pBuffer, static_cast<uint32_t>(nCapacity), szTarget)
                   : strUnicode.extract(0, strUnicode.length(), pBuffer, static_cast<uint32_t>(nCapacity));
    };

    char szStack[kStackBufferSize];
    const int32_t nNeeded = extractInto(szStack, kStackBufferSize);
    if (nNeeded <= kStackBufferSize)
        return std::string(szStack, static_cast<size_t>(nNeeded));

    // Too long for the stack: a second pass into a buffer of exactly the size.
    const auto pHeap = std::make_unique<char[]>(static_cast<size_t>(nNeeded));
    const int32_t nWritten = extractInto(pHeap.get(), nNeeded);
    return std::string(pHeap.get(), static_cast<size_t>(nWritten));
}

std::string Convert(const std::string& strSource, const char* szSource, const char* szTarget)
{
    const icu::UnicodeString strUnicode(strSource.data(), static_cast<int32_t>(strSource.size()), szSource);
    return Extract(strUnicode, szTarget);
}

}  // namespace

std::string Utf16LeToUtf8(const std::string& strUtf16Le) { return Convert(strUtf16Le, kUtf16Le, kUtf8); }

std::string Utf8ToUtf16Le(const std::string& strUtf8) { return Convert(strUtf8, kUtf8, kUtf16Le); }

std::string Utf8ToLocal(const std::string& strUtf8)
{
    if (std::strcmp(ucnv_getDefaultName(), kUtf8) == 0)
        return strUtf8;
    return Convert(strUtf8, kUtf8, nullptr);
}

std::string WideToUtf8(const std::u16string& strWide)
{
    std::string strBytes;
    strBytes.reserve(strWide.size() * 2);
    for (const char16_t cUnit : strWide) {
        strBytes.push_back(static_cast<char>(cUnit & 0xFF));
        strBytes.push_back(static_cast<char>(cUnit >> 8));
    }
    return Utf16LeToUtf8(strBytes);
}

std::u16string Utf8ToWide(const std::string& strUtf8)
{
    const std::string strBytes = Utf8ToUtf16Le(strUtf8);
    std::u16string strWide(strBytes.size() / 2, u'\0');
    for (size_t i = 0; i < strWide.size(); ++i) {
        const auto nLow = static_cast<unsigned char>(strBytes[2 * i]);
        const auto nHigh = static_cast<unsigned char>(strBytes[2 * i + 1]);
        strWide[i] = static_cast<char16_t>(nLow | (nHigh << 8));
    }
    return strWide;
}

}  // namespace NmTextConversion
