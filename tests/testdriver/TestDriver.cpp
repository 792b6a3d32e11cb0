// libkestrel_testdriver.so: a driver whose every export answers from its own
// arguments and obeys directives, so that tests of HostProc and
// libKestrel.so can check pass-through and provoke failures per call. The
// protocol is described in testdriver_protocol.h.

#include "ControlState.h"
#include "testdriver_protocol.h"

#include <kestrel/driver_exports.h>

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace testdriver {
namespace {

// The first n pattern bytes, computed once per thread and copied from then
// on, so that large blocks cost what a real driver's copy costs.
const unsigned char* Pattern(size_t n)
{
    thread_local std::vector<unsigned char> pattern;
    for (size_t i = pattern.size(); i < n; ++i)
        pattern.push_back(PatternByte(i));
    return pattern.data();
}

// One argument of a call, classified by its C++ type.
struct Arg {
    enum Kind {
        kString,       // const char*
        kBuffer,       // char*: caller buffer of 256
        kBufferArray,  // char**: caller buffers of 256
        kInt,          // int, short, long long
        kDouble,       // double
        kOutInt,       // int*
        kOutDouble,    // double*
        kOutDoubles,   // double**: handed-over array
        kOutBlock,     // unsigned char**: handed-over block
        kBytes,        // const unsigned char*, sized by the next argument
        kInts,         // const int*: 256 entries
        kBstr,         // BSTR*
        kStringArray,  // CStringArray&
    };
    Kind kind;
    std::string name;
    const char* str = nullptr;
    char* buffer = nullptr;
    char** buffers = nullptr;
    long long integer = 0;
    double dbl = 0;
    int* outInt = nullptr;
    double* outDouble = nullptr;
    double** outDoubles = nullptr;
    unsigned char** outBlock = nullptr;
    const unsigned char* bytes = nullptr;
    const int* ints = nullptr;
    BSTR* bstr = nullptr;
    CStringArray* array = nullptr;
};

Arg MakeArg(const char* v) { Arg a{Arg::kString, {}}; a.str = v; return a; }
Arg MakeArg(char* v) { Arg a{Arg::kBuffer, {}}; a.buffer = v; return a; }
Arg MakeArg(char** v) { Arg a{Arg::kBufferArray, {}}; a.buffers = v; return a; }
Arg MakeArg(int v) { Arg a{Arg::kInt, {}}; a.integer = v; return a; }
Arg MakeArg(short v) { Arg a{Arg::kInt, {}}; a.integer = v; return a; }
Arg MakeArg(long long v) { Arg a{Arg::kInt, {}}; a.integer = v; return a; }
Arg MakeArg(double v) { Arg a{Arg::kDouble, {}}; a.dbl = v; return a; }
Arg MakeArg(int* v) { Arg a{Arg::kOutInt, {}}; a.outInt = v; return a; }
Arg MakeArg(double* v) { Arg a{Arg::kOutDouble, {}}; a.outDouble = v; return a; }
Arg MakeArg(double** v) { Arg a{Arg::kOutDoubles, {}}; a.outDoubles = v; return a; }
Arg MakeArg(unsigned char** v) { Arg a{Arg::kOutBlock, {}}; a.outBlock = v; return a; }
Arg MakeArg(const unsigned char* v) { Arg a{Arg::kBytes, {}}; a.bytes = v; return a; }
Arg MakeArg(const int* v) { Arg a{Arg::kInts, {}}; a.ints = v; return a; }
Arg MakeArg(BSTR* v) { Arg a{Arg::kBstr, {}}; a.bstr = v; return a; }
Arg MakeArg(CStringArray& v) { Arg a{Arg::kStringArray, {}}; a.array = &v; return a; }

// Parameter names from the stringised parameter list "(const char* a, int b)".
std::vector<std::string> ParamNames(std::string_view params)
{
    std::vector<std::string> names;
    params.remove_prefix(1);
    params.remove_suffix(1);
    size_t pos = 0;
    while (pos <= params.size()) {
        size_t end = params.find(',', pos);
        std::string_view one = params.substr(pos, end == std::string_view::npos ? end : end - pos);
        size_t start = one.size();
        while (start > 0 && (std::isalnum(static_cast<unsigned char>(one[start - 1])) || one[start - 1] == '_'))
            --start;
        names.emplace_back(one.substr(start));
        if (end == std::string_view::npos)
            break;
        pos = end + 1;
    }
    return names;
}

bool IsInputBstr(std::string_view exportName)
{
    return exportName == "SetXmlParams" || exportName == "SetXmlEvents" ||
           exportName == "OpenMediaStreamWithSettings";
}

bool IsBlockExport(std::string_view exportName)
{
    return exportName == "GetImage2" || exportName == "GetVideoDataBlock" ||
           exportName == "GetMediaDataBlock";
}

bool IsCountExport(std::string_view exportName)
{
    return exportName == "QueryPresetPositions" || exportName == "QueryPtzSupportedDyn" ||
           exportName == "QueryEventsDyn";
}

std::string Token(const Arg& a, const std::string_view exportName, const Arg* next)
{
    switch (a.kind) {
    case Arg::kString: return Str(a.str);
    case Arg::kInt: return Int(a.integer);
    case Arg::kDouble: return Dbl(a.dbl);
    case Arg::kBytes: return Bytes(a.bytes, next != nullptr ? static_cast<int>(next->integer) : 0);
    case Arg::kInts: return Ints(a.ints, 256);
    case Arg::kBstr:
        if (IsInputBstr(exportName))
            return a.bstr == nullptr ? "null" : Wide(*a.bstr);
        return Out(a.bstr);
    case Arg::kStringArray:
        return a.name == "aszOpenEvents" ? Out(a.array) : Array(*a.array);
    case Arg::kBuffer: return Out(a.buffer);
    case Arg::kBufferArray: return Out(a.buffers);
    case Arg::kOutInt: return Out(a.outInt);
    case Arg::kOutDouble: return Out(a.outDouble);
    case Arg::kOutDoubles: return Out(a.outDoubles);
    case Arg::kOutBlock: return Out(a.outBlock);
    }
    return "?";
}

std::string EchoOf(std::string_view exportName, const std::vector<Arg>& args)
{
    std::string echo(exportName);
    echo.push_back('(');
    for (size_t i = 0; i < args.size(); ++i) {
        if (i > 0)
            echo.push_back(',');
        echo += Token(args[i], exportName, i + 1 < args.size() ? &args[i + 1] : nullptr);
    }
    echo.push_back(')');
    return echo;
}

void SleepMs(int ms)
{
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// The side effects of a call, in the documented order.
void RunEffects(const Directives& d, const std::string& echo)
{
    if (d.print) {
        const std::string line = echo + "\n";
        if (write(STDOUT_FILENO, line.data(), line.size()) < 0) {
            // Nothing to do: the line is only a witness.
        }
    }
    if (d.delayMs > 0)
        SleepMs(d.delayMs);
    if (d.hang)
        ControlState::Get().Hang();
    if (d.exitCode)
        _exit(*d.exitCode);
    if (d.crash == "write") {
        // A genuine fault; a low non-null address so that no sanitizer
        // reports a null dereference instead of faulting.
        volatile uintptr_t address = 16;
        *reinterpret_cast<volatile int*>(address) = 1;
    } else if (d.crash == "abort") {
        abort();
    } else if (!d.crash.empty()) {
        raise(SIGSEGV);
    }
    if (d.throwKind == "int")
        throw 42;
    if (!d.throwKind.empty())
        throw std::runtime_error("testdriver: exception on request");
}

std::string TextFor(const Directives& d, std::string_view echo, std::string_view slot)
{
    std::string text = OutText(echo, slot);
    if (d.len)
        text = FitText(std::move(text), static_cast<size_t>(*d.len));
    return text;
}

void WriteCallerBuffer(const Directives& d, char* buffer, const std::string& text)
{
    if (buffer == nullptr)
        return;
    if (d.fill) {
        // FitText's padding, written in place.
        for (size_t i = 0; i < kCallerBufferSize; ++i)
            buffer[i] = i < text.size() ? text[i] : static_cast<char>('a' + i % 26);
        return;
    }
    const std::string cut = CallerBufferText(text);
    std::memcpy(buffer, cut.c_str(), cut.size() + 1);
}

BSTR MakeBstr(const std::string& utf8)
{
    const std::u16string wide = Utf8ToUtf16(utf8);
    return SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
}

unsigned char* HandOver(size_t size)
{
    ControlState::Get().NoteBlockHandedOver();
    return new unsigned char[size];
}

enum class ResultKind { kVoid, kInt, kShort, kBool };

// Writes every output of the call; returns its result.
long long WriteOutputs(const std::string& exportName, std::vector<Arg>& args, const Directives& d,
                       const std::string& echo, ResultKind kind)
{
    const int count = d.count.value_or(kDefaultCount);
    long long defaultResult = DefaultResult(echo);
    if (kind == ResultKind::kShort)
        defaultResult = DefaultShortResult(echo);
    if (kind == ResultKind::kBool)
        defaultResult = 1;
    if (exportName == "GetInfo")
        defaultResult = 0;
    if (IsBlockExport(exportName) || IsCountExport(exportName))
        defaultResult = 0;

    for (Arg& a : args) {
        switch (a.kind) {
        case Arg::kBuffer:
            if (!d.null)
                WriteCallerBuffer(d, a.buffer, TextFor(d, echo, a.name));
            break;
        case Arg::kBufferArray: {
            int n = std::min(count, kCallerBufferSize);
            if (exportName == "QueryPresetPositions")
                n = std::min(n, std::max(0, static_cast<int>(args[2].integer)));
            if (d.null || a.buffers == nullptr)
                break;
            for (int j = 0; j < n; ++j)
                WriteCallerBuffer(d, a.buffers[j], TextFor(d, echo, a.name + "[" + std::to_string(j) + "]"));
            defaultResult = n;
            break;
        }
        case Arg::kOutInt:
            if (a.outInt != nullptr)
                *a.outInt = a.name == "piNumFPSValues" ? count : OutInt(echo, a.name);
            break;
        case Arg::kOutDouble:
            if (a.outDouble != nullptr)
                *a.outDouble = OutDouble(echo, a.name);
            break;
        case Arg::kOutDoubles:
            if (a.outDoubles == nullptr)
                break;
            *a.outDoubles = nullptr;
            if (!d.null && count > 0) {
                double* values = reinterpret_cast<double*>(HandOver(sizeof(double) * count));
                for (int j = 0; j < count; ++j)
                    values[j] = OutDouble(echo, a.name + "[" + std::to_string(j) + "]");
                *a.outDoubles = values;
            }
            break;
        case Arg::kOutBlock: {
            if (a.outBlock == nullptr)
                break;
            *a.outBlock = nullptr;
            if (d.null)
                break;
            const size_t size = d.block ? static_cast<size_t>(*d.block) : echo.size();
            if (size > 0) {
                unsigned char* block = HandOver(size);
                if (d.block)
                    std::memcpy(block, Pattern(size), size);
                else
                    std::memcpy(block, echo.data(), size);
                *a.outBlock = block;
            }
            defaultResult = static_cast<long long>(size);
            break;
        }
        case Arg::kBstr:
            if (exportName == "OpenMediaStreamWithSettings") // read only
                break;
            if (a.bstr == nullptr)
                break;
            if (exportName != "GetTimeLine")
                SysFreeString(*a.bstr);
            *a.bstr = d.null ? nullptr : MakeBstr(TextFor(d, echo, a.name));
            break;
        case Arg::kStringArray:
            if (a.name != "aszOpenEvents" || d.null)
                break;
            defaultResult = count;
            if (d.result.value_or(count) == 0)
                break;
            a.array->RemoveAll();
            for (int j = 0; j < count; ++j)
                a.array->Add(CallerBufferText(TextFor(d, echo, a.name + "[" + std::to_string(j) + "]")).c_str());
            break;
        default:
            break;
        }
    }
    return d.result.value_or(defaultResult);
}

// Handles the control commands and the state query; true when the call was
// one of them.
bool HandleControl(const std::string& exportName, std::vector<Arg>& args, long long& result)
{
    if (exportName == "ExecuteCustomCommand" && args[5].str != nullptr &&
        std::strncmp(args[5].str, "td:", 3) == 0) {
        result = ControlState::Get().Command(args[0].str != nullptr ? args[0].str : "", args[5].str);
        return true;
    }
    if (exportName == "GetXml" && args[3].str != nullptr && std::strcmp(args[3].str, "td:state") == 0) {
        if (args[4].bstr != nullptr) {
            SysFreeString(*args[4].bstr);
            *args[4].bstr = MakeBstr(ControlState::Get().StateText());
        }
        result = 0;
        return true;
    }
    return false;
}

long long Process(const char* exportName, const char* paramsText, std::vector<Arg>& args,
                  ResultKind kind)
{
    const std::vector<std::string> names = ParamNames(paramsText);
    for (size_t i = 0; i < args.size() && i < names.size(); ++i)
        args[i].name = names[i];

    const std::string name(exportName);
    long long result = 0;
    if (HandleControl(name, args, result))
        return result;

    const std::string instanceId = args[0].str != nullptr ? args[0].str : "";
    ControlState& state = ControlState::Get();
    state.CountCall(name);
    const Directives d = state.Resolve(instanceId, name);
    const std::string echo = EchoOf(name, args);
    RunEffects(d, echo);
    return WriteOutputs(name, args, d, echo, kind);
}

template <typename R>
constexpr ResultKind KindOf()
{
    if constexpr (std::is_same_v<R, void>)
        return ResultKind::kVoid;
    else if constexpr (std::is_same_v<R, bool>)
        return ResultKind::kBool;
    else if constexpr (std::is_same_v<R, short>)
        return ResultKind::kShort;
    else
        return ResultKind::kInt;
}

template <typename R, typename... A>
R Dispatch(const char* exportName, const char* paramsText, std::tuple<A&...> args)
{
    std::vector<Arg> list = std::apply([](A&... a) { return std::vector<Arg>{MakeArg(a)...}; }, args);
    const long long value = Process(exportName, paramsText, list, KindOf<R>());
    if constexpr (std::is_same_v<R, bool>)
        return value != 0;
    else if constexpr (!std::is_same_v<R, void>)
        return static_cast<R>(value);
}

} // namespace
} // namespace testdriver

#define TESTDRIVER_DEFINE_EXPORT(OP, R, NAME, PARAMS, ARGS)                                      \
    R NAME PARAMS { return testdriver::Dispatch<R>(#NAME, #PARAMS, std::forward_as_tuple ARGS); }
KESTREL_FORWARDING_EXPORTS(TESTDRIVER_DEFINE_EXPORT)
#undef TESTDRIVER_DEFINE_EXPORT

void SetFeatureSet(const char* szFeatureSet)
{
    testdriver::ControlState::Get().NoteFeatureSet(szFeatureSet);
}

void DeleteBuffer(unsigned char* p)
{
    testdriver::ControlState::Get().NoteDeleteBuffer(p);
    delete[] p;
}
