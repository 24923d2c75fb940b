// Hard limits of the storage and SQL engines, each with the reason for its value.
//
// Every engine file that needs one of these numbers uses the name from here, so a limit is
// changed in one place. Constants only; safe to include from any thread and any layer of the
// engine.
#pragma once

#include <cstddef>

namespace zorvic::engine {

// SQL text and expressions ---------------------------------------------------------------

// Deepest nesting of parentheses, operators, NOT chains and function calls in one expression,
// and the greatest height of an expression tree. Parsing, binding, evaluation and freeing
// recurse over the tree; the bound keeps the stack use of a 1,000-level expression well
// inside a connection thread's stack while leaving room far beyond any hand-written SQL.
inline constexpr int MaxExpressionDepth = 1000;

// Longest clause name (`ParseContext`) kept by the lexer; the clause names are short fixed
// texts, and the error context cuts every text to 255 characters anyway.
inline constexpr std::size_t MaxParseContextLength = 255;

// Longest correlation or column name kept in an expression node; table and column names of
// the storage engine never exceed it.
inline constexpr std::size_t MaxExpressionNameLength = 255;

// Largest character constant "#n": the constant is one byte.
inline constexpr int MaxCharacterConstant = 255;

// Nodes kept for reuse by the expression node pool; more are destroyed when given back, so a
// burst of huge expressions does not pin their memory for the life of the process.
inline constexpr std::size_t ExpTokenPoolCapacity = 256;

// Longest string, bytes or column value of the fixed-size SQL types CHAR(n) and BYTES(n).
inline constexpr int MaxSqlStringSize = 250;

// Largest scale of DECIMAL/NUMERIC: BCD arithmetic works on the value times 10000.
inline constexpr int MaxBCDScale = 4;

// Largest number of decimal places of ROUND(x TO n).
inline constexpr int MaxRoundPlaces = 32;

}  // namespace zorvic::engine
