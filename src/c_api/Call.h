// The C interface's call frame: the driver API's types in C, arguments on
// their way to an export and back, and the guard that turns every way a call
// can end into a status, so that no exception crosses into C.
#pragma once

#include <kestrel/driver_exports.h>
#include <kestrel/kestrel_c.h>

#include <cstdint>
#include <tuple>
#include <type_traits>

#include <cxxabi.h>

namespace kestrel_c {

// What the C interface keeps for each thread. Plain storage: writing it never
// allocates, so a failure can always be reported.
struct ThreadNotes {
    char szLastError[1024];
    std::uint32_t nLastCode;
    char szAddReason[1024];  // from libKestrel.so, for the running AddDeviceInstance
    long long nImageLength;  // from libKestrel.so, for the running GetImage2 (-1: none)
};
ThreadNotes& Notes() noexcept;

// Formats into the thread's last error (never throws).
void SetLastError(const char* szFormat, ...) noexcept __attribute__((format(printf, 1, 2)));
// The reporting of the guard below.
void NoteThrown(const char* szExport, unsigned long nCode) noexcept;
kestrel_status NoteFailed(const char* szExport) noexcept;  // inside a catch block
void NoteAddResult(int nResult) noexcept;

// C's spelling of a driver API type, as in kestrel_c.h.
template <typename T>
struct CType {
    using type = T;
};
template <>
struct CType<BSTR*> {
    using type = kestrel_bstr*;
};
template <>
struct CType<CStringArray&> {
    using type = kestrel_string_array*;
};
template <typename T>
using CType_t = typename CType<T>::type;

template <typename R>
struct CResult {
    using type = R;
};
template <>
struct CResult<bool> {
    using type = int;
};

// The C function that stands for an export R(*)(A...).
template <typename TExport>
struct CSignature;
template <typename R, typename... A>
struct CSignature<R (*)(A...)> {
    using type = kestrel_status (*)(typename CResult<R>::type*, CType_t<A>...);
};
template <typename... A>
struct CSignature<void (*)(A...)> {
    using type = kestrel_status (*)(CType_t<A>...);
};

// An argument from C, as the export takes it.
template <typename T>
class Arg {
public:
    explicit Arg(T value) : m_value(value) {}
    T Get() const { return m_value; }
    void Finish() {}

private:
    T m_value;
};

template <>
class Arg<BSTR*> {
public:
    explicit Arg(kestrel_bstr* p) : m_p(p) {}
    // The same block: only the code unit's C type differs.
    BSTR* Get() const { return reinterpret_cast<BSTR*>(m_p); }
    void Finish() {}

private:
    kestrel_bstr* m_p;
};

// The items go in as a CStringArray and come back out of it.
template <>
class Arg<CStringArray&> {
public:
    explicit Arg(kestrel_string_array* p);
    CStringArray& Get() { return m_array; }
    void Finish();

private:
    kestrel_string_array* m_p;
    CStringArray m_array;
};

template <auto F>
inline constexpr bool kIsAddDeviceInstance = false;
template <>
inline constexpr bool kIsAddDeviceInstance<&::AddDeviceInstance> = true;

// Runs body and says how it ended.
template <typename TBody>
kestrel_status Guard(const char* szExport, TBody&& body) {
    try {
        body();
        return KESTREL_RETURNED;
    } catch (unsigned long nCode) {
        NoteThrown(szExport, nCode);
        return KESTREL_THREW;
    } catch (abi::__forced_unwind&) {
        throw;  // a cancelled thread unwinds on
    } catch (...) {
        return NoteFailed(szExport);
    }
}

// One call of export F from C: Caller<&::GetXml>{"GetXml", pResult}(args...).
template <auto F, typename TExport = decltype(F)>
struct Caller;
template <auto F, typename R, typename... A>
struct Caller<F, R (*)(A...)> {
    const char* szExport;
    typename CResult<R>::type* pResult;  // may be null; void* for void exports

    kestrel_status operator()(CType_t<A>... args) const {
        if constexpr (kIsAddDeviceInstance<F>) Notes().szAddReason[0] = '\0';
        return Guard(szExport, [&] {
            std::tuple<Arg<A>...> converted{args...};
            const auto call = [](auto&... arg) { return F(arg.Get()...); };
            if constexpr (std::is_void_v<R>) {
                std::apply(call, converted);
                std::apply([](auto&... arg) { (arg.Finish(), ...); }, converted);
            } else {
                const R result = std::apply(call, converted);
                std::apply([](auto&... arg) { (arg.Finish(), ...); }, converted);
                if (pResult != nullptr) *pResult = static_cast<typename CResult<R>::type>(result);
                if constexpr (kIsAddDeviceInstance<F>) NoteAddResult(result);
            }
        });
    }
};

}  // namespace kestrel_c
