#include "engine/storage/formats/IndexFormat.h"

#include <algorithm>
#include <cstring>

namespace zorvic::engine {

void TIndexDescriptor::Load(const std::uint8_t* p) {
  std::size_t length = std::min<std::size_t>(p[idxdesc::kName], MaxIndexNameLength);
  IndexName.assign(reinterpret_cast<const char*>(p + idxdesc::kName + 1), length);
  KeySize = GetU16(p + idxdesc::kKeySize);
  Descending = p[idxdesc::kDescending] != 0;
  NoCase = p[idxdesc::kNoCase] != 0;
  Unique = p[idxdesc::kUnique] != 0;
  Compression = p[idxdesc::kCompression];
  KeyFieldCount = p[idxdesc::kKeyFieldCount];
  for (int i = 0; i < MaxIndexKeyFields; ++i) {
    FieldDescending[i] = p[idxdesc::kFieldDescending + i];
    KeyFields[i] = GetU16(p + idxdesc::kKeyFields + 2 * i);
  }
  RootPage = GetI32(p + idxdesc::kRootPage);
  FreePage = GetI32(p + idxdesc::kFreePage);
  ParamPage = GetI32(p + idxdesc::kParamPage);
  NoSubtreeCounts = p[idxdesc::kNoSubtreeCounts] != 0;
  Temporary = p[idxdesc::kTemporary] != 0;
}

void TIndexDescriptor::Store(std::uint8_t* p) const {
  std::memset(p, 0, IndexDescriptorSize);
  std::size_t length = std::min<std::size_t>(IndexName.size(), MaxIndexNameLength);
  p[idxdesc::kName] = static_cast<std::uint8_t>(length);
  std::memcpy(p + idxdesc::kName + 1, IndexName.data(), length);
  PutU16(p + idxdesc::kKeySize, KeySize);
  p[idxdesc::kDescending] = Descending ? 1 : 0;
  p[idxdesc::kNoCase] = NoCase ? 1 : 0;
  p[idxdesc::kUnique] = Unique ? 1 : 0;
  p[idxdesc::kCompression] = Compression;
  p[idxdesc::kKeyFieldCount] = KeyFieldCount;
  for (int i = 0; i < MaxIndexKeyFields; ++i) {
    p[idxdesc::kFieldDescending + i] = FieldDescending[i];
    PutU16(p + idxdesc::kKeyFields + 2 * i, KeyFields[i]);
  }
  PutI32(p + idxdesc::kRootPage, RootPage);
  PutI32(p + idxdesc::kFreePage, FreePage);
  PutI32(p + idxdesc::kParamPage, ParamPage);
  p[idxdesc::kNoSubtreeCounts] = NoSubtreeCounts ? 1 : 0;
  p[idxdesc::kTemporary] = Temporary ? 1 : 0;
}

void TIndexHeader::InitNew() {
  Bytes.fill(0);
  Bytes[idxhdr::kFormatVersion] = IndexFormatVersion;
  SetNextPageNo(1);
  TIndexDescriptor deleted;
  deleted.IndexName = "Sys Deleted";
  deleted.KeySize = SysDeletedKeySize;
  deleted.Compression = icNone;
  SetDescriptor(SysDeletedSlot, deleted);
  TIndexDescriptor text;
  text.IndexName = "Sys Text";
  text.KeySize = SysTextKeySize;
  text.Compression = icFull;
  SetDescriptor(SysTextSlot, text);
}

TIndexDescriptor TIndexHeader::Descriptor(int slot) const {
  TIndexDescriptor d;
  d.Load(DescriptorBytes(slot));
  return d;
}

void TIndexHeader::ClearDescriptor(int slot) {
  std::memset(DescriptorBytes(slot), 0, IndexDescriptorSize);
}

bool TIndexHeader::SlotInUse(int slot) const {
  if (slot < 0 || slot >= IndexSlotCount) return false;
  if (slot == PrimaryIndexSlot) return !NoPrimaryIndex() && KeySize(slot) != 0;
  if (slot <= MaxSecondaryIndexes) return slot <= SecondaryCount() && KeySize(slot) != 0;
  return KeySize(slot) != 0;
}

std::string IndexDisplayName(int slot, const TIndexDescriptor& d) {
  return slot == PrimaryIndexSlot ? std::string("Primary") : d.IndexName;
}

}  // namespace zorvic::engine
