// TIndexFile: key layouts per index, index definitions (add, delete, rename, look up) and the
// header check of a session's first open.
#include <algorithm>
#include <cstring>

#include "engine/storage/formats/FieldTypes.h"
#include "engine/storage/formats/IndexFile.h"

namespace zorvic::engine {

namespace {

std::string FoldCase(const std::string& name) {
  return TCollation::Binary().Upper(name);
}

bool ValidIndexName(const std::string& name) {
  if (name.empty() || name.size() > static_cast<std::size_t>(MaxIndexNameLength)) return false;
  auto c = static_cast<unsigned char>(name[0]);
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 128 && c <= 254);
}

[[noreturn]] void RaiseDefinitionError(TErrorCode code, const std::string& field,
                                       const std::string& index, const std::string& table) {
  TErrorTexts texts;
  texts.Field = field;
  texts.Index = index;
  texts.Table = table;
  RaiseEngineError(code, texts);
}

}  // namespace

// ---- key layouts ------------------------------------------------------------------------

void TIndexFile::InvalidateKeys() {
  for (auto& k : keys_)
    k.reset();
}

std::optional<TKeyLayout> TIndexFile::LayoutOf(int slot, const TIndexDescriptor& d,
                                               TErrorCode* code, std::string* field) const {
  TKeyLayout layout;
  layout.Slot = slot;
  layout.Collation = collation_;
  layout.KeySize = d.KeySize;
  *code = VELDOR_HEADERCORRUPT;
  if (d.Compression > icFull) return std::nullopt;
  if (slot == SysDeletedSlot) {
    if (d.KeySize != SysDeletedKeySize) return std::nullopt;
    return layout;
  }
  if (slot == SysTextSlot) {
    if (d.KeySize != SysTextKeySize) return std::nullopt;
    layout.Unique = false;
    return layout;
  }
  layout.Unique = d.Unique || slot == PrimaryIndexSlot;
  layout.Descending = d.Descending;
  layout.NoCase = d.NoCase;
  if (d.KeyFieldCount > MaxIndexKeyFields) {
    *code = VELDOR_INDEXLIMIT;
    return std::nullopt;
  }
  for (int i = 0; i < MaxIndexKeyFields; ++i) {
    std::uint16_t no = d.KeyFields[i];
    if (i >= d.KeyFieldCount) {
      if (no != 0) {  // used field numbers come first, the rest are 0
        *code = VELDOR_INVALIDIDXDESC;
        *field = std::to_string(no);
        return std::nullopt;
      }
      continue;
    }
    if (no == 0 || no > fields_.size()) {
      *code = VELDOR_INVALIDIDXDESC;
      *field = std::to_string(no);
      return std::nullopt;
    }
    const TIndexFieldInfo& info = fields_[no - 1];
    if (info.DataType == ftBlob || !IsKnownFieldType(info.DataType)) {
      *code = VELDOR_SEARCHCOLREQD;
      *field = info.Name;
      return std::nullopt;
    }
    TKeyField f;
    f.Field = info;
    f.Descending = d.FieldDescending[i] != 0;
    layout.Fields.push_back(f);
  }
  int bytes = layout.FieldBytes();
  if (bytes < 1 || bytes > MaxKeyFieldBytes) {
    *code = VELDOR_INVALIDKEY;
    return std::nullopt;
  }
  int keySize = bytes + (layout.Unique ? 0 : RowIdSuffixSize);
  if (d.KeySize != keySize) return std::nullopt;
  return layout;
}

TIndexFile::TSlotKeys& TIndexFile::Keys(int slot) {
  if (slot < 0 || slot >= IndexSlotCount || !header_.SlotInUse(slot)) RaiseHeaderCorrupt();
  if (!keys_[slot]) {
    TErrorCode code = 0;
    std::string field;
    auto layout = LayoutOf(slot, header_.Descriptor(slot), &code, &field);
    // A descriptor that does not fit the table's fields would build keys of the wrong size.
    if (!layout) RaiseHeaderCorrupt();
    keys_[slot] = std::make_unique<TSlotKeys>(*layout);
  }
  return *keys_[slot];
}

const TKeyLayout& TIndexFile::KeyLayout(int slot) {
  return Keys(slot).Layout;
}
const TKeyCompare& TIndexFile::KeyCompare(int slot) {
  return Keys(slot).Compare;
}
const TKeyBuilder& TIndexFile::KeyBuilder(int slot) {
  return Keys(slot).Builder;
}

// ---- definitions ------------------------------------------------------------------------

std::string TIndexFile::IndexName(int slot) const {
  return IndexDisplayName(slot, header_.Descriptor(slot));
}

int TIndexFile::FindIndex(const std::string& name) const {
  std::string folded = FoldCase(name);
  for (int slot = 1; slot <= header_.SecondaryCount(); ++slot) {
    if (FoldCase(header_.Descriptor(slot).IndexName) == folded) return slot;
  }
  for (int slot : {SysDeletedSlot, SysTextSlot}) {
    if (header_.SlotInUse(slot) && FoldCase(header_.Descriptor(slot).IndexName) == folded) {
      return slot;
    }
  }
  return -1;
}

void TIndexFile::CheckNewName(const std::string& name, int ignoreSlot) const {
  if (name.empty()) RaiseTableError(VELDOR_INDEXNAMEREQUIRED, tableName_);
  if (!ValidIndexName(name)) RaiseIndexError(VELDOR_INVALIDINDEXNAME, name, tableName_);
  std::string folded = FoldCase(name);
  for (int slot = 1; slot <= header_.SecondaryCount(); ++slot) {
    if (slot != ignoreSlot && FoldCase(header_.Descriptor(slot).IndexName) == folded) {
      RaiseIndexError(VELDOR_INDEXEXISTS, name, tableName_);
    }
  }
}

TIndexDescriptor TIndexFile::Describe(const TIndexDefinition& def, bool primary) const {
  std::string shown = primary ? std::string("Primary") : def.Name;
  if (def.Compression > icFull) {
    RaiseDefinitionError(VELDOR_INVALIDIDXDESC, "", shown, tableName_);
  }
  TIndexDescriptor d;
  d.IndexName = primary ? std::string() : def.Name;
  d.Unique = primary || def.Unique;
  d.Descending = def.Descending;
  d.NoCase = def.NoCase;
  d.Compression = def.Compression;
  d.KeyFieldCount = static_cast<std::uint8_t>(def.Fields.size());
  for (std::size_t i = 0; i < def.Fields.size(); ++i) {
    d.KeyFields[i] = def.Fields[i];
    d.FieldDescending[i] = (i < def.FieldDescending.size() && def.FieldDescending[i]) ? 1 : 0;
  }
  // Size the key from the fields, then let the layout check everything else.
  int bytes = 0;
  for (std::uint16_t no : def.Fields) {
    if (no == 0 || no > fields_.size()) {
      RaiseDefinitionError(VELDOR_INVALIDIDXDESC, std::to_string(no), shown, tableName_);
    }
    const TIndexFieldInfo& f = fields_[no - 1];
    bytes += (f.DataType == ftBCD ? 8 : f.PhysSize) + 1;
  }
  d.KeySize = static_cast<std::uint16_t>(bytes + (d.Unique ? 0 : RowIdSuffixSize));
  TErrorCode code = 0;
  std::string field;
  if (!LayoutOf(primary ? PrimaryIndexSlot : 1, d, &code, &field)) {
    if (code == VELDOR_INVALIDKEY) RaiseIndexError(VELDOR_INVALIDKEY, shown, tableName_);
    if (code == VELDOR_HEADERCORRUPT) code = VELDOR_INVALIDKEY;
    RaiseDefinitionError(code, field, shown, tableName_);
  }
  return d;
}

void TIndexFile::AddPrimaryIndex(const TIndexDefinition& def) {
  if (def.Fields.empty()) {
    header_.ClearDescriptor(PrimaryIndexSlot);
    header_.SetNoPrimaryIndex(true);
    caches_[PrimaryIndexSlot]->Drop();
    InvalidateKeys();
    MarkHeaderModified();
    return;
  }
  if (header_.SlotInUse(PrimaryIndexSlot)) {
    RaiseTableError(VELDOR_PRIMARYKEYREDEFINE, tableName_);
  }
  if (def.Fields.size() > static_cast<std::size_t>(MaxIndexKeyFields)) {
    RaiseTableError(VELDOR_INDEXLIMIT, tableName_);
  }
  TIndexDescriptor d = Describe(def, true);
  header_.SetDescriptor(PrimaryIndexSlot, d);
  header_.SetNoPrimaryIndex(false);
  caches_[PrimaryIndexSlot]->Drop();
  InvalidateKeys();
  MarkHeaderModified();
}

int TIndexFile::AddSecondaryIndex(const TIndexDefinition& def, TRecordSource* records) {
  if (header_.SecondaryCount() >= MaxSecondaryIndexes ||
      def.Fields.size() > static_cast<std::size_t>(MaxIndexKeyFields)) {
    RaiseTableError(VELDOR_INDEXLIMIT, tableName_);
  }
  CheckNewName(def.Name, -1);
  if (def.Fields.empty()) RaiseIndexError(VELDOR_INVALIDKEY, def.Name, tableName_);
  TIndexDescriptor d = Describe(def, false);
  int slot = header_.SecondaryCount() + 1;
  header_.SetDescriptor(slot, d);
  header_.SetSecondaryCount(slot);
  caches_[slot]->Drop();
  InvalidateKeys();
  MarkHeaderModified();
  if (records != nullptr) {
    try {
      FillIndex(slot, *records);
    } catch (...) {
      // The half-filled index goes away again; its pages stay unused until a rebuild.
      try {
        TKeyLayout bytesOnly;
        bytesOnly.Slot = slot;
        bytesOnly.KeySize = d.KeySize;
        TKeyCompare compare(bytesOnly);
        TBTree(*this, slot, compare).FreeAllPages();
      } catch (const EVELDOREngineError&) {
      }
      caches_[slot]->Drop();
      header_.ClearDescriptor(slot);
      header_.SetSecondaryCount(slot - 1);
      InvalidateKeys();
      throw;
    }
  }
  return slot;
}

void TIndexFile::FillIndex(int slot, TRecordSource& records) {
  TBTree tree = Tree(slot);
  const TKeyBuilder& builder = KeyBuilder(slot);
  std::vector<std::uint8_t> key(KeyLayout(slot).KeySize);
  std::int32_t slots = records.SlotCount();
  for (std::int32_t n = 1; n <= slots; ++n) {
    const std::uint8_t* record = records.Record(n);
    if (slot == SysDeletedSlot) {
      BuildSysDeletedKey(record[0], GetI32(record + 5), key.data());
    } else if (record[0] != 0) {
      continue;  // deleted slots have keys only in "Sys Deleted"
    } else {
      builder.Build(record, key.data());
    }
    tree.Insert(key.data(), n);
  }
}

void TIndexFile::DeleteSecondaryIndex(const std::string& name) {
  std::string folded = FoldCase(name);
  int slot = -1;
  for (int s = 1; s <= header_.SecondaryCount(); ++s) {
    if (FoldCase(header_.Descriptor(s).IndexName) == folded) slot = s;
  }
  if (slot < 0) RaiseIndexError(VELDOR_INVALIDINDEXNAME, name, tableName_);
  // Free the tree's pages onto the index's own list; they are not reused until a rebuild. A
  // damaged tree does not keep its index from being deleted.
  try {
    TKeyLayout bytesOnly;
    bytesOnly.Slot = slot;
    bytesOnly.KeySize = header_.KeySize(slot);
    TKeyCompare compare(bytesOnly);
    TBTree(*this, slot, compare).FreeAllPages();
  } catch (const EVELDOREngineError& e) {
    if (e.ErrorCode != VELDOR_INDEXCORRUPT) throw;
  }
  if (!inTransaction_) WriteModifiedPages();
  caches_[slot]->Drop();
  // Later descriptors and their caches move down one slot.
  int count = header_.SecondaryCount();
  std::unique_ptr<TPageCache> freed = std::move(caches_[slot]);
  for (int s = slot; s < count; ++s) {
    std::memcpy(header_.DescriptorBytes(s), header_.DescriptorBytes(s + 1), IndexDescriptorSize);
    caches_[s] = std::move(caches_[s + 1]);
    pathDepth_[s] = pathDepth_[s + 1];
    caches_[s]->ForEach([s](TPage& page) { page.Slot = s; });
  }
  caches_[count] = std::move(freed);
  usedSlots_ = (std::uint64_t{1} << IndexSlotCount) - 1;  // the caches moved: look at all
  pathDepth_[count] = 0;
  ConfigureCache(count);
  header_.ClearDescriptor(count);
  header_.SetSecondaryCount(count - 1);
  InvalidateKeys();
  MarkHeaderModified();
}

void TIndexFile::RemovePrimaryIndex() {
  if (header_.SlotInUse(PrimaryIndexSlot)) {
    try {
      TKeyLayout bytesOnly;
      bytesOnly.Slot = PrimaryIndexSlot;
      bytesOnly.KeySize = header_.KeySize(PrimaryIndexSlot);
      TKeyCompare compare(bytesOnly);
      TBTree(*this, PrimaryIndexSlot, compare).FreeAllPages();
    } catch (const EVELDOREngineError& e) {
      if (e.ErrorCode != VELDOR_INDEXCORRUPT) throw;
    }
    if (!inTransaction_) WriteModifiedPages();
  }
  caches_[PrimaryIndexSlot]->Drop();
  header_.ClearDescriptor(PrimaryIndexSlot);
  header_.SetNoPrimaryIndex(true);
  InvalidateKeys();
  MarkHeaderModified();
}

void TIndexFile::RenameIndex(const std::string& name, const std::string& newName) {
  std::string folded = FoldCase(name);
  int slot = -1;
  for (int s = 1; s <= header_.SecondaryCount(); ++s) {
    if (FoldCase(header_.Descriptor(s).IndexName) == folded) slot = s;
  }
  if (slot < 0) RaiseIndexError(VELDOR_INVALIDINDEXNAME, name, tableName_);
  CheckNewName(newName, slot);
  TIndexDescriptor d = header_.Descriptor(slot);
  d.IndexName = newName;
  header_.SetDescriptor(slot, d);
  MarkHeaderModified();
}

// ---- first-open check ---------------------------------------------------------------------

void TIndexFile::VerifyHeader() {
  const TIndexHeader& h = header_;
  if (h.FormatVersion() != IndexFormatVersion) RaiseTableError(VELDOR_OLDVERSION, tableName_);
  std::int32_t next = h.NextPageNo();
  if (h.SecondaryCount() > MaxSecondaryIndexes || next < 1 || next > MaxIndexPageCount) {
    RaiseHeaderCorrupt();
  }
  std::vector<std::string> names;
  for (int slot = 0; slot < IndexSlotCount; ++slot) {
    const std::uint8_t* raw = h.DescriptorBytes(slot);
    if (raw[idxdesc::kName] > MaxIndexNameLength) RaiseHeaderCorrupt();
    TIndexDescriptor d = h.Descriptor(slot);
    for (std::int32_t page : {d.RootPage, d.FreePage, d.ParamPage}) {
      if (page < 0 || page >= next) RaiseHeaderCorrupt();
    }
    if (!h.SlotInUse(slot)) continue;
    if (slot == PrimaryIndexSlot) {
      if (!d.IndexName.empty() || !d.Unique) RaiseHeaderCorrupt();
    } else if (slot <= MaxSecondaryIndexes) {
      if (!ValidIndexName(d.IndexName)) RaiseHeaderCorrupt();
      std::string folded = FoldCase(d.IndexName);
      if (std::find(names.begin(), names.end(), folded) != names.end()) RaiseHeaderCorrupt();
      names.push_back(folded);
    } else if (slot == SysTextSlot) {
      // Text index fields: String or memo fields only.
      for (int i = 0; i < d.KeyFieldCount && i < MaxIndexKeyFields; ++i) {
        std::uint16_t no = d.KeyFields[i];
        if (no == 0 || no > fields_.size()) RaiseHeaderCorrupt();
        const TIndexFieldInfo& f = fields_[no - 1];
        if (f.DataType != ftString && !(f.DataType == ftBlob && IsMemoSubType(f.SubType))) {
          RaiseHeaderCorrupt();
        }
      }
    }
    TErrorCode code = 0;
    std::string field;
    if (!LayoutOf(slot, d, &code, &field)) RaiseHeaderCorrupt();
  }
}

}  // namespace zorvic::engine
