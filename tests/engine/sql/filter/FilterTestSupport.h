// Helpers for the filter tests: a table with several index shapes, rows by value, and the
// record sets a filtered cursor shows.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/sql/filter/ConditionFilter.h"
#include "engine/storage/CursorTestSupport.h"
#include "engine/storage/EngineError.h"

namespace zorvic::engine::testing {

// Field numbers of the items table.
enum : std::uint16_t { fID = 1, fName = 2, fNum = 3, fCode = 4, fNote = 5, fAmount = 6 };

// Items: ID (auto-increment primary key), Name with a case-sensitive and a NOCASE index,
// Num with a plain index, Code with only a NOCASE index, Note without index, Amount (Float)
// with an index.
inline TTableCreation ItemsTable() {
  TTableCreation c;
  c.Table.Fields = {
      Fld("ID", ftInteger, 0, fstAutoInc), Fld("Name", ftString, 20), Fld("Num", ftInteger),
      Fld("Code", ftString, 10),           Fld("Note", ftString, 20), Fld("Amount", ftFloat)};
  c.Primary = Idx("", {fID}, true);
  c.Secondary = {Idx("ByName", {fName}), Idx("ByNameNoCase", {fName}, false, icNone, true),
                 Idx("ByNum", {fNum}), Idx("ByCode", {fCode}, false, icNone, true),
                 Idx("ByAmount", {fAmount})};
  return c;
}

struct TItem {
  std::optional<std::string> Name;
  std::optional<std::int32_t> Num;
  std::optional<std::string> Code;
  std::optional<std::string> Note;
  std::optional<double> Amount;
};

class TFilterFixture : public TDatabaseFixture {
 protected:
  void SetUp() override {
    TDatabaseFixture::SetUp();
    InstallExpressionFilters();
  }

  static void Fill(TDataCursor& c, std::vector<std::uint8_t>& buffer, const TItem& item) {
    buffer.assign(c.RecordSize(), 0);
    c.InitRecord(buffer.data());
    if (item.Name) c.SetString(buffer.data(), fName, *item.Name);
    if (item.Num) {
      std::uint8_t b[4];
      PutI32(b, *item.Num);
      c.SetFieldBytes(buffer.data(), fNum, b);
    }
    if (item.Code) c.SetString(buffer.data(), fCode, *item.Code);
    if (item.Note) c.SetString(buffer.data(), fNote, *item.Note);
    if (item.Amount) {
      std::uint8_t b[8];
      std::memcpy(b, &*item.Amount, 8);
      c.SetFieldBytes(buffer.data(), fAmount, b);
    }
  }
  // Inserts the item and returns its ID.
  static std::int32_t Insert(TDataCursor& c, const TItem& item) {
    std::vector<std::uint8_t> buffer;
    Fill(c, buffer, item);
    c.InsertRecord(buffer.data());
    return RecRowId(buffer.data());
  }
  // The IDs of the records the cursor shows, in its order.
  static std::vector<std::int32_t> Ids(TDataCursor& c) {
    std::vector<std::int32_t> out;
    std::vector<std::uint8_t> buffer(c.RecordSize());
    c.First();
    while (c.GetNext(buffer.data()) == VELDOR_NONE)
      out.push_back(RecRowId(buffer.data()));
    return out;
  }
  static std::set<std::int32_t> IdSet(TDataCursor& c) {
    std::vector<std::int32_t> v = Ids(c);
    return {v.begin(), v.end()};
  }
  static std::int32_t NumOf(TDataCursor& c, const std::uint8_t* record) {
    std::uint8_t b[4] = {};
    if (!c.GetFieldBytes(record, fNum, b)) return 0;
    return GetI32(b);
  }
};

// The text of the engine error a call raises ("" when it raises none).
inline std::string ErrorText(const std::function<void()>& call) {
  try {
    call();
  } catch (const EVELDOREngineError& e) {
    return e.what();
  }
  return "";
}

inline TErrorCode ErrorCodeOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const EVELDOREngineError& e) {
    return e.ErrorCode;
  }
  return VELDOR_NONE;
}

}  // namespace zorvic::engine::testing
