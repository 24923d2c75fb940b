// Helpers for the expression tests: parse a text, print a tree, catch an engine error.
#pragma once

#include <functional>
#include <string>

#include "engine/sql/parse/ExpressionParser.h"

namespace zorvic::engine::testing {

inline const std::string kSqlError = "VELDOR Engine Error # 11949 SQL error - ";

// A tree as a compact prefix form: (op left right), column names as written with their
// correlation ("T.Name"), constants as their value ('text', 12, 1.5, TRUE, NULL, ?).
inline std::string Dump(const TExpToken& node) {
  switch (node.NodeClass) {
    case ncColumn:
      return node.CorrelationName.empty() ? node.ColumnName
                                          : node.CorrelationName + "." + node.ColumnName;
    case ncConstant:
      if (node.IsParameter) return "?";
      switch (node.DataType) {
        case dtNull:
          return "NULL";
        case dtString:
          return "'" + std::string(node.StringValue()) + "'";
        case dtBoolean:
          return node.Scalar<std::int16_t>() ? "TRUE" : "FALSE";
        case dtInteger:
          return std::to_string(node.Scalar<std::int32_t>());
        case dtLargeInt:
          return std::to_string(node.Scalar<std::int64_t>()) + "L";
        case dtFloat: {
          std::string text = std::to_string(node.Scalar<double>());
          return "F" + text;
        }
        case dtDate:
          return "D" + std::to_string(node.Scalar<std::int32_t>());
        case dtTime:
          return "T" + std::to_string(node.Scalar<std::int32_t>());
        case dtTimeStamp:
          return "TS" + std::to_string(static_cast<long long>(node.Scalar<double>()));
        default:
          return "const?";
      }
    case ncSubSelect:
      return "(SELECT)";
    default:
      break;
  }
  std::string text = "(" + node.Text;
  if (node.Left) text += " " + Dump(*node.Left);
  if (node.Right) text += " " + Dump(*node.Right);
  for (const TExpTokenPtr& argument : node.Arguments)
    text += " " + Dump(*argument);
  return text + ")";
}

// The message of the engine error that fn raises, or "no error".
inline std::string ErrorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const EVELDOREngineError& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace zorvic::engine::testing
