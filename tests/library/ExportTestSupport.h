// Small tools shared by the tests of the forwarding exports: caller storage
// that shows whether the library touched it, BSTR conversions, and exact
// matching of captured log lines and of the test driver's state.
#pragma once

#include <kestrel/kestrel.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "../testdriver/testdriver_protocol.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace kestrel_test {

// What the library must leave in caller storage it has no business with:
// 255 marks and a terminator, so that even a log line that prints an
// untouched buffer stays inside it.
inline constexpr char kUntouchedMark = '~';

// A caller buffer of 256 characters, alone on the heap, so that a write
// past its end is caught by the address sanitizer.
class CallerBuffer {
public:
    CallerBuffer() : m_pText(new char[testdriver::kCallerBufferSize]) {
        std::memset(m_pText.get(), kUntouchedMark, testdriver::kCallerBufferSize - 1);
        m_pText[testdriver::kCallerBufferSize - 1] = '\0';
    }
    char* Get() { return m_pText.get(); }

    bool Untouched() const {
        for (int i = 0; i < testdriver::kCallerBufferSize - 1; ++i) {
            if (m_pText[i] != kUntouchedMark) return false;
        }
        return m_pText[testdriver::kCallerBufferSize - 1] == '\0';
    }

    // The buffer holds strText and its terminator, and nothing after the
    // terminator was written.
    testing::AssertionResult Holds(const std::string& strText) const {
        const size_t nLength = strnlen(m_pText.get(), testdriver::kCallerBufferSize);
        if (nLength == static_cast<size_t>(testdriver::kCallerBufferSize)) {
            return testing::AssertionFailure() << "no terminator in the buffer";
        }
        const std::string strHeld(m_pText.get(), nLength);
        if (strHeld != strText) return testing::AssertionFailure() << "holds '" << strHeld << "', not '" << strText << "'";
        for (size_t i = nLength + 1; i < static_cast<size_t>(testdriver::kCallerBufferSize) - 1; ++i) {
            if (m_pText[i] != kUntouchedMark) return testing::AssertionFailure() << "written past the terminator";
        }
        return testing::AssertionSuccess();
    }

private:
    std::unique_ptr<char[]> m_pText;
};

inline BSTR NewBstr(const std::string& strUtf8) {
    const std::u16string wide = testdriver::Utf8ToUtf16(strUtf8);
    return SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
}

// The BSTR's whole text as UTF-8; "<null>" for a null BSTR.
inline std::string TextOf(BSTR bs) {
    if (bs == nullptr) return "<null>";
    return testdriver::Utf16ToUtf8(std::u16string_view(bs, SysStringLen(bs)));
}

inline std::vector<std::string> LinesOf(const std::string& strText) {
    std::vector<std::string> lines;
    std::istringstream in(strText);
    for (std::string strLine; std::getline(in, strLine);) lines.push_back(strLine);
    return lines;
}

inline bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

inline bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Lines that are exactly strLine.
inline int CountExactLines(const std::string& strLog, const std::string& strLine) {
    int nCount = 0;
    for (const std::string& strOne : LinesOf(strLog)) nCount += strOne == strLine ? 1 : 0;
    return nCount;
}

// Lines that end with strEnd.
inline int CountExactLinesEndingWith(const std::string& strLog, const std::string& strEnd) {
    int nCount = 0;
    for (const std::string& strLine : LinesOf(strLog)) nCount += EndsWith(strLine, strEnd) ? 1 : 0;
    return nCount;
}

// Trace lines of function szFunction ("Kestrel - Name()[...") whose
// message ends with strMessageEnd.
inline int CountTraceLines(const std::string& strLog, const std::string& strFunction,
                           const std::string& strMessageEnd) {
    int nCount = 0;
    const std::string strPrefix = "Kestrel - " + strFunction + "()[";
    for (const std::string& strLine : LinesOf(strLog)) {
        nCount += StartsWith(strLine, strPrefix) && EndsWith(strLine, strMessageEnd) ? 1 : 0;
    }
    return nCount;
}

// The value of "key=value" in the test driver's state text; "<none>" when absent.
inline std::string StateValue(const std::string& strState, const std::string& strKey) {
    for (const std::string& strLine : LinesOf(strState)) {
        if (StartsWith(strLine, strKey + "=")) return strLine.substr(strKey.size() + 1);
    }
    return "<none>";
}

// The thrown KestrelErrorCode of a call; 0xDEADBEEF when nothing was thrown.
template <typename TCall>
unsigned long ThrownBy(TCall&& call) {
    try {
        call();
    } catch (KestrelErrorCode nCode) {
        return nCode;
    }
    return 0xDEADBEEFUL;
}

// Fails the test if anything allocated so far is no longer reachable. Run
// while libKestrel.so is still loaded, so that the library's module-wide
// objects count as reachable and only memory lost by the calls is reported
// (the report goes to the captured standard error). Without the address
// sanitizer it checks nothing.
inline void ExpectNoLeaks() {
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "memory was leaked; the report is in the captured log";
#endif
}

}  // namespace kestrel_test
