// The forwarding exports called generically: one holder per parameter type
// makes a distinct argument (so a swapped argument shows in the driver's
// echo) and predicts what the call leaves in it from the echo
// (testdriver_protocol.h). A parameter type without a holder does not
// compile.
#pragma once

#include <kestrel/kestrel.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "../testdriver/testdriver_protocol.h"
#include "LibraryHarness.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace kestrel_test {

namespace td = testdriver;

constexpr int kDataLength = 77;         // bytes behind PutMediaDataBlock's and ParseXmlEventDataDyn's pointer
constexpr int kPresetMax = 5;           // QueryPresetPositions' nPresetMax
constexpr int kSupportedEntries = 256;  // QueryPtzSupportedDyn's caller buffers

// A caller buffer of 256 characters, alone on the heap (a write past its end
// is caught by the address sanitizer), filled with marks so that anything
// the library writes shows.
class CallerBuffer {
public:
    CallerBuffer() : m_pText(new char[td::kCallerBufferSize]) {
        std::memset(m_pText.get(), '~', td::kCallerBufferSize - 1);
        m_pText[td::kCallerBufferSize - 1] = '\0';
    }
    char* Get() { return m_pText.get(); }
    bool Untouched() const { return strspn(m_pText.get(), "~") == td::kCallerBufferSize - 1; }
    // Holds strText and its terminator, and nothing after it was written.
    testing::AssertionResult Holds(const std::string& strText) const {
        const size_t n = strnlen(m_pText.get(), td::kCallerBufferSize);
        if (std::string(m_pText.get(), n) != strText || n == td::kCallerBufferSize)
            return testing::AssertionFailure()
                   << "holds '" << std::string(m_pText.get(), n) << "', not '" << strText << "'";
        if (n + 1 < td::kCallerBufferSize - 1 && strspn(m_pText.get() + n + 1, "~") != td::kCallerBufferSize - n - 2)
            return testing::AssertionFailure() << "written past the terminator";
        return testing::AssertionSuccess();
    }

private:
    std::unique_ptr<char[]> m_pText;
};

inline BSTR NewBstr(const std::string& strUtf8) {
    const std::u16string wide = td::Utf8ToUtf16(strUtf8);
    return SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
}

// The BSTR's whole text as UTF-8; "<null>" for a null BSTR.
inline std::string TextOf(BSTR bs) {
    return bs == nullptr ? "<null>" : td::Utf16ToUtf8(std::u16string_view(bs, SysStringLen(bs)));
}

// Captured lines that are exactly strLine.
inline int CountExactLines(const std::string& strLog, const std::string& strLine) {
    int nCount = 0;
    for (size_t nAt = 0; (nAt = strLog.find(strLine + "\n", nAt)) != std::string::npos; nAt += strLine.size())
        nCount += nAt == 0 || strLog[nAt - 1] == '\n';
    return nCount;
}

// Trace lines of szFunction ("Kestrel - Name()[...") whose message ends with strEnd.
inline int CountTraceLines(const std::string& strLog, const std::string& strFunction, const std::string& strEnd) {
    int nCount = 0;
    size_t nStart = 0;
    for (size_t nEnd; (nEnd = strLog.find('\n', nStart)) != std::string::npos; nStart = nEnd + 1) {
        const std::string_view line(strLog.data() + nStart, nEnd - nStart);
        nCount += line.starts_with("Kestrel - " + strFunction + "()[") && line.ends_with(strEnd);
    }
    return nCount;
}

// The value of "key=value" in the test driver's state text; "<none>" when absent.
inline std::string StateValue(const std::string& strState, const std::string& strKey) {
    const size_t nAt = ("\n" + strState).find("\n" + strKey + "=");
    return nAt == std::string::npos
               ? "<none>"
               : strState.substr(nAt + strKey.size() + 1, strState.find('\n', nAt) - nAt - strKey.size() - 1);
}

// Fails the test if memory lost by the calls so far is unreachable (address
// sanitizer builds; the report goes to the captured log). Run while the
// library is loaded, so its module-wide objects count as reachable.
inline void ExpectNoLeaks() {
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "memory was leaked; the report is in the captured log";
#endif
}

// One call of one export.
struct CallSite {
    Kestrel& api;
    std::string strExport;
    std::string strInstance;
    int nCount = td::kDefaultCount;
    std::string strEcho;  // known once every argument has its value
};

template <typename T>
struct Arg;

// Inputs: nothing to check after the call.
struct Input {
    void Check(CallSite&) {}
};

template <>
struct Arg<const char*> : Input {
    std::string strValue;
    void Init(const CallSite& site, const std::string& strName, int i) {
        // Quotes, a backslash, a control character and UTF-8 arrive as sent.
        strValue = i == 0 ? site.strInstance : strName + "<" + std::to_string(i) + "> \"q\" \\ \t \xc3\xa9\xe2\x82\xac";
    }
    const char* Get() { return strValue.c_str(); }
    std::string Token() const { return td::Str(strValue.c_str()); }
};

// Plain values: int, short, long long (beyond 32 bits, so that a narrowing
// shows), double.
template <typename T>
struct Value : Input {
    T value{};
    void Init(const CallSite&, const std::string& strName, int i) {
        const int nSign = i % 2 != 0 ? -1 : 1;
        if constexpr (std::is_same_v<T, double>)
            value = nSign * (i + 1.0 / 3.0) * 1000.0;
        else if constexpr (std::is_same_v<T, long long>)
            value = nSign * (0x100000000LL * (i + 2) + 12345 + i);
        else if constexpr (std::is_same_v<T, short>)
            value = static_cast<short>(-(1000 + 37 * i));
        else
            value = strName == "nLength"      ? kDataLength
                    : strName == "nPresetMax" ? kPresetMax
                                              : nSign * (i * 65536 + 4660 + i);
    }
    T Get() { return value; }
    std::string Token() const {
        if constexpr (std::is_same_v<T, double>)
            return td::Dbl(value);
        else
            return td::Int(value);
    }
};
template <>
struct Arg<int> : Value<int> {};
template <>
struct Arg<short> : Value<short> {};
template <>
struct Arg<long long> : Value<long long> {};
template <>
struct Arg<double> : Value<double> {};

template <>
struct Arg<const unsigned char*> : Input {
    std::vector<unsigned char> data;
    void Init(const CallSite&, const std::string&, int i) {
        data.resize(kDataLength);
        for (size_t j = 0; j < data.size(); ++j)
            data[j] = static_cast<unsigned char>(j * 29 + static_cast<size_t>(i) * 71);
        data[1] = 0;  // binary data, not text
    }
    const unsigned char* Get() { return data.data(); }
    std::string Token() const { return td::Bytes(data.data(), kDataLength); }
};

template <>
struct Arg<const int*> : Input {
    std::vector<int> values;
    void Init(const CallSite&, const std::string&, int i) {
        for (int j = 0; j < 256; ++j) values.push_back(i * 1000003 - j * 7919);
    }
    const int* Get() { return values.data(); }
    std::string Token() const { return td::Ints(values.data(), 256); }
};

template <typename T>
struct OutValue {
    std::string strName;
    T value = T(INT_MIN + 7);
    void Init(const CallSite&, const std::string& strParam, int) { strName = strParam; }
    T* Get() { return &value; }
    std::string Token() const { return td::Out(&value); }
    void Check(CallSite& site) {
        if constexpr (std::is_same_v<T, double>)
            EXPECT_EQ(value, td::OutDouble(site.strEcho, strName)) << strName;
        else
            EXPECT_EQ(value, strName == "piNumFPSValues" ? site.nCount : td::OutInt(site.strEcho, strName)) << strName;
    }
};
template <>
struct Arg<int*> : OutValue<int> {};
template <>
struct Arg<double*> : OutValue<double> {};

template <>
struct Arg<char*> {
    std::string strName;
    CallerBuffer buffer;
    void Init(const CallSite&, const std::string& strParam, int) { strName = strParam; }
    char* Get() { return buffer.Get(); }
    std::string Token() const { return "&"; }
    void Check(CallSite& site) {
        EXPECT_TRUE(buffer.Holds(td::CallerBufferText(td::OutText(site.strEcho, strName)))) << strName;
    }
};

// Exactly as many caller buffers as the export may write, so touching one
// more is caught.
template <>
struct Arg<char**> {
    std::string strName;
    std::vector<CallerBuffer> buffers;
    std::vector<char*> pointers;
    void Init(const CallSite& site, const std::string& strParam, int) {
        strName = strParam;
        buffers.resize(site.strExport == "QueryPresetPositions" ? kPresetMax : kSupportedEntries);
        for (CallerBuffer& buffer : buffers) pointers.push_back(buffer.Get());
    }
    char** Get() { return pointers.data(); }
    std::string Token() const { return "&"; }
    void Check(CallSite& site) {
        const int nWritten = site.strExport == "QueryPresetPositions" ? std::min(site.nCount, kPresetMax) : site.nCount;
        for (int j = 0; j < static_cast<int>(buffers.size()); ++j) {
            const std::string strSlot = strName + "[" + std::to_string(j) + "]";
            const CallerBuffer& buffer = buffers[static_cast<size_t>(j)];
            if (j < nWritten)
                EXPECT_TRUE(buffer.Holds(td::CallerBufferText(td::OutText(site.strEcho, strSlot)))) << strSlot;
            else
                EXPECT_TRUE(buffer.Untouched()) << strSlot;
        }
    }
};

// Blocks and arrays handed over: released through DeleteBuffer here, so a
// leak or a double release shows in the sanitizer build.
template <typename T>
struct HandedOver {
    std::string strName;
    T stale{};
    T* pBlock = &stale;
    void Init(const CallSite&, const std::string& strParam, int) { strName = strParam; }
    T** Get() { return &pBlock; }
    std::string Token() const { return td::Out(&pBlock); }
    void Check(CallSite& site) {
        ASSERT_TRUE(pBlock != nullptr && pBlock != &stale) << strName;
        if constexpr (std::is_same_v<T, double>) {
            for (int j = 0; j < site.nCount; ++j) {
                const std::string strSlot = strName + "[" + std::to_string(j) + "]";
                EXPECT_EQ(pBlock[j], td::OutDouble(site.strEcho, strSlot)) << strSlot;
            }
        } else {
            // The echo's bytes; a shorter block is read past its end, which
            // the address sanitizer reports.
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(pBlock), site.strEcho.size()), site.strEcho);
        }
        site.api.DeleteBuffer(reinterpret_cast<unsigned char*>(pBlock));
    }
};
template <>
struct Arg<unsigned char**> : HandedOver<unsigned char> {};
template <>
struct Arg<double**> : HandedOver<double> {};

// Exports whose BSTR variable carries text to the driver.
inline const std::set<std::string_view> kInputBstrExports = {"SetXmlParams", "SetXmlEvents",
                                                             "OpenMediaStreamWithSettings"};

template <>
struct Arg<BSTR*> {
    std::string strName;
    bool bInput = false;
    std::string strBefore;
    BSTR bsBefore = nullptr;
    BSTR bsVariable = nullptr;
    void Init(const CallSite& site, const std::string& strParam, int i) {
        strName = strParam;
        bInput = kInputBstrExports.count(site.strExport) > 0;
        // Input text with characters outside the BMP (a surrogate pair).
        strBefore = bInput
                        ? "<" + strParam + " i=\"" + std::to_string(i) + "\">\xc3\xa4\xe2\x82\xac\xf0\x9f\x98\x80</x>"
                        : "previous " + strParam;
        bsBefore = bsVariable = NewBstr(strBefore);
    }
    BSTR* Get() { return &bsVariable; }
    std::string Token() const { return bInput ? td::Wide(bsVariable) : td::Out(&bsVariable); }
    void Check(CallSite& site) {
        if (site.strExport == "OpenMediaStreamWithSettings") return AsBefore();  // only read
        EXPECT_EQ(TextOf(bsVariable), td::OutText(site.strEcho, strName)) << strName;
        // GetTimeLine overwrites without releasing: the old BSTR is still the
        // caller's. Every other export released it (a leak or a double free
        // shows in the sanitizer build).
        if (site.strExport == "GetTimeLine") {
            EXPECT_EQ(TextOf(bsBefore), strBefore);
            SysFreeString(bsBefore);
        }
        SysFreeString(bsVariable);
    }
    void AsBefore() {
        EXPECT_EQ(bsVariable, bsBefore) << strName;
        EXPECT_EQ(TextOf(bsVariable), strBefore) << strName;
        SysFreeString(bsVariable);
    }
};

template <>
struct Arg<CStringArray&> {
    std::string strName;
    bool bOut = false;
    CStringArray array;
    std::string strBefore;
    void Init(const CallSite&, const std::string& strParam, int i) {
        strName = strParam;
        bOut = strParam == "aszOpenEvents";
        for (const std::string& s : bOut ? std::vector<std::string>{"stale one", "stale two", "stale three"}
                                         : std::vector<std::string>{strParam + "<" + std::to_string(i) + ">",
                                                                    "quote \" and \xc3\xa9", "", "Input1"})
            array.Add(s.c_str());
        strBefore = td::Array(array);
    }
    CStringArray& Get() { return array; }
    std::string Token() const { return bOut ? td::Out(&array) : td::Array(array); }
    void Check(CallSite& site) {
        if (!bOut) {  // only read
            EXPECT_EQ(td::Array(array), strBefore) << strName;
            return;
        }
        ASSERT_EQ(array.GetSize(), site.nCount) << strName;
        for (int j = 0; j < site.nCount; ++j) {
            const std::string strSlot = strName + "[" + std::to_string(j) + "]";
            EXPECT_STREQ(array[j], td::CallerBufferText(td::OutText(site.strEcho, strSlot)).c_str()) << strSlot;
        }
    }
};

// Parameter names from a stringised argument list "(szServer, nCamNo)".
inline std::vector<std::string> ParamNames(std::string_view args) {
    std::vector<std::string> names;
    for (size_t nStart = 1, nEnd; nStart < args.size(); nStart = nEnd + 2) {
        nEnd = std::min(args.find(',', nStart), args.size() - 1);
        names.emplace_back(args.substr(nStart, nEnd - nStart));
    }
    return names;
}

// Calls the export with a distinct value per parameter; checkResult(result)
// runs when it returns, and the holders' Check afterwards. Returns the
// thrown code, 0xDEADBEEF when none.
template <typename R, typename... A, typename TCheckResult>
unsigned long CallWithDistinctArguments(CallSite& site, R (*pExport)(A...), const char* szArgs,
                                        TCheckResult&& checkResult) {
    EXPECT_NE(pExport, nullptr) << site.strExport << " is not exported";
    const std::vector<std::string> names = ParamNames(szArgs);
    EXPECT_EQ(names.size(), sizeof...(A));
    if (pExport == nullptr || names.size() != sizeof...(A)) return 0xDEADBEEFUL;

    std::tuple<Arg<A>...> args;
    std::apply(
        [&](auto&... arg) {
            int i = 0;
            ((arg.Init(site, names[static_cast<size_t>(i)], i), ++i), ...);
        },
        args);
    std::string strTokens;
    std::apply([&](auto&... arg) { ((strTokens += (strTokens.empty() ? "" : ",") + arg.Token()), ...); }, args);
    site.strEcho = site.strExport + "(" + strTokens + ")";

    const unsigned long nThrown = Thrown([&] {
        if constexpr (std::is_void_v<R>)
            std::apply([&](auto&... arg) { pExport(arg.Get()...); }, args);
        else
            checkResult(static_cast<long long>(std::apply([&](auto&... arg) { return pExport(arg.Get()...); }, args)));
    });
    if (nThrown == 0xDEADBEEFUL) std::apply([&](auto&... arg) { (arg.Check(site), ...); }, args);
    return nThrown;
}

struct ExportCase {
    const char* szName;
    unsigned long (*pRun)(CallSite&, const std::function<void(long long)>&);
    bool bBoolResult;
    bool bShortResult;
};

#define KESTREL_TEST_EXPORT_CASE(OP, R, NAME, PARAMS, ARGS)                             \
    ExportCase{#NAME,                                                                   \
               [](CallSite& site, const std::function<void(long long)>& check) {        \
                   return CallWithDistinctArguments(site, site.api.NAME, #ARGS, check); \
               },                                                                       \
               std::is_same_v<R, bool>, std::is_same_v<R, short>},
inline const ExportCase kExportCases[] = {KESTREL_FORWARDING_EXPORTS(KESTREL_TEST_EXPORT_CASE)};
#undef KESTREL_TEST_EXPORT_CASE
static_assert(std::size(kExportCases) == KESTREL_FORWARDING_EXPORT_COUNT, "one case per forwarding export");

}  // namespace kestrel_test
