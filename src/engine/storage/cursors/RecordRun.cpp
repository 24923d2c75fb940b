#include "engine/storage/cursors/RecordRun.h"

#include <algorithm>

namespace zorvic::engine {

void TRecordRun::Fill(TDataFile& data, std::int32_t recordNo, std::size_t runBytes) {
  const std::size_t size = data.RecordSize();
  const std::int64_t left = static_cast<std::int64_t>(data.PhysicalRecordCount()) - recordNo + 1;
  const auto count = static_cast<std::int32_t>(std::max<std::int64_t>(
      1, std::min<std::int64_t>(left, static_cast<std::int64_t>(runBytes / size))));
  FBytes.resize(static_cast<std::size_t>(count) * size);
  FCount = 0;
  if (!data.ReadRecordsDirect(recordNo, count, FBytes.data())) throw ETableChanged{};
  FFirst = recordNo;
  FCount = count;
}

}  // namespace zorvic::engine
