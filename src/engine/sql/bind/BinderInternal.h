// Internal to the binder: the tree walker shared by Binder.cpp (names, operators, predicates)
// and BindFunctions.cpp (functions and CAST).
//
// Thread safety: one binder per Bind call, on the caller's thread.
#pragma once

#include <string>
#include <string_view>

#include "engine/sql/bind/Binder.h"

namespace zorvic::engine::detail {

class TBinder {
 public:
  TBinder(ColumnResolver& resolver, const TBindOptions& options)
      : Resolver(resolver), Options(options) {}

  // Binds the subtree in slot (which may be replaced) below parent. stringToColumn says
  // whether a String constant in this place may name a column.
  void BindNode(TExpTokenPtr& slot, TExpToken* parent, bool stringToColumn);

  // Checks after the operands are bound (none of them recurses).
  void StringToColumn(TExpToken& node);
  void CheckUnary(TExpTokenPtr& slot, TExpToken* parent);
  void CheckBinary(TExpTokenPtr& slot);
  void CheckExtendedPredicate(TExpToken& node);
  void RewriteBoolean(TExpTokenPtr& slot, TExpToken* parent);
  // BindFunctions.cpp
  void CheckFunction(TExpToken& node);
  void CheckCast(TExpToken& node);

  // Helpers shared by both files.
  void ResolveColumn(TExpToken& node);
  // Converts a String constant compared with a Date, Time or TimeStamp to that type.
  void ConvertDateLiteral(TExpToken& constant, TDataType target);
  // "="-compatibility (also used by IN, BETWEEN, IF, IFNULL, COALESCE).
  static bool EqualCompatible(const TExpToken& left, const TExpToken& right);

  // "expression", "column", "constant" or "function", as messages name a node.
  static const char* KindName(const TExpToken& node);
  [[noreturn]] void Raise(const std::string& message) const;
  [[noreturn]] void RaiseInContext(const std::string& message) const {
    Raise(message + " in " + Options.Context);
  }

  ColumnResolver& Resolver;
  const TBindOptions& Options;
};

// How a function argument is bound: normally, as a literal (a string constant never names a
// column there), or not at all (the function checks it as written).
enum class TArgumentBinding { Bind, Literal, Raw };
TArgumentBinding FunctionArgumentBinding(TOperatorCode code, std::size_t index);

// A node whose type is not known at bind time: a parameter, typed when its value is bound.
inline bool IsUntyped(const TExpToken& node) {
  return node.IsParameter;
}

// Sets the node to a Boolean result (size 2).
inline void SetBooleanResult(TExpToken& node) {
  node.DataType = dtBoolean;
  node.SubType = stNone;
  node.Size = BooleanSize;
  node.Scale = 0;
}

inline void SetResultType(TExpToken& node, TDataType type, TSubType subType = stNone,
                          std::int32_t size = -1, std::int32_t scale = 0) {
  node.DataType = type;
  node.SubType = subType;
  node.Size = size >= 0 ? size : FixedTypeSize(type);
  node.Scale = scale;
}

inline void CopyType(TExpToken& target, const TExpToken& source) {
  target.DataType = source.DataType;
  target.SubType = source.SubType;
  target.Size = source.Size;
  target.Scale = source.Scale;
}

}  // namespace zorvic::engine::detail
