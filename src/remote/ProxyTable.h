// The interface table as values: a name for every opnum, and each
// procedure's result and parameters (kind and name), for code that treats
// procedures as data instead of expanding the table itself (HostProc's
// dispatch tags, the library's call texts).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "remote/Preprocessor.h"

namespace kestrel::remote {

enum class Opnum : std::uint16_t {
#define KESTREL_PROC(op, Name, ...) Name = op,
#define KESTREL_RESERVED_PROC(op, Name, ...) Name = op,
#include "remote/ProxyInterface.def"
};

// The parameter kinds of ProxyInterface.def.
enum class Kind {
  Binding,
  CallCtx,
  DriverCtxInOut,
  Long,
  Short,
  Hyper,
  Double,
  String,
  WString,
  Bytes,
  Longs,
  Strings,
  BoundedStrings,
  OutLong,
  OutDouble,
  OutString,
  OutWString,
  OutBytes,
  OutDoubles,
  OutStrings
};
enum class ResultKind { NewDriverCtx, Long, Short, Void };

constexpr bool IsOut(Kind kind) { return kind >= Kind::OutLong; }

struct Parameter {
  Kind kind;
  std::string_view name;
  std::string_view bound;  // the string-length bound of a string array, by name
};

struct Procedure {
  Opnum opnum;
  std::string_view name;
  ResultKind result;
  std::span<const Parameter> params;  // in call order, the handle first
};

namespace table_detail {
// The bound of a (Kind, name[, count[, bound]]) row, as text ("" when none).
#define KESTREL_TABLE_BOUND(...) KESTREL_TABLE_BOUND_I(__VA_ARGS__, , )
#define KESTREL_TABLE_BOUND_I(count, bound, ...) #bound
#define KESTREL_TABLE_PARAM(K, name, ...) Parameter{Kind::K, #name, KESTREL_TABLE_BOUND(__VA_ARGS__)},
#define KESTREL_PROC(op, Name, R, ...) \
  inline constexpr Parameter k##Name[] = {KESTREL_FOR_EACH(KESTREL_TABLE_PARAM, __VA_ARGS__)};
#define KESTREL_RESERVED_PROC KESTREL_PROC
#include "remote/ProxyInterface.def"
#undef KESTREL_TABLE_PARAM
#undef KESTREL_TABLE_BOUND_I
#undef KESTREL_TABLE_BOUND
}  // namespace table_detail

inline constexpr Procedure kProcedures[] = {
#define KESTREL_PROC(op, Name, R, ...) {Opnum::Name, #Name, ResultKind::R, table_detail::k##Name},
#define KESTREL_RESERVED_PROC KESTREL_PROC
#include "remote/ProxyInterface.def"
};

constexpr const Procedure& ProcedureOf(Opnum opnum) {
  for (const Procedure& procedure : kProcedures) {
    if (procedure.opnum == opnum) return procedure;
  }
  throw "not a procedure of the interface";  // a compile-time error where evaluated as a constant
}

}  // namespace kestrel::remote
