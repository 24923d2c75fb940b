#include "engine/sql/exec/DmlTransaction.h"

#include <algorithm>

#include "engine/storage/DataDirectory.h"
#include "engine/storage/EngineError.h"

namespace zorvic::engine {

std::int32_t TImplicitTransaction::DefaultInterval(std::uint16_t recordSize) {
  if (recordSize == 0) return 8192;
  return std::max<std::int32_t>(1, std::min<std::int32_t>(32768 / recordSize, 8192));
}

TImplicitTransaction::TImplicitTransaction(TDataDirectory& database, const TDataQuery& block,
                                           std::uint16_t targetRecordSize)
    : Database_(database), Flush_(block.Flush) {
  RaiseSQLError("Implicit transactions are not available yet");
  (void)targetRecordSize;
}

TImplicitTransaction::~TImplicitTransaction() = default;

void TImplicitTransaction::RowDone() {
  ++Rows_;
}

void TImplicitTransaction::Finish() {
  Finished_ = true;
}

}  // namespace zorvic::engine
