#include "engine/sql/Binder.h"

namespace zorvic::engine {

TSubSelectShape ColumnResolver::DescribeSubSelect(TDataQuery* /*query*/) { return {}; }

void* ColumnResolver::AddAutoIncTable(std::string_view /*tableName*/) { return nullptr; }

}  // namespace zorvic::engine
