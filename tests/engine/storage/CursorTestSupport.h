// Helpers for the session, table and cursor tests: a session with a database in a temporary
// folder, table definitions shaped like the server's, record buffers filled by field name, and
// the structural check of a table's indexes against its records.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/FileTestSupport.h"
#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/files/DataDirectory.h"
#include "engine/storage/formats/Record.h"
#include "engine/storage/maintenance/IndexVerify.h"
#include "engine/storage/sessions/DataSession.h"

namespace zorvic::engine::testing {

inline TFieldDefinition Fld(const std::string& name, std::uint8_t type, std::uint32_t size = 0,
                            std::uint8_t subType = 0) {
  TFieldDefinition f;
  f.Name = name;
  f.DataType = type;
  f.Size = size;
  f.SubType = subType;
  return f;
}

inline TIndexDefinition Idx(const std::string& name, std::vector<std::uint16_t> fields,
                            bool unique = false, std::uint8_t compression = icNone,
                            bool noCase = false, bool descending = false) {
  TIndexDefinition d;
  d.Name = name;
  d.Fields = std::move(fields);
  d.Unique = unique;
  d.Compression = compression;
  d.NoCase = noCase;
  d.Descending = descending;
  return d;
}

// A table like the server's Users table: a string primary key, a case-insensitive fully
// compressed secondary index, an auto-increment number, a memo.
inline TTableCreation UsersTable(std::uint8_t compression = icFull) {
  TTableCreation c;
  c.Table.Fields = {Fld("UserName", ftString, 30), Fld("ID", ftInteger, 0, fstAutoInc),
                    Fld("FullName", ftString, 60), Fld("Rights", ftInteger),
                    Fld("Notes", ftBlob, 0, fstMemo)};
  c.Primary = Idx("", {1}, true, compression);
  c.Secondary = {Idx("ByFullName", {3}, false, compression, true)};
  return c;
}

// A table keyed by its auto-increment field, with a non-unique integer index.
inline TTableCreation CounterTable(std::uint8_t compression = icNone) {
  TTableCreation c;
  c.Table.Fields = {Fld("ID", ftInteger, 0, fstAutoInc), Fld("Value", ftInteger),
                    Fld("Label", ftString, 20)};
  c.Primary = Idx("", {1}, true, compression);
  c.Secondary = {Idx("ByValue", {2}, false, compression)};
  return c;
}

// A session of its own with one database in a temporary folder.
class TDatabaseFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    Session = std::make_unique<TDataSession>();
    Database = &Session->OpenDatabase(Dir.Path());
  }
  void TearDown() override {
    Cursors.clear();
    if (Database) Session->CloseDatabase(*Database);
    Session.reset();
  }
  // A new cursor on the fixture's database (closed with the fixture).
  TDataCursor& NewCursor() {
    Cursors.push_back(std::make_unique<TDataCursor>(*Database));
    return *Cursors.back();
  }
  TDataCursor& Create(const std::string& name, const TTableCreation& creation) {
    TDataCursor& c = NewCursor();
    c.CreateTable(name, creation, false);
    c.Open(name);
    return c;
  }
  std::string File(const std::string& name) const { return Dir.File(name); }

  TTempDir Dir;
  std::unique_ptr<TDataSession> Session;
  TDataDirectory* Database = nullptr;
  std::vector<std::unique_ptr<TDataCursor>> Cursors;
};

// A record buffer with field access by name.
class TRec {
 public:
  explicit TRec(TDataCursor& cursor) : FCursor(cursor), FBytes(cursor.RecordSize(), 0) {}
  TRec& Init() {
    FCursor.InitRecord(FBytes.data());
    return *this;
  }
  TRec& Str(const std::string& field, const std::string& text) {
    FCursor.SetString(FBytes.data(), No(field), text);
    return *this;
  }
  TRec& Int(const std::string& field, std::int32_t v) {
    std::uint8_t b[4];
    PutI32(b, v);
    FCursor.SetFieldBytes(FBytes.data(), No(field), b);
    return *this;
  }
  TRec& Null(const std::string& field) {
    FCursor.ClearField(FBytes.data(), No(field));
    return *this;
  }
  std::string GetStr(const std::string& field) const {
    return FCursor.GetString(FBytes.data(), No(field));
  }
  std::int32_t GetInt(const std::string& field) const {
    const TFieldDesc* f = FCursor.FindField(field);
    if (f->IsAutoInc()) return RecRowId(FBytes.data());
    std::uint8_t b[4] = {};
    FCursor.GetFieldBytes(FBytes.data(), f->FieldNo, b);
    return GetI32(b);
  }
  std::uint32_t No(const std::string& field) const {
    const TFieldDesc* f = FCursor.FindField(field);
    if (!f) ADD_FAILURE() << "no field " << field;
    return f ? f->FieldNo : 0;
  }
  std::uint8_t* Bytes() { return FBytes.data(); }
  const std::uint8_t* Bytes() const { return FBytes.data(); }

 private:
  TDataCursor& FCursor;
  std::vector<std::uint8_t> FBytes;
};

// The records of an open table as the index checks read them.
class TTableRecords : public TRecordSource {
 public:
  explicit TTableRecords(TDataFile& data) : FData(data), FBytes(data.RecordSize()) {}
  std::int32_t SlotCount() override { return FData.PhysicalRecordCount(); }
  const std::uint8_t* Record(std::int32_t recordNo) override {
    TRecord* r = FData.GetRecord(recordNo);
    std::memcpy(FBytes.data(), r->Bytes(), FBytes.size());
    FData.ReleaseRecord(r);
    return FBytes.data();
  }

 private:
  TDataFile& FData;
  std::vector<std::uint8_t> FBytes;
};

// Every problem of the table's trees and of each index against the records (empty: sound).
inline std::vector<std::string> CheckTable(TDataTable& table) {
  TIndexFile& index = table.Index();
  std::vector<std::string> problems;
  TIndexFileCheck file =
      CheckIndexFile(index, [&](int slot) -> const TKeyCompare& { return index.KeyCompare(slot); });
  problems.insert(problems.end(), file.Problems.begin(), file.Problems.end());
  for (const TTreeCheck& t : file.Trees)
    problems.insert(problems.end(), t.Problems.begin(), t.Problems.end());
  TTableRecords records(table.Data());
  std::vector<int> slots;
  if (table.HasPrimaryIndex()) slots.push_back(0);
  for (int s = 1; s <= index.Header().SecondaryCount(); ++s)
    slots.push_back(s);
  slots.push_back(SysDeletedSlot);
  for (int s : slots) {
    TTreeCheck check;
    const TKeyBuilder* builder = s == SysDeletedSlot ? nullptr : &index.KeyBuilder(s);
    CheckIndexRecords(index, s, index.KeyCompare(s), builder, records, check);
    problems.insert(problems.end(), check.Problems.begin(), check.Problems.end());
  }
  return problems;
}

}  // namespace zorvic::engine::testing
