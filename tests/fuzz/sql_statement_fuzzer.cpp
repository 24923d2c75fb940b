// libFuzzer target over the SQL lexer, statement parser and binder: every input is one SQL
// text, checked (parsed and bound, never executed) against a small fixed schema, and the text
// form of every statement that binds is produced. Any crash, leak, sanitizer report or hang is
// a fault; engine errors are the expected answer to malformed text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/sql/SchemaSource.h"
#include "engine/sql/parse/ScriptChecker.h"

namespace {

using namespace zorvic::engine;

constexpr std::string_view kSchema =
    "Create Table Users(UserName VARCHAR(32),Password VARCHAR(32) NOT NULL,GroupName "
    "VARCHAR(32),HasAdminPower Boolean DEFAULT FALSE,LastLogin DATE,Score FLOAT,Amount "
    "DECIMAL(10,2),Seen TIMESTAMP,At TIME,Small SMALLINT,W WORD,Big LARGEINT,Raw BYTES(8),"
    "Primary Key (UserName));"
    "Create Table Attachments(AttachID AUTOINC,RefCount INTEGER,BODY BLOB,Notes MEMO,Primary "
    "Key (AttachID));"
    "Create Table Groups(GroupName VARCHAR(32),ProfileName VARCHAR(32),Primary Key (GroupName));";

// The fixed tables, built once; every input gets its own overlay on top of them.
TSchemaSource& FixedTables() {
  static TEmptySchemaSource none("");
  static TScriptChecker builder(none, "");
  static const bool built = builder.Check(kSchema).empty();
  (void)built;
  return builder.Schema();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TSchemaSource& tables = FixedTables();
  TScriptChecker checker(tables, "");
  std::string explanation;
  checker.Check(std::string_view(reinterpret_cast<const char*>(data), size), &explanation);
  return 0;
}
