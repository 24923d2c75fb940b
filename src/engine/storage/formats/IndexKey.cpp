#include "engine/storage/formats/IndexKey.h"

#include "engine/storage/formats/FieldTypes.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace zorvic::engine {

namespace {

constexpr int kBcdKeyWidth = 8;

std::uint64_t LoadLE(const std::uint8_t* p, int n) {
  std::uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i)
    v = (v << 8) | p[i];
  return v;
}

void StoreBE(std::uint8_t* out, std::uint64_t v, int n) {
  for (int i = n - 1; i >= 0; --i) {
    out[i] = static_cast<std::uint8_t>(v);
    v >>= 8;
  }
}

// Signed values: big-endian with the sign bit inverted, so negatives sort first.
void StoreSignedBE(std::uint8_t* out, std::uint64_t bits, int n) {
  StoreBE(out, bits, n);
  out[0] ^= 0x80;
}

void StoreDoubleKey(std::uint8_t* out, double v) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &v, sizeof bits);
  if (v >= 0) {
    bits |= 0x8000000000000000ULL;  // -0.0 lands on +0.0
  } else {
    bits = ~bits;
  }
  StoreBE(out, bits, 8);
}

// The 34-byte packed decimal as a number of ten-thousandths; a value too large for 64 bits
// is held at the nearest end of the range and a damaged one counts as 0, so that a key can
// always be built.
std::int64_t BcdScaledValue(const std::uint8_t* p) {
  TBcd bcd = LoadBcd(p);
  if (!IsValidBcd(bcd)) return 0;
  if (auto scaled = BcdToScaledInt(bcd)) return *scaled;
  return BcdIsNegative(bcd) ? std::numeric_limits<std::int64_t>::min()
                            : std::numeric_limits<std::int64_t>::max();
}

// 80-bit extended float (little-endian mantissa, then sign and exponent) in an
// order-preserving form: the ten bytes big-endian, top bit set for positive values, all bits
// inverted for negative ones.
void StoreExtendedKey(std::uint8_t* out, const std::uint8_t* p) {
  for (int i = 0; i < 10; ++i)
    out[i] = p[9 - i];
  bool negative = (out[0] & 0x80) != 0;
  bool zero = true;
  for (int i = 0; i < 10; ++i) {
    if ((i == 0 ? (out[0] & 0x7F) : out[i]) != 0) zero = false;
  }
  if (negative && !zero) {
    for (int i = 0; i < 10; ++i)
      out[i] = static_cast<std::uint8_t>(~out[i]);
  } else {
    out[0] |= 0x80;
  }
}

int Sign(int v) {
  return (v > 0) - (v < 0);
}

std::string_view TextOf(const std::uint8_t* p, int width) {
  const char* s = reinterpret_cast<const char*>(p);
  return std::string_view(s, strnlen(s, static_cast<std::size_t>(width)));
}

}  // namespace

int TKeyField::Width() const {
  return Field.DataType == ftBCD ? kBcdKeyWidth : Field.PhysSize;
}

int TKeyLayout::FieldBytes() const {
  int sum = 0;
  for (const auto& f : Fields)
    sum += f.Width() + 1;
  return sum;
}

void EncodeKeyValue(const TKeyField& field, const std::uint8_t* value, const TKeyLayout& layout,
                    std::uint8_t* out) {
  const int w = field.Width();
  const int phys = field.Field.PhysSize;
  switch (field.Field.DataType) {
    case ftString: {
      std::memset(out, 0, w);
      std::string_view text = TextOf(value, phys);
      std::string upper;
      if (layout.NoCase) {
        upper = layout.Collation->Upper(text);
        text = upper;
      }
      // Room for the terminating zero is always kept.
      std::size_t n = std::min<std::size_t>(text.size(), w > 0 ? w - 1 : 0);
      std::memcpy(out, text.data(), n);
      break;
    }
    case ftDate:
    case ftInteger:
    case ftTime:
      StoreSignedBE(out, LoadLE(value, 4), 4);
      break;
    case ftSmallInt:
      StoreSignedBE(out, LoadLE(value, 2), 2);
      break;
    case ftWord:
    case ftBoolean:
      StoreBE(out, LoadLE(value, 2), 2);
      break;
    case ftCardinal:
      StoreBE(out, LoadLE(value, 4), 4);
      break;
    case ftLargeInt:
      StoreSignedBE(out, LoadLE(value, 8), 8);
      break;
    case ftFloat:
    case ftTimeStamp: {
      std::uint64_t bits = LoadLE(value, 8);
      double d = 0;
      std::memcpy(&d, &bits, sizeof d);
      StoreDoubleKey(out, d);
      break;
    }
    case ftBCD:
      StoreSignedBE(out, static_cast<std::uint64_t>(BcdScaledValue(value)), kBcdKeyWidth);
      break;
    case ftExtended:
      if (w == 10) {
        StoreExtendedKey(out, value);
      } else {
        std::memcpy(out, value, w);
      }
      break;
    default:
      std::memcpy(out, value, w);
      break;
  }
}

int TKeyBuilder::FieldOffset(int fieldIndex) const {
  int offset = 0;
  for (int i = 0; i < fieldIndex; ++i)
    offset += layout_.Fields[i].Width() + 1;
  return offset;
}

void TKeyBuilder::BuildField(int fieldIndex, const std::uint8_t* record, std::uint8_t* key) const {
  const TKeyField& f = layout_.Fields[fieldIndex];
  std::uint8_t* out = key + FieldOffset(fieldIndex);
  const int w = f.Width();
  bool autoInc = IsAutoIncField(f.Field.DataType, f.Field.SubType);
  if (autoInc) {
    out[0] = 1;
    StoreSignedBE(out + 1, LoadLE(record + 5, 4), 4);
  } else if (record[f.Field.Offset] == 0) {
    std::memset(out, 0, w + 1);
  } else {
    out[0] = 1;
    EncodeKeyValue(f, record + f.Field.Offset + 1, layout_, out + 1);
  }
  if (f.Descending && !layout_.Descending && layout_.Collation->IsBinary()) {
    for (int i = 0; i <= w; ++i)
      out[i] = static_cast<std::uint8_t>(~out[i]);
  }
}

void TKeyBuilder::Build(const std::uint8_t* record, std::uint8_t* key) const {
  for (std::size_t i = 0; i < layout_.Fields.size(); ++i) {
    BuildField(static_cast<int>(i), record, key);
  }
  if (!layout_.Unique) {
    int offset = layout_.FieldBytes();
    StoreSignedBE(key + offset, LoadLE(record + 5, 4), 4);
  }
}

void EncodeRowId(std::int32_t rowId, std::uint8_t* out) {
  StoreSignedBE(out, static_cast<std::uint32_t>(rowId), 4);
}

std::int32_t DecodeRowId(const std::uint8_t* in) {
  std::uint32_t v = (static_cast<std::uint32_t>(in[0] ^ 0x80) << 24) |
                    (static_cast<std::uint32_t>(in[1]) << 16) |
                    (static_cast<std::uint32_t>(in[2]) << 8) | in[3];
  return static_cast<std::int32_t>(v);
}

void BuildSysDeletedKey(std::uint8_t recStatus, std::int32_t rowId, std::uint8_t* key) {
  key[0] = recStatus;
  EncodeRowId(rowId, key + 1);
}

TKeyCompare::TKeyCompare(const TKeyLayout& layout) : layout_(layout) {
  if (layout_.Slot == SysDeletedSlot) {
    mode_ = Mode::Bytes;
    layout_.Descending = false;
  } else if (layout_.Slot == SysTextSlot) {
    mode_ = layout_.Collation->IsBinary() ? Mode::Bytes : Mode::Text;
    layout_.Descending = false;
  } else {
    mode_ = layout_.FieldWise() ? Mode::Fields : Mode::Bytes;
  }
}

int TKeyCompare::CompareBytes(const std::uint8_t* a, const std::uint8_t* b) const {
  int r = std::memcmp(a, b, layout_.KeySize);
  return layout_.Descending ? -Sign(r) : Sign(r);
}

int TKeyCompare::CompareSlow(const std::uint8_t* a, const std::uint8_t* b) const {
  const int k = layout_.KeySize;
  if (mode_ == Mode::Text) {
    // Word entries: 3 bytes, 61 bytes of word text, 4 bytes RowId.
    int r = std::memcmp(a, b, 3);
    if (r != 0) return Sign(r);
    // Equal bytes are equal text under every collation: duplicate words skip the collator.
    if (std::memcmp(a + 3, b + 3, 61) != 0) {
      r = layout_.Collation->Compare(TextOf(a + 3, 61), TextOf(b + 3, 61));
      if (r != 0) return Sign(r);
    }
    return Sign(std::memcmp(a + 64, b + 64, k - 64));
  }
  int offset = 0;
  for (const TKeyField& f : layout_.Fields) {
    const int w = f.Width();
    if (offset + w + 1 > k) break;
    const int direction = (f.Descending || layout_.Descending) ? -1 : 1;
    int r = 0;
    if (f.Field.DataType == ftString) {
      r = Sign(static_cast<int>(a[offset]) - static_cast<int>(b[offset]));
      // Keys of duplicate values (all the more under NOCASE, which stores them upper-cased)
      // hold the same bytes: only the RowId after them decides, without the collator.
      if (r == 0 && std::memcmp(a + offset + 1, b + offset + 1, w) != 0) {
        r = Sign(layout_.Collation->Compare(TextOf(a + offset + 1, w), TextOf(b + offset + 1, w)));
      }
    } else {
      r = Sign(std::memcmp(a + offset, b + offset, w + 1));
    }
    if (r != 0) return r * direction;
    offset += w + 1;
  }
  if (offset < k) {
    int r = Sign(std::memcmp(a + offset, b + offset, k - offset));
    return layout_.Descending ? -r : r;
  }
  return 0;
}

}  // namespace zorvic::engine
