#include "engine/storage/files/DataDirectory.h"

#include "engine/storage/locks/Journal.h"
#include "engine/storage/sessions/TableRecords.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string_view>

#include "engine/EngineLimits.h"
#include "engine/storage/files/ThreadId.h"
#include "engine/storage/locks/TableLocks.h"
#include "engine/storage/sessions/DataSession.h"
#include "engine/storage/sessions/TableParking.h"

namespace zorvic::engine {
namespace {

std::string TrimName(const std::string& name) {
  return NormalizeFileName(name);
}

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

// The name of a table without directory and extension, as the table object keeps it.
std::string BareTableName(const std::string& name) {
  std::string n = TrimName(name);
  const std::size_t slash = n.find_last_of('/');
  if (slash != std::string::npos) n = n.substr(slash + 1);
  const std::size_t dot = n.find_last_of('.');
  if (dot != std::string::npos && dot > 0) n = n.substr(0, dot);
  return n;
}

std::string ThreadDigits() {
  return ThreadIdDigits(TempNameThreadDigits);
}

// Checks a whole definition on a scratch in-memory index file, so that nothing on disk is
// touched before every index definition is known to be valid.
void CheckIndexDefinitions(const TTableCreation& creation, const std::vector<TFieldDesc>& fields,
                           const TCollation& collation, const std::string& tableName) {
  static std::atomic<std::uint64_t> counter{0};
  const std::string scratch = "//zorvic-index-check/" + ThreadDigits() + "-" +
                              std::to_string(counter.fetch_add(1)) + ".IDX";
  std::vector<TIndexFieldInfo> infos = IndexFieldsOf(fields);
  TIndexFile file(scratch, true, tableName);
  struct TCleanup {
    TIndexFile& File;
    const std::string& Name;
    ~TCleanup() {
      try {
        File.Close();
      } catch (...) {
      }
      TFileList::Instance().Delete(Name, true);
    }
  } cleanup{file, scratch};
  file.SetTableFields(std::move(infos), &collation);
  file.CreateFile();
  file.AddPrimaryIndex(creation.Primary);
  for (const TIndexDefinition& def : creation.Secondary)
    file.AddSecondaryIndex(def);
}

// Whether a table kept open still finds its files under their names (someone may have removed
// them meanwhile; the open descriptors would still read the removed files). A name spelled
// otherwise on disk counts as missing: the table is then simply opened again.
bool FilesInPlace(TDataTable& table) {
  TFileSystem& fs = CurrentFileSystem();
  TFileStatus status;
  // A read-only attribute set or cleared meanwhile changes how the table must be opened; a file
  // put in place of the one opened (copied over, renamed over) is another table's.
  for (const char* ext : {".DAT", ".IDX"})
    if (fs.Stat(table.PlaceName(ext), &status) != 0 || !status.Exists ||
        (status.ReadOnly && !table.ReadOnly()) || (!status.ReadOnly && table.ReadOnlyAttribute()) ||
        !table.OpenedFileIs(ext, status))
      return false;
  if (table.Blob() && table.Blob()->IsOpen() &&
      (fs.Stat(table.PlaceName(".BLB"), &status) != 0 || !status.Exists ||
       !table.OpenedFileIs(".BLB", status)))
    return false;
  return true;
}

}  // namespace

bool TDataDirectory::FilesInPlaceForBatch(TDataTable& table) {
  // Within one run of reads (a statement binds its tables, then opens them again to run) the
  // files are looked at once: the run sees the files as they were when it began.
  const std::uint64_t batch = TReadBatch::Current(FSession);
  if (batch != 0 && table.FilesCheckedInBatch() == batch) return true;
  // In a watched folder where no name or attribute has changed since the files were last
  // found under their names, they still are. The generation is taken before the files are
  // looked at: a change while they are makes the next one differ.
  const std::uint64_t generation = table.FolderLook().Names;
  if (generation != 0 && table.FilesCheckedInGeneration() == generation) {
    table.NoteFilesChecked(batch, generation);
    return true;
  }
  if (!FilesInPlace(table)) return false;
  table.NoteFilesChecked(batch, generation);
  return true;
}

namespace {
// The name as TrimName leaves it, without making a copy.
std::string_view TrimmedView(const std::string& name) {
  std::size_t first = 0, last = name.size();
  while (first < last && static_cast<unsigned char>(name[first]) < 33)
    ++first;
  while (last > first && static_cast<unsigned char>(name[last - 1]) < 33)
    --last;
  return std::string_view(name).substr(first, last - first);
}
char FoldNameChar(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<char>(c + 32);
  return c == '\\' ? '/' : c;
}
}  // namespace

// LowerAscii(TrimName(a)) == LowerAscii(TrimName(b)), without a copy of either: every open
// looks its table up by name among those the database keeps.
bool SameTableName(const std::string& a, const std::string& b) {
  const std::string_view x = TrimmedView(a), y = TrimmedView(b);
  if (x.size() != y.size()) return false;
  for (std::size_t i = 0; i < x.size(); ++i)
    if (FoldNameChar(x[i]) != FoldNameChar(y[i])) return false;
  return true;
}

TDataDirectory::TDataDirectory(TDataSession& session, std::string path, bool inMemory)
    : FSession(session), FPath(std::move(path)), FInMemory(inMemory) {}

TDataDirectory::~TDataDirectory() {
  if (FInTransaction) {
    try {
      Rollback();
    } catch (...) {
    }
  }
  for (auto it = FTables.rbegin(); it != FTables.rend(); ++it) {
    TakeBack(**it);
    DestroyTable(**it);
  }
  FTables.clear();
  ReleaseJournalFiles(nullptr);
}

void TDataDirectory::KeepJournalFile(const std::string& path, int fd) noexcept {
  for (const auto& [kept, keptFd] : FKeptJournals) {
    if (kept == path) {
      CurrentFileSystem().Close(fd);  // the file is claimed already
      return;
    }
  }
  try {
    FKeptJournals.emplace_back(path, fd);
  } catch (...) {
    CurrentFileSystem().Close(fd);
  }
}

void TDataDirectory::ReleaseJournalFiles(const std::string* path) noexcept {
  TFileSystem& fs = CurrentFileSystem();
  for (auto it = FKeptJournals.begin(); it != FKeptJournals.end();) {
    if (path && it->first != *path) {
      ++it;
      continue;
    }
    fs.Close(it->second);
    RemoveIdleJournal(fs, it->first);
    it = FKeptJournals.erase(it);
  }
}

bool TDataDirectory::TakeBack(TDataTable& table) noexcept {
  if (!table.Parked()) return table.IsOpen();
  return ReclaimTable(table);
}

void TDataDirectory::RetireTable(TDataTable& table) {
  auto it = std::find_if(FTables.begin(), FTables.end(),
                         [&](const std::unique_ptr<TDataTable>& t) { return t.get() == &table; });
  if (it == FTables.end()) return;
  if (ParkableTable(table)) {
    // Room for one more: the oldest parked table of the database goes first.
    int parked = 0;
    for (const auto& t : FTables)
      if (t->Parked()) ++parked;
    if (parked >= MaxParkedTables) {
      for (auto p = FTables.begin(); p != FTables.end(); ++p) {
        if (!(*p)->Parked() || p->get() == &table) continue;
        std::unique_ptr<TDataTable> doomed = std::move(*p);
        FTables.erase(p);
        TakeBack(*doomed);
        DestroyTable(*doomed);
        break;
      }
    }
    ParkTable(table);
    return;
  }
  it = std::find_if(FTables.begin(), FTables.end(),
                    [&](const std::unique_ptr<TDataTable>& t) { return t.get() == &table; });
  std::unique_ptr<TDataTable> doomed = std::move(*it);
  FTables.erase(it);
  doomed->Close();
}

std::string TDataDirectory::FileName(const std::string& name, const std::string& extension) const {
  return TDataTable::FileNameIn(FPath, TrimName(name), extension);
}

std::vector<std::unique_ptr<TDataTable>>::iterator TDataDirectory::Find(const std::string& name,
                                                                        bool inMemory) {
  const std::string bare = BareTableName(name);
  return std::find_if(FTables.begin(), FTables.end(), [&](const std::unique_ptr<TDataTable>& t) {
    return t->InMemory() == inMemory && SameTableName(t->Name(), bare);
  });
}

TDataTable* TDataDirectory::FindTable(const std::string& name, bool inMemory) const {
  auto self = const_cast<TDataDirectory*>(this);
  auto it = self->Find(name, inMemory);
  return it == self->FTables.end() ? nullptr : it->get();
}

void TDataDirectory::DestroyTable(TDataTable& table) noexcept {
  try {
    table.Close();
  } catch (...) {
  }
}

// ---- opening and closing ---------------------------------------------------------------

TDataTable& TDataDirectory::OpenTable(const std::string& name, bool inMemory, bool exclusive,
                                      bool temporary) {
  const bool memory = inMemory || FInMemory;
  auto it = Find(name, memory);
  if (it != FTables.end()) {
    TDataTable& table = **it;
    const bool stillOpen = TakeBack(table);
    const bool inUse = table.OpenCount() > 0 || table.InTransaction();
    if (!inUse && stillOpen && !exclusive && !temporary && ParkableTable(table) &&
        FilesInPlaceForBatch(table)) {
      // Kept open since its last cursor closed: taken back as it is, refreshed by the cursor.
      table.NoteReclaimed();
      if (FInTransaction) JoinTransaction(table);
      table.AddUser();
      return table;
    }
    if (inUse) {
      if ((table.Exclusive() || exclusive) && table.OpenCount() > 0) table.Raise(VELDOR_OSEACCES);
      table.AddUser();
      return table;
    }
    // An idle object (kept for nothing): reopen it with the new flags.
    table.Close();
    table.Open(exclusive, temporary);
    if (FInTransaction) JoinTransaction(table);
    table.AddUser();
    return table;
  }
  auto table = std::make_unique<TDataTable>(*this, BareTableName(name), memory);
  table->Open(exclusive, temporary);
  if (FInTransaction) JoinTransaction(*table);
  table->AddUser();
  FTables.push_back(std::move(table));
  return *FTables.back();
}

TDataTable& TDataDirectory::CreateTable(const std::string& name, bool inMemory,
                                        const TTableCreation& creation, bool overwrite,
                                        bool exclusive, bool temporary) {
  const bool memory = inMemory || FInMemory;
  const std::string bare = BareTableName(name);
  if (bare.empty()) RaiseTableError(VELDOR_OSENOENT, name);
  // Check everything before any file is touched.
  TTableCreation checked = creation;
  checked.Table.IndexCount = static_cast<std::uint32_t>((creation.Primary.Fields.empty() ? 0 : 1) +
                                                        creation.Secondary.size());
  std::vector<TFieldDesc> fields = BuildFieldDescs(checked.Table, bare);
  BuildTableHeader(checked.Table, fields, bare);
  const TCollation* collation = TCollation::Get(checked.Table.LanguageId, checked.Table.SortId);
  if (!collation) RaiseTableError(VELDOR_CANNOTLOADLDDRV, bare);
  CheckIndexDefinitions(checked, fields, *collation, bare);

  auto it = Find(bare, memory);
  if (it != FTables.end()) {
    if ((*it)->OpenCount() > 0 || (*it)->InTransaction()) (*it)->Raise(VELDOR_OSEACCES);
    TakeBack(**it);
    (*it)->Close();
    FTables.erase(it);
  }
  if (TableExists(bare, memory)) {
    if (!overwrite) RaiseTableError(VELDOR_TABLEEXISTS, bare);
    // The old index and BLOB files go; the data file is emptied by the creation itself, so
    // that its name (a reserved temporary name, say) is never free for a moment.
    TFileList& list = TFileList::Instance();
    for (const char* ext : {".IDX", ".BLB"}) {
      const std::string file = FileName(bare, ext);
      if (!list.Exists(file, memory)) continue;
      const std::int32_t rc = list.Delete(file, memory);
      if (rc < 0) RaiseTableError(static_cast<TErrorCode>(-rc), file);
    }
  }

  auto table = std::make_unique<TDataTable>(*this, bare, memory);
  table->Create(checked, temporary);
  if (!exclusive && !temporary) {
    // Made exclusively; reopened as asked.
    table->Close();
    table->Open(false, false);
  }
  if (FInTransaction) JoinTransaction(*table);
  table->AddUser();
  FTables.push_back(std::move(table));
  return *FTables.back();
}

void TDataDirectory::CloseTable(TDataTable& table) {
  table.RemoveUser();
  if (table.OpenCount() > 0 || table.InTransaction()) return;
  RetireTable(table);
}

void TDataDirectory::CloseParkedTables() noexcept {
  for (auto it = FTables.begin(); it != FTables.end();) {
    TDataTable& table = **it;
    if (table.OpenCount() > 0 || table.InTransaction() || (!table.Parked() && table.IsOpen())) {
      ++it;
      continue;
    }
    std::unique_ptr<TDataTable> doomed = std::move(*it);
    it = FTables.erase(it);
    TakeBack(*doomed);
    DestroyTable(*doomed);
  }
  // Their journal files go along.
  ReleaseJournalFiles(nullptr);
}

void TDataDirectory::CloseIdleTables() {
  std::vector<TDataTable*> idle;
  for (const auto& t : FTables)
    if (t->OpenCount() == 0 && !t->InTransaction() && !t->Parked()) idle.push_back(t.get());
  for (TDataTable* table : idle) {
    try {
      RetireTable(*table);
    } catch (...) {
    }
  }
}

bool TDataDirectory::TableExists(const std::string& name, bool inMemory) {
  const bool memory = inMemory || FInMemory;
  // A table object kept open with no cursor (or closed by another user) proves nothing: its
  // files may have been deleted meanwhile.
  auto it = Find(name, memory);
  if (it != FTables.end() && ((*it)->OpenCount() > 0 || (*it)->InTransaction())) return true;
  return TFileList::Instance().Exists(FileName(BareTableName(name), ".DAT"), memory);
}

std::vector<std::string> TDataDirectory::TableNames() const {
  std::vector<std::string> out;
  if (FInMemory) return out;
  std::vector<std::string> names;
  const std::string dir = FPath.empty() ? FSession.StartDirectory() : FPath;
  if (CurrentFileSystem().ListDirectory(dir, &names) != 0) return out;
  for (const std::string& n : names) {
    if (n.size() > 4 && LowerAscii(n.substr(n.size() - 4)) == ".dat")
      out.push_back(n.substr(0, n.size() - 4));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// ---- delete, rename, empty, index backups ----------------------------------------------

void TDataDirectory::CheckNotInUse(const std::string& name, bool inMemory) {
  auto it = Find(name, inMemory);
  if (it == FTables.end()) return;
  if ((*it)->OpenCount() > 0 || (*it)->InTransaction()) (*it)->Raise(VELDOR_OSEACCES);
  TakeBack(**it);
  (*it)->Close();
  FTables.erase(it);
}

void TDataDirectory::DeleteFiles(const std::string& name, bool inMemory) {
  TFileList& list = TFileList::Instance();
  const std::string bare = BareTableName(name);
  const std::string data = FileName(bare, ".DAT");
  if (!list.Exists(data, inMemory)) RaiseTableError(VELDOR_OSENOENT, data);
  // The data file goes last: a table whose deletion failed half-way still has it.
  for (const char* ext : {".IDX", ".BLB", ".DAT"}) {
    const std::string file = FileName(bare, ext);
    if (!list.Exists(file, inMemory)) continue;
    const std::int32_t rc = list.Delete(file, inMemory);
    if (rc < 0) RaiseTableError(static_cast<TErrorCode>(-rc), file);
  }
  // The journal file of the table, kept between its writes, goes with it.
  if (!inMemory) {
    const std::string journal = ResolveTableFileName(FileName(bare, ".JNL"));
    ReleaseJournalFiles(&journal);
    RemoveIdleJournal(CurrentFileSystem(), journal);
  }
}

void TDataDirectory::DeleteTable(const std::string& name, bool inMemory) {
  const bool memory = inMemory || FInMemory;
  CheckNotInUse(name, memory);
  DeleteFiles(name, memory);
}

void TDataDirectory::RenameTable(const std::string& name, const std::string& newName,
                                 bool inMemory) {
  const bool memory = inMemory || FInMemory;
  CheckNotInUse(name, memory);
  TFileList& list = TFileList::Instance();
  const std::string bare = BareTableName(name);
  const std::string data = FileName(bare, ".DAT");
  if (!list.Exists(data, memory)) RaiseTableError(VELDOR_OSENOENT, data);
  // The new name gets the database's path unless it holds a path itself.
  std::string target = TrimName(newName);
  const bool hasPath = target.find('/') != std::string::npos;
  const std::string targetDir =
      memory || !hasPath ? FPath : target.substr(0, target.find_last_of('/') + 1);
  const std::string targetBare = BareTableName(target);
  if (targetBare.empty()) RaiseTableError(VELDOR_OSENOENT, newName);
  if (list.Exists(TDataTable::FileNameIn(targetDir, targetBare, ".DAT"), memory))
    RaiseTableError(VELDOR_TABLEEXISTS, targetBare);
  std::vector<std::pair<std::string, std::string>> done;
  try {
    for (const char* ext : {".DAT", ".IDX", ".BLB"}) {
      const std::string from = FileName(bare, ext);
      if (!list.Exists(from, memory)) continue;
      const std::string to = TDataTable::FileNameIn(targetDir, targetBare, ext);
      const std::int32_t rc = list.Rename(from, memory, to);
      if (rc < 0) RaiseTableError(static_cast<TErrorCode>(-rc), from);
      done.emplace_back(from, to);
    }
  } catch (...) {
    // Put back what was renamed, so the table is never split between two names.
    for (auto r = done.rbegin(); r != done.rend(); ++r)
      list.Rename(r->second, memory, r->first);
    throw;
  }
}

void TDataDirectory::EmptyTable(TDataTable& table) {
  if (!table.Exclusive()) table.Raise(VELDOR_NEEDEXCLACCESS);
  if (table.ReadOnly()) table.Raise(VELDOR_OSEACCES);
  // Emptying writes the files at once, where a rollback could not take it back: a table in a
  // running transaction is in use for it.
  if (table.InTransaction()) table.Raise(VELDOR_TABLEOPEN);
  table.Data().Empty();
  table.Index().Empty();
  if (TBlobFile* blob = table.Blob()) blob->Empty(table.Settings().ForceBufferFlush);
  table.Flush(true, table.Settings().ForceBufferFlush);
  table.NoteEmptied();
}

void TDataDirectory::BackupIndexFile(const std::string& name, bool inMemory) {
  const bool memory = inMemory || FInMemory;
  CheckNotInUse(name, memory);
  const std::string bare = BareTableName(name);
  TIndexFile index(FileName(bare, ".IDX"), memory, bare);
  index.Open(true);
  index.CopyToFile(FileName(bare, ".IBK"), false);
  index.Close();
}

void TDataDirectory::RestoreIndexFile(const std::string& name, bool inMemory, bool deleteBackup) {
  const bool memory = inMemory || FInMemory;
  CheckNotInUse(name, memory);
  const std::string bare = BareTableName(name);
  const std::string backup = FileName(bare, ".IBK");
  TFileList& list = TFileList::Instance();
  if (!list.Exists(backup, memory)) RaiseTableError(VELDOR_OSENOENT, backup);
  TIndexFile index(FileName(bare, ".IDX"), memory, bare);
  index.CreateFile();
  index.CopyFromFile(backup, false);
  index.Close();
  if (deleteBackup) list.Delete(backup, memory);
}

// ---- temporary names -------------------------------------------------------------------

std::string TDataDirectory::TemporaryTableName(bool inMemory) {
  const bool memory = inMemory || FInMemory;
  std::string dir = memory ? FPath : FSession.PrivateDir();
  const std::string digits = ThreadDigits();
  TFileList& list = TFileList::Instance();
  static std::mutex memoryNames;  // reserving in-memory names is one step per process
  for (int counter = 0; counter < TempNameAttempts; ++counter) {
    const std::string name = dir + digits + std::to_string(counter) + ".DAT";
    if (Find(name, memory) != FTables.end()) continue;
    if (memory) {
      std::lock_guard<std::mutex> guard(memoryNames);
      if (list.Exists(name, true)) continue;
      TFileRef file;
      const std::int32_t handle = list.Create(name, true, false, &file);
      if (handle < 0) continue;
      list.Close(file, handle);
      return name;
    }
    // Exclusive creation reserves the name against every other thread and process.
    const std::string path = NormalizeFileName(name);
    const int fd = CurrentFileSystem().Open(path, O_RDWR | O_CREAT | O_EXCL, 0644);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      RaiseTableError(static_cast<TErrorCode>(-MapOSError(errno)), name);
    }
    CurrentFileSystem().Close(fd);
    return name;
  }
  RaiseTableError(VELDOR_OSEACCES, dir);
}

}  // namespace zorvic::engine
