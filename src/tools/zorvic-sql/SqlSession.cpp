#include "tools/zorvic-sql/SqlSession.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <ostream>
#include <sstream>

#include "engine/EngineLimits.h"
#include "engine/components/Components.h"
#include "engine/sql/parse/Lexer.h"
#include "engine/storage/formats/IndexFile.h"
#include "engine/storage/maintenance/DumpText.h"
#include "engine/storage/sessions/DataTable.h"

namespace zorvic {

using namespace zorvic::engine;

namespace {

// A message on one line.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text;
}

std::string SqlTypeText(const TFieldDesc& f) {
  switch (f.DataType) {
    case ftString:
      return "VARCHAR(" + std::to_string(f.FieldSize) + ")";
    case ftDate:
      return "DATE";
    case ftBlob:
      switch (f.SubType) {
        case fstMemo:
          return "MEMO";
        case fstGraphic:
          return "GRAPHIC";
        case fstFormattedMemo:
          return "BLOB(1,3)";
        case fstTypedBinary:
          return "BLOB(1,7)";
        default:
          return "BLOB";
      }
    case ftBoolean:
      return "BOOLEAN";
    case ftSmallInt:
      return "SMALLINT";
    case ftInteger:
      return f.IsAutoInc() ? "AUTOINC" : "INTEGER";
    case ftFloat:
      return f.SubType == fstMoney ? "MONEY" : "FLOAT";
    case ftBCD:
      return "DECIMAL(20," + std::to_string(f.FieldScale) + ")";
    case ftBytes:
    case ftVarBytes:
      return "BYTES(" + std::to_string(f.FieldSize) + ")";
    case ftTime:
      return "TIME";
    case ftTimeStamp:
      return "TIMESTAMP";
    case ftWord:
      return "WORD";
    case ftLargeInt:
      return "LARGEINT";
    case ftCardinal:
      return "LARGEINT /* cardinal */";
    default:
      return "FLOAT /* extended */";
  }
}

std::string Quoted(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

// The indexes of an open table: slot, name and layout, the primary index first.
struct TIndexInfo {
  std::string Name;
  std::vector<std::string> Fields;
  bool Primary = false;
  bool Unique = false;
  bool NoCase = false;
  bool Descending = false;
};

std::vector<TIndexInfo> IndexesOf(TDataCursor& cursor) {
  std::vector<TIndexInfo> out;
  TIndexFile& index = cursor.Table().Index();
  std::vector<int> slots;
  if (cursor.Table().HasPrimaryIndex()) slots.push_back(PrimaryIndexSlot);
  for (int s = 1; s <= index.Header().SecondaryCount(); ++s)
    slots.push_back(s);
  for (int slot : slots) {
    const TKeyLayout& layout = index.KeyLayout(slot);
    TIndexInfo info;
    info.Primary = slot == PrimaryIndexSlot;
    info.Name = info.Primary ? std::string() : index.IndexName(slot);
    info.Unique = layout.Unique;
    info.NoCase = layout.NoCase;
    info.Descending = layout.Descending;
    for (const TKeyField& k : layout.Fields)
      info.Fields.push_back(k.Field.Name);
    out.push_back(std::move(info));
  }
  return out;
}

std::string JoinNames(const std::vector<std::string>& names, const char* separator) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) out += separator;
    out += names[i];
  }
  return out;
}

}  // namespace

const char* DotCommandHelp() {
  return ".tables            list the tables of the database folder\n"
         ".schema TABLE      show the CREATE statements of a table\n"
         ".indexes TABLE     list the indexes of a table\n"
         ".timer on|off      show the run time and the index pages and records read of every\n"
         "                   statement\n"
         ".help              show this text\n"
         ".quit              leave the shell (also .exit)\n";
}

TSqlSession::TSqlSession(std::string folder, TShellOptions options, std::ostream& out,
                         std::ostream& err)
    : Folder_(std::move(folder)), Options_(options), Out_(out), Err_(err) {
  Query_ = std::make_unique<TVELDORQuery>();
  Query_->SetDatabaseName(Folder_);
  // The shell's text goes to the engine as written: no parameters, one statement per run.
  Query_->SetParamCheck(false);
  Query_->SetSingleStatement(true);
}

TSqlSession::~TSqlSession() {
  try {
    Query_.reset();
    TVELDORSessionList::Instance().DefaultSession().Close();
  } catch (...) {
    // Leaving anyway: the engine's files are closed by the process ending.
  }
}

void TSqlSession::PrintError(const std::string& message) {
  Out_.flush();
  Err_ << OneLine(message) << '\n';
  Err_.flush();
}

void TSqlSession::PrintResult() {
  TVELDORQuery& q = *Query_;
  TDataCursor& cursor = q.Cursor();
  std::string line;
  for (std::size_t i = 0; i < q.FieldCount(); ++i) {
    if (i) line += '\t';
    line += q.Field(i).FieldName();
  }
  Out_ << line << '\n';
  for (q.First(); !q.Eof(); q.Next()) {
    line.clear();
    for (std::size_t i = 0; i < q.FieldCount(); ++i) {
      const TVELDORField& field = q.Field(i);
      const TFieldDesc* desc = cursor.Field(field.FieldNo());
      TFieldValue value;
      if (field.IsNull()) {
        value = TFieldValue::Null();
      } else if (desc->DataType == ftBlob) {
        value = TFieldValue::Of(field.AsBytes());
      } else if (desc->DataType == ftString) {
        value = TFieldValue::Of(cursor.GetString(q.RecordBuffer(), field.FieldNo()));
      } else {
        std::string bytes(desc->ValueSize(), '\0');
        cursor.GetFieldBytes(q.RecordBuffer(), field.FieldNo(),
                             reinterpret_cast<std::uint8_t*>(bytes.data()));
        value = TFieldValue::Of(std::move(bytes));
      }
      if (i) line += '\t';
      line += FieldValueToDumpText(*desc, value);
    }
    Out_ << line << '\n';
  }
  Out_ << '\n';
}

bool TSqlSession::RunStatement(const std::string& text) {
  const auto start = std::chrono::steady_clock::now();
  bool ok = true;
  try {
    Query_->Close();
    Query_->SetSQL({text});
    Query_->RunSQL();
    if (Query_->Active()) {
      PrintResult();
      Query_->Close();
    } else if (Options_.Changes) {
      Out_ << Query_->AffectedRows() << " rows affected\n";
    }
  } catch (const std::exception& e) {
    try {
      Query_->Close();
    } catch (...) {
      // The error reported is the statement's.
    }
    PrintError(e.what());
    ok = false;
  }
  if (Options_.Timer) {
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::ostringstream t;
    t.precision(3);
    t << std::fixed << ms;
    // What the statement read: a lookup through an index shows a handful of pages.
    Out_ << "Time: " << t.str() << " ms, " << Query_->IndexPagesRead() << " index pages and "
         << Query_->RecordsRead() << " records read\n";
  }
  Out_.flush();
  return ok;
}

bool TSqlSession::RunDotCommand(const std::string& line, bool& quit) {
  std::istringstream words(line);
  std::string command, argument, extra;
  words >> command >> argument >> extra;
  if (!extra.empty()) {
    PrintError("too many arguments for " + command);
    return false;
  }
  auto needArgument = [&]() {
    if (!argument.empty()) return true;
    PrintError("usage: " + command + " TABLE");
    return false;
  };
  if (command == ".quit" || command == ".exit") {
    quit = true;
    return true;
  }
  if (command == ".help") {
    Out_ << DotCommandHelp();
    return true;
  }
  if (command == ".tables") return ListTables();
  if (command == ".schema") return needArgument() && ShowSchema(argument);
  if (command == ".indexes") return needArgument() && ShowIndexes(argument);
  if (command == ".timer") {
    if (argument == "on" || argument == "off") {
      Options_.Timer = argument == "on";
      return true;
    }
    PrintError("usage: .timer on|off");
    return false;
  }
  PrintError("unknown command " + command + " (.help lists the commands)");
  return false;
}

bool TSqlSession::ListTables() {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(Folder_, error)) {
    const std::string file = entry.path().filename().string();
    if (file.size() > 4 && SameTextIgnoringCase(file.substr(file.size() - 4), ".DAT") &&
        entry.is_regular_file(error))
      names.push_back(file.substr(0, file.size() - 4));
  }
  if (error) {
    PrintError("cannot list " + Folder_ + ": " + error.message());
    return false;
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    std::string x = a, y = b;
    for (char& c : x)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : y)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return x < y;
  });
  for (const std::string& n : names)
    Out_ << n << '\n';
  return true;
}

bool TSqlSession::ShowSchema(const std::string& table) {
  try {
    TVELDORTable t;
    t.SetDatabaseName(Folder_);
    t.SetTableName(table);
    t.SetReadOnly(true);
    t.Open();
    TDataCursor& cursor = t.Cursor();
    const std::vector<TIndexInfo> indexes = IndexesOf(cursor);
    std::string text = "Create Table " + Quoted(table) + "(\n";
    bool first = true;
    for (const TFieldDesc& f : cursor.Fields()) {
      if (!first) text += ",\n";
      first = false;
      text += "  " + Quoted(f.Name()) + " " + SqlTypeText(f);
      if (f.Required) text += " NOT NULL";
    }
    for (const TIndexInfo& index : indexes) {
      if (!index.Primary) continue;
      std::vector<std::string> quoted;
      for (const std::string& n : index.Fields)
        quoted.push_back(Quoted(n));
      text += ",\n  Primary Key (" + JoinNames(quoted, ",") + ")";
    }
    text += "\n);\n";
    for (const TIndexInfo& index : indexes) {
      if (index.Primary) continue;
      std::vector<std::string> quoted;
      for (const std::string& n : index.Fields)
        quoted.push_back(Quoted(n));
      text += std::string("Create ") + (index.Unique ? "UNIQUE " : "") +
              (index.NoCase ? "NOCASE " : "") + (index.Descending ? "DESC " : "") + "Index " +
              Quoted(index.Name) + " on " + Quoted(table) + "(" + JoinNames(quoted, ",") + ");\n";
    }
    Out_ << text;
    return true;
  } catch (const std::exception& e) {
    PrintError(e.what());
    return false;
  }
}

bool TSqlSession::ShowIndexes(const std::string& table) {
  try {
    TVELDORTable t;
    t.SetDatabaseName(Folder_);
    t.SetTableName(table);
    t.SetReadOnly(true);
    t.Open();
    for (const TIndexInfo& index : IndexesOf(t.Cursor())) {
      std::string flags;
      auto flag = [&](bool on, const char* word) {
        if (!on) return;
        if (!flags.empty()) flags += ',';
        flags += word;
      };
      flag(index.Primary, "primary");
      flag(index.Unique, "unique");
      flag(index.NoCase, "nocase");
      flag(index.Descending, "descending");
      Out_ << (index.Primary ? std::string("Primary") : index.Name) << '\t'
           << JoinNames(index.Fields, ";") << '\t' << flags << '\n';
    }
    return true;
  } catch (const std::exception& e) {
    PrintError(e.what());
    return false;
  }
}

}  // namespace zorvic
