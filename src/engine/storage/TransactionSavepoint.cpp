#include "engine/storage/TransactionSavepoint.h"

#include "engine/storage/DataDirectory.h"

namespace zorvic::engine {

struct TTransactionSavepoint::TEntry {
  TDataTable* Table = nullptr;
};

TTransactionSavepoint::TTransactionSavepoint(TDataDirectory& database) : Database_(database) {}

TTransactionSavepoint::~TTransactionSavepoint() = default;

void TTransactionSavepoint::Restore() {}

}  // namespace zorvic::engine
