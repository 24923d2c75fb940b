#include "engine/sql/exec/DdlExecution.h"

#include "engine/storage/DataDirectory.h"
#include "engine/storage/EngineError.h"

namespace zorvic::engine {

void ExecuteDdl(TDataDirectory& /*database*/, TQueryStatement& statement, TDataQuery& block) {
  statement.RowsAffected = 0;
  RaiseSQLError(std::string(StatementKindName(block.Kind)) + " is not available yet");
}

}  // namespace zorvic::engine
