// TDataCursor: search keys, find key and ranges.
#include <algorithm>
#include <cstring>

#include "engine/storage/cursors/CursorOperation.h"
#include "engine/storage/formats/Collation.h"

namespace zorvic::engine {

// A key built from a record buffer's first fieldCount key fields, padded after its given part:
// low padding gives the smallest key in index order that starts with the given part, high
// padding the largest. Bytes of flag 0 and value 0 are the lowest a field can hold, flag and
// value 0xFF the highest, in both comparison modes (the flag decides before any value is
// compared). Only a partial String needs the collation: a prefix followed by its highest
// character sorts after every text that starts with the prefix. Whatever the index compares
// in reverse (the whole index descending; with a collation also a descending field) swaps the
// two paddings.
void TDataCursor::BuildSearchKey(const std::uint8_t* record, int fieldCount, int partialLength,
                                 bool high, std::uint8_t* key) {
  TIndexFile& index = FTable->Index();
  const TKeyLayout& layout = index.KeyLayout(FSlot);
  const TKeyBuilder& builder = index.KeyBuilder(FSlot);
  builder.Build(record, key);
  const int n = static_cast<int>(layout.Fields.size());
  fieldCount = std::clamp(fieldCount, 0, n);
  const bool fieldWise = layout.FieldWise();
  auto reversed = [&](int i) {
    return fieldWise ? (layout.Descending || layout.Fields[static_cast<std::size_t>(i)].Descending)
                     : layout.Descending;
  };
  if (partialLength > 0 && fieldCount > 0) {
    const int i = fieldCount - 1;
    const TKeyField& f = layout.Fields[static_cast<std::size_t>(i)];
    if (f.Field.DataType == ftString) {
      const int value = builder.FieldOffset(i) + 1;
      const int width = f.Width();
      const int keep = std::min(partialLength, width - 1);
      const bool padHigh = high != reversed(i);
      std::uint8_t* tail = key + value + keep;
      const int rest = width - keep;
      if (!padHigh) {
        std::memset(tail, 0, static_cast<std::size_t>(rest));
      } else if (!fieldWise) {
        std::memset(tail, 0xFF, static_cast<std::size_t>(rest));
      } else {
        const std::uint8_t highest = layout.Collation->CharMap()[255];
        std::memset(tail, highest, static_cast<std::size_t>(rest - 1));
        tail[rest - 1] = 0;
      }
    }
  }
  for (int i = fieldCount; i < n; ++i) {
    const int at = builder.FieldOffset(i);
    const int width = layout.Fields[static_cast<std::size_t>(i)].Width();
    std::memset(key + at, high != reversed(i) ? 0xFF : 0x00, static_cast<std::size_t>(width + 1));
  }
  if (!layout.Unique) {
    const int at = layout.FieldBytes();
    std::memset(key + at, high != layout.Descending ? 0xFF : 0x00,
                static_cast<std::size_t>(layout.KeySize - at));
  }
}

bool TDataCursor::FindKey(const std::uint8_t* record, int fieldCount, int partialLength,
                          bool nearest) {
  RequireOpen();
  if (!FIndexMode) return false;
  return Run([&]() -> bool {
    const TKeyLayout& layout = FTable->Index().KeyLayout(FSlot);
    const bool partial =
        fieldCount < static_cast<int>(layout.Fields.size()) || partialLength > 0 || !layout.Unique;
    const std::size_t size = static_cast<std::size_t>(KeySize());
    std::vector<std::uint8_t> low(size), high(size);
    BuildSearchKey(record, fieldCount, partialLength, false, low.data());
    if (partial) BuildSearchKey(record, fieldCount, partialLength, true, high.data());
    auto matches = [&](const TPosition& p) {
      if (p.State != TState::OnRecord) return false;
      return partial ? CompareKeys(p.Key.data(), high.data()) <= 0
                     : CompareKeys(p.Key.data(), low.data()) == 0;
    };
    TPosition p = SearchPosition(low.data(), false);
    if (p.State == TState::OnRecord && !BelowLow(p.Key.data()) && !AboveHigh(p.Key.data())) {
      TBTree tree = Tree();
      p = SkipFiltered(tree, std::move(p), true);
      if (p.State == TState::OnRecord && AboveHigh(p.Key.data())) p.State = TState::EOF_;
    } else if (p.State == TState::OnRecord && BelowLow(p.Key.data())) {
      p = FirstPosition();
    } else {
      p.State = TState::EOF_;
    }
    const bool found = matches(p);
    if (found || nearest) {
      Finish(p, nullptr);
      return found;
    }
    TPosition gap;
    gap.State = TState::Between;
    gap.Key = low;
    Finish(gap, nullptr);
    return false;
  });
}

bool TDataCursor::FindKeyBytes(const std::uint8_t* key, bool nearest) {
  RequireOpen();
  if (!FIndexMode) return false;
  return Run([&]() -> bool {
    TPosition p = SearchPosition(key, false);
    const bool inRange =
        p.State == TState::OnRecord && !BelowLow(p.Key.data()) && !AboveHigh(p.Key.data());
    const bool found = inRange && CompareKeys(p.Key.data(), key) == 0 && Passes(p.RecordNo);
    if (found) {
      Finish(p, nullptr);
      return true;
    }
    if (nearest) {
      TBTree tree = Tree();
      if (p.State == TState::OnRecord && BelowLow(p.Key.data()))
        p = FirstPosition();
      else if (!inRange)
        p.State = TState::EOF_;
      else
        p = SkipFiltered(tree, std::move(p), true);
      Finish(p, nullptr);
      return false;
    }
    TPosition gap;
    gap.State = TState::Between;
    gap.Key.assign(key, key + KeySize());
    Finish(gap, nullptr);
    return false;
  });
}

void TDataCursor::SetRange(const std::uint8_t* lowRecord, int lowFields,
                           const std::uint8_t* highRecord, int highFields, int lowPartial,
                           int highPartial) {
  RequireOpen();
  if (!FIndexMode) return;  // record-number mode has no key order to range over
  Run([&] {
    const std::size_t size = static_cast<std::size_t>(KeySize());
    FLowSet = lowRecord && lowFields > 0;
    FHighSet = highRecord && highFields > 0;
    FLow.assign(size, 0);
    FHigh.assign(size, 0xFF);
    if (FLowSet) BuildSearchKey(lowRecord, lowFields, lowPartial, false, FLow.data());
    if (FHighSet) BuildSearchKey(highRecord, highFields, highPartial, true, FHigh.data());
    if (FPos.State == TState::OnRecord && !BelowLow(FPos.Key.data()) && !AboveHigh(FPos.Key.data()))
      return 0;
    TPosition bof;
    bof.State = TState::BOF;
    Finish(bof, nullptr);
    return 0;
  });
}

void TDataCursor::CancelRange() {
  RequireOpen();
  FLowSet = FHighSet = false;
  FLow.clear();
  FHigh.clear();
}

}  // namespace zorvic::engine
