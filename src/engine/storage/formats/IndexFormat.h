// The byte layout of the index file's header and of its index descriptors.
//
// The header is one 4096-byte block at offset 0 of the ".IDX" file: a change counter, the format
// version, the next page number, the number of secondary indexes, 33 descriptors of 120 bytes
// (slot 0 the primary index, 1..30 secondary indexes, 31 "Sys Deleted", 32 "Sys Text") and the
// table's active record count. TIndexHeader keeps that block as it is on disk (unscrambled) and
// reads and writes its fields in place; TIndexDescriptor is the unpacked form of one slot for
// code that defines, checks or lists indexes. All integers are little-endian.
//
// Thread safety: plain values; callers synchronise (a header belongs to one TIndexFile, which
// is used under its table's locks).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/EngineLimits.h"
#include "engine/storage/formats/FieldTypes.h"

namespace zorvic::engine {

// Leaf compression of an index (descriptor byte 36).
enum TIndexLeafCompression : std::uint8_t {
  icNone = 0,
  icDuplicateBytes = 1,
  icTrailingBytes = 2,
  icFull = 3,
};

// Offsets inside the header block.
namespace idxhdr {
inline constexpr int kChangeCount = 0;
inline constexpr int kFormatVersion = 8;
inline constexpr int kNextPageNo = 9;
inline constexpr int kSecondaryCount = 13;
inline constexpr int kDescriptors = 14;
inline constexpr int kRecordCount = 3974;
inline constexpr int kNoPrimaryIndex = 3978;
inline constexpr int kHeaderModified = 3979;
}  // namespace idxhdr

// Offsets inside one descriptor.
namespace idxdesc {
inline constexpr int kName = 0;
inline constexpr int kKeySize = 31;
inline constexpr int kDescending = 33;
inline constexpr int kNoCase = 34;
inline constexpr int kUnique = 35;
inline constexpr int kCompression = 36;
inline constexpr int kKeyFieldCount = 37;
inline constexpr int kFieldDescending = 38;
inline constexpr int kKeyFields = 54;
inline constexpr int kRootPage = 86;
inline constexpr int kFreePage = 90;
inline constexpr int kParamPage = 96;
inline constexpr int kNoSubtreeCounts = 100;
inline constexpr int kTemporary = 101;
}  // namespace idxdesc

// One index definition and its tree anchors, unpacked from the 120 descriptor bytes.
struct TIndexDescriptor {
  std::string IndexName;  // empty for the primary index
  std::uint16_t KeySize = 0;
  bool Descending = false;
  bool NoCase = false;
  bool Unique = false;
  std::uint8_t Compression = icNone;
  std::uint8_t KeyFieldCount = 0;
  std::array<std::uint8_t, MaxIndexKeyFields> FieldDescending{};
  std::array<std::uint16_t, MaxIndexKeyFields> KeyFields{};
  std::int32_t RootPage = 0;
  std::int32_t FreePage = 0;
  std::int32_t ParamPage = 0;
  bool NoSubtreeCounts = false;
  bool Temporary = false;

  // Reads the 120 bytes; a name length above 30 is kept as read up to 30 characters (the
  // header check reports it).
  void Load(const std::uint8_t* bytes);
  // Writes the 120 bytes (reserved bytes zero).
  void Store(std::uint8_t* bytes) const;
};

// The 4096-byte header block with in-place field access.
class TIndexHeader {
 public:
  TIndexHeader() { Bytes.fill(0); }

  // A new file's header: all zero except the format version, NextPageNo 1 and the descriptors
  // of "Sys Deleted" (key size 5, no compression) and "Sys Text" (key size 68, full).
  void InitNew();

  std::int32_t ChangeCount() const { return GetI32(&Bytes[idxhdr::kChangeCount]); }
  void SetChangeCount(std::int32_t v) { PutI32(&Bytes[idxhdr::kChangeCount], v); }
  std::uint8_t FormatVersion() const { return Bytes[idxhdr::kFormatVersion]; }
  std::int32_t NextPageNo() const { return GetI32(&Bytes[idxhdr::kNextPageNo]); }
  void SetNextPageNo(std::int32_t v) { PutI32(&Bytes[idxhdr::kNextPageNo], v); }
  int SecondaryCount() const { return Bytes[idxhdr::kSecondaryCount]; }
  void SetSecondaryCount(int v) { Bytes[idxhdr::kSecondaryCount] = static_cast<std::uint8_t>(v); }
  std::int32_t RecordCount() const { return GetI32(&Bytes[idxhdr::kRecordCount]); }
  void SetRecordCount(std::int32_t v) { PutI32(&Bytes[idxhdr::kRecordCount], v); }
  bool NoPrimaryIndex() const { return Bytes[idxhdr::kNoPrimaryIndex] != 0; }
  void SetNoPrimaryIndex(bool v) { Bytes[idxhdr::kNoPrimaryIndex] = v ? 1 : 0; }
  void SetHeaderModifiedFlag(bool v) { Bytes[idxhdr::kHeaderModified] = v ? 1 : 0; }

  // Raw descriptor bytes of a slot (0..32).
  std::uint8_t* DescriptorBytes(int slot) {
    return &Bytes[idxhdr::kDescriptors + slot * IndexDescriptorSize];
  }
  const std::uint8_t* DescriptorBytes(int slot) const {
    return &Bytes[idxhdr::kDescriptors + slot * IndexDescriptorSize];
  }
  TIndexDescriptor Descriptor(int slot) const;
  void SetDescriptor(int slot, const TIndexDescriptor& d) { d.Store(DescriptorBytes(slot)); }
  void ClearDescriptor(int slot);

  // The fields the tree algorithms read and write on every operation.
  std::int32_t RootPage(int slot) const { return Field32(slot, idxdesc::kRootPage); }
  void SetRootPage(int slot, std::int32_t v) { SetField32(slot, idxdesc::kRootPage, v); }
  std::int32_t FreePage(int slot) const { return Field32(slot, idxdesc::kFreePage); }
  void SetFreePage(int slot, std::int32_t v) { SetField32(slot, idxdesc::kFreePage, v); }
  std::uint16_t KeySize(int slot) const {
    return GetU16(DescriptorBytes(slot) + idxdesc::kKeySize);
  }
  // True when the slot holds an index definition (a key size); slot 0 also needs
  // NoPrimaryIndex off.
  bool SlotInUse(int slot) const;

  std::array<std::uint8_t, IndexHeaderSize> Bytes;

 private:
  std::int32_t Field32(int slot, int offset) const {
    return GetI32(DescriptorBytes(slot) + offset);
  }
  void SetField32(int slot, int offset, std::int32_t v) {
    PutI32(DescriptorBytes(slot) + offset, v);
  }
};

// The name messages use for an index: "Primary" for slot 0, else the descriptor's name.
std::string IndexDisplayName(int slot, const TIndexDescriptor& d);

}  // namespace zorvic::engine
