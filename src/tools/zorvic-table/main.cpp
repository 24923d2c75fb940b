// zorvic-table: maintenance of table files without SQL.
//
//   zorvic-table create DIR TABLE      < definition.json
//   zorvic-table info   DIR TABLE      header and field descriptors, "name: value" per line
//   zorvic-table dump   DIR TABLE      active records, one per line (see DumpFormat.h)
//   zorvic-table load   DIR TABLE      < dump lines, appended
//   zorvic-table delete DIR TABLE RECNO...
//   zorvic-table verify DIR TABLE      every problem found; exit 0 only when sound
//
// Exit status: 0 success, 1 failure (the message on standard error), 2 wrong usage. Tables are
// opened exclusively for changes and shared for reading; index files are not maintained, so
// tables with indexes must be changed through SQL.
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

#include "engine/storage/Collation.h"
#include "engine/storage/TableAccess.h"
#include "engine/storage/ValueText.h"
#include "tools/zorvic-table/Definition.h"
#include "tools/zorvic-table/DumpFormat.h"
#include "tools/zorvic-table/Json.h"

using namespace zorvic::engine;
using namespace zorvic::tools;

namespace {

constexpr int kLoadBatch = 1000;  // lines written to the files at once

int Usage() {
  std::fputs(
      "usage: zorvic-table create|info|dump|load|verify DIR TABLE\n"
      "       zorvic-table delete DIR TABLE RECNO...\n",
      stderr);
  return 2;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "zorvic-table: %s\n", message.c_str());
  return 1;
}

void Line(const std::string& name, const std::string& value) {
  std::string out = name + ": " + value + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
}

int Create(TTableAccess& table) {
  const std::string json((std::istreambuf_iterator<char>(std::cin)),
                         std::istreambuf_iterator<char>());
  const TTableDefinition def = ParseTableDefinition(json);
  table.Create(def);
  table.Close();
  return 0;
}

int Info(TTableAccess& table) {
  table.Open(false);
  TDataFile& data = table.Data();
  const TTableHeader& h = data.Header();
  Line("Table", table.TableName());
  Line("File", table.DataFileName());
  Line("ChangeCount", std::to_string(h.ChangeCount));
  Line("BlobBlockSize", std::to_string(h.BlobBlockSize));
  Line("FormatVersion", std::to_string(h.FormatVersion));
  Line("FirstDeleted", std::to_string(h.FirstDeleted));
  Line("NextRecordNo", std::to_string(h.NextRecordNo));
  Line("LastAutoInc", std::to_string(h.LastAutoInc));
  Line("RecordSize", std::to_string(h.RecordSize));
  Line("FieldCount", std::to_string(h.FieldCount));
  Line("BlobFieldCount", std::to_string(h.BlobFieldCount));
  Line("LastUpdated", FloatToText(h.LastUpdated));
  const double days = h.LastUpdated + 2.0 * kDayNumber18991230;  // day count + 693594 = day number
  if (days >= 1 && days < kMaxDayNumber + 1) {
    const double ms = days * static_cast<double>(kMsPerDay);
    if (SplitTimeStamp(ms)) Line("LastUpdatedText", TimeStampToText(ms));
  }
  Line("TableDescription", EscapeText(h.Description()));
  Line("Encrypted", std::to_string(h.Encrypted));
  // The password itself is not shown; only whether one is set.
  Line("TablePassword", h.TablePassword.Text().empty() ? "" : "(set)");
  Line("LocaleLanguage", std::to_string(h.LocaleLanguage));
  const TLanguageEntry* language = FindLanguageById(h.LocaleLanguage);
  Line("Language", language ? language->Name : "(unknown)");
  Line("LocaleSort", std::to_string(h.LocaleSort));
  Line("SortOrder", SortOrderName(h.LocaleLanguage, h.LocaleSort));
  Line("UserMajorVersion", std::to_string(h.UserMajorVersion));
  Line("UserMinorVersion", std::to_string(h.UserMinorVersion));
  Line("HeaderModified", std::to_string(h.HeaderModified));
  Line("WriterVersion", std::to_string(h.WriterVersion));
  if (TBlobFile* blob = table.Blob()) {
    Line("Blob.ChangeCount", std::to_string(blob->Header().ChangeCount));
    Line("Blob.FirstFreeBlock", std::to_string(blob->Header().FirstFreeBlock));
    Line("Blob.NextBlockNo", std::to_string(blob->Header().NextBlockNo));
  }
  for (const TFieldDesc& f : data.Fields()) {
    const std::string p = "Field[" + std::to_string(f.FieldNo) + "].";
    Line(p + "FieldNo", std::to_string(f.FieldNo));
    Line(p + "FieldName", f.Name());
    Line(p + "FieldDescription", EscapeText(f.FieldDescription.Text()));
    Line(p + "DataType", std::to_string(f.DataType));
    Line(p + "TypeName", FieldTypeName(f.DataType));
    Line(p + "SubType", std::to_string(f.SubType));
    Line(p + "FieldSize", std::to_string(f.FieldSize));
    Line(p + "FieldScale", std::to_string(f.FieldScale));
    Line(p + "PhysSize", std::to_string(f.PhysSize));
    Line(p + "ScaleCopy", std::to_string(f.ScaleCopy));
    Line(p + "FieldOffset", std::to_string(f.FieldOffset));
    Line(p + "Required", std::to_string(f.Required));
    Line(p + "CharCase", std::to_string(f.CharCase));
    Line(p + "MinValue", EscapeText(f.MinValue.Text()));
    Line(p + "MaxValue", EscapeText(f.MaxValue.Text()));
    Line(p + "DefaultValue", EscapeText(f.DefaultValue.Text()));
    Line(p + "NotStored", std::to_string(f.NotStored));
  }
  return 0;
}

int Dump(TTableAccess& table) {
  table.Open(false);
  TDataFile& data = table.Data();
  TRecordValues values;
  std::string line;
  for (std::int32_t n = 1; n <= data.PhysicalRecordCount(); ++n) {
    if (!table.ReadRecord(n, values)) continue;
    line.clear();
    for (const TFieldDesc& f : data.Fields()) {
      if (f.FieldNo > 1) line += '\t';
      try {
        line += FieldValueToText(f, values[f.FieldNo - 1]);
      } catch (const EConvertError& e) {
        return Fail("record " + std::to_string(n) + ", field " + f.Name() + ": " + e.what());
      }
    }
    line += '\n';
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size())
      return Fail("cannot write the dump");
  }
  return std::fflush(stdout) == 0 ? 0 : Fail("cannot write the dump");
}

int Load(TTableAccess& table) {
  table.Open(true);
  const std::vector<TFieldDesc>& fields = table.Data().Fields();
  std::string line;
  std::int64_t lineNo = 0;
  std::int64_t batchStart = 1;
  auto batch = std::make_unique<TTableAccess::TWriteBatch>(table);
  int inBatch = 0;
  while (std::getline(std::cin, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    TRecordValues values;
    try {
      const auto parts = SplitFields(line);
      if (parts.size() != fields.size())
        throw EDumpFormatError("expected " + std::to_string(fields.size()) + " fields, found " +
                               std::to_string(parts.size()));
      for (const TFieldDesc& f : fields)
        values.push_back(TextToFieldValue(f, parts[f.FieldNo - 1]));
      table.CheckValues(values);
    } catch (const std::exception& e) {
      batch->Commit();  // the lines before this one stay loaded
      return Fail("line " + std::to_string(lineNo) + ": " + e.what());
    }
    try {
      table.Insert(values);
    } catch (const std::exception& e) {
      return Fail("line " + std::to_string(lineNo) + ": " + e.what() + " (lines " +
                  std::to_string(batchStart) + " to " + std::to_string(lineNo) +
                  " were not loaded)");
    }
    if (++inBatch == kLoadBatch) {
      batch->Commit();
      batch = std::make_unique<TTableAccess::TWriteBatch>(table);
      inBatch = 0;
      batchStart = lineNo + 1;
    }
  }
  batch->Commit();
  return 0;
}

int Delete(TTableAccess& table, int argc, char** argv) {
  table.Open(true);
  for (int i = 4; i < argc; ++i) {
    const auto n = ParseInt(argv[i], 1, 2147483647);
    if (!n) return Fail(std::string("invalid record number '") + argv[i] + "'");
    try {
      table.Delete(static_cast<std::int32_t>(*n));
    } catch (const EVELDOREngineError& e) {
      return Fail("record " + std::to_string(*n) + ": " + e.what());
    }
  }
  return 0;
}

int Verify(TTableAccess& table) {
  try {
    table.Open(false);
  } catch (const EVELDOREngineError& e) {
    std::printf("%s\n", e.what());
    return 1;
  }
  const std::vector<std::string> problems = table.Check();
  for (const std::string& p : problems)
    std::printf("%s\n", p.c_str());
  if (problems.empty()) {
    if (const std::int64_t extra = table.TrailingBytes(); extra > 0)
      std::printf("note: %lld bytes past the last record (an interrupted append), ignored\n",
                  static_cast<long long>(extra));
    std::printf("OK\n");
  }
  return problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return Usage();
  const std::string command = argv[1];
  TTableAccess table(argv[2], argv[3]);
  try {
    if (command == "create" && argc == 4) return Create(table);
    if (command == "info" && argc == 4) return Info(table);
    if (command == "dump" && argc == 4) return Dump(table);
    if (command == "load" && argc == 4) return Load(table);
    if (command == "verify" && argc == 4) return Verify(table);
    if (command == "delete" && argc >= 5) return Delete(table, argc, argv);
    return Usage();
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
