// One C function per export of libKestrel.so, expanded from the export list
// with the same signature macros that declare them in kestrel_c.h, and the
// table that describes them to bindings.
#include "c_api/Call.h"

#include <new>
#include <string>
#include <vector>

#define KESTREL_C_RESULT_ARG_void nullptr
#define KESTREL_C_RESULT_ARG_int pResult
#define KESTREL_C_RESULT_ARG_bool pResult
#define KESTREL_C_RESULT_ARG_short pResult

// The parameters are the C ones of kestrel_c.h (a C function declared twice
// with different parameters does not compile); ARGS hands them to the export
// in the list's order.
#define KESTREL_C_DEFINE_(OP, R, NAME, PARAMS, ARGS)                                      \
    extern "C" KESTREL_C_API kestrel_status kestrel_##NAME KESTREL_C_PARAMS_(R, PARAMS) { \
        return kestrel_c::Caller<&::NAME>{#NAME, KESTREL_C_RESULT_ARG_##R} ARGS;          \
    }
KESTREL_FORWARDING_EXPORTS_T(KESTREL_C_DEFINE_, KESTREL_C_TYPE)
KESTREL_DRIVER_SERVICE_EXPORTS_T(KESTREL_C_DEFINE_, KESTREL_C_TYPE)
KESTREL_INSTANCE_EXPORTS_T(KESTREL_C_DEFINE_, KESTREL_C_TYPE)
KESTREL_LOCAL_EXPORTS_T(KESTREL_C_DEFINE_, KESTREL_C_TYPE)
#undef KESTREL_C_DEFINE_

// Every C function has the export's parameters, in its order, with C types,
// behind the result pointer.
#define KESTREL_C_CHECK_(OP, R, NAME, PARAMS, ARGS)                                                          \
    static_assert(std::is_same_v<decltype(&kestrel_##NAME), kestrel_c::CSignature<decltype(&::NAME)>::type>, \
                  "kestrel_" #NAME " does not stand for " #NAME);
KESTREL_FORWARDING_EXPORTS(KESTREL_C_CHECK_)
KESTREL_DRIVER_SERVICE_EXPORTS(KESTREL_C_CHECK_)
KESTREL_INSTANCE_EXPORTS(KESTREL_C_CHECK_)
KESTREL_LOCAL_EXPORTS(KESTREL_C_CHECK_)
#undef KESTREL_C_CHECK_

namespace {

// The letters of kestrel_describe_export.
template <typename T>
constexpr char kCode = '?';
template <>
constexpr char kCode<void> = 'v';
template <>
constexpr char kCode<int> = 'i';
template <>
constexpr char kCode<short> = 'h';
template <>
constexpr char kCode<bool> = 'b';
template <>
constexpr char kCode<long long> = 'q';
template <>
constexpr char kCode<double> = 'd';
template <>
constexpr char kCode<const char*> = 's';
template <>
constexpr char kCode<char*> = 'c';
template <>
constexpr char kCode<char**> = 'C';
template <>
constexpr char kCode<int*> = 'I';
template <>
constexpr char kCode<const int*> = 'K';
template <>
constexpr char kCode<double*> = 'D';
template <>
constexpr char kCode<double**> = 'P';
template <>
constexpr char kCode<const unsigned char*> = 'y';
template <>
constexpr char kCode<unsigned char*> = 'x';
template <>
constexpr char kCode<unsigned char**> = 'Y';
template <>
constexpr char kCode<BSTR*> = 'B';
template <>
constexpr char kCode<CStringArray&> = 'A';

template <typename TExport>
struct Description;
template <typename R, typename... A>
struct Description<R (*)(A...)> {
    static_assert(((kCode<A> != '?') && ... && (kCode<R> != '?')), "a type without a letter");
    static std::string Of(const char* szName) {
        return std::string(szName) + ":" + kCode<R> + ":" + std::string{kCode<A>...};
    }
};

#define KESTREL_C_DESCRIBE_(OP, R, NAME, PARAMS, ARGS) Description<decltype(&::NAME)>::Of(#NAME),
const std::vector<std::string>& Descriptions() {
    static const std::vector<std::string> descriptions{
        KESTREL_FORWARDING_EXPORTS(KESTREL_C_DESCRIBE_) KESTREL_DRIVER_SERVICE_EXPORTS(KESTREL_C_DESCRIBE_)
            KESTREL_INSTANCE_EXPORTS(KESTREL_C_DESCRIBE_) KESTREL_LOCAL_EXPORTS(KESTREL_C_DESCRIBE_)};
    return descriptions;
}
#undef KESTREL_C_DESCRIBE_

}  // namespace

extern "C" KESTREL_C_API const char* kestrel_describe_export(int index) {
    try {
        const std::vector<std::string>& descriptions = Descriptions();
        return index >= 0 && static_cast<size_t>(index) < descriptions.size() ? descriptions[index].c_str() : nullptr;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
