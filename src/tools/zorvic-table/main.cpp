// zorvic-table: maintenance of table files without SQL.
//
//   zorvic-table create DIR TABLE      < definition.json (fields and indexes, Definition.h)
//   zorvic-table info   DIR TABLE      headers, field and index descriptors, "name: value"
//   zorvic-table dump   DIR TABLE [--index NAME]
//                                      active records, one per line (see DumpFormat.h), in
//                                      record-number order or in the order of an index
//                                      ("Primary" for the primary index)
//   zorvic-table load   DIR TABLE [--batch N] [--exclusive]
//                                      < dump lines, inserted in transactions of N lines
//                                      (1,000 by default): a failing line leaves whole batches;
//                                      --exclusive opens the table alone and writes it every
//                                      N lines instead
//   zorvic-table delete DIR TABLE RECNO...   all or none
//   zorvic-table verify DIR TABLE      every problem found (data, BLOB and index files);
//                                      exit 0 only when sound
//   zorvic-table repair DIR TABLE [--drop-bad-records]
//                                      mends what verify finds in the data and BLOB files
//                                      (listing every change), keeps the old files as .DBK,
//                                      .BBK and .IBK, and rebuilds the index file
//
// Exit status: 0 success, 1 failure (the message on standard error), 2 wrong usage. Changes go
// through an engine session that opens the table shared like any other user, so every index
// stays right and the table's locks are honoured; repair needs the table to itself.
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/ValueText.h"
#include "engine/storage/locks/Journal.h"
#include "engine/storage/locks/UndoJournal.h"
#include "engine/storage/sessions/TableAccess.h"
#include "tools/zorvic-table/Commands.h"
#include "tools/zorvic-table/DumpFormat.h"
#include "tools/zorvic-table/Json.h"

using namespace zorvic::engine;
using namespace zorvic::tools;

namespace {

constexpr std::int64_t kLoadBatch = 1000;  // lines per transaction

const char* const kUsage =
    "usage: zorvic-table COMMAND DIR TABLE [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  create DIR TABLE          make a table from the JSON definition on standard input\n"
    "  info DIR TABLE            headers, field and index descriptors, one \"name: value\" a line\n"
    "  dump DIR TABLE            active records, one a line, tab-separated\n"
    "      --index NAME          in the order of that index (\"Primary\" for the primary one)\n"
    "  load DIR TABLE            insert the dump lines on standard input\n"
    "      --batch N             lines per transaction (1000)\n"
    "      --exclusive           open the table exclusively and write it every N lines\n"
    "  delete DIR TABLE RECNO... delete records by number, all or none\n"
    "  verify DIR TABLE          every problem of the data, BLOB and index files; exit 0 when "
    "sound\n"
    "  repair DIR TABLE          mend the data and BLOB files, list every change, keep the old\n"
    "                            files as .DBK/.BBK/.IBK and rebuild the index file; exit 1\n"
    "                            when records failing their checks were kept\n"
    "      --drop-bad-records    remove records that fail their field checks\n"
    "\n"
    "Options may stand anywhere on the command line; -- ends them. --help (or -h) shows this.\n"
    "Exit status: 0 success, 1 failure (the reason on standard error), 2 wrong usage.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

int Help() {
  std::fputs(kUsage, stdout);
  return 0;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "zorvic-table: %s\n", message.c_str());
  return 1;
}

void Line(const std::string& name, const std::string& value) {
  std::string out = name + ": " + value + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
}

bool UndoPresent(const std::string& directory, const std::string& table) {
  return UndoJournalPresent(CurrentFileSystem(), UndoJournalFileName(directory, table));
}

bool JournalPresent(const std::string& directory, const std::string& table) {
  return ReadJournal(CurrentFileSystem(), JournalFileName(directory, table), nullptr) !=
             TJournalState::None ||
         UndoPresent(directory, table);
}

// The journal's file name, for the messages.
std::string JournalShown(const std::string& directory, const std::string& table) {
  if (ReadJournal(CurrentFileSystem(), JournalFileName(directory, table), nullptr) ==
          TJournalState::None &&
      UndoPresent(directory, table))
    return UndoJournalFileName(directory, table);
  return JournalFileName(directory, table);
}

// What the journal beside the table means for it.
std::string JournalNote(const std::string& directory, const std::string& table) {
  TJournalContent content;
  switch (ReadJournal(CurrentFileSystem(), JournalFileName(directory, table), &content)) {
    case TJournalState::None:
      if (UndoPresent(directory, table))
        return "present, undo journal of an exclusive opener: the table was written since its "
               "last flush; the next open of the table puts it back";
      return "none";
    case TJournalState::Incomplete:
      if (ProbeJournal(CurrentFileSystem(), ResolveTableFileName(JournalFileName(directory, table),
                                                                 CurrentFileSystem())) ==
          TJournalPresence::Idle)
        return "present, retired: left by a process that ended with the table open; nothing "
               "to play back, the next open of the table removes it";
      return "present, incomplete: a write stopped before it changed the table";
    case TJournalState::Valid:
      break;
  }
  return std::string("present, ") + (content.Lead ? "lead" : "member") + " of a write of " +
         std::to_string(content.Tables.size()) + " table" +
         (content.Tables.size() == 1 ? "" : "s") +
         ": a write was interrupted; the next open of the table puts it back";
}

int Info(TTableAccess& table, const std::string& directory) {
  try {
    table.Open(false);
  } catch (const EVELDOREngineError&) {
    // A write stopped half-way may leave headers that fit the files only once its journal is
    // played back (a BLOB header written before the blocks it counts): what the journal means
    // is still told, then the error.
    if (!JournalPresent(directory, table.TableName())) throw;
    Line("Table", table.TableName());
    Line("File", table.DataFileName());
    Line("Journal", JournalNote(directory, table.TableName()));
    std::fflush(stdout);
    throw;
  }
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
  Line("Journal", JournalNote(directory, table.TableName()));
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
  const bool encrypted = data.Encrypted();
  const std::string name = table.TableName();
  table.Close();
  PrintIndexInfo(directory, name, encrypted);
  return 0;
}

int Verify(TTableAccess& table, const std::string& directory) {
  if (JournalPresent(directory, table.TableName())) {
    // The files are half-written until the journal is played back: nothing to check yet.
    std::printf("journal present: %s (%s)\n", JournalShown(directory, table.TableName()).c_str(),
                JournalNote(directory, table.TableName()).c_str());
    return 1;
  }
  try {
    table.Open(false);
  } catch (const EVELDOREngineError& e) {
    std::printf("%s\n", e.what());
    return 1;
  }
  std::vector<std::string> problems = table.Check();
  const std::int64_t extra = problems.empty() ? table.TrailingBytes() : 0;
  table.Close();
  // The indexes are checked only over sound data and BLOB files.
  if (problems.empty()) problems = CheckIndexes(directory, table.TableName());
  for (const std::string& p : problems)
    std::printf("%s\n", p.c_str());
  if (problems.empty()) {
    if (extra > 0)
      std::printf("note: %lld bytes past the last record (an interrupted append), ignored\n",
                  static_cast<long long>(extra));
    std::printf("OK\n");
  }
  return problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Options anywhere: --index NAME and --batch N take a value; -- ends the options.
  std::vector<std::string> args;
  const std::string* index = nullptr;
  std::string indexName;
  std::string batchText;
  bool options = true;
  bool dropBadRecords = false;
  bool exclusive = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (options && a == "--") {
      options = false;
    } else if (options && (a == "--help" || a == "-h")) {
      return Help();
    } else if (options && a == "--drop-bad-records") {
      dropBadRecords = true;
    } else if (options && a == "--exclusive") {
      exclusive = true;
    } else if (options && (a == "--index" || a == "--batch")) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "zorvic-table: %s needs a value\n", a.c_str());
        return Usage();
      }
      (a == "--index" ? indexName : batchText) = argv[++i];
      if (a == "--index") index = &indexName;
    } else if (options && a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9')) {
      std::fprintf(stderr, "zorvic-table: unknown option '%s'\n", a.c_str());
      return Usage();
    } else {
      args.push_back(a);
    }
  }
  if (args.size() < 3) return Usage();
  const std::string command = args[0];
  const std::string directory = args[1];
  const std::string name = args[2];
  const bool plain = args.size() == 3;
  if ((index && command != "dump") || (!batchText.empty() && command != "load") ||
      (dropBadRecords && command != "repair") || (exclusive && command != "load"))
    return Usage();
  TTableAccess table(directory, name);
  try {
    if (command == "create" && plain) return CreateTable(directory, name);
    if (command == "info" && plain) return Info(table, directory);
    if (command == "dump" && plain) return DumpRecords(directory, name, index);
    if (command == "load" && plain) {
      if (batchText.empty()) return LoadRecords(directory, name, kLoadBatch, exclusive);
      const auto batch = ParseInt(batchText, 1, 1000000000);
      if (!batch) return Fail("invalid batch size '" + batchText + "'");
      return LoadRecords(directory, name, *batch, exclusive);
    }
    if (command == "verify" && plain) return Verify(table, directory);
    if (command == "repair" && plain) return RepairTable(directory, name, dropBadRecords);
    if (command == "delete" && args.size() >= 4)
      return DeleteRecords(directory, name, std::vector<std::string>(args.begin() + 3, args.end()));
    return Usage();
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
