// Text conversions between UTF-8 (the library's own encoding), UTF-16LE and
// the local code page (ICU's default converter). They never fail: malformed
// input and unrepresentable characters become ICU's substitution character.
#pragma once

#include <string>

namespace NmTextConversion {

// UTF-16LE bytes (two per code unit) to UTF-8.
std::string Utf16LeToUtf8(const std::string& strUtf16Le);
// UTF-8 to UTF-16LE bytes.
std::string Utf8ToUtf16Le(const std::string& strUtf8);
// UTF-8 to the local code page; a copy when the default converter is "UTF-8".
std::string Utf8ToLocal(const std::string& strUtf8);
// UTF-16 code units ("wide" text is char16_t, never wchar_t) to UTF-8.
std::string WideToUtf8(const std::u16string& strWide);
// UTF-8 to UTF-16 code units.
std::u16string Utf8ToWide(const std::string& strUtf8);

}  // namespace NmTextConversion
