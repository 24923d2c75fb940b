// Comparisons of values: collation of strings, LIKE, the NULL rules of the comparison
// operators, prefix compares and the three-way order of sorting and grouping.
#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "engine/sql/eval/EvalInternal.h"

namespace zorvic::engine::eval {

namespace {

// The character equalities of LIKE under one locale, shared by every thread and filled on
// demand: 0 not yet asked, 1 equal, 2 different. Racing writers store the same answer.
using TCharEqualities = std::array<std::atomic<std::uint8_t>, 65536>;

TCharEqualities& EqualitiesOf(const TCollation& collation) {
  thread_local const TCollation* lastCollation = nullptr;
  thread_local TCharEqualities* last = nullptr;
  if (lastCollation == &collation) return *last;
  // Never destroyed, like the collations themselves: threads may still match at exit.
  static std::mutex* const lock = new std::mutex;
  static auto* const cache = new std::map<const TCollation*, std::unique_ptr<TCharEqualities>>;
  {
    std::lock_guard<std::mutex> guard(*lock);
    std::unique_ptr<TCharEqualities>& slot = (*cache)[&collation];
    if (!slot) {
      slot = std::make_unique<TCharEqualities>();
      for (std::atomic<std::uint8_t>& entry : *slot)
        entry.store(0, std::memory_order_relaxed);
    }
    last = slot.get();
  }
  lastCollation = &collation;
  return *last;
}

int CompareBytes(std::string_view a, std::string_view b) {
  const int r = a.compare(b);
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

// Dates, times and time stamps read as numbers when compared with a number.
std::optional<TNumber> NumberOfAny(const TExpToken& v) {
  if (v.IsNull) return std::nullopt;
  TNumber n;
  switch (v.DataType) {
    case dtDate:
    case dtTime:
      n.I = v.Scalar<std::int32_t>();
      return n;
    case dtTimeStamp:
      n.Kind = TNumber::Float;
      n.F = v.Scalar<double>();
      return n;
    default:
      return NumberOf(v);
  }
}

}  // namespace

const TCollation& CollationOf(const TEvalContext& context) {
  if (context.LanguageId == 0) return TCollation::Binary();
  thread_local std::uint32_t lastKey = 0;
  thread_local const TCollation* last = nullptr;
  const std::uint32_t key = MakeLocaleId(context.LanguageId, context.SortId);
  if (last == nullptr || lastKey != key) {
    const TCollation* found = TCollation::Get(context.LanguageId, context.SortId);
    last = found != nullptr ? found : &TCollation::Binary();
    lastKey = key;
  }
  return *last;
}

bool LikeCharEqual(const TCollation& collation, std::uint8_t a, std::uint8_t b) {
  if (a == b) return true;
  if (collation.IsBinary()) return collation.UpperChar(a) == collation.UpperChar(b);
  TCharEqualities& known = EqualitiesOf(collation);
  std::atomic<std::uint8_t>& entry = known[static_cast<std::size_t>(a) << 8 | b];
  std::uint8_t answer = entry.load(std::memory_order_relaxed);
  if (answer == 0) {
    answer = collation.CompareChar(a, b) == 0 ? 1 : 2;
    entry.store(answer, std::memory_order_relaxed);
  }
  return answer == 1;
}

int CompareText(const TCollation& collation, std::string_view a, std::string_view b, bool noCase) {
  if (collation.IsBinary()) {
    if (!noCase) return CompareBytes(a, b);
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t x = collation.UpperChar(static_cast<std::uint8_t>(a[i]));
      const std::uint8_t y = collation.UpperChar(static_cast<std::uint8_t>(b[i]));
      if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
  }
  if (noCase) return collation.Compare(collation.Upper(a), collation.Upper(b));
  return collation.Compare(a, b);
}

bool LikeMatches(const TCollation& collation, std::string_view subject, std::string_view pattern) {
  std::size_t i = 0;
  std::size_t j = 0;
  std::size_t star = std::string_view::npos;  // pattern position of the last "%"
  std::size_t mark = 0;                       // subject position where it started matching
  while (i < subject.size()) {
    if (j < pattern.size() && pattern[j] == '%') {
      star = j++;
      mark = i;
      continue;
    }
    if (j < pattern.size() &&
        (pattern[j] == '_' || LikeCharEqual(collation, static_cast<std::uint8_t>(pattern[j]),
                                            static_cast<std::uint8_t>(subject[i])))) {
      ++i;
      ++j;
      continue;
    }
    if (star == std::string_view::npos) return false;
    // Resume one character after the place where the last "%" started matching.
    j = star + 1;
    i = ++mark;
  }
  while (j < pattern.size() && pattern[j] == '%')
    ++j;
  return j == pattern.size();
}

int CompareNonNull(const TExpToken& a, const TExpToken& b, const TCollation& collation,
                   bool noCase) {
  const bool aText = IsTextValue(a);
  const bool bText = IsTextValue(b);
  if (aText && bText) return CompareText(collation, TextOf(a), TextOf(b), noCase);
  if (aText != bText) {
    // A text against another type (a parameter given as text): read the text as that type,
    // and compare the texts when it does not read.
    const TExpToken& text = aText ? a : b;
    const TExpToken& other = aText ? b : a;
    if (other.DataType != dtNull && other.DataType != dtBlob) {
      TExpTokenPtr converted = NewExpToken();
      CopyValue(text, *converted);
      if (ConvertInto(*converted, other.DataType, other.SubType, 0, other.Scale, nullptr)) {
        return aText ? CompareNonNull(*converted, b, collation, noCase)
                     : CompareNonNull(a, *converted, collation, noCase);
      }
    }
    const std::string otherText = ValueToText(other);
    return aText ? CompareText(collation, TextOf(a), otherText, noCase)
                 : CompareText(collation, otherText, TextOf(b), noCase);
  }
  if (IsDateTimeType(a.DataType) && IsDateTimeType(b.DataType)) {
    if (a.DataType == dtTime && b.DataType == dtTime) {
      const std::int32_t x = a.Scalar<std::int32_t>();
      const std::int32_t y = b.Scalar<std::int32_t>();
      return x < y ? -1 : x > y ? 1 : 0;
    }
    const double x = TimeStampOf(a);
    const double y = TimeStampOf(b);
    return x < y ? -1 : x > y ? 1 : 0;
  }
  if (a.DataType == dtBytes || a.DataType == dtBlob || b.DataType == dtBytes ||
      b.DataType == dtBlob) {
    return CompareBytes(BytesOf(a), BytesOf(b));
  }
  const auto x = NumberOfAny(a);
  const auto y = NumberOfAny(b);
  if (x && y) return CompareNumbers(*x, *y);
  return CompareText(collation, ValueToText(a), ValueToText(b), noCase);
}

bool ValuesEqual(const TExpToken& a, const TExpToken& b, const TCollation& collation) {
  if (a.IsNull || b.IsNull) return a.IsNull && b.IsNull;
  return CompareNonNull(a, b, collation, false) == 0;
}

bool CompareForOperator(TOperatorCode op, const TExpToken& a, const TExpToken& b,
                        const TCollation& collation) {
  if (op == opEqual) return ValuesEqual(a, b, collation);
  if (op == opNotEqual) return !ValuesEqual(a, b, collation);
  int r = 0;
  const bool textOrder = (IsTextValue(a) || a.IsNull) && (IsTextValue(b) || b.IsNull) &&
                         (IsTextValue(a) || IsTextValue(b));
  if (textOrder) {
    // Strings order NULL as the empty string.
    r = CompareText(collation, TextOf(a), TextOf(b), false);
  } else if (a.IsNull || b.IsNull) {
    // One NULL operand is false; two compare their zero values, which are equal.
    if (!(a.IsNull && b.IsNull)) return false;
  } else {
    r = CompareNonNull(a, b, collation, false);
  }
  return OrderHolds(op, r);
}

bool IsComparisonOperator(TOperatorCode op) {
  switch (op) {
    case opEqual:
    case opNotEqual:
    case opLess:
    case opLessEqual:
    case opGreater:
    case opGreaterEqual:
      return true;
    default:
      return false;
  }
}

bool OrderHolds(TOperatorCode op, int r) {
  switch (op) {
    case opEqual:
      return r == 0;
    case opNotEqual:
      return r != 0;
    case opLess:
      return r < 0;
    case opLessEqual:
      return r <= 0;
    case opGreater:
      return r > 0;
    case opGreaterEqual:
      return r >= 0;
    default:
      return false;
  }
}

bool PrefixCompare(const TExpToken& node, const TExpToken& subject, const TExpToken& prefix,
                   const TCollation& collation) {
  bool equal = false;
  if (subject.IsNull || prefix.IsNull) {
    equal = subject.IsNull && prefix.IsNull;
  } else {
    const std::string other = IsTextValue(subject) ? std::string() : ValueToText(subject);
    std::string_view s = IsTextValue(subject) ? TextOf(subject) : std::string_view(other);
    std::string_view p = TextOf(prefix);
    const std::size_t n = node.PrefixLength > 0 ? static_cast<std::size_t>(node.PrefixLength) : 0;
    if (node.Text == "LIKE" || node.Text == "NOT LIKE") {
      // Made from a LIKE pattern: LIKE's character comparison over the prefix.
      if (n > 0 && p.size() > n) p = p.substr(0, n);
      equal = s.size() >= p.size();
      for (std::size_t i = 0; equal && i < p.size(); ++i) {
        equal = LikeCharEqual(collation, static_cast<std::uint8_t>(p[i]),
                              static_cast<std::uint8_t>(s[i]));
      }
    } else {
      if (n > 0) {
        s = s.substr(0, n < s.size() ? n : s.size());
        p = p.substr(0, n < p.size() ? n : p.size());
      }
      equal = CompareText(collation, s, p, node.CaseInsensitive) == 0;
    }
  }
  return node.OperatorCode == opNotEqual ? !equal : equal;
}

}  // namespace zorvic::engine::eval

namespace zorvic::engine {

int CompareValues(const TExpToken& a, const TExpToken& b, const TEvalContext& context,
                  bool noCase) {
  if (a.IsNull || b.IsNull) return a.IsNull ? (b.IsNull ? 0 : -1) : 1;
  return eval::CompareNonNull(a, b, eval::CollationOf(context), noCase);
}

bool IsBinaryCollation(const TEvalContext& context) {
  return eval::CollationOf(context).IsBinary();
}

int CompareTextValues(std::string_view a, std::string_view b, const TEvalContext& context,
                      bool noCase) {
  return eval::CompareText(eval::CollationOf(context), a, b, noCase);
}

}  // namespace zorvic::engine
