// Between the caller-side containers of the exports (BSTR, CStringArray,
// caller buffers) and the plain strings and arrays of the remote procedures,
// and owners for what the client stubs allocate (always with array new).
#pragma once

#include <kestrel/kestrel.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "remote/ProxyClient.h"

namespace kestrel::driver_api {

// Releases, at the end of the export, a block or string that a stub returned
// into the referenced local; a local still null (failed call, nothing
// returned) is left alone.
template <typename T>
class StubBlock {
public:
    explicit StubBlock(T*& pBlock) noexcept : m_pBlock(pBlock) {}
    ~StubBlock() { delete[] m_pBlock; }
    StubBlock(const StubBlock&) = delete;
    StubBlock& operator=(const StubBlock&) = delete;

private:
    T*& m_pBlock;
};

// The same for an array of strings: every one of nCount entries (null entries
// skipped), then the array itself. The count is read at release time, so it
// may be a local that the call itself fills.
class StubStrings {
public:
    StubStrings(RpcChar**& ppStrings, const std::int32_t& nCount) noexcept : m_ppStrings(ppStrings), m_nCount(nCount) {}
    ~StubStrings() {
        if (m_ppStrings == nullptr) return;
        for (std::int32_t i = 0; i < m_nCount; ++i) delete[] m_ppStrings[i];
        delete[] m_ppStrings;
    }
    StubStrings(const StubStrings&) = delete;
    StubStrings& operator=(const StubStrings&) = delete;

private:
    RpcChar**& m_ppStrings;
    const std::int32_t& m_nCount;
};

// A strings argument made from the caller's array: entry i points at the text
// of element i, which stays the caller's. Never null, not even for an empty
// array, since the runtime refuses a null array.
inline std::unique_ptr<RpcCChar* []> RequestArray(const CStringArray& aszStrings) {
    const int nSize = aszStrings.GetSize();
    std::unique_ptr<RpcCChar*[]> apszRequest(new RpcCChar*[nSize > 0 ? nSize : 0]);
    for (int i = 0; i < nSize; ++i) apszRequest[i] = aszStrings.GetAt(i);
    return apszRequest;
}

// Copies a returned text, terminator included, into a caller buffer; the
// caller sized the buffer. A text the driver did not return copies nothing.
inline void CopyToCallerBuffer(char* pcBuffer, const RpcChar* szReturned) {
    if (szReturned != nullptr) std::memcpy(pcBuffer, szReturned, std::strlen(szReturned) + 1);
}

// The caller's BSTR variable receives a copy of the returned wide string (an
// empty BSTR when there is none); the BSTR it held before is released.
inline void HandOverBstr(BSTR* pbsVariable, const RpcWChar* wstrReturned) {
    BSTR bsNew = SysAllocString(wstrReturned != nullptr ? wstrReturned : u"");
    SysFreeString(*pbsVariable);
    *pbsVariable = bsNew;
}

}  // namespace kestrel::driver_api
