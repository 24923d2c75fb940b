// cLiteXMLPacket: the XML data packet that carries records and result sets between the server
// and its administration clients, and the SQL built from a packet a client sent.
//
// A packet is a small table in memory (field definitions plus rows of text values) together
// with its XML text. It is made from an open query or dataset (listings), from one INI section
// (the server options), or parsed from the text a client sent. The text is written in one piece,
// without line breaks or indentation:
//
//   <?xml version="1.0" standalone="yes" ?><LiteDataPacket version="1.0"><metadata>
//   <field name="UserName" type="string" WIDTH="32" required="true" /></metadata><data>
//   <row UserName="admin" /></data></LiteDataPacket>
//
// (shown here on three lines). Every attribute, the last one included, is followed by one
// blank. Attribute values are written byte for byte, except that '&', '<' and '"' become
// "&amp;", "&lt;" and "&quot;" and control characters (CR, LF, TAB and the rest below 32)
// become character references such as "&#13;", so a packet is well-formed whatever its
// values hold and the reader gives back exactly the value that was written. A value without
// such characters appears unchanged. (References to control characters other than TAB, LF
// and CR are outside XML 1.0, so a strict client parser refuses them; a NUL byte, which XML
// cannot carry at all, is written as "&#0;" and the reader's value ends there.) A row names its
// values by attributes named after the fields, so a field name must be an XML name (letters,
// digits, '_', '-', '.' and bytes from 128 up, not starting with a digit, '-' or '.'; no ':'
// and not "xmlns", which namespace-aware clients read as something else); each writer below
// says what it does with other names.
//
// Reading takes attributes by position for the field elements (the first is the name, the
// second the type, with every quote character removed from it) and by name for the row
// elements; attributes of a row that name no field are ignored, a field the row does not name
// has the empty value. Malformed text makes LoadFromXml return false and leaves the packet as
// it was. The caller bounds the size of the text; the reader works without recursion (any
// nesting depth is safe) and refuses packets whose field or cell counts exceed the limits
// in PacketLimits.h.
//
// SQL from a packet: field 0 is the record's key. Values become literals according to their
// field's type text (SqlLiteral); names of tables and fields are checked to be plain SQL
// names before they go into the text, so nothing in a packet can add to a statement.
//
// Failures: LoadFromXml reports malformed text by its result; every other failure raises
// EPacketError with a message for the log.
//
// Thread safety: a packet is used by one thread at a time; the free functions have no state.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zorvic::engine {
class TVELDORDataSet;
}

namespace zorvic {

class EPacketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One column of a packet: its name and the text of its type attribute. Packets read from XML
// and made from INI sections carry bare type words ("string", "integer", "boolean", "real",
// "datetime", ...); packets made from a query carry the raw form written into the field
// element, e.g. "\"string\" WIDTH=\"32\" required=\"true\"".
struct cPacketField {
  std::string Name;
  std::string TypeText;
};

class cLiteXMLPacket {
 public:
  cLiteXMLPacket() = default;

  // ---- building ------------------------------------------------------------------------
  // Writes the packet of an open query or dataset: one field per column, one row per record
  // from the first to the last (the dataset is left at its end). The rows go straight into the
  // XML text; the packet keeps the fields but no rows. A column name that cannot name an XML
  // attribute (a computed column such as "Count Of Expr") is written with '_' for each
  // character it cannot hold ("Count_Of_Expr"); errors of the dataset propagate.
  //   Type texts: string and memo columns "string" WIDTH="n" (the declared length, 0 for a
  //   memo); SmallInt, Integer and Word "integer"; LargeInt "largeint"; AutoInc "integer"
  //   SUBTYPE="Autoinc"; Boolean "boolean"; Float and BCD "real"; Currency "real"
  //   SUBTYPE="Money"; Date, Time and TimeStamp "datetime"; BLOB and byte columns "binary"
  //   ENCODING="hex"; required="true" follows for a required column.
  //   Values: booleans "1" or "0"; dates, times and time stamps as the date YYYY-MM-DD
  //   without the time of day (NULL, and a time column, give 1899-12-30); BLOB and byte
  //   values as lower-case hex digits; others the column's text (NULL gives "").
  void LoadFromQuery(engine::TVELDORDataSet& query);

  // Key/value form of an INI section: the keys in file order with their values.
  using TKeyValues = std::vector<std::pair<std::string, std::string>>;
  // The packet of one INI section: one field of type "string" per key, one row holding the
  // values. Keys that cannot name an XML attribute are left out. An empty section gives a
  // metadata element without children and one row without attributes.
  void LoadFromKeyValues(const TKeyValues& section);
  // Reads `section` of any INI object offering ReadSection(section) -> key names and
  // ReadString(section, key, default) (TIniFile, through its TThreadINIFile lock).
  template <class TIni>
  void LoadFromIniSection(const TIni& ini, std::string_view section) {
    TKeyValues values;
    for (const auto& key : ini.ReadSection(section))
      values.emplace_back(key, std::string(ini.ReadString(section, key, "")));
    LoadFromKeyValues(values);
  }
  // Row 0's value of every field, as key/value pairs in field order (nothing for a packet
  // without fields). Raises EPacketError when the packet has fields but no row, or when a
  // field name is no XML name (so none can break an INI line); nothing is returned then.
  TKeyValues ToKeyValues() const;
  // Writes row 0 into `section` of any INI object offering WriteString(section, key, value).
  // A packet without fields writes nothing; the INI object's errors propagate.
  template <class TIni>
  void SaveToIniSection(TIni& ini, std::string_view section) const {
    for (const auto& [key, value] : ToKeyValues())
      ini.WriteString(section, key, value);
  }

  // Writes the XML text of the fields and rows held (the quoted form of the type attribute,
  // as for INI sections). Raises EPacketError for a field name that cannot name an attribute
  // or a name used twice.
  void WriteXml();

  // ---- reading -------------------------------------------------------------------------
  // Parses a packet. False, with the packet unchanged, for text that is not well-formed XML.
  // Raises EPacketError for a packet beyond the limits of PacketLimits.h. On success the XML
  // text is `xml` itself.
  bool LoadFromXml(std::string_view xml);

  // ---- the text ------------------------------------------------------------------------
  const std::string& GetXml() const { return fXml; }
  // Hands the text over (for sending without a copy); the packet's text is empty afterwards.
  std::string TakeXml() { return std::move(fXml); }

  // ---- fields and rows -----------------------------------------------------------------
  // Resizes the fields and the rows, and every row to the field count (new cells empty).
  void SetDimensions(std::size_t fieldCount, std::size_t rowCount);
  std::size_t FieldCount() const { return fFields.size(); }
  std::size_t RowCount() const { return fRows.size(); }
  const std::vector<cPacketField>& Fields() const { return fFields; }
  // Index checked (EPacketError when out of range).
  const cPacketField& Field(std::size_t index) const;
  void SetField(std::size_t index, std::string name, std::string typeText);
  const std::string& Value(std::size_t row, std::size_t field) const;
  void SetValue(std::size_t row, std::size_t field, std::string value);
  // The value of the field named `name` (exact, case-sensitive; the first field of the name)
  // in `row`; `defaultValue` when no field has that name or the row does not exist.
  std::string GetValue(std::string_view name, std::size_t row, std::string_view defaultValue) const;
  // The index of the first field named `name` (exact, case-sensitive), or -1.
  int FieldIndex(std::string_view name) const;

  // ---- SQL -----------------------------------------------------------------------------
  // "Insert Into T (a, b) values (la, lb);", "Update T set b=lb,c=lc where a=la" and
  // "Delete From T where a=la" for one row, field 0 being the key. The table name and every
  // field name must be plain SQL names (IsSqlName) and the row must exist, else EPacketError;
  // a value that cannot be a literal of its type raises too (SqlLiteral).
  std::string BuildInsert(std::string_view tableName, std::size_t row) const;
  // A packet with a single field gives an update without assignments, which SQL refuses.
  std::string BuildUpdate(std::string_view tableName, std::size_t row) const;
  std::string BuildDelete(std::string_view tableName, std::size_t row) const;

 private:
  std::vector<cPacketField> fFields;
  std::vector<std::vector<std::string>> fRows;
  std::string fXml;
};

// ---- SQL literals ------------------------------------------------------------------------

// The SQL form of a value, chosen by the field's type text (compared exactly):
//   "string"   'text' with every inner single quote doubled;
//   "boolean"  true when the value is exactly "1", else false (the empty value included);
//   "datetime" a day number (days since 1899-12-30, fraction = time of day, '.' or ',' as the
//              decimal point) or a date "YYYY-MM-DD" with an optional time "HH:MM[:SS[.ms]]",
//              written as 'YYYY-MM-DD HH:MM:SS' with ".ms" when the milliseconds are not 0;
//   any other  a number (optional sign, digits, optional fraction and exponent) unchanged.
//   "binary"   (BLOB and byte columns of listings, written as hex digits) only the empty
//              value, as NULL: such values cannot be written back through SQL text.
// The empty value of a "datetime" or any other non-string type is NULL. A value that is
// none of these raises EPacketError, so no text reaches a statement unless it is one literal.
std::string SqlLiteral(const cPacketField& field, std::string_view value);
// The text as a single-quoted SQL string, inner quotes doubled.
std::string QuoteSqlString(std::string_view text);
// True when `text` (blanks at both ends aside) is exactly one SQL literal: a single-quoted
// string whose inner quotes are doubled, a number with an optional leading minus, or one of
// TRUE, FALSE and NULL in any letter case. Nothing may follow it: no second statement, no
// comment, no operator.
bool IsSqlLiteral(std::string_view text);
// True for a plain SQL name: a letter or '_' then letters, digits and '_', at most 255 bytes.
bool IsSqlName(std::string_view text);
// True for a name a row attribute can carry (see the top of this header).
bool IsXmlName(std::string_view text);

}  // namespace zorvic
