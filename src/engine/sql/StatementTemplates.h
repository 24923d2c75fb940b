// Statements that differ only in their literals share one parse.
//
// A program that pastes values into SQL text (the server does, for every message it stores,
// fetches and deletes) sends the same statement again and again with other strings and
// numbers in it. After the parse of a whole text that is one INSERT, UPDATE, DELETE or SELECT
// on one table, the text's shape is noted: the text with the spans cut out of it where a
// literal stands as a whole value (an INSERT or UPDATE value, the constant of a comparison
// with a column in a WHERE of ANDed comparisons). The second time a shape is met, a template
// is kept: a copy of the parse as the parser left it, never bound. A later text of the same
// shape (the same bytes outside those spans, in each span one literal token of the same kind
// that makes a constant of the same type) gets a copy of the template with its own literals
// set, which is what parsing it would have given (the block a statement of the shape let go
// of is made into that copy again, so its nodes and buffers serve the next text). Binding and
// execution then run as for any parsed statement, on the copy; the template itself is never bound,
// so a change of the tables in between binds as it would after a fresh parse.
//
// Not kept: scripts, statements with parameters, sub-selects, UNION parts, joins, INSERT ...
// SELECT, SELECT INTO, LASTAUTOINC or IDENT_CURRENT, clock constants (CURRENT_DATE and its
// kin hold the clock at parse time), a text whose fixed part is longer than
// TemplateFixedBytesLimit. Every other literal is part of the shape and must match exactly.
//
// Thread safety: templates are per thread (a parse and its copy never cross threads); the
// switch is process-wide.
#pragma once

#include <cstddef>

namespace zorvic::engine {

class TQueryStatement;

// At most this many templates per thread (the least recently used is dropped) and this many
// shapes remembered as seen once.
inline constexpr std::size_t StatementTemplateCapacity = 16;
inline constexpr std::size_t StatementShapesSeen = 64;
inline constexpr std::size_t TemplateFixedBytesLimit = 4096;

// Process-wide switch, on by default (tests turn it off to compare).
void SetStatementTemplates(bool on);
bool StatementTemplatesOn();
// Drops the calling thread's templates and shapes.
void ClearStatementTemplates();
// The number of texts the calling thread took from a template (tests).
std::size_t StatementTemplateHits();

namespace detail {

class TStatementTemplates {
 public:
  // The statement's lexer holds the loaded text. When a template has its shape, fills the
  // statement from it, leaves the lexer at the end and returns true.
  static bool Take(TQueryStatement& statement);
  // After a fresh parse of a whole text: notes its shape, keeps a template at its second
  // sighting.
  static void Note(TQueryStatement& statement);
  // Before a statement taken from a template lets go of its block: the block goes back to
  // the template, whose next text reuses its nodes and buffers.
  static void GiveBack(TQueryStatement& statement);
};

}  // namespace detail
}  // namespace zorvic::engine
