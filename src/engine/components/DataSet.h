// TVELDORDataSet and TVELDORDBDataSet: datasets on an engine cursor.
//
// A dataset shows the records of one engine cursor (TDataCursor) one at a time through its
// columns (TVELDORField). It holds one record buffer in the engine's record layout: the current
// record in browse state, the record being changed in edit and insert state, and a copy of the
// record as it was when the edit began. Column writes change only the buffer; Post hands it to
// the cursor (modify in edit state, insert otherwise), Cancel drops it.
//
// States: inactive -> browse (open) -> edit or insert -> browse (Post or Cancel) -> inactive.
// Moving, refreshing or closing while a change is pending first posts it when a column was
// written, and otherwise cancels it, so a pending change is never silently lost on a move.
//
// Navigation follows the usual dataset rules: First sets Bof, Last sets Eof, Next on the last
// record (and Prior on the first) leaves the dataset on that record with Eof (Bof) set; an
// empty dataset has both set.
//
// TVELDORDBDataSet adds the database and session the dataset works in: opening attaches it to
// the database component its session has for DatabaseName (a component's name, a folder path
// or "Memory"), closing releases it. Derived datasets (the table, the query) provide the cursor.
//
// Links: a dataset tells the datasets that follow its current record (a detail query whose
// DataSource is this dataset) each time that record may have changed: when it opens, moves to
// another record (First, Last, Next, Prior, RecNo, bookmarks, Locate, a table's key search),
// is refreshed, posts, cancels, deletes, or starts a new record. A Locate tells them once, on
// the record it ends on. Closing the master tells nothing; destroying it makes every link
// forget it.
//
// Thread safety: a dataset, with its columns and BLOB streams, is used by one thread at a time;
// a master and the datasets linked to it belong to the same thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/components/Field.h"
#include "engine/storage/cursors/DataCursor.h"

namespace zorvic::engine {

class TVELDORDatabase;
class TVELDORSession;
class TVELDORBlobStream;

enum class TDataSetState : std::uint8_t {
  dsInactive,
  dsBrowse,
  dsEdit,
  dsInsert,
  dsSetKey,
  dsCalcFields,
  dsFilter,
  dsNewValue,
  dsOldValue,
  dsCurValue,
};

// Asked per record when the dataset is filtered; true keeps the record.
using TFilterRecordEvent = std::function<bool(TVELDORDataSet& dataSet)>;

// A dataset that follows the current record of a master dataset.
class TDataSetLink {
 public:
  virtual ~TDataSetLink() = default;
  // The master opened, moved, was refreshed or changed its current record.
  virtual void MasterRecordChanged(TVELDORDataSet& master) = 0;
  // The master is being destroyed: the link must not use it again.
  virtual void MasterDestroyed(TVELDORDataSet& master) = 0;
};

// Times a whole-BLOB read refreshes the record and tries again after the record was changed
// under it; bounded so that a record changing all the time cannot keep a reader spinning.
inline constexpr int kBlobOpenAttempts = 3;

class TVELDORDataSet {
 public:
  TVELDORDataSet();
  virtual ~TVELDORDataSet();
  TVELDORDataSet(const TVELDORDataSet&) = delete;
  TVELDORDataSet& operator=(const TVELDORDataSet&) = delete;

  // ---- opening -------------------------------------------------------------------------
  bool Active() const { return FState != TDataSetState::dsInactive; }
  void SetActive(bool active);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  TDataSetState State() const { return FState; }
  // The open cursor ("Cannot perform this operation on a closed dataset" otherwise).
  TDataCursor& Cursor() const;
  // Whether records may be inserted, changed and deleted.
  bool CanModify() const { return FCanModify; }

  // ---- navigation ----------------------------------------------------------------------
  void First();
  void Last();
  void Next();
  void Prior();
  bool Bof() const { return FBof; }
  bool Eof() const { return FEof; }
  bool IsEmpty() const { return FBof && FEof; }
  std::int64_t RecordCount();
  // The position of the current record (1-based, 0 without one); setting moves there.
  std::int64_t RecNo();
  void SetRecNo(std::int64_t n);
  std::vector<std::uint8_t> GetBookmark();
  void GotoBookmark(const std::vector<std::uint8_t>& bookmark);
  // Moves to the first record whose columns have the given texts (case-insensitively when
  // asked); false, and the position unchanged, when there is none.
  bool Locate(const std::vector<std::string>& fieldNames, const std::vector<std::string>& values,
              bool caseInsensitive = false);

  // ---- changes -------------------------------------------------------------------------
  void Insert();
  void Append();
  void Edit();
  void Post();
  void Cancel();
  void Delete();
  // Checks for changes by others and reads the current record again.
  void Refresh();
  // A column or a BLOB value was written since the edit or insert began.
  bool Modified() const { return FModified; }

  // ---- columns -------------------------------------------------------------------------
  std::size_t FieldCount() const { return FFields.size(); }
  TVELDORField& Field(std::size_t index) const { return *FFields.at(index); }
  // Case-insensitive; nullptr, respectively "Field '%s' not found.", when there is none.
  TVELDORField* FindField(const std::string& name) const;
  TVELDORField& FieldByName(const std::string& name) const;

  // ---- filters -------------------------------------------------------------------------
  const std::string& Filter() const { return FFilter; }
  void SetFilter(const std::string& expression);
  bool Filtered() const { return FFiltered; }
  void SetFiltered(bool on);
  void SetOnFilterRecord(TFilterRecordEvent event);

  // ---- links -------------------------------------------------------------------------------
  // A link is told of record changes until it is removed (adding one twice adds it once).
  void AddLink(TDataSetLink* link);
  void RemoveLink(TDataSetLink* link);

  bool AutoDisplayLabels = false;
  bool CopyOnAppend = false;

  // ---- record buffer (columns and BLOB streams) -----------------------------------------
  std::uint8_t* RecordBuffer() { return FBuffer.data(); }
  const std::uint8_t* RecordBuffer() const { return FBuffer.data(); }
  // The whole value of a BLOB or memo column of the current record. When the record was
  // changed or deleted by someone else since it was read, the record is read again and the
  // value opened again, a few times at most and only while the dataset stays on that record;
  // otherwise the error is raised.
  std::string GetBlobValue(const TVELDORField& field);
  // Writes a whole BLOB or memo value (through a BLOB stream in write mode).
  void SetBlobValue(const TVELDORField& field, std::string_view bytes);
  // For columns and streams: the checks before a write, and the mark after it.
  void CheckEditing() const;
  void MarkModified() { FModified = true; }
  // Reads the current record into the buffer again after a refresh (browse state); false when
  // the dataset is no longer on a record.
  bool RefreshCurrentRecord();

 protected:
  // Provide an open cursor, and close it. The dataset never frees the cursor itself.
  virtual TDataCursor* OpenCursor() = 0;
  virtual void CloseCursor() = 0;
  // Builds the columns; a derived dataset may change them afterwards.
  virtual void CreateFields();
  // Called when the dataset is open and positioned (before the first record is read).
  virtual void AfterOpenCursor() {}
  // Whether the dataset should refuse changes (the table's ReadOnly, the query's).
  virtual bool WantsReadOnly() const { return false; }
  // Closes the cursor without releasing anything beyond it (a database disconnecting).
  void CloseDataSet();
  // Ends a pending change (posting it when a column was written) and checks the dataset is
  // open.
  void CheckBrowseMode();
  // A record buffer holding the given texts in the given columns (every other field NULL), for
  // key searches and ranges.
  std::vector<std::uint8_t> BuildKeyRecord(const std::vector<TVELDORField*>& fields,
                                           const std::vector<std::string>& values);
  // Shows the record the cursor is on (after a find); false, and the dataset left on its
  // first record, without one.
  bool ShowCursorRecord();
  // Tells the links that the current record may have changed (once at the end of the
  // outermost TLinkHold).
  void RecordChanged();
  // Holds the link notices back for its lifetime and gives one at its end when any came.
  class TLinkHold {
   public:
    explicit TLinkHold(TVELDORDataSet& dataSet) : FDataSet(dataSet) { ++FDataSet.FLinkHolds; }
    ~TLinkHold() noexcept(false);
    TLinkHold(const TLinkHold&) = delete;
    TLinkHold& operator=(const TLinkHold&) = delete;

   private:
    TVELDORDataSet& FDataSet;
  };

 private:
  void CheckActive() const;
  void InstallFilters();
  void RemoveFilters();
  // Fills the buffer from the cursor's current record; false (buffer cleared) without one.
  bool ReadCurrent();
  void ClearBuffer();
  void StartNewRecord();
  void EndChange();

  TDataCursor* FCursor = nullptr;
  TDataSetState FState = TDataSetState::dsInactive;
  bool FBof = true;
  bool FEof = true;
  bool FCanModify = false;
  bool FModified = false;
  bool FOnRecord = false;  // the buffer holds a record of the table (browse state)
  std::vector<std::uint8_t> FBuffer;
  std::vector<std::uint8_t> FEditCopy;
  std::vector<std::unique_ptr<TVELDORField>> FFields;
  std::string FFilter;
  bool FFiltered = false;
  TFilterRecordEvent FOnFilterRecord;
  std::vector<int> FFilterHandles;
  std::vector<TDataSetLink*> FLinks;
  int FLinkHolds = 0;
  bool FLinkNoticePending = false;
};

class TVELDORDBDataSet : public TVELDORDataSet {
 public:
  // `owner` groups components the way a form or module would (may be nullptr).
  explicit TVELDORDBDataSet(const void* owner = nullptr) : FOwner(owner) {}
  ~TVELDORDBDataSet() override;

  // A database component's name, a folder path, or "Memory"; fixed while open.
  const std::string& DatabaseName() const { return FDatabaseName; }
  void SetDatabaseName(const std::string& name);
  // Empty: the default session; fixed while open.
  const std::string& SessionName() const { return FSessionName; }
  void SetSessionName(const std::string& name);
  const void* Owner() const { return FOwner; }
  // The database component while open, else nullptr.
  TVELDORDatabase* Database() const { return FDatabase; }
  TVELDORSession* DBSession() const { return FSession; }

 protected:
  TDataCursor* OpenCursor() final;
  void CloseCursor() final;
  // Make and open the cursor on the attached database; close and free it.
  virtual TDataCursor* CreateHandle(TVELDORDatabase& database) = 0;
  virtual void DestroyHandle() = 0;

 private:
  friend class TVELDORDatabase;
  // Called by a disconnecting database: close without releasing the database.
  void CloseForDisconnect();
  void Detach(bool release);

  const void* FOwner;
  std::string FDatabaseName;
  std::string FSessionName;
  TVELDORDatabase* FDatabase = nullptr;
  TVELDORSession* FSession = nullptr;
  bool FReleaseOnClose = true;
};

}  // namespace zorvic::engine
