// Datasets: opening on a cursor, navigation, the edit cycle and filters.
#include "engine/components/DataSet.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "engine/components/BlobStream.h"
#include "engine/components/Database.h"
#include "engine/components/DatabaseError.h"
#include "engine/storage/formats/Record.h"

namespace zorvic::engine {

TVELDORDataSet::TVELDORDataSet() = default;

TVELDORDataSet::~TVELDORDataSet() {
  // Derived datasets close themselves while their cursor hooks still exist.
  const std::vector<TDataSetLink*> links = std::move(FLinks);
  FLinks.clear();
  for (TDataSetLink* link : links)
    link->MasterDestroyed(*this);
}

// ---- links -------------------------------------------------------------------------------

void TVELDORDataSet::AddLink(TDataSetLink* link) {
  if (link && std::find(FLinks.begin(), FLinks.end(), link) == FLinks.end()) FLinks.push_back(link);
}

void TVELDORDataSet::RemoveLink(TDataSetLink* link) {
  FLinks.erase(std::remove(FLinks.begin(), FLinks.end(), link), FLinks.end());
}

void TVELDORDataSet::RecordChanged() {
  if (FLinks.empty()) return;
  if (FLinkHolds > 0) {
    FLinkNoticePending = true;
    return;
  }
  FLinkNoticePending = false;
  // A linked dataset may remove and add itself again while it follows (a detail query
  // running again): each link of the list as it was is told once, while it is still linked.
  const std::vector<TDataSetLink*> links = FLinks;
  for (TDataSetLink* link : links)
    if (std::find(FLinks.begin(), FLinks.end(), link) != FLinks.end())
      link->MasterRecordChanged(*this);
}

TVELDORDataSet::TLinkHold::~TLinkHold() noexcept(false) {
  if (--FDataSet.FLinkHolds > 0 || !FDataSet.FLinkNoticePending) return;
  if (std::uncaught_exceptions() > 0) {
    FDataSet.FLinkNoticePending = false;
    return;
  }
  FDataSet.RecordChanged();
}

TDataCursor& TVELDORDataSet::Cursor() const {
  if (!FCursor) RaiseDatabaseError(kDataSetClosed);
  return *FCursor;
}

void TVELDORDataSet::CheckActive() const {
  if (!Active()) RaiseDatabaseError(kDataSetClosed);
}

// ---- opening and closing -----------------------------------------------------------------

void TVELDORDataSet::SetActive(bool active) {
  if (active == Active()) return;
  if (!active) {
    if (FState == TDataSetState::dsEdit || FState == TDataSetState::dsInsert) {
      // The record the cancel returns to is not shown to anyone: the links hear nothing.
      ++FLinkHolds;
      try {
        Cancel();
      } catch (...) {
        // Closing drops the pending change either way; the cursor's close ends its edit.
      }
      --FLinkHolds;
      FLinkNoticePending = false;
    }
    CloseDataSet();
    CloseCursor();
    return;
  }
  FCursor = OpenCursor();
  try {
    FBuffer.assign(FCursor->RecordSize(), 0);
    CreateFields();
    FCanModify = !FCursor->ReadOnly() && !WantsReadOnly();
    FState = TDataSetState::dsBrowse;
    InstallFilters();
    AfterOpenCursor();
    First();
  } catch (...) {
    CloseDataSet();
    CloseCursor();
    throw;
  }
}

void TVELDORDataSet::CloseDataSet() {
  RemoveFilters();
  FFields.clear();
  FBuffer.clear();
  FEditCopy.clear();
  FCursor = nullptr;
  FState = TDataSetState::dsInactive;
  FBof = FEof = true;
  FOnRecord = false;
  FModified = false;
  FCanModify = false;
}

void TVELDORDataSet::CreateFields() {
  FFields.clear();
  std::vector<std::string> names;
  for (const TFieldDesc& f : FCursor->Fields()) {
    const auto type = ColumnTypeOf(f);
    if (!type) continue;
    names.push_back(UniqueColumnName(names, f.Name()));
    FFields.push_back(std::make_unique<TVELDORField>(*this, f, *type, names.back()));
  }
}

TVELDORField* TVELDORDataSet::FindField(const std::string& name) const {
  for (const auto& f : FFields)
    if (SameFieldName(f->FieldName(), name)) return f.get();
  return nullptr;
}

TVELDORField& TVELDORDataSet::FieldByName(const std::string& name) const {
  TVELDORField* f = FindField(name);
  if (!f) RaiseDatabaseError(kFieldNotFound, name);
  return *f;
}

// ---- filters -----------------------------------------------------------------------------

void TVELDORDataSet::InstallFilters() {
  RemoveFilters();
  if (!FFiltered) return;
  if (!FFilter.empty()) FFilterHandles.push_back(FCursor->AddFilter(FFilter));
  if (FOnFilterRecord) {
    // The event reads the candidate record through the columns, so it is shown the record in
    // the dataset's buffer for the duration of the call.
    FFilterHandles.push_back(FCursor->AddFilter([this](const std::uint8_t* record) {
      std::vector<std::uint8_t> saved(FBuffer);
      std::memcpy(FBuffer.data(), record, FBuffer.size());
      bool keep = false;
      try {
        keep = FOnFilterRecord(*this);
      } catch (...) {
        FBuffer = std::move(saved);
        throw;
      }
      FBuffer = std::move(saved);
      return keep;
    }));
  }
}

void TVELDORDataSet::RemoveFilters() {
  if (FCursor)
    for (int h : FFilterHandles)
      FCursor->DropFilter(h);
  FFilterHandles.clear();
}

void TVELDORDataSet::SetFilter(const std::string& expression) {
  if (!Active()) {
    FFilter = expression;
    return;
  }
  CheckBrowseMode();
  std::string previous = std::move(FFilter);
  FFilter = expression;
  try {
    InstallFilters();
  } catch (...) {
    // A text the compiler refuses leaves the previous filter in force.
    FFilter = std::move(previous);
    InstallFilters();
    throw;
  }
  First();
}

void TVELDORDataSet::SetFiltered(bool on) {
  FFiltered = on;
  if (Active()) {
    CheckBrowseMode();
    InstallFilters();
    First();
  }
}

void TVELDORDataSet::SetOnFilterRecord(TFilterRecordEvent event) {
  FOnFilterRecord = std::move(event);
  if (Active() && FFiltered) {
    CheckBrowseMode();
    InstallFilters();
    First();
  }
}

// ---- navigation --------------------------------------------------------------------------

void TVELDORDataSet::ClearBuffer() {
  std::fill(FBuffer.begin(), FBuffer.end(), 0);
  FOnRecord = false;
}

bool TVELDORDataSet::ReadCurrent() {
  FCursor->FreeAllBlobs();
  if (FCursor->GetCurrent(FBuffer.data()) == VELDOR_NONE) {
    FOnRecord = true;
    return true;
  }
  ClearBuffer();
  return false;
}

void TVELDORDataSet::CheckBrowseMode() {
  CheckActive();
  if (FState == TDataSetState::dsEdit || FState == TDataSetState::dsInsert) {
    if (FModified)
      Post();
    else
      Cancel();
  }
}

void TVELDORDataSet::First() {
  CheckBrowseMode();
  FCursor->FreeAllBlobs();
  FCursor->First();
  const bool found = FCursor->GetNext(FBuffer.data()) == VELDOR_NONE;
  if (!found) ClearBuffer();
  FOnRecord = found;
  FBof = true;
  FEof = !found;
  RecordChanged();
}

void TVELDORDataSet::Last() {
  CheckBrowseMode();
  FCursor->FreeAllBlobs();
  FCursor->Last();
  const bool found = FCursor->GetPrior(FBuffer.data()) == VELDOR_NONE;
  if (!found) ClearBuffer();
  FOnRecord = found;
  FEof = true;
  FBof = !found;
  RecordChanged();
}

void TVELDORDataSet::Next() {
  CheckBrowseMode();
  if (FEof) return;
  FCursor->FreeAllBlobs();
  if (FCursor->GetNext(FBuffer.data()) == VELDOR_NONE) {
    FOnRecord = true;
    FBof = false;
    RecordChanged();
    return;
  }
  // Past the last record: stay on it with Eof set.
  FEof = true;
  if (FCursor->GetPrior(FBuffer.data()) == VELDOR_NONE) {
    FOnRecord = true;
  } else {
    ClearBuffer();
    FBof = true;
  }
}

void TVELDORDataSet::Prior() {
  CheckBrowseMode();
  if (FBof) return;
  FCursor->FreeAllBlobs();
  if (FCursor->GetPrior(FBuffer.data()) == VELDOR_NONE) {
    FOnRecord = true;
    FEof = false;
    RecordChanged();
    return;
  }
  FBof = true;
  if (FCursor->GetNext(FBuffer.data()) == VELDOR_NONE) {
    FOnRecord = true;
  } else {
    ClearBuffer();
    FEof = true;
  }
}

std::int64_t TVELDORDataSet::RecordCount() {
  CheckActive();
  return FCursor->RecordCount();
}

std::int64_t TVELDORDataSet::RecNo() {
  CheckActive();
  if (FState == TDataSetState::dsInsert || !FOnRecord) return 0;
  return FCursor->RecordNumber();
}

void TVELDORDataSet::SetRecNo(std::int64_t n) {
  CheckBrowseMode();
  FCursor->FreeAllBlobs();
  if (FCursor->GoToRecordNumber(n) != VELDOR_NONE || !ReadCurrent()) {
    First();
    return;
  }
  FBof = FEof = false;
  RecordChanged();
}

std::vector<std::uint8_t> TVELDORDataSet::GetBookmark() {
  CheckActive();
  if (!FOnRecord) return {};
  return FCursor->Bookmark();
}

void TVELDORDataSet::GotoBookmark(const std::vector<std::uint8_t>& bookmark) {
  CheckBrowseMode();
  if (bookmark.empty()) return;
  FCursor->FreeAllBlobs();
  FCursor->GoToBookmark(bookmark);
  if (!ReadCurrent()) {
    First();
    return;
  }
  FBof = FEof = false;
  RecordChanged();
}

bool TVELDORDataSet::Locate(const std::vector<std::string>& fieldNames,
                            const std::vector<std::string>& values, bool caseInsensitive) {
  CheckBrowseMode();
  if (fieldNames.size() != values.size()) RaiseDatabaseError(kFieldNotFound, "");
  std::vector<TVELDORField*> fields;
  for (const std::string& n : fieldNames)
    fields.push_back(&FieldByName(n));
  const std::vector<std::uint8_t> back = GetBookmark();
  // The links learn of the record Locate ends on, not of every record it tries.
  TLinkHold hold(*this);
  auto matches = [&] {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const std::string v = fields[i]->AsString();
      if (caseInsensitive ? !SameFieldName(v, values[i]) : v != values[i]) return false;
    }
    return true;
  };
  First();
  while (FOnRecord) {
    if (matches()) return true;
    Next();
    if (FEof) break;  // Next stayed on the last record, which was tested already
  }
  if (!back.empty())
    GotoBookmark(back);
  else
    First();
  return false;
}

// ---- changes -----------------------------------------------------------------------------

void TVELDORDataSet::CheckEditing() const {
  if (FState != TDataSetState::dsEdit && FState != TDataSetState::dsInsert &&
      FState != TDataSetState::dsSetKey)
    RaiseDatabaseError(kNotEditing);
}

std::vector<std::uint8_t> TVELDORDataSet::BuildKeyRecord(const std::vector<TVELDORField*>& fields,
                                                         const std::vector<std::string>& values) {
  CheckBrowseMode();
  std::vector<std::uint8_t> saved(FBuffer);
  const bool modified = FModified;
  const TDataSetState state = FState;
  std::fill(FBuffer.begin(), FBuffer.end(), 0);
  FState = TDataSetState::dsSetKey;
  auto restore = [&] {
    std::vector<std::uint8_t> key(FBuffer);
    FBuffer = std::move(saved);
    FModified = modified;
    FState = state;
    return key;
  };
  try {
    for (std::size_t i = 0; i < fields.size() && i < values.size(); ++i)
      fields[i]->SetAsString(values[i]);
  } catch (...) {
    restore();
    throw;
  }
  return restore();
}

bool TVELDORDataSet::ShowCursorRecord() {
  if (ReadCurrent()) {
    FBof = FEof = false;
    RecordChanged();
    return true;
  }
  First();
  return false;
}

void TVELDORDataSet::StartNewRecord() {
  CheckBrowseMode();
  if (!FCanModify) RaiseDatabaseError(kDataSetReadOnly);
  // An edit still open on the cursor ends, and the BLOB values of the old buffer are released.
  if (FCursor->Editing()) FCursor->EndEdit();
  FCursor->FreeAllBlobs();
  std::vector<std::uint8_t> previous;
  if (CopyOnAppend && FOnRecord) previous = FBuffer;
  FCursor->InitRecord(FBuffer.data());
  if (!previous.empty()) {
    // Copies the plain values of the record the dataset was on (not its RowId or BLOBs).
    for (const TFieldDesc& f : FCursor->Fields()) {
      if (f.IsAutoInc() || f.IsBlob() || f.NotStored) continue;
      std::memcpy(FBuffer.data() + f.FieldOffset, previous.data() + f.FieldOffset, f.PhysSize + 1u);
    }
  }
  FEditCopy.clear();
  FModified = false;
  FState = TDataSetState::dsInsert;
  RecordChanged();
}

void TVELDORDataSet::Insert() {
  StartNewRecord();
}

void TVELDORDataSet::Append() {
  StartNewRecord();
}

void TVELDORDataSet::Edit() {
  CheckActive();
  if (FState == TDataSetState::dsEdit || FState == TDataSetState::dsInsert) return;
  if (!FCanModify) RaiseDatabaseError(kDataSetReadOnly);
  if (!FOnRecord) RaiseDatabaseError(kDataSetEmpty);
  const TErrorCode rc = FCursor->BeginEdit(FBuffer.data());
  if (rc != VELDOR_NONE) RaiseByCode(rc);
  FEditCopy = FBuffer;
  FModified = false;
  FState = TDataSetState::dsEdit;
}

void TVELDORDataSet::Post() {
  CheckActive();
  if (FState == TDataSetState::dsEdit)
    FCursor->ModifyRecord(FBuffer.data());
  else if (FState == TDataSetState::dsInsert)
    FCursor->InsertRecord(FBuffer.data());
  else
    return;
  EndChange();
  FOnRecord = true;
  FBof = FEof = false;
  RecordChanged();
}

void TVELDORDataSet::EndChange() {
  FEditCopy.clear();
  FModified = false;
  FState = TDataSetState::dsBrowse;
}

void TVELDORDataSet::Cancel() {
  CheckActive();
  if (FState != TDataSetState::dsEdit && FState != TDataSetState::dsInsert) return;
  FCursor->EndEdit();
  EndChange();
  if (ReadCurrent()) {
    RecordChanged();
    return;
  }
  // The cursor was not on a record (an insert into an empty dataset, or the record is gone).
  First();
}

void TVELDORDataSet::Delete() {
  CheckActive();
  if (FState == TDataSetState::dsInsert) {
    Cancel();
    return;
  }
  if (!FCanModify) RaiseDatabaseError(kDataSetReadOnly);
  if (FState == TDataSetState::dsEdit) Cancel();
  if (!FOnRecord) RaiseDatabaseError(kDataSetEmpty);
  FCursor->FreeAllBlobs();
  FCursor->DeleteRecord();
  // The cursor is on the following record, or past the end: then the last record is shown.
  if (FCursor->GetCurrent(FBuffer.data()) == VELDOR_NONE) {
    FOnRecord = true;
    FBof = FEof = false;
    RecordChanged();
    return;
  }
  Last();
}

void TVELDORDataSet::Refresh() {
  CheckBrowseMode();
  FCursor->FreeAllBlobs();
  FCursor->Refresh();
  if (ReadCurrent()) {
    RecordChanged();
    return;
  }
  First();
}

bool TVELDORDataSet::RefreshCurrentRecord() {
  if (FState != TDataSetState::dsBrowse) return false;
  FCursor->FreeAllBlobs();
  FCursor->Refresh();
  return ReadCurrent();
}

// ---- BLOB values -------------------------------------------------------------------------

std::string TVELDORDataSet::GetBlobValue(const TVELDORField& field) {
  CheckActive();
  TVELDORBlobStream stream(const_cast<TVELDORField&>(field), TBlobStreamMode::bmRead);
  const std::int64_t size = stream.Size();
  std::string value(static_cast<std::size_t>(size), '\0');
  const std::int64_t got = stream.Read(value.data(), size);
  value.resize(static_cast<std::size_t>(got));
  return value;
}

void TVELDORDataSet::SetBlobValue(const TVELDORField& field, std::string_view bytes) {
  TVELDORBlobStream stream(const_cast<TVELDORField&>(field), TBlobStreamMode::bmWrite);
  if (!bytes.empty()) stream.Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
}

// ---- database datasets -------------------------------------------------------------------

TVELDORDBDataSet::~TVELDORDBDataSet() {
  // A derived dataset closes itself in its own destructor; should one not have, the database
  // must at least not keep pointing at it.
  if (FDatabase) FDatabase->DetachDataSet(this);
}

void TVELDORDBDataSet::SetDatabaseName(const std::string& name) {
  if (FDatabase && FDatabase->Connected()) RaiseDatabaseError(kDatabaseOpen);
  if (Active()) RaiseDatabaseError(kDataSetOpen);
  FDatabaseName = name;
}

void TVELDORDBDataSet::SetSessionName(const std::string& name) {
  if (Active()) RaiseDatabaseError(kDataSetOpen);
  FSessionName = name;
}

TDataCursor* TVELDORDBDataSet::OpenCursor() {
  TVELDORSession& session = TVELDORSessionList::Instance().SessionByName(FSessionName);
  TVELDORDatabase& database = session.OpenDatabase(FDatabaseName, FOwner);
  FSession = &session;
  FDatabase = &database;
  database.AttachDataSet(this);
  try {
    TDataCursor* cursor = CreateHandle(database);
    if (!cursor) RaiseDatabaseError(kTableHandleError);
    return cursor;
  } catch (...) {
    Detach(true);
    throw;
  }
}

void TVELDORDBDataSet::CloseCursor() {
  DestroyHandle();
  Detach(FReleaseOnClose);
}

void TVELDORDBDataSet::Detach(bool release) {
  TVELDORDatabase* database = FDatabase;
  TVELDORSession* session = FSession;
  FDatabase = nullptr;
  FSession = nullptr;
  if (!database) return;
  database->DetachDataSet(this);
  if (release && session) session->CloseDatabase(*database);
}

void TVELDORDBDataSet::CloseForDisconnect() {
  FReleaseOnClose = false;
  try {
    Close();
  } catch (...) {
    CloseDataSet();
    DestroyHandle();
    Detach(false);
  }
  FReleaseOnClose = true;
}

}  // namespace zorvic::engine
