// The index file (".IDX") of a table: its header, its page caches and its index definitions.
//
// TIndexFile is a file handler (FileLayer.h) holding the 4096-byte header in memory and one page
// cache per descriptor slot (33) on the generic unit cache. It is the page store of the trees
// (BTree.h): pages are read one at a time at n * 4096, unscrambled for encrypted tables and
// unpacked; modified pages of all indexes are written together in ascending page order, runs of
// consecutive pages packed into one buffer and written with one call. It also owns the index
// definitions: adding the primary index, adding, deleting and renaming secondary indexes with
// every limit and check, looking indexes up by name, the check of the header at a session's
// first open, and the key layouts, comparisons and builders the cursor uses per index.
//
// The index file also carries the table's reader slots and writer range (the lock helpers
// below); the waiting and retrying around them belong to the table's lock logic.
//
// Thread safety: one TIndexFile per table per session, used by one thread at a time under the
// table's locks. The header and caches are private to it; other sessions and processes are seen
// only through the file (ChangeCount, RefreshHeaderIfChanged).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/storage/files/FileLayer.h"
#include "engine/storage/formats/BTree.h"
#include "engine/storage/formats/IndexKey.h"
#include "engine/storage/formats/UnitCache.h"
#include "engine/storage/maintenance/IndexVerify.h"

namespace zorvic::engine {

// A new index as its creator describes it.
struct TIndexDefinition {
  std::string Name;                   // empty for the primary index
  std::vector<std::uint16_t> Fields;  // field numbers, in key order
  std::vector<bool> FieldDescending;  // per field; missing entries are ascending
  bool Unique = false;                // ignored for the primary index (always unique)
  bool Descending = false;
  bool NoCase = false;
  std::uint8_t Compression = icNone;
};

class TIndexFile : public TFileHandler, public TIndexPageStore, private TUnitCache<TPage>::TOwner {
 public:
  // fileName: the full ".IDX" name; tableName: the name used in error messages.
  TIndexFile(std::string fileName, bool inMemory, std::string tableName,
             TFileList& list = TFileList::Instance());
  ~TIndexFile() override;

  // ---- settings ----------------------------------------------------------------------
  // Encrypted tables scramble the header and every page with DataSeed.
  void SetEncrypted(bool encrypted) { encrypted_ = encrypted; }
  bool Encrypted() const { return encrypted_; }
  // The session's index-cache byte budget: each index caches bytes / 8192 pages, but never fewer
  // than the pages of the deepest path from its root to a leaf met so far (at least 1), so that
  // a descent finds every page above the leaf still cached.
  void SetCacheBytes(std::int64_t bytes);
  // The table's fields and collation, which key layouts are built from.
  void SetTableFields(std::vector<TIndexFieldInfo> fields,
                      const TCollation* collation = &TCollation::Binary());
  const std::vector<TIndexFieldInfo>& TableFields() const { return fields_; }
  // Inside a transaction nothing is written before the commit: full caches grow instead.
  void SetInTransaction(bool inTransaction) { inTransaction_ = inTransaction; }

  // ---- open, create, close -----------------------------------------------------------
  // Opens the file and reads the header (VELDOR_OLDVERSION for a version other than 5,
  // VELDOR_HEADERCORRUPT for more than 30 secondary indexes or a short header).
  void Open(bool exclusive, bool temporary = false) override;
  // Creates the file with a new header (no indexes) and writes that header.
  void CreateFile(bool temporary = false) override;
  // Drops the caches (nothing is written) and closes the file.
  void Close() override;
  // Truncates to an empty index file: NextPageNo 1, RecordCount 0, no pages in any index;
  // the definitions stay.
  void Empty();

  // ---- header ------------------------------------------------------------------------
  void ReadHeader();
  // Reads the header from the file; when its ChangeCount differs from ours, takes it over,
  // drops every page cache and returns true.
  bool RefreshHeaderIfChanged();
  // Writes the header when forced or modified (ChangeCount + 1); true when written.
  bool WriteHeader(bool force = false);
  // Marks the header changed without writing (exclusive tables and transactions).
  void BumpChangeCount();
  bool HeaderIsModified() const { return headerModified_; }

  std::int32_t RecordCount() const { return header_.RecordCount(); }
  void SetRecordCount(std::int32_t n);
  void IncrementRecordCount() { SetRecordCount(RecordCount() + 1); }
  void DecrementRecordCount() { SetRecordCount(RecordCount() - 1); }
  std::int32_t RootPage(int slot) const { return header_.RootPage(slot); }
  void SetRootPage(int slot, std::int32_t pageNo);

  // ---- pages -------------------------------------------------------------------------
  TIndexHeader& Header() override { return header_; }
  void MarkHeaderModified() override { headerModified_ = true; }
  TPage& FetchPage(int slot, std::int32_t pageNo) override;
  TPage& NewPage(int slot, std::int32_t pageNo) override;
  void ReleasePage(TPage& page) override;
  void MarkPageModified(TPage& page) override;
  void NoteTreeDepth(int slot, int depth) override;
  const std::string& TableName() const override { return tableName_; }
  TPage& AllocatePage(int slot) { return AllocateIndexPage(*this, slot); }
  void FreePage(TPage& page) { FreeIndexPage(*this, page); }
  // Writes the modified, unpinned pages of every index; true when anything was written.
  bool WriteModifiedPages();
  bool HasModifiedPages() const;
  // Returns every cached page without writing (another process changed the file, rollback).
  void DropCaches();
  // Evicts clean pages down to each cache's configured capacity.
  void TrimCaches();
  // Called before a page is read from the file (a cache miss); the handler may take the
  // table's read lock, and raises when the table changed (the caller then starts over).
  void SetMissHandler(std::function<void()> handler) { missHandler_ = std::move(handler); }
  // Pages cached for one index (tests and diagnostics).
  std::int64_t CachedPages(int slot) const { return caches_[slot]->Count(); }

  // ---- keys and trees ----------------------------------------------------------------
  // The layout, comparison and builder of an index in use (VELDOR_HEADERCORRUPT when its
  // descriptor does not fit the table's fields). Valid until the header is replaced or an index
  // is added or deleted.
  const TKeyLayout& KeyLayout(int slot);
  const TKeyCompare& KeyCompare(int slot);
  const TKeyBuilder& KeyBuilder(int slot);
  TBTree Tree(int slot) { return TBTree(*this, slot, KeyCompare(slot)); }
  // Raises VELDOR_KEYVIOL (with the index's name) when the key is already in the index.
  void CheckNoDuplicate(int slot, const std::uint8_t* key);

  // ---- index definitions -------------------------------------------------------------
  // No fields: the table gets no primary index. Otherwise VELDOR_PRIMARYKEYREDEFINE,
  // VELDOR_INDEXLIMIT, VELDOR_INVALIDIDXDESC, VELDOR_SEARCHCOLREQD or VELDOR_INVALIDKEY as the
  // definition asks. The index starts empty.
  void AddPrimaryIndex(const TIndexDefinition& def);
  // Adds a secondary index in slot SecondaryCount + 1 and, when records are given, fills it
  // with the keys of every active record (a unique index over duplicate values is refused with
  // VELDOR_KEYVIOL and leaves the file without the index). Returns the slot.
  int AddSecondaryIndex(const TIndexDefinition& def, TRecordSource* records = nullptr);
  // Frees the index's pages, moves later descriptors down. Unknown name: VELDOR_INVALIDINDEXNAME.
  void DeleteSecondaryIndex(const std::string& name);
  // Clears slot 0 and sets NoPrimaryIndex (restructuring).
  void RemovePrimaryIndex();
  void RenameIndex(const std::string& name, const std::string& newName);
  // Slot of a secondary or internal index by name (case-insensitive), or -1.
  int FindIndex(const std::string& name) const;
  // "Primary" for slot 0, else the descriptor's name.
  std::string IndexName(int slot) const;
  // Inserts the key of every record of the source that belongs in the index.
  void FillIndex(int slot, TRecordSource& records);

  // The checks of a session's first open: VELDOR_OLDVERSION, else VELDOR_HEADERCORRUPT for
  // invalid or duplicate names, a non-unique primary index, key fields that are missing, Blob
  // (or not text for the text index) or leave gaps, key sizes that do not match their fields,
  // and root, free or parameter pages outside the file.
  void VerifyHeader();

  // ---- lock regions of the index file ------------------------------------------------
  // Reader slot s (1..65,535) and the writer range; false when refused (never waits).
  bool LockReaderSlot(int s) { return LockRange(ReaderSlotOffset(s), 1); }
  bool UnlockReaderSlot(int s) { return UnlockRange(ReaderSlotOffset(s), 1); }
  bool LockWriterRange() { return LockRange(WriterRangeOffset, WriterRangeLength); }
  bool UnlockWriterRange() { return UnlockRange(WriterRangeOffset, WriterRangeLength); }
  static std::int64_t ReaderSlotOffset(int s) { return 0xFFFFFFFFLL - s; }
  static constexpr std::int64_t WriterRangeOffset = 0xFFFEFFFFLL;
  static constexpr std::int64_t WriterRangeLength = 65536;

 private:
  // Savepoints copy and restore the unwritten state (TransactionSavepoint.h).
  friend class TTransactionSavepoint;
  using TPageCache = TUnitCache<TPage>;
  struct TSlotKeys {
    explicit TSlotKeys(const TKeyLayout& layout)
        : Layout(layout), Compare(layout), Builder(layout) {}
    TKeyLayout Layout;
    TKeyCompare Compare;
    TKeyBuilder Builder;
  };

  // TUnitCache owner.
  std::unique_ptr<TPage> NewCacheUnit(TPageCache& cache) override;
  bool CacheMayWrite(TPageCache& cache) override;
  void WriteModifiedUnits(TPageCache& cache) override;

  void InvalidateKeys();
  // The configured capacity of one index's cache from the budget and the path depth met.
  void ConfigureCache(int slot);
  TSlotKeys& Keys(int slot);
  // Builds the layout of a descriptor, or explains why it cannot be built.
  std::optional<TKeyLayout> LayoutOf(int slot, const TIndexDescriptor& d, TErrorCode* code,
                                     std::string* field) const;
  TIndexDescriptor Describe(const TIndexDefinition& def, bool primary) const;
  void CheckNewName(const std::string& name, int ignoreSlot) const;
  void ReadHeaderBytes(TIndexHeader& into);
  [[noreturn]] void RaiseHeaderCorrupt() const;

  std::string tableName_;
  TIndexHeader header_;
  bool headerModified_ = false;
  bool encrypted_ = false;
  bool inTransaction_ = false;
  std::int64_t cacheBytes_;
  std::vector<TIndexFieldInfo> fields_;
  const TCollation* collation_ = &TCollation::Binary();
  std::array<std::unique_ptr<TPageCache>, IndexSlotCount> caches_;
  // The slots whose caches may hold pages (a bit per slot, set when a page enters): the walks
  // over every cache (flush, drop, trim) skip the many slots a table does not use.
  static_assert(IndexSlotCount <= 64);
  std::uint64_t usedSlots_ = 0;
  template <class F>
  void ForUsedCaches(F&& f) const {
    for (std::uint64_t bits = usedSlots_; bits != 0; bits &= bits - 1)
      f(*caches_[static_cast<std::size_t>(__builtin_ctzll(bits))]);
  }
  void NoteSlotUsed(int slot) { usedSlots_ |= std::uint64_t{1} << slot; }
  std::array<int, IndexSlotCount> pathDepth_{};  // deepest descent met per index
  std::array<std::unique_ptr<TSlotKeys>, IndexSlotCount> keys_;
  std::vector<std::uint8_t> ioBuffer_;
  std::function<void()> missHandler_;
};

// The check before a table's index file is opened: a missing index file is replaced by an
// empty one only when the data file holds no record slots; otherwise the table's records,
// record count and key uniqueness would silently be lost, so VELDOR_INDEXCORRUPT is raised
// naming the table (repair rebuilds the file). Returns true when it created the file.
bool CreateIndexFileIfMissing(TIndexFile& file, std::int32_t dataRecordSlots);

}  // namespace zorvic::engine
