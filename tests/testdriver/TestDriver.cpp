// libkestrel_testdriver.so: a driver whose every export answers from its own
// arguments and obeys directives, so that tests of HostProc and
// libKestrel.so can check pass-through and provoke failures per call. The
// protocol is described in testdriver_protocol.h.

#include "testdriver_protocol.h"

#include <kestrel/driver_exports.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace testdriver {
namespace {

// The directive tokens of one call; a later token replaces an earlier one.
class Directives {
public:
    void Apply(std::string_view text, std::string_view separators)
    {
        for (size_t pos = 0; pos <= text.size();) {
            const size_t end = std::min(text.find_first_of(separators, pos), text.size());
            const std::string_view token = text.substr(pos, end - pos);
            const size_t eq = token.find('=');
            m_tokens[std::string(token.substr(0, eq))] = eq != std::string_view::npos ? token.substr(eq + 1) : "";
            pos = end + 1;
        }
    }
    bool Has(const std::string& key) const { return m_tokens.count(key) != 0; }
    std::string Text(const std::string& key) const { return Has(key) ? m_tokens.at(key) : ""; }
    // A number that does not parse, or a negative size, counts as absent.
    std::optional<long long> Number(const std::string& key) const
    {
        const std::string text = Text(key);
        long long value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size() || (value < 0 && key != "result" && key != "exit"))
            return std::nullopt;
        return value;
    }

private:
    std::map<std::string, std::string> m_tokens;
};

// Process-wide: queued and sticky directives per instance id, counters, and
// the gate on which "hang" calls wait. Never destroyed: a call may still be
// hanging while the process exits.
struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, std::deque<std::string>> queued;
    std::map<std::string, std::vector<std::string>> modes;
    std::map<std::string, long> calls;
    long totalCalls = 0, featureSetCalls = 0, deleteBufferCalls = 0, liveBlocks = 0;
    std::string featureSet;
    int hung = 0;
    unsigned long releases = 0;
};
State& S()
{
    static State* state = new State;
    return *state;
}

Directives Resolve(const std::string& instanceId)
{
    Directives d;
    std::lock_guard lock(S().mutex);
    for (const std::string& tokens : S().modes[instanceId])
        d.Apply(tokens, " #");
    if (const size_t hash = instanceId.find('#'); hash != std::string::npos)
        d.Apply(std::string_view(instanceId).substr(hash + 1), "#");
    if (auto& queue = S().queued[instanceId]; !queue.empty()) {
        d.Apply(queue.front(), " #");
        queue.pop_front();
    }
    return d;
}

int Command(const std::string& instanceId, std::string_view command)
{
    const size_t blank = command.find(' ');
    const std::string_view verb = command.substr(0, blank);
    const std::string_view rest = blank == std::string_view::npos ? std::string_view() : command.substr(blank + 1);
    std::unique_lock lock(S().mutex);
    if (verb == "td:next" || verb == "td:mode") {
        (verb == "td:next" ? S().queued[instanceId].emplace_back(rest) : S().modes[instanceId].emplace_back(rest));
        return 0;
    }
    if (verb == "td:release") {
        ++S().releases;
        S().changed.notify_all();
        return S().hung;
    }
    if (verb == "td:wait-hung") {
        int n = 1;
        std::from_chars(rest.data(), rest.data() + rest.size(), n);
        S().changed.wait(lock, [&] { return S().hung >= n; });
        return S().hung;
    }
    return -1;
}

void Hang()
{
    std::unique_lock lock(S().mutex);
    const unsigned long releases = S().releases;
    ++S().hung;
    S().changed.notify_all();
    S().changed.wait(lock, [&] { return S().releases != releases; });
    --S().hung;
}

std::string StateText()
{
    std::lock_guard lock(S().mutex);
    std::string out = "pid=" + std::to_string(getpid()) + "\nfeatureset=" + S().featureSet +
                      "\nfeatureset.calls=" + std::to_string(S().featureSetCalls) +
                      "\ncalls=" + std::to_string(S().totalCalls) + "\n";
    for (const auto& [name, n] : S().calls)
        out += "calls." + name + "=" + std::to_string(n) + "\n";
    return out + "deletebuffer=" + std::to_string(S().deleteBufferCalls) +
           "\nblocks.live=" + std::to_string(S().liveBlocks) + "\n";
}

// One argument of a call, by its C++ type (short and int widened).
using Arg = std::variant<const char*, char*, char**, long long, double, int*, double*, double**, unsigned char**,
                         const unsigned char*, const int*, BSTR*, CStringArray*>;

template <typename T>
Arg MakeArg(T& v)
{
    if constexpr (std::is_integral_v<T>)
        return static_cast<long long>(v);
    else if constexpr (std::is_same_v<T, CStringArray>)
        return &v;
    else
        return v;
}

template <class... F>
struct Overload : F... {
    using F::operator()...;
};

struct Call {
    std::string name;
    std::vector<std::string> params;  // the parameter names
    std::vector<Arg> args;
    std::string echo;

    long long Integer(size_t i) const { return i < args.size() ? *std::get_if<long long>(&args[i]) : 0; }
};

// Parameter names from the stringised parameter list "(const char* a, int b)".
std::vector<std::string> ParamNames(std::string_view params)
{
    std::vector<std::string> names;
    for (size_t end = params.size() - 1; end > 0;) {
        size_t start = end;
        while (std::isalnum(static_cast<unsigned char>(params[start - 1])) || params[start - 1] == '_')
            --start;
        names.emplace(names.begin(), params.substr(start, end - start));
        end = params.rfind(',', start);
        end = end == std::string_view::npos ? 0 : end;
    }
    return names;
}

std::string Token(const Call& c, size_t i)
{
    const bool input = c.name == "SetXmlParams" || c.name == "SetXmlEvents" || c.name == "OpenMediaStreamWithSettings";
    return std::visit(Overload{[](const char* s) { return Str(s); }, [](long long v) { return Int(v); },
                               [](double v) { return Dbl(v); },
                               [&](const unsigned char* p) { return Bytes(p, static_cast<int>(c.Integer(i + 1))); },
                               [](const int* p) { return Ints(p, 256); },
                               [&](BSTR* p) { return !input         ? Out(p)
                                                     : p == nullptr ? "null"
                                                                    : Wide(*p); },
                               [&](CStringArray* a) { return c.params[i] == "aszOpenEvents" ? Out(a) : Array(*a); },
                               [](auto* p) { return Out(p); }},
                      c.args[i]);
}

void RunEffects(const Directives& d, const std::string& echo)
{
    if (d.Has("print")) [[maybe_unused]]
        const ssize_t written = write(STDOUT_FILENO, (echo + "\n").data(), echo.size() + 1);
    if (d.Has("fork") && fork() == 0) {
        // A helper as a hostile driver leaves one: it keeps every inherited
        // descriptor and shrugs off SIGTERM.
        signal(SIGTERM, SIG_IGN);
        for (;;)
            pause();
    }
    if (d.Has("hang"))
        Hang();
    if (const auto code = d.Number("exit"))
        _exit(static_cast<int>(*code));
    if (const auto code = d.Number("quit"))
        exit(static_cast<int>(*code));
    if (d.Has("crash"))
        d.Text("crash") == "abort" ? abort() : (void)raise(SIGSEGV);
    if (d.Text("throw") == "int")
        throw 42;
    if (d.Has("throw"))
        throw std::runtime_error("testdriver: exception on request");
}

// The first n pattern bytes, computed once per thread and copied from then
// on, so that large blocks cost what a real driver's copy costs.
const unsigned char* Pattern(size_t n)
{
    thread_local std::vector<unsigned char> pattern;
    for (size_t i = pattern.size(); i < n; ++i)
        pattern.push_back(PatternByte(i));
    return pattern.data();
}

unsigned char* HandOver(size_t size)
{
    std::lock_guard lock(S().mutex);
    ++S().liveBlocks;
    return new unsigned char[size];
}

BSTR MakeBstr(const std::string& utf8)
{
    const std::u16string wide = Utf8ToUtf16(utf8);
    return SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
}

enum class ResultKind { kInt, kShort, kBool };

// Writes every output of the call; returns its result.
long long WriteOutputs(Call& c, const Directives& d, ResultKind kind)
{
    const int count = static_cast<int>(d.Number("count").value_or(kDefaultCount));
    const bool null = d.Has("null");
    const std::string& echo = c.echo;
    long long result = kind == ResultKind::kShort  ? DefaultShortResult(echo)
                       : kind == ResultKind::kBool ? 1
                                                   : DefaultResult(echo);
    for (const char* zero : {"GetInfo", "GetImage2", "GetVideoDataBlock", "GetMediaDataBlock", "QueryPresetPositions",
                             "QueryPtzSupportedDyn", "QueryEventsDyn"})
        result = c.name == zero ? 0 : result;
    for (size_t i = 0; i < c.args.size(); ++i) {
        const std::string& slot = c.params[i];
        const auto text = [&](int j) {
            std::string out = OutText(echo, j < 0 ? slot : slot + "[" + std::to_string(j) + "]");
            const auto len = d.Number("len");
            return len ? FitText(std::move(out), static_cast<size_t>(*len)) : out;
        };
        const auto toBuffer = [&](char* buffer, const std::string& out) {
            if (buffer == nullptr)
                return;
            if (!d.Has("fill"))
                std::strcpy(buffer, CallerBufferText(out).c_str());
            else  // FitText's padding, written in place, without a terminator
                std::memcpy(buffer, FitText(out, kCallerBufferSize).data(), kCallerBufferSize);
        };
        std::visit(Overload{[&](char* buffer) {
                                if (!null)
                                    toBuffer(buffer, text(-1));
                            },
                            [&](char** buffers) {
                                int n = std::min(count, kCallerBufferSize);
                                if (c.name == "QueryPresetPositions")
                                    n = std::min(n, std::max(0, static_cast<int>(c.Integer(2))));
                                if (null || buffers == nullptr)
                                    return;
                                for (int j = 0; j < n; ++j)
                                    toBuffer(buffers[j], text(j));
                                result = n;
                            },
                            [&](int* p) {
                                if (p != nullptr)
                                    *p = slot == "piNumFPSValues" ? count : OutInt(echo, slot);
                            },
                            [&](double* p) {
                                if (p != nullptr)
                                    *p = OutDouble(echo, slot);
                            },
                            [&](double** p) {
                                if (p == nullptr)
                                    return;
                                *p = nullptr;
                                if (null || count <= 0)
                                    return;
                                *p = reinterpret_cast<double*>(HandOver(sizeof(double) * count));
                                for (int j = 0; j < count; ++j)
                                    (*p)[j] = OutDouble(echo, slot + "[" + std::to_string(j) + "]");
                            },
                            [&](unsigned char** p) {
                                if (p == nullptr)
                                    return;
                                *p = nullptr;
                                if (null)
                                    return;
                                const auto size = static_cast<size_t>(d.Number("block").value_or(echo.size()));
                                const void* from =
                                    d.Number("block") ? Pattern(size) : static_cast<const void*>(echo.data());
                                if (size > 0)
                                    *p = static_cast<unsigned char*>(std::memcpy(HandOver(size), from, size));
                                result = static_cast<long long>(size);
                            },
                            [&](BSTR* p) {
                                if (c.name == "OpenMediaStreamWithSettings" || p == nullptr)  // read only
                                    return;
                                if (c.name != "GetTimeLine")
                                    SysFreeString(*p);
                                *p = null ? nullptr : MakeBstr(text(-1));
                            },
                            [&](CStringArray* a) {
                                if (slot != "aszOpenEvents" || null)
                                    return;
                                result = count;
                                if (d.Number("result").value_or(count) == 0)
                                    return;
                                a->RemoveAll();
                                for (int j = 0; j < count; ++j)
                                    a->Add(CallerBufferText(text(j)).c_str());
                            },
                            [](auto) {}},
                   c.args[i]);
    }
    return d.Number("result").value_or(result);
}

long long Process(Call& c, ResultKind kind)
{
    const auto str = [&](size_t i) -> const char* {
        const auto* p = i < c.args.size() ? std::get_if<const char*>(&c.args[i]) : nullptr;
        return p != nullptr ? *p : nullptr;
    };
    if (c.name == "ExecuteCustomCommand" && str(5) != nullptr && std::strncmp(str(5), "td:", 3) == 0)
        return Command(str(0) != nullptr ? str(0) : "", str(5));
    if (c.name == "GetXml" && str(3) != nullptr && std::strcmp(str(3), "td:state") == 0) {
        if (BSTR* p = std::get<BSTR*>(c.args[4]); p != nullptr) {
            SysFreeString(*p);
            *p = MakeBstr(StateText());
        }
        return 0;
    }
    {
        std::lock_guard lock(S().mutex);
        ++S().calls[c.name];
        ++S().totalCalls;
    }
    const Directives d = Resolve(str(0) != nullptr ? str(0) : "");
    c.echo = c.name + "(";
    for (size_t i = 0; i < c.args.size(); ++i)
        c.echo += (i > 0 ? "," : "") + Token(c, i);
    c.echo += ")";
    RunEffects(d, c.echo);
    return WriteOutputs(c, d, kind);
}

// Called as Dispatch<R>{"Name", "(params)"}(args...) by every export.
template <typename R>
struct Dispatch {
    const char* name;
    const char* params;

    template <typename... A>
    R operator()(A&... args) const
    {
        Call c{name, ParamNames(params), {MakeArg(args)...}, {}};
        const long long value = Process(c, std::is_same_v<R, bool>    ? ResultKind::kBool
                                           : std::is_same_v<R, short> ? ResultKind::kShort
                                                                      : ResultKind::kInt);
        if constexpr (std::is_same_v<R, bool>)
            return value != 0;
        else if constexpr (!std::is_void_v<R>)
            return static_cast<R>(value);
    }
};

}  // namespace
}  // namespace testdriver

#define TESTDRIVER_DEFINE_EXPORT(OP, R, NAME, PARAMS, ARGS) \
    R NAME PARAMS { return testdriver::Dispatch<R>{#NAME, #PARAMS} ARGS; }
KESTREL_FORWARDING_EXPORTS(TESTDRIVER_DEFINE_EXPORT)
#undef TESTDRIVER_DEFINE_EXPORT

void SetFeatureSet(const char* szFeatureSet)
{
    std::lock_guard lock(testdriver::S().mutex);
    testdriver::S().featureSet = szFeatureSet != nullptr ? szFeatureSet : "";
    ++testdriver::S().featureSetCalls;
}

void DeleteBuffer(unsigned char* p)
{
    if (p != nullptr) {
        std::lock_guard lock(testdriver::S().mutex);
        ++testdriver::S().deleteBufferCalls;
        --testdriver::S().liveBlocks;
    }
    delete[] p;
}
