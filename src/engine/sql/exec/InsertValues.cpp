#include "engine/sql/exec/InsertValues.h"

#include "engine/storage/DataCursor.h"
#include "engine/storage/EngineError.h"

namespace zorvic::engine {

std::int32_t ExecuteInsertValues(TDataCursor& /*target*/, TDataQuery& /*block*/,
                                 const TEvalContext& /*context*/) {
  RaiseSQLError("INSERT is not available yet");
}

void AppendInsertRecord(TDataCursor& /*target*/, const TDataQuery& /*block*/,
                        const std::vector<const TExpToken*>& /*values*/) {
  RaiseSQLError("INSERT is not available yet");
}

}  // namespace zorvic::engine
