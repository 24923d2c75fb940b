// String functions: UPPER, LOWER, LENGTH, SUBSTRING, REPLACE, POS, OCCURS and TRIM.
//
// A NULL string argument gives NULL (LENGTH, POS and OCCURS a NULL Integer). Search texts are
// matched byte for byte (case counts); an empty (NULL) search text leaves REPLACE's text
// unchanged, and POS and OCCURS answer 0. A NULL replacement text replaces by nothing.
#include <string>

#include "engine/sql/eval/EvalInternal.h"

namespace zorvic::engine::eval {

namespace {

// A String or memo result of the type of the function's text argument.
void SetResult(TExpToken& out, const TExpToken& node, const TExpToken& source,
               std::string_view text) {
  const bool memo = IsMemoType(source.DataType, source.SubType) ||
                    (!IsTextValue(source) && IsMemoType(node.DataType, node.SubType));
  SetTextValue(out, text, memo);
  if (!memo && node.DataType == dtString && node.Size > out.Size) out.Size = node.Size;
}

void SetNullText(TExpToken& out, const TExpToken& node) {
  SetTypedNull(out, node.DataType == dtNull ? dtString : node.DataType, node.SubType, node.Size);
}

std::string Replace(std::string_view text, std::string_view search, std::string_view with) {
  if (search.empty() || search == with) return std::string(text);
  std::string result;
  std::size_t from = 0;
  for (;;) {
    const std::size_t at = text.find(search, from);
    if (at == std::string_view::npos) break;
    result.append(text.substr(from, at - from));
    result.append(with);
    from = at + search.size();
  }
  result.append(text.substr(from));
  return result;
}

std::int64_t Occurrences(std::string_view text, std::string_view search) {
  if (search.empty()) return 0;
  std::int64_t count = 0;
  for (std::size_t at = text.find(search); at != std::string_view::npos;
       at = text.find(search, at + search.size())) {
    ++count;
  }
  return count;
}

void Substring(const TExpToken& node, const TEvalContext& context, const TExpToken& text,
               TExpToken& out) {
  TExpTokenPtr start = EvalNode(*node.Arguments[1], context);
  if (start->IsNull) return SetNullText(out, node);
  std::int64_t first = IntegerOf(*start);
  if (first < 1) first = 1;  // a start below 1 counts as 1
  const std::string_view s = TextOf(text);
  std::int64_t count = static_cast<std::int64_t>(s.size());
  if (node.Arguments.size() > 2) {
    TExpTokenPtr length = EvalNode(*node.Arguments[2], context);
    if (length->IsNull) return SetNullText(out, node);
    count = IntegerOf(*length);
    if (count < 0) count = 0;  // a negative length gives the empty string
  }
  const std::size_t from = static_cast<std::size_t>(first - 1);
  if (from >= s.size()) return SetResult(out, node, text, {});
  SetResult(out, node, text, s.substr(from, static_cast<std::size_t>(count)));
}

std::string_view Trim(TOperatorCode code, std::string_view s, char c) {
  if (code != opTrimTrailing) {
    while (!s.empty() && s.front() == c)
      s.remove_prefix(1);
  }
  if (code != opTrimLeading) {
    while (!s.empty() && s.back() == c)
      s.remove_suffix(1);
  }
  return s;
}

}  // namespace

void EvalStringFunction(const TExpToken& node, const TEvalContext& context, TExpToken& out) {
  const TOperatorCode code = node.OperatorCode;
  // The argument holding the text the function works on.
  std::size_t textIndex = 0;
  if (code == opReplace) textIndex = 2;
  if (code == opPos || code == opOccurs || code == opTrimLeading || code == opTrimTrailing ||
      code == opTrimBoth) {
    textIndex = 1;
  }
  TExpTokenPtr text = EvalNode(*node.Arguments[textIndex], context);
  if (text->IsNull) {
    if (code == opLength || code == opPos || code == opOccurs) {
      SetTypedNull(out, dtInteger, stNone, 4);
    } else {
      SetNullText(out, node);
    }
    return;
  }
  const std::string own = IsTextValue(*text) ? std::string() : ValueToText(*text);
  const std::string_view s = IsTextValue(*text) ? TextOf(*text) : std::string_view(own);
  switch (code) {
    case opUpper:
      return SetResult(out, node, *text, CollationOf(context).Upper(s));
    case opLower:
      return SetResult(out, node, *text, CollationOf(context).Lower(s));
    case opLength:
      return SetIntegerValue(out, static_cast<std::int64_t>(s.size()));
    case opSubstring:
      return Substring(node, context, *text, out);
    case opReplace: {
      TExpTokenPtr search = EvalNode(*node.Arguments[0], context);
      TExpTokenPtr with = EvalNode(*node.Arguments[1], context);
      return SetResult(out, node, *text, Replace(s, TextOf(*search), TextOf(*with)));
    }
    case opPos: {
      TExpTokenPtr search = EvalNode(*node.Arguments[0], context);
      const std::string_view what = TextOf(*search);
      const std::size_t at = what.empty() ? std::string_view::npos : s.find(what);
      return SetIntegerValue(out, at == std::string_view::npos ? 0 : at + 1);
    }
    case opOccurs: {
      TExpTokenPtr search = EvalNode(*node.Arguments[0], context);
      return SetIntegerValue(out, Occurrences(s, TextOf(*search)));
    }
    case opTrimLeading:
    case opTrimTrailing:
    case opTrimBoth: {
      TExpTokenPtr character = EvalNode(*node.Arguments[0], context);
      const std::string_view c = TextOf(*character);
      return SetResult(out, node, *text, Trim(code, s, c.empty() ? ' ' : c[0]));
    }
    default:
      out.SetNullValue();
      return;
  }
}

}  // namespace zorvic::engine::eval
