// TTableSession: the tool's engine session on one table, opened like any other user's.
//
// Changes and index-order reads go through a cursor of an ordinary session (shared open), so
// they take the table's locks and keep every index right. An encrypted table's password is
// taken from its own data header: the tool works on the files directly and needs no more
// rights than the file permissions already give.
//
// Thread safety: one thread, like the session it holds.
#pragma once

#include <memory>
#include <string>

#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/sessions/DataSession.h"
#include "engine/storage/sessions/TableAccess.h"

namespace zorvic::tools {

class TTableSession {
 public:
  // Opens the database DIR; the table is opened by OpenTable.
  explicit TTableSession(const std::string& directory);
  ~TTableSession();
  TTableSession(const TTableSession&) = delete;
  TTableSession& operator=(const TTableSession&) = delete;

  engine::TDataDirectory& Database() { return *FDatabase; }
  // Opens the table in a cursor (record-number mode), shared unless exclusive.
  engine::TDataCursor& OpenTable(const std::string& table, bool readOnly, bool exclusive = false);
  engine::TDataCursor& Cursor() { return *FCursor; }

 private:
  engine::TDataSession FSession;
  engine::TDataDirectory* FDatabase = nullptr;
  std::unique_ptr<engine::TDataCursor> FCursor;
};

// The values of the cursor's record buffer (Blob values read whole through the cursor).
engine::TRecordValues RecordValues(engine::TDataCursor& cursor, std::uint8_t* buffer);
// Fills a record buffer from values: the cursor's table decides the layout; Blob values are
// opened and written through the cursor. Returns the RowId the values ask for (0: none).
std::int32_t FillRecord(engine::TDataCursor& cursor, const engine::TRecordValues& values,
                        std::uint8_t* buffer);

}  // namespace zorvic::tools
