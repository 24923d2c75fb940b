#include "engine/storage/IndexFormat.h"

#include <algorithm>
#include <cstring>

namespace zorvic::engine {

void TIndexDescriptor::Load(const std::uint8_t* p) {
  std::size_t length = std::min<std::size_t>(p[idxdesc::kName], kMaxIndexNameLength);
  IndexName.assign(reinterpret_cast<const char*>(p + idxdesc::kName + 1), length);
  KeySize = LoadLE16(p + idxdesc::kKeySize);
  Descending = p[idxdesc::kDescending] != 0;
  NoCase = p[idxdesc::kNoCase] != 0;
  Unique = p[idxdesc::kUnique] != 0;
  Compression = p[idxdesc::kCompression];
  KeyFieldCount = p[idxdesc::kKeyFieldCount];
  for (int i = 0; i < kMaxIndexKeyFields; ++i) {
    FieldDescending[i] = p[idxdesc::kFieldDescending + i];
    KeyFields[i] = LoadLE16(p + idxdesc::kKeyFields + 2 * i);
  }
  RootPage = LoadLE32(p + idxdesc::kRootPage);
  FreePage = LoadLE32(p + idxdesc::kFreePage);
  ParamPage = LoadLE32(p + idxdesc::kParamPage);
  NoSubtreeCounts = p[idxdesc::kNoSubtreeCounts] != 0;
  Temporary = p[idxdesc::kTemporary] != 0;
}

void TIndexDescriptor::Store(std::uint8_t* p) const {
  std::memset(p, 0, kIndexDescriptorSize);
  std::size_t length = std::min<std::size_t>(IndexName.size(), kMaxIndexNameLength);
  p[idxdesc::kName] = static_cast<std::uint8_t>(length);
  std::memcpy(p + idxdesc::kName + 1, IndexName.data(), length);
  StoreLE16(p + idxdesc::kKeySize, KeySize);
  p[idxdesc::kDescending] = Descending ? 1 : 0;
  p[idxdesc::kNoCase] = NoCase ? 1 : 0;
  p[idxdesc::kUnique] = Unique ? 1 : 0;
  p[idxdesc::kCompression] = Compression;
  p[idxdesc::kKeyFieldCount] = KeyFieldCount;
  for (int i = 0; i < kMaxIndexKeyFields; ++i) {
    p[idxdesc::kFieldDescending + i] = FieldDescending[i];
    StoreLE16(p + idxdesc::kKeyFields + 2 * i, KeyFields[i]);
  }
  StoreLE32(p + idxdesc::kRootPage, RootPage);
  StoreLE32(p + idxdesc::kFreePage, FreePage);
  StoreLE32(p + idxdesc::kParamPage, ParamPage);
  p[idxdesc::kNoSubtreeCounts] = NoSubtreeCounts ? 1 : 0;
  p[idxdesc::kTemporary] = Temporary ? 1 : 0;
}

void TIndexHeader::InitNew() {
  Bytes.fill(0);
  Bytes[idxhdr::kFormatVersion] = kIndexFormatVersion;
  SetNextPageNo(1);
  TIndexDescriptor deleted;
  deleted.IndexName = "Sys Deleted";
  deleted.KeySize = kSysDeletedKeySize;
  deleted.Compression = icNone;
  SetDescriptor(kSysDeletedSlot, deleted);
  TIndexDescriptor text;
  text.IndexName = "Sys Text";
  text.KeySize = kSysTextKeySize;
  text.Compression = icFull;
  SetDescriptor(kSysTextSlot, text);
}

TIndexDescriptor TIndexHeader::Descriptor(int slot) const {
  TIndexDescriptor d;
  d.Load(DescriptorBytes(slot));
  return d;
}

void TIndexHeader::ClearDescriptor(int slot) {
  std::memset(DescriptorBytes(slot), 0, kIndexDescriptorSize);
}

bool TIndexHeader::SlotInUse(int slot) const {
  if (slot < 0 || slot >= kIndexSlotCount) return false;
  if (slot == kPrimaryIndexSlot) return !NoPrimaryIndex() && KeySize(slot) != 0;
  if (slot <= kMaxSecondaryIndexes) return slot <= SecondaryCount() && KeySize(slot) != 0;
  return KeySize(slot) != 0;
}

std::string IndexDisplayName(int slot, const TIndexDescriptor& d) {
  return slot == kPrimaryIndexSlot ? std::string("Primary") : d.IndexName;
}

void ScrambleIndexBlock(std::uint8_t* bytes, std::size_t count) {
  std::uint8_t low = 91;
  std::uint8_t high = 164;
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] ^= static_cast<std::uint8_t>(low ^ high);
    ++low;
    --high;
  }
}

}  // namespace zorvic::engine
