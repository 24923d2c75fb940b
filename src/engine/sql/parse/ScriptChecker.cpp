#include "engine/sql/parse/ScriptChecker.h"

#include <exception>
#include <new>

#include "engine/sql/bind/StatementBinder.h"
#include "engine/sql/parse/StatementText.h"
#include "engine/storage/EngineError.h"

namespace zorvic::engine {

TScriptChecker::TScriptChecker(TSchemaSource& base, std::string databaseFolder)
    : DatabaseFolder_(std::move(databaseFolder)), Overlay_(base, DatabaseFolder_) {}

void TScriptChecker::ApplyDefinition(const TDataQuery& block) {
  const TTableRef& target = block.Target;
  switch (block.Kind) {
    case TStatementKind::CreateTable:
      if (Overlay_.TableExists(target)) {
        if (block.IfNotExists) return;
        RaiseTableError(VELDOR_TABLEEXISTS, TableFileName(target, DatabaseFolder_));
      }
      Overlay_.PutTable(target, SchemaOfCreateTable(block));
      break;
    case TStatementKind::AlterTable:
      Overlay_.PutTable(target, SchemaAfterAlterTable(*Overlay_.LoadTable(target), block));
      break;
    case TStatementKind::DropTable:
      if (!Overlay_.TableExists(target)) {
        if (block.IfExists) return;
        RaiseTableMissing(target, DatabaseFolder_);
      }
      Overlay_.DropTable(target);
      break;
    case TStatementKind::CreateIndex: {
      auto schema = std::make_shared<TTableSchema>(*Overlay_.LoadTable(target));
      for (const TCreateIndex& index : block.CreateIndexes) {
        if (!schema->HasIndex(index.Name)) schema->IndexNames.push_back(index.Name);
      }
      Overlay_.PutTable(target, std::move(schema));
      break;
    }
    case TStatementKind::DropIndex: {
      auto schema = std::make_shared<TTableSchema>(*Overlay_.LoadTable(target));
      std::erase_if(schema->IndexNames, [&](const std::string& name) {
        return SameTextIgnoringCase(name, block.IndexName);
      });
      Overlay_.PutTable(target, std::move(schema));
      break;
    }
    default:
      break;
  }
}

std::string TScriptChecker::Check(std::string_view text, std::string* explain) {
  try {
    TQueryStatement statement(DatabaseFolder_);
    statement.Prepare(text);
    while (statement.MasterQuery() != nullptr) {
      statement.Bind(Overlay_);
      if (explain != nullptr) *explain += StatementText(statement);
      ApplyDefinition(*statement.MasterQuery());
      if (statement.AtEnd()) break;
      statement.ParseNext();
    }
    return {};
  } catch (const EVELDOREngineError& error) {
    return error.what();
  } catch (const std::bad_alloc&) {
    return ErrorMessageText(VELDOR_OSENOMEM)
        .insert(0, "VELDOR Engine Error # " + std::to_string(VELDOR_OSENOMEM) + " ");
  } catch (const std::exception& error) {
    return error.what();
  }
}

}  // namespace zorvic::engine
