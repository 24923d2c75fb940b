// create, dump, load and delete through an engine session.
#include <cstdio>
#include <iostream>
#include <iterator>

#include "engine/storage/EngineError.h"
#include "engine/storage/files/DataDirectory.h"
#include "engine/storage/formats/ValueText.h"
#include "tools/zorvic-table/Commands.h"
#include "tools/zorvic-table/Definition.h"
#include "tools/zorvic-table/DumpFormat.h"
#include "tools/zorvic-table/TableSession.h"

namespace zorvic::tools {

using namespace zorvic::engine;

namespace {

int Fail(const std::string& message) {
  std::fprintf(stderr, "zorvic-table: %s\n", message.c_str());
  return 1;
}

}  // namespace

int CreateTable(const std::string& directory, const std::string& table) {
  const std::string json((std::istreambuf_iterator<char>(std::cin)),
                         std::istreambuf_iterator<char>());
  const TTableCreation creation = ParseTableDefinition(json);
  TTableSession session(directory);
  TDataTable& created = session.Database().CreateTable(table, false, creation, false);
  session.Database().CloseTable(created);
  return 0;
}

int DumpRecords(const std::string& directory, const std::string& table, const std::string* index) {
  TTableSession session(directory);
  TDataCursor& cursor = session.OpenTable(table, true);
  if (index) cursor.SetIndexByName(*index);
  cursor.First();
  std::vector<std::uint8_t> buffer(cursor.RecordSize());
  std::string line;
  while (cursor.GetNext(buffer.data()) == VELDOR_NONE) {
    const TRecordValues values = RecordValues(cursor, buffer.data());
    line.clear();
    for (const TFieldDesc& f : cursor.Fields()) {
      if (f.FieldNo > 1) line += '\t';
      try {
        line += FieldValueToText(f, values[f.FieldNo - 1]);
      } catch (const EConvertError& e) {
        return Fail("record " + std::to_string(cursor.CurrentRecordNo()) + ", field " + f.Name() +
                    ": " + e.what());
      }
    }
    line += '\n';
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size())
      return Fail("cannot write the dump");
  }
  return std::fflush(stdout) == 0 ? 0 : Fail("cannot write the dump");
}

int LoadRecords(const std::string& directory, const std::string& table, std::int64_t batch,
                bool exclusive) {
  TTableSession session(directory);
  TDataCursor& cursor = session.OpenTable(table, false, exclusive);
  TDataDirectory& database = session.Database();
  const std::vector<TFieldDesc>& fields = cursor.Fields();
  std::vector<std::uint8_t> buffer(cursor.RecordSize());
  std::string line;
  std::int64_t lineNo = 0;
  std::int64_t loaded = 0;  // lines committed
  std::int64_t inBatch = 0;
  while (std::getline(std::cin, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    try {
      const auto parts = SplitFields(line);
      if (parts.size() != fields.size())
        throw EDumpFormatError("expected " + std::to_string(fields.size()) + " fields, found " +
                               std::to_string(parts.size()));
      TRecordValues values;
      for (const TFieldDesc& f : fields)
        values.push_back(TextToFieldValue(f, parts[f.FieldNo - 1]));
      if (inBatch == 0 && !exclusive) database.StartTransaction();
      const std::int32_t rowId = FillRecord(cursor, values, buffer.data());
      // A given RowId is kept (a dump loads back with the same values); none asks for the next.
      cursor.SetAutoIncSuppressed(rowId != 0);
      cursor.InsertRecord(buffer.data());
      cursor.FreeAllBlobs();
    } catch (const std::exception& e) {
      cursor.FreeAllBlobs();
      if (database.InTransaction()) database.Rollback();
      return Fail("line " + std::to_string(lineNo) + ": " + e.what() + " (" +
                  std::to_string(loaded) + " lines loaded, lines " + std::to_string(loaded + 1) +
                  " to " + std::to_string(lineNo) + " not loaded)");
    }
    if (++inBatch == batch) {
      try {
        if (exclusive)
          cursor.Table().Flush(false, false);
        else
          database.Commit(true, false);
      } catch (const std::exception& e) {
        return Fail("lines " + std::to_string(loaded + 1) + " to " + std::to_string(lineNo) +
                    " not loaded: " + e.what());
      }
      loaded = lineNo;
      inBatch = 0;
    }
  }
  try {
    if (database.InTransaction()) database.Commit(true, false);
    if (exclusive) cursor.Table().Flush(true, false);
  } catch (const std::exception& e) {
    return Fail("lines " + std::to_string(loaded + 1) + " to " + std::to_string(lineNo) +
                " not loaded: " + e.what());
  }
  return 0;
}

int DeleteRecords(const std::string& directory, const std::string& table,
                  const std::vector<std::string>& recordNumbers) {
  std::vector<std::int32_t> numbers;
  for (const std::string& text : recordNumbers) {
    const auto n = ParseInt(text, 1, 2147483647);
    if (!n) return Fail("invalid record number '" + text + "'");
    numbers.push_back(static_cast<std::int32_t>(*n));
  }
  TTableSession session(directory);
  TDataCursor& cursor = session.OpenTable(table, false);
  TDataDirectory& database = session.Database();
  // All or nothing: one transaction for the whole list.
  database.StartTransaction();
  for (const std::int32_t n : numbers) {
    try {
      if (cursor.GoToRecordSlot(n) != VELDOR_NONE || cursor.CurrentRecordNo() != n)
        RaiseTableError(VELDOR_KEYORRECDELETED, table);
      cursor.DeleteRecord();
    } catch (const EVELDOREngineError& e) {
      database.Rollback();
      return Fail("record " + std::to_string(n) + ": " + e.what() + " (nothing deleted)");
    }
  }
  database.Commit(true, false);
  return 0;
}

}  // namespace zorvic::tools
