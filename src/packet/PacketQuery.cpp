// The packet of an open query or dataset: listings and query results.
#include <string>
#include <unordered_set>

#include "engine/components/DataSet.h"
#include "engine/components/Field.h"
#include "engine/storage/formats/FieldTypes.h"
#include "packet/LiteXMLPacket.h"
#include "packet/PacketText.h"

namespace zorvic {

namespace {

using engine::TFieldKind;
using engine::TVELDORField;

// The raw-form type text of a column: the quoted type word and any further attributes.
std::string TypeTextOf(const TVELDORField& field) {
  std::string text;
  switch (field.DataType()) {
    case TFieldKind::String:
    case TFieldKind::FixedChar:
      text = "\"string\" WIDTH=\"" + std::to_string(field.Size()) + "\"";
      break;
    case TFieldKind::Memo:
    case TFieldKind::FormattedMemo:
      text = "\"string\" WIDTH=\"0\"";
      break;
    case TFieldKind::SmallInt:
    case TFieldKind::Integer:
    case TFieldKind::Word:
      text = "\"integer\"";
      break;
    case TFieldKind::LargeInt:
      // Its own word, so that a client does not read 64-bit values into 32 bits.
      text = "\"largeint\"";
      break;
    case TFieldKind::AutoInc:
      text = "\"integer\" SUBTYPE=\"Autoinc\"";
      break;
    case TFieldKind::Boolean:
      text = "\"boolean\"";
      break;
    case TFieldKind::Float:
    case TFieldKind::BCD:
      text = "\"real\"";
      break;
    case TFieldKind::Currency:
      text = "\"real\" SUBTYPE=\"Money\"";
      break;
    case TFieldKind::Date:
    case TFieldKind::Time:
    case TFieldKind::DateTime:
      text = "\"datetime\"";
      break;
    case TFieldKind::Blob:
    case TFieldKind::Graphic:
    case TFieldKind::TypedBinary:
    case TFieldKind::Bytes:
    case TFieldKind::VarBytes:
      // Raw bytes cannot travel in an attribute (XML has no NUL), so they go as hex digits.
      text = "\"binary\" ENCODING=\"hex\"";
      break;
    case TFieldKind::Unknown:
      text = "\"unknown\"";
      break;
  }
  if (field.Required()) text += " required=\"true\"";
  return text;
}

bool IsBinaryKind(TFieldKind kind) {
  return kind == TFieldKind::Blob || kind == TFieldKind::Graphic ||
         kind == TFieldKind::TypedBinary || kind == TFieldKind::Bytes ||
         kind == TFieldKind::VarBytes;
}

bool IsDateKind(TFieldKind kind) {
  return kind == TFieldKind::Date || kind == TFieldKind::Time || kind == TFieldKind::DateTime;
}

std::string TwoDigits(int n) {
  std::string s = std::to_string(n);
  return s.size() < 2 ? "0" + s : s;
}

// The server's short date form, YYYY-MM-DD. A NULL value, and a value without a calendar day
// (a Time column holds only the time of day), is day 0 of the day count, 1899-12-30.
std::string ShortDateText(const TVELDORField& field) {
  engine::TCalendarDate date{1899, 12, 30};
  if (!field.IsNull()) {
    if (auto parts = engine::SplitTimeStamp(field.AsDateTime())) {
      if (auto decoded = engine::DecodeDate(parts->DayNumber)) date = *decoded;
    }
  }
  std::string year = std::to_string(date.Year);
  while (year.size() < 4)
    year.insert(year.begin(), '0');
  return year + "-" + TwoDigits(date.Month) + "-" + TwoDigits(date.Day);
}

std::string HexText(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string ValueTextOf(const TVELDORField& field) {
  const TFieldKind kind = field.DataType();
  if (kind == TFieldKind::Boolean) return field.AsBoolean() ? "1" : "0";
  if (IsDateKind(kind)) return ShortDateText(field);
  if (field.IsNull()) return std::string();
  if (IsBinaryKind(kind)) return HexText(field.AsBytes());
  return field.AsString();
}

// A column name as a row attribute can carry it: every character an XML name cannot hold
// becomes '_', a name that cannot start one gets a leading '_', and a name already taken gets
// "_1", "_2", ... Plain column names stay as they are; computed ones ("Count Of Expr") change.
std::string AttributeNameOf(const std::string& name, std::unordered_set<std::string>& taken) {
  std::string out = name;
  if (!IsXmlName(out)) {
    for (char& c : out)
      if (!IsXmlName(std::string_view(&c, 1)) && !(c >= '0' && c <= '9') && c != '-' && c != '.')
        c = '_';
    if (!IsXmlName(out)) out.insert(out.begin(), '_');
  }
  std::string unique = out;
  for (int n = 1; !taken.insert(unique).second; ++n)
    unique = out + "_" + std::to_string(n);
  return unique;
}

}  // namespace

void cLiteXMLPacket::LoadFromQuery(engine::TVELDORDataSet& query) {
  std::vector<cPacketField> fields;
  fields.reserve(query.FieldCount());
  std::unordered_set<std::string> taken;
  for (std::size_t i = 0; i < query.FieldCount(); ++i) {
    const TVELDORField& column = query.Field(i);
    fields.push_back(cPacketField{AttributeNameOf(column.FieldName(), taken), TypeTextOf(column)});
  }
  packet_text::CheckFieldNames(fields);

  std::string out(packet_text::kDocumentHead);
  for (const auto& field : fields)
    packet_text::AppendFieldElement(out, field, /*rawType=*/true);
  out += packet_text::kMetadataEnd;
  // One pass over the records; the values go straight into the text.
  for (query.First(); !query.Eof(); query.Next()) {
    packet_text::AppendRowStart(out);
    for (std::size_t i = 0; i < fields.size(); ++i)
      packet_text::AppendQuotedAttribute(out, fields[i].Name, ValueTextOf(query.Field(i)));
    packet_text::AppendElementEnd(out);
  }
  out += packet_text::kDocumentTail;

  fFields = std::move(fields);
  fRows.clear();
  fXml = std::move(out);
}

}  // namespace zorvic
