// The C interface's own functions: errors in words, GetImage2 with its
// length, BSTR and string-array helpers, and the sink for libKestrel.so's
// notes.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "c_api/Call.h"
#include "c_api/CodeWords.h"
#include "c_api/Sink.h"
#include "platform/TextConversion.h"

namespace kestrel_c {

namespace {

thread_local ThreadNotes t_notes = {"", 0, "", -1};

void CopyText(char* szTarget, size_t nSize, const char* szText) noexcept {
    std::snprintf(szTarget, nSize, "%s", szText != nullptr ? szText : "");
}

}  // namespace

ThreadNotes& Notes() noexcept { return t_notes; }

void SetLastError(const char* szFormat, ...) noexcept {
    va_list args;
    va_start(args, szFormat);
    std::vsnprintf(t_notes.szLastError, sizeof t_notes.szLastError, szFormat, args);
    va_end(args);
}

void NoteThrown(const char* szExport, unsigned long nCode) noexcept {
    t_notes.nLastCode = static_cast<std::uint32_t>(nCode);
    char szCode[512];
    kestrel_describe_code(t_notes.nLastCode, szCode, sizeof szCode);
    SetLastError("%s threw %s", szExport, szCode);
}

kestrel_status NoteFailed(const char* szExport) noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        SetLastError("%s failed: out of memory", szExport);
    } catch (const std::exception& error) {
        SetLastError("%s failed: %s", szExport, error.what());
    } catch (...) {
        SetLastError("%s failed: an unexpected exception", szExport);
    }
    return KESTREL_FAILED;
}

void NoteAddResult(int nResult) noexcept {
    if (nResult != 0) return;
    SetLastError("AddDeviceInstance failed: %s", t_notes.szAddReason[0] != '\0'
                                                     ? t_notes.szAddReason
                                                     : "the driver or its proxy server could not be loaded");
}

Arg<CStringArray&>::Arg(kestrel_string_array* p) : m_p(p) {
    for (int i = 0; p != nullptr && i < p->count; ++i) m_array.Add(p->items[i]);
}

// All or nothing: the new items are complete before the old ones go.
void Arg<CStringArray&>::Finish() {
    if (m_p == nullptr) return;
    kestrel_string_array fresh = {0, 0, nullptr};
    for (int i = 0; i < m_array.GetSize(); ++i) {
        if (kestrel_string_array_add(&fresh, m_array[i]) < 0) {
            kestrel_string_array_free(&fresh);
            throw std::bad_alloc();
        }
    }
    kestrel_string_array_free(m_p);
    *m_p = fresh;
}

}  // namespace kestrel_c

using kestrel_c::t_notes;

extern "C" {

// Where libKestrel.so leaves its notes (see Sink.h).
KESTREL_C_API void kestrel_c_sink_v1(int nKind, const char* szText, long long nValue) {
    if (nKind == kestrel_c_sink::kAddFailure)
        kestrel_c::CopyText(t_notes.szAddReason, sizeof t_notes.szAddReason, szText);
    if (nKind == kestrel_c_sink::kImageLength) t_notes.nImageLength = nValue;
}

KESTREL_C_API uint32_t kestrel_last_code(void) { return t_notes.nLastCode; }

KESTREL_C_API const char* kestrel_last_error(void) { return t_notes.szLastError; }

KESTREL_C_API size_t kestrel_describe_code(uint32_t code, char* buffer, size_t size) {
    int nLength;
    try {
        nLength = std::snprintf(buffer, size, "%s", kestrel_codes::DescribeCode(code).c_str());
    } catch (const std::bad_alloc&) {
        nLength = std::snprintf(buffer, size, "0x%08X", static_cast<unsigned>(code));
    }
    return nLength > 0 ? static_cast<size_t>(nLength) : 0;
}

KESTREL_C_API kestrel_status kestrel_get_image(const char* szServer, int nCamNo, unsigned char** pJpgBytes,
                                               size_t* pLength) {
    t_notes.nImageLength = -1;
    if (pLength != nullptr) *pLength = 0;
    if (pJpgBytes != nullptr) *pJpgBytes = nullptr;
    const kestrel_status status = kestrel_GetImage2(nullptr, szServer, nCamNo, pJpgBytes);
    if (status == KESTREL_RETURNED && pLength != nullptr && pJpgBytes != nullptr && *pJpgBytes != nullptr &&
        t_notes.nImageLength > 0)
        *pLength = static_cast<size_t>(t_notes.nImageLength);
    return status;
}

KESTREL_C_API unsigned int kestrel_bstr_len(kestrel_bstr bs) { return SysStringLen(reinterpret_cast<BSTR>(bs)); }

KESTREL_C_API void kestrel_bstr_free(kestrel_bstr bs) { SysFreeString(reinterpret_cast<BSTR>(bs)); }

KESTREL_C_API kestrel_bstr kestrel_bstr_from_utf8(const char* szText) {
    if (szText == nullptr) return nullptr;
    try {
        const std::u16string wide = NmTextConversion::Utf8ToWide(szText);
        return reinterpret_cast<kestrel_bstr>(SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size())));
    } catch (const std::exception&) {
        return nullptr;
    }
}

KESTREL_C_API char* kestrel_bstr_to_utf8(kestrel_bstr bs) {
    if (bs == nullptr) return nullptr;
    try {
        const std::string text =
            NmTextConversion::WideToUtf8(std::u16string(reinterpret_cast<const char16_t*>(bs), kestrel_bstr_len(bs)));
        char* szCopy = static_cast<char*>(std::malloc(text.size() + 1));
        if (szCopy != nullptr) std::memcpy(szCopy, text.c_str(), text.size() + 1);
        return szCopy;
    } catch (const std::exception&) {
        return nullptr;
    }
}

KESTREL_C_API void kestrel_free(void* p) { std::free(p); }

KESTREL_C_API int kestrel_string_array_add(kestrel_string_array* pArray, const char* szText) {
    if (pArray->count == pArray->capacity) {
        if (pArray->capacity > INT_MAX / 2) return -1;
        const int nCapacity = pArray->capacity < 4 ? 4 : pArray->capacity * 2;
        void* pGrown = std::realloc(pArray->items, static_cast<size_t>(nCapacity) * sizeof(char*));
        if (pGrown == nullptr) return -1;
        pArray->items = static_cast<char**>(pGrown);
        pArray->capacity = nCapacity;
    }
    char* szCopy = strdup(szText != nullptr ? szText : "");
    if (szCopy == nullptr) return -1;
    pArray->items[pArray->count] = szCopy;
    return pArray->count++;
}

KESTREL_C_API void kestrel_string_array_free(kestrel_string_array* pArray) {
    for (int i = 0; i < pArray->count; ++i) std::free(pArray->items[i]);
    std::free(pArray->items);
    *pArray = kestrel_string_array{0, 0, nullptr};
}

}  // extern "C"
