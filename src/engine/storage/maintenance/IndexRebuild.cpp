#include "engine/storage/maintenance/IndexRebuild.h"
#include "engine/storage/sessions/TableRecords.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/storage/EngineError.h"
#include "engine/storage/files/FileSystem.h"
#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/DataFile.h"
#include "engine/storage/formats/IndexFile.h"
#include "engine/storage/formats/Record.h"
#include "engine/storage/sessions/DataTable.h"

namespace zorvic::engine {

namespace {

TIndexDefinition DefinitionOf(const TIndexDescriptor& d) {
  TIndexDefinition def;
  def.Name = d.IndexName;
  for (int i = 0; i < d.KeyFieldCount && i < MaxIndexKeyFields; ++i) {
    def.Fields.push_back(d.KeyFields[i]);
    def.FieldDescending.push_back(d.FieldDescending[i] != 0);
  }
  def.Unique = d.Unique;
  def.Descending = d.Descending;
  def.NoCase = d.NoCase;
  def.Compression = d.Compression;
  return def;
}

void RaiseFileError(int error, const std::string& file) {
  RaiseTableError(error == ENOENT                     ? VELDOR_OSENOENT
                  : error == EACCES || error == EPERM ? VELDOR_OSEACCES
                                                      : VELDOR_WRITEERR,
                  file);
}

// Makes a rename in the directory durable.
void SyncDirectory(const std::string& directory) {
  TFileSystem& fs = CurrentFileSystem();
  const int fd = fs.Open(directory.empty() ? "." : directory, O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) RaiseFileError(errno, directory);
  const int rc = fs.Sync(fd);
  const int error = errno;
  fs.Close(fd);
  if (rc != 0) RaiseFileError(error, directory);
}

}  // namespace

std::string RebuildTemporaryName(const std::string& directory, const std::string& table) {
  return TDataTable::FileNameIn(directory, table, ".IDX") + ".rebuild";
}

TIndexRebuildResult RebuildIndexFile(const std::string& directory, const std::string& table) {
  TIndexRebuildResult result;
  TFileSystem& fs = CurrentFileSystem();
  const std::string indexName = TDataTable::FileNameIn(directory, table, ".IDX");
  const std::string tempName = RebuildTemporaryName(directory, table);

  TDataFile data(TDataTable::FileNameIn(directory, table, ".DAT"), table);
  data.Open(true);
  data.Verify();
  const TCollation* collation = TCollation::Get(data.LanguageId(), data.SortId());
  if (!collation) RaiseTableError(VELDOR_CANNOTLOADLDDRV, table);

  // The definitions of the old file (none when it is gone).
  TFileStatus status;
  std::unique_ptr<TIndexFile> old;
  std::vector<TIndexDefinition> secondary;
  TIndexDefinition primary;
  std::int32_t changeCount = 0;
  if (fs.Stat(indexName, &status) != 0 || !status.Exists) {
    result.IndexFileWasMissing = true;
  } else {
    old = std::make_unique<TIndexFile>(indexName, false, table);
    old->SetEncrypted(data.Encrypted());
    old->SetTableFields(IndexFieldsOf(data), collation);
    old->Open(true);
    const TIndexHeader& h = old->Header();
    if (h.FormatVersion() != 5) RaiseTableError(VELDOR_OLDVERSION, table);
    changeCount = h.ChangeCount();
    if (!h.NoPrimaryIndex() && h.SlotInUse(0)) primary = DefinitionOf(h.Descriptor(0));
    for (int slot = 1; slot <= h.SecondaryCount(); ++slot) {
      const TIndexDescriptor d = h.Descriptor(slot);
      if (!d.Temporary) secondary.push_back(DefinitionOf(d));
    }
  }

  // The new file, under its temporary name.
  TFileStatus leftover;
  if (fs.Stat(tempName, &leftover) == 0 && leftover.Exists && fs.Unlink(tempName) != 0)
    RaiseFileError(errno, tempName);
  TIndexFile fresh(tempName, false, table);
  bool renamed = false;
  try {
    fresh.SetEncrypted(data.Encrypted());
    fresh.SetTableFields(IndexFieldsOf(data), collation);
    fresh.CreateFile();
    fresh.AddPrimaryIndex(primary);
    for (const TIndexDefinition& def : secondary)
      fresh.AddSecondaryIndex(def);
    TDataFileRecords records(data);
    std::vector<int> slots;
    if (!primary.Fields.empty()) slots.push_back(0);
    for (int s = 1; s <= fresh.Header().SecondaryCount(); ++s)
      slots.push_back(s);
    slots.push_back(SysDeletedSlot);
    for (int slot : slots)
      fresh.FillIndex(slot, records);
    for (std::int32_t n = 1; n <= records.SlotCount(); ++n)
      if (RecStatus(records.Record(n)) == kRecActive) ++result.Records;
    result.Slots = records.SlotCount();
    result.Indexes = static_cast<int>(slots.size()) - 1;
    fresh.SetRecordCount(static_cast<std::int32_t>(result.Records));
    // Other users compare ChangeCount: the new file continues the old one's count.
    fresh.Header().SetChangeCount(changeCount);
    fresh.WriteModifiedPages();
    fresh.WriteHeader(true);
    fresh.FlushBuffers();
    fresh.Close();
    if (old) old->Close();
    if (fs.Rename(tempName, indexName) != 0) RaiseFileError(errno, indexName);
    renamed = true;
    SyncDirectory(directory);
  } catch (...) {
    if (!renamed) {
      try {
        fresh.Close();
      } catch (...) {
      }
      fs.Unlink(tempName);
    }
    throw;
  }
  data.Close();
  return result;
}

}  // namespace zorvic::engine
