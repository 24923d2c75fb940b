#include "tools/zorvic-table/Definition.h"

#include <cmath>

#include "engine/storage/formats/Collation.h"
#include "tools/zorvic-table/Json.h"

namespace zorvic::tools {

using namespace zorvic::engine;

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

[[noreturn]] void Bad(const std::string& what) {
  throw EJsonError("definition: " + what);
}

std::int64_t Integer(const TJsonValue& v, const std::string& what, std::int64_t lo,
                     std::int64_t hi) {
  if (v.Kind != TJsonValue::TKind::Number || std::floor(v.Number) != v.Number || v.Number < lo ||
      v.Number > hi)
    Bad(what + " must be an integer from " + std::to_string(lo) + " to " + std::to_string(hi));
  return static_cast<std::int64_t>(v.Number);
}

std::string Text(const TJsonValue& v, const std::string& what) {
  if (v.Kind != TJsonValue::TKind::String) Bad(what + " must be a string");
  return v.Text;
}

bool Flag(const TJsonValue& v, const std::string& what) {
  if (v.Kind != TJsonValue::TKind::Bool) Bad(what + " must be true or false");
  return v.Bool;
}

void OnlyMembers(const TJsonValue& object, std::initializer_list<std::string_view> allowed,
                 const std::string& where) {
  if (object.Kind != TJsonValue::TKind::Object) Bad(where + " must be an object");
  for (const auto& [key, value] : object.Members) {
    bool known = false;
    for (const std::string_view a : allowed)
      known = known || key == a;
    if (!known) Bad(where + ": unknown member \"" + key + "\"");
  }
}

struct TTypeName {
  const char* Name;
  std::uint8_t Type;
  std::uint8_t SubType;
};
constexpr TTypeName kTypes[] = {{"string", ftString, 0},     {"date", ftDate, 0},
                                {"blob", ftBlob, fstBinary}, {"memo", ftBlob, fstMemo},
                                {"boolean", ftBoolean, 0},   {"smallint", ftSmallInt, 0},
                                {"integer", ftInteger, 0},   {"autoinc", ftInteger, fstAutoInc},
                                {"float", ftFloat, 0},       {"money", ftFloat, fstMoney},
                                {"bcd", ftBCD, 0},           {"bytes", ftBytes, 0},
                                {"time", ftTime, 0},         {"timestamp", ftTimeStamp, 0},
                                {"word", ftWord, 0},         {"cardinal", ftCardinal, 0},
                                {"extended", ftExtended, 0}, {"varbytes", ftVarBytes, 0},
                                {"largeint", ftLargeInt, 0}};

struct TSubTypeName {
  const char* Name;
  std::uint8_t SubType;
};
constexpr TSubTypeName kSubTypes[] = {{"binary", fstBinary},
                                      {"memo", fstMemo},
                                      {"formattedmemo", fstFormattedMemo},
                                      {"graphic", fstGraphic},
                                      {"typedbinary", fstTypedBinary},
                                      {"autoinc", fstAutoInc},
                                      {"money", fstMoney},
                                      {"fixedchar", fstFixedChar},
                                      {"widestring", fstWideString}};

TFieldDefinition Field(const TJsonValue& v, std::size_t index) {
  const std::string where = "field " + std::to_string(index + 1);
  OnlyMembers(v,
              {"name", "type", "subtype", "size", "scale", "required", "default", "min", "max",
               "charCase", "description"},
              where);
  TFieldDefinition f;
  const TJsonValue* name = v.Find("name");
  if (!name) Bad(where + ": \"name\" is missing");
  f.Name = Text(*name, where + " name");
  const TJsonValue* type = v.Find("type");
  if (!type) Bad(where + ": \"type\" is missing");
  if (type->Kind == TJsonValue::TKind::Number) {
    f.DataType = static_cast<std::uint8_t>(Integer(*type, where + " type", 0, 255));
  } else {
    const std::string t = Lower(Text(*type, where + " type"));
    bool found = false;
    for (const TTypeName& tn : kTypes) {
      if (t == tn.Name) {
        f.DataType = tn.Type;
        f.SubType = tn.SubType;
        found = true;
      }
    }
    if (!found) Bad(where + ": unknown type \"" + t + "\"");
  }
  if (const TJsonValue* sub = v.Find("subtype")) {
    if (sub->Kind == TJsonValue::TKind::Number) {
      f.SubType = static_cast<std::uint8_t>(Integer(*sub, where + " subtype", 0, 255));
    } else {
      const std::string s = Lower(Text(*sub, where + " subtype"));
      bool found = false;
      for (const TSubTypeName& sn : kSubTypes) {
        if (s == sn.Name) {
          f.SubType = sn.SubType;
          found = true;
        }
      }
      if (!found) Bad(where + ": unknown subtype \"" + s + "\"");
    }
  }
  if (const TJsonValue* x = v.Find("size"))
    f.Size = static_cast<std::uint32_t>(Integer(*x, where + " size", 0, 65535));
  if (const TJsonValue* x = v.Find("scale"))
    f.Scale = static_cast<std::uint32_t>(Integer(*x, where + " scale", 0, 255));
  if (const TJsonValue* x = v.Find("required")) f.Required = Flag(*x, where + " required");
  if (const TJsonValue* x = v.Find("default")) f.DefaultValue = Text(*x, where + " default");
  if (const TJsonValue* x = v.Find("min")) f.MinValue = Text(*x, where + " min");
  if (const TJsonValue* x = v.Find("max")) f.MaxValue = Text(*x, where + " max");
  if (const TJsonValue* x = v.Find("description")) f.Description = Text(*x, where + " description");
  if (const TJsonValue* x = v.Find("charCase")) {
    if (x->Kind == TJsonValue::TKind::Number) {
      f.CharCase = static_cast<std::uint8_t>(Integer(*x, where + " charCase", 0, 2));
    } else {
      const std::string c = Lower(Text(*x, where + " charCase"));
      if (c == "none")
        f.CharCase = kCharCaseNone;
      else if (c == "lower")
        f.CharCase = kCharCaseLower;
      else if (c == "upper")
        f.CharCase = kCharCaseUpper;
      else
        Bad(where + ": charCase is none, lower or upper");
    }
  }
  return f;
}

std::uint16_t KeyField(const TJsonValue& v, const std::vector<TFieldDefinition>& fields,
                       const std::string& where) {
  if (v.Kind == TJsonValue::TKind::Number)
    return static_cast<std::uint16_t>(Integer(v, where + " field", 1, 65535));
  const std::string name = Lower(Text(v, where + " field"));
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (Lower(fields[i].Name) == name) return static_cast<std::uint16_t>(i + 1);
  Bad(where + ": no field \"" + v.Text + "\"");
}

std::uint8_t Compression(const TJsonValue& v, const std::string& where) {
  if (v.Kind == TJsonValue::TKind::Number)
    return static_cast<std::uint8_t>(Integer(v, where + " compression", 0, 3));
  const std::string c = Lower(Text(v, where + " compression"));
  if (c == "none") return icNone;
  if (c == "dupbyte") return 1;
  if (c == "trailbyte") return 2;
  if (c == "full") return icFull;
  Bad(where + ": compression is none, dupbyte, trailbyte or full");
}

// One index; *primary tells whether it was marked as the primary index.
TIndexDefinition Index(const TJsonValue& v, const std::vector<TFieldDefinition>& fields,
                       const std::string& where, bool* primary) {
  OnlyMembers(v, {"name", "fields", "unique", "descending", "nocase", "compression", "primary"},
              where);
  TIndexDefinition def;
  *primary = false;
  if (const TJsonValue* x = v.Find("primary")) *primary = Flag(*x, where + " primary");
  if (const TJsonValue* x = v.Find("name")) def.Name = Text(*x, where + " name");
  if (*primary && !def.Name.empty()) Bad(where + ": the primary index has no name");
  const TJsonValue* list = v.Find("fields");
  if (!list || list->Kind != TJsonValue::TKind::Array) Bad(where + ": \"fields\" must be a list");
  for (const TJsonValue& item : list->Items) {
    bool descending = false;
    const TJsonValue* field = &item;
    if (item.Kind == TJsonValue::TKind::Object) {
      OnlyMembers(item, {"field", "descending"}, where + " key field");
      field = item.Find("field");
      if (!field) Bad(where + ": a key field object needs \"field\"");
      if (const TJsonValue* d = item.Find("descending"))
        descending = Flag(*d, where + " descending");
    }
    def.Fields.push_back(KeyField(*field, fields, where));
    def.FieldDescending.push_back(descending);
  }
  if (const TJsonValue* x = v.Find("unique")) def.Unique = Flag(*x, where + " unique");
  if (const TJsonValue* x = v.Find("descending")) def.Descending = Flag(*x, where + " descending");
  if (const TJsonValue* x = v.Find("nocase")) def.NoCase = Flag(*x, where + " nocase");
  if (const TJsonValue* x = v.Find("compression")) def.Compression = Compression(*x, where);
  return def;
}

}  // namespace

TTableCreation ParseTableDefinition(std::string_view json) {
  const TJsonValue doc = ParseJson(json);
  OnlyMembers(doc,
              {"fields", "blockSize", "description", "encrypted", "password", "language", "sort",
               "userMajorVersion", "userMinorVersion", "lastAutoInc", "primary", "indexes"},
              "the definition");
  TTableCreation creation;
  TTableDefinition& def = creation.Table;
  const TJsonValue* fields = doc.Find("fields");
  if (!fields || fields->Kind != TJsonValue::TKind::Array) Bad("\"fields\" must be a list");
  for (std::size_t i = 0; i < fields->Items.size(); ++i)
    def.Fields.push_back(Field(fields->Items[i], i));
  if (const TJsonValue* x = doc.Find("blockSize"))
    def.BlobBlockSize = static_cast<std::uint32_t>(Integer(*x, "blockSize", 0, 0x7FFFFFFF));
  if (const TJsonValue* x = doc.Find("description")) def.Description = Text(*x, "description");
  if (const TJsonValue* x = doc.Find("encrypted")) def.Encrypted = Flag(*x, "encrypted");
  if (const TJsonValue* x = doc.Find("password")) def.Password = Text(*x, "password");
  if (const TJsonValue* x = doc.Find("userMajorVersion"))
    def.UserMajorVersion = static_cast<std::uint16_t>(Integer(*x, "userMajorVersion", 0, 65535));
  if (const TJsonValue* x = doc.Find("userMinorVersion"))
    def.UserMinorVersion = static_cast<std::uint16_t>(Integer(*x, "userMinorVersion", 0, 65535));
  if (const TJsonValue* x = doc.Find("lastAutoInc"))
    def.LastAutoInc = Integer(*x, "lastAutoInc", -1000000, 2147483647);
  if (const TJsonValue* x = doc.Find("language")) {
    if (x->Kind == TJsonValue::TKind::Number) {
      def.LanguageId = static_cast<std::uint16_t>(Integer(*x, "language", 0, 65535));
    } else {
      const TLanguageEntry* e = FindLanguageByName(Text(*x, "language"));
      if (!e) Bad("unknown language \"" + x->Text + "\"");
      def.LanguageId = e->LanguageId;
    }
  }
  if (const TJsonValue* x = doc.Find("sort")) {
    if (x->Kind == TJsonValue::TKind::Number) {
      def.SortId = static_cast<std::uint16_t>(Integer(*x, "sort", 0, 65535));
    } else {
      const auto sort = FindSortOrder(def.LanguageId, Text(*x, "sort"));
      if (!sort) Bad("the language has no sort order \"" + x->Text + "\"");
      def.SortId = *sort;
    }
  }
  bool havePrimary = false;
  if (const TJsonValue* x = doc.Find("primary")) {
    bool marked = false;
    creation.Primary = Index(*x, def.Fields, "the primary index", &marked);
    if (!creation.Primary.Name.empty()) Bad("the primary index has no name");
    havePrimary = true;
  }
  if (const TJsonValue* x = doc.Find("indexes")) {
    if (x->Kind != TJsonValue::TKind::Array) Bad("\"indexes\" must be a list");
    for (std::size_t i = 0; i < x->Items.size(); ++i) {
      bool primary = false;
      TIndexDefinition index =
          Index(x->Items[i], def.Fields, "index " + std::to_string(i + 1), &primary);
      if (!primary) {
        creation.Secondary.push_back(std::move(index));
        continue;
      }
      if (havePrimary) Bad("more than one primary index");
      creation.Primary = std::move(index);
      havePrimary = true;
    }
  }
  return creation;
}

}  // namespace zorvic::tools
