// The few preprocessor helpers that expand ProxyInterface.def.
#pragma once

#define KESTREL_PP_CAT(a, b) KESTREL_PP_CAT_I(a, b)
#define KESTREL_PP_CAT_I(a, b) a##b

#define KESTREL_PP_NARGS(...) KESTREL_PP_NARGS_I(__VA_ARGS__, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define KESTREL_PP_NARGS_I(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, _13, _14, _15, _16, N, ...) N

// KESTREL_FOR_EACH(op, (a...), (b...)) -> op(a...) op(b...)
#define KESTREL_FOR_EACH(op, ...) KESTREL_PP_CAT(KESTREL_FE_, KESTREL_PP_NARGS(__VA_ARGS__))(op, __VA_ARGS__)
#define KESTREL_FE_1(op, x) op x
#define KESTREL_FE_2(op, x, ...) op x KESTREL_FE_1(op, __VA_ARGS__)
#define KESTREL_FE_3(op, x, ...) op x KESTREL_FE_2(op, __VA_ARGS__)
#define KESTREL_FE_4(op, x, ...) op x KESTREL_FE_3(op, __VA_ARGS__)
#define KESTREL_FE_5(op, x, ...) op x KESTREL_FE_4(op, __VA_ARGS__)
#define KESTREL_FE_6(op, x, ...) op x KESTREL_FE_5(op, __VA_ARGS__)
#define KESTREL_FE_7(op, x, ...) op x KESTREL_FE_6(op, __VA_ARGS__)
#define KESTREL_FE_8(op, x, ...) op x KESTREL_FE_7(op, __VA_ARGS__)
#define KESTREL_FE_9(op, x, ...) op x KESTREL_FE_8(op, __VA_ARGS__)
#define KESTREL_FE_10(op, x, ...) op x KESTREL_FE_9(op, __VA_ARGS__)
#define KESTREL_FE_11(op, x, ...) op x KESTREL_FE_10(op, __VA_ARGS__)
#define KESTREL_FE_12(op, x, ...) op x KESTREL_FE_11(op, __VA_ARGS__)
#define KESTREL_FE_13(op, x, ...) op x KESTREL_FE_12(op, __VA_ARGS__)
#define KESTREL_FE_14(op, x, ...) op x KESTREL_FE_13(op, __VA_ARGS__)
#define KESTREL_FE_15(op, x, ...) op x KESTREL_FE_14(op, __VA_ARGS__)
#define KESTREL_FE_16(op, x, ...) op x KESTREL_FE_15(op, __VA_ARGS__)

// The first of a parenthesised list, and a list without its parentheses:
// KESTREL_PP_FIRST (a, b) -> a, KESTREL_PP_UNPAREN (a, b) -> a, b
#define KESTREL_PP_FIRST(first, ...) first
#define KESTREL_PP_UNPAREN(...) __VA_ARGS__

// A parameter list from ops that each emit ", item": the first comma goes.
#define KESTREL_LIST(op, ...) KESTREL_DROP_FIRST(KESTREL_FOR_EACH(op, __VA_ARGS__))
#define KESTREL_DROP_FIRST(...) KESTREL_DROP_FIRST_I(__VA_ARGS__)
#define KESTREL_DROP_FIRST_I(first, ...) __VA_ARGS__

// The count/bound names of a parameter as its local views: (n, m) -> , v_n, v_m
#define KESTREL_VIEWS(...) __VA_OPT__(KESTREL_PP_CAT(KESTREL_VIEWS_, KESTREL_PP_NARGS(__VA_ARGS__))(__VA_ARGS__))
#define KESTREL_VIEWS_1(a) , v_##a
#define KESTREL_VIEWS_2(a, b) , v_##a, v_##b

// The same names as they are: (n, m) -> , n, m
#define KESTREL_NAMES(...) __VA_OPT__(KESTREL_PP_CAT(KESTREL_NAMES_, KESTREL_PP_NARGS(__VA_ARGS__))(__VA_ARGS__))
#define KESTREL_NAMES_1(a) , a
#define KESTREL_NAMES_2(a, b) , a, b
