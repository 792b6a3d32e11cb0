// Text helpers of the simulated camera: UTF-8/UTF-16, BSTR hand-over, XML
// escaping and caller-buffer copies.
#pragma once

#include <kestrel/kestrel.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace simcam {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// Appends one code point as UTF-8.
void AppendUtf8(std::string& out, uint32_t cp);

// The UTF-8 text of a BSTR (up to its length); empty for null.
std::string FromBstr(BSTR bs);

// Releases what *pbs holds and stores a new BSTR of `utf8`, following the
// API's rule for BSTR out-parameters. No effect for a null pbs.
void ReplaceBstr(BSTR* pbs, std::string_view utf8);

// Escapes &, <, >, " and ' for XML text and attribute values.
std::string XmlEscape(std::string_view text);

// Copies text into a caller buffer of 256, cut to 255 characters.
void CopyToCallerBuffer(char* buffer, std::string_view text);

inline constexpr size_t kCallerBufferSize = 256;

}  // namespace simcam
