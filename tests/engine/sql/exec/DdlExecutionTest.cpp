// CREATE TABLE, CREATE INDEX, DROP TABLE and DROP INDEX through SQL and through the C++ API.
#include <gtest/gtest.h>

#include "engine/sql/StmtTestSupport.h"
#include "engine/sql/exec/DdlDefinitions.h"
#include "engine/sql/exec/DdlExecution.h"
#include "engine/sql/exec/DdlTestSupport.h"
#include "engine/sql/exec/ExecSchema.h"
#include "engine/storage/formats/IndexFile.h"

namespace zorvic::engine::ddltest {
namespace {

class DdlCreateTest : public TSqlFixture {
 protected:
  // The definition of a table as it is now.
  TTableLayout Layout(const std::string& table) {
    TDataTable& t = Database->OpenTable(table, false, false, false);
    TTableLayout layout = TableDefinitionOf(t);
    Database->CloseTable(t);
    return layout;
  }
};

TEST_F(DdlCreateTest, SchemaScriptTwiceChangesNoByte) {
  ASSERT_EQ(Run(test::kSchemaScript), 0);
  for (const char* table : {"Profiles", "Groups", "Users", "Attachments", "Requests", "Log"})
    EXPECT_TRUE(Database->TableExists(table, false)) << table;
  const FileBytes before = Files();
  EXPECT_TRUE(before.count("Attachments.BLB"));
  EXPECT_TRUE(before.count("Profiles.BLB"));
  EXPECT_FALSE(before.count("Groups.BLB"));
  EXPECT_EQ(Run(test::kSchemaScript), 0);
  EXPECT_EQ(Files(), before);

  const TTableLayout users = Layout("Users");
  ASSERT_EQ(users.Creation.Secondary.size(), 1u);
  const TIndexDefinition& names = users.Creation.Secondary[0];
  EXPECT_EQ(names.Name, "UserGroupNames");
  EXPECT_TRUE(names.NoCase);
  EXPECT_FALSE(names.Unique);
  EXPECT_EQ(names.Compression, icFull);
  EXPECT_EQ(names.Fields, std::vector<std::uint16_t>{3});
  EXPECT_EQ(users.Creation.Primary.Fields, std::vector<std::uint16_t>{1});
}

TEST_F(DdlCreateTest, FieldOptionsReachTheEngine) {
  Run("CREATE TABLE T (Name VARCHAR(20) DESCRIPTION 'the name' NOT NULL DEFAULT 'x' "
      "CHARCASE UPPER, Qty INTEGER MIN 1 MAX 99, Price DECIMAL(10,2), Id AUTOINC, Note MEMO, "
      "Flag BOOLEAN DEFAULT TRUE, Code BYTES(8), "
      "PRIMARY KEY (Id) DESCRIPTION 'demo' BLOB BLOCK SIZE 1024 "
      "USER MAJOR VERSION 3 USER MINOR VERSION 7)");
  const TTableLayout t = Layout("T");
  const auto& f = t.Creation.Table.Fields;
  ASSERT_EQ(f.size(), 7u);
  EXPECT_EQ(f[0].Name, "Name");
  EXPECT_EQ(f[0].DataType, ftString);
  EXPECT_EQ(f[0].Size, 20u);
  EXPECT_EQ(f[0].Description, "the name");
  EXPECT_TRUE(f[0].Required);
  EXPECT_EQ(f[0].DefaultValue, "x");
  EXPECT_EQ(f[0].CharCase, kCharCaseUpper);
  EXPECT_EQ(f[1].MinValue, "1");
  EXPECT_EQ(f[1].MaxValue, "99");
  EXPECT_EQ(f[2].DataType, ftBCD);
  EXPECT_EQ(f[2].Scale, 2u);
  EXPECT_EQ(f[3].DataType, ftInteger);
  EXPECT_EQ(f[3].SubType, fstAutoInc);
  EXPECT_EQ(f[4].DataType, ftBlob);
  EXPECT_EQ(f[5].DefaultValue, "TRUE");
  EXPECT_EQ(f[6].DataType, ftBytes);
  EXPECT_EQ(f[6].Size, 8u);
  EXPECT_EQ(t.Creation.Primary.Fields, std::vector<std::uint16_t>{4});
  EXPECT_EQ(t.Creation.Table.Description, "demo");
  EXPECT_EQ(t.Creation.Table.BlobBlockSize, 1024u);
  EXPECT_EQ(t.Creation.Table.UserMajorVersion, 3);
  EXPECT_EQ(t.Creation.Table.UserMinorVersion, 7);

  // Defaults of the table settings, and LAST AUTOINC without effect on creation.
  Run("CREATE TABLE U (A INTEGER LAST AUTOINC 500)");
  const TTableLayout u = Layout("U");
  EXPECT_EQ(u.Creation.Table.UserMajorVersion, 1);
  EXPECT_EQ(u.Creation.Table.UserMinorVersion, 0);
  EXPECT_EQ(u.Creation.Table.BlobBlockSize, 512u);
  EXPECT_EQ(u.Creation.Table.LastAutoInc, 0);
  EXPECT_TRUE(u.Creation.Primary.Fields.empty());
}

TEST_F(DdlCreateTest, CreateRefusals) {
  Run("CREATE TABLE T (A INTEGER)");
  int code = 0;
  EXPECT_TRUE(Contains(Error("CREATE TABLE T (B INTEGER)", &code), "already exists"));
  EXPECT_EQ(code, VELDOR_TABLEEXISTS);
  // IF NOT EXISTS keeps the old definition.
  Run("CREATE TABLE IF NOT EXISTS T (B INTEGER)");
  EXPECT_EQ(Layout("T").Creation.Table.Fields[0].Name, "A");

  EXPECT_TRUE(Contains(Error("CREATE TABLE P (A INTEGER, PRIMARY KEY (Nope))", &code),
                       "Invalid field name 'Nope' specified for index ''"));
  EXPECT_EQ(code, VELDOR_SQLPARSE);
  EXPECT_FALSE(Database->TableExists("P", false));
  // An engine refusal of the definition creates no file.
  EXPECT_NE(Error("CREATE TABLE Q (A INTEGER, A VARCHAR(3))"), "");
  EXPECT_FALSE(HasFile("Q.DAT"));
}

TEST_F(DdlCreateTest, CreateIndexOverRecords) {
  Run("CREATE TABLE T (Id INTEGER, Name VARCHAR(10), PRIMARY KEY (Id))");
  Run("INSERT INTO T VALUES (1, 'b'); INSERT INTO T VALUES (2, 'a'); "
      "INSERT INTO T VALUES (3, 'a')");
  Run("CREATE DESC INDEX ByName ON T (Name, Id) COMPRESS DUPBYTE");
  TTableLayout t = Layout("T");
  ASSERT_EQ(t.Creation.Secondary.size(), 1u);
  EXPECT_TRUE(t.Creation.Secondary[0].Descending);
  EXPECT_EQ(t.Creation.Secondary[0].Compression, icDuplicateBytes);
  EXPECT_EQ(t.Creation.Secondary[0].Fields, (std::vector<std::uint16_t>{2, 1}));

  TDataCursor cursor(*Database);
  cursor.Open("T");
  cursor.SetIndexByName("ByName");
  EXPECT_EQ(cursor.RecordCount(), 3);
  cursor.Close();

  // A duplicate name: the engine's error; with IF NOT EXISTS nothing happens.
  int code = 0;
  EXPECT_TRUE(Contains(Error("CREATE INDEX ByName ON T (Id)", &code), "already exists"));
  EXPECT_EQ(code, VELDOR_INDEXEXISTS);
  const FileBytes before = Files();
  Run("CREATE INDEX IF NOT EXISTS ByName ON T (Id)");
  EXPECT_EQ(Files(), before);

  // A unique index over duplicate values is refused and leaves no index behind.
  EXPECT_NE(Error("CREATE UNIQUE INDEX Uniq ON T (Name)", &code), "");
  EXPECT_EQ(code, VELDOR_KEYVIOL);
  EXPECT_EQ(Layout("T").Creation.Secondary.size(), 1u);
  // Unknown columns are named.
  EXPECT_TRUE(Contains(Error("CREATE INDEX X ON T (Nope)"),
                       "Invalid field name 'Nope' specified for index 'X'"));
  // The table was closed after each statement, failed or not: it opens exclusively again.
  TDataCursor exclusive(*Database);
  EXPECT_NO_THROW(exclusive.Open("T", false, true));
}

TEST_F(DdlCreateTest, DdlNeedsTheTableToItself) {
  Run("CREATE TABLE T (Id INTEGER, Name VARCHAR(10))");
  TDataCursor reader(*Database);
  reader.Open("T");
  EXPECT_NE(Error("CREATE INDEX ByName ON T (Name)"), "");
  EXPECT_NE(Error("DROP TABLE T"), "");
  EXPECT_NE(Error("ALTER TABLE T ADD Extra INTEGER"), "");
  reader.Close();
  EXPECT_EQ(Error("CREATE INDEX ByName ON T (Name)"), "");
  EXPECT_EQ(Layout("T").Creation.Table.Fields.size(), 2u);
}

TEST_F(DdlCreateTest, DropTableAndIndex) {
  int code = 0;
  EXPECT_TRUE(Contains(Error("DROP TABLE Missing", &code), "does not exist"));
  EXPECT_EQ(code, VELDOR_OSENOENT);
  EXPECT_EQ(Error("DROP TABLE IF EXISTS Missing"), "");

  Run("CREATE TABLE T (Id INTEGER, Name VARCHAR(10), Note MEMO, PRIMARY KEY (Id))");
  Run("CREATE INDEX ByName ON T (Name)");
  Run("INSERT INTO T VALUES (2, 'b', 'memo'); INSERT INTO T VALUES (1, 'a', NULL)");
  const FileBytes before = Files();
  EXPECT_EQ(Error("DROP INDEX IF EXISTS T.x"), "");
  EXPECT_EQ(Files(), before);
  EXPECT_NE(Error("DROP INDEX T.x", &code), "");
  EXPECT_EQ(code, VELDOR_INVALIDINDEXNAME);

  Run("DROP INDEX T.ByName");
  EXPECT_TRUE(Layout("T").Creation.Secondary.empty());

  // The primary index goes through a restructure; the records stay.
  Run("DROP INDEX T.PRIMARY");
  const TTableLayout t = Layout("T");
  EXPECT_TRUE(t.Creation.Primary.Fields.empty());
  const std::vector<TRow> rows = ReadRows(*Database, "T");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["Name"], "b");  // record order now
  EXPECT_TRUE(HasFile("T.DBK"));
  const FileBytes withoutPrimary = Files();
  EXPECT_EQ(Error("DROP INDEX IF EXISTS T.primary"), "");
  EXPECT_EQ(Files(), withoutPrimary);
  EXPECT_NE(Error("DROP INDEX T.Primary"), "");

  Run("DROP TABLE T");
  for (const char* file : {"T.DAT", "T.IDX", "T.BLB"})
    EXPECT_FALSE(HasFile(file)) << file;
}

TEST_F(DdlCreateTest, TablesOfAnotherFolder) {
  TTempDir other;
  const std::string table = "\"" + other.Path() + "/Ext\"";
  Run("CREATE TABLE " + table + " (A INTEGER, B VARCHAR(3), PRIMARY KEY (A))");
  EXPECT_TRUE(std::filesystem::exists(other.File("Ext.DAT")));
  EXPECT_FALSE(HasFile("Ext.DAT"));
  Run("CREATE INDEX ByB ON " + table + " (B)");
  Run("CREATE TABLE IF NOT EXISTS " + table + " (C INTEGER)");
  Run("DROP TABLE " + table);
  EXPECT_FALSE(std::filesystem::exists(other.File("Ext.DAT")));
  // The folder's database was opened for the statements only.
  EXPECT_EQ(Session->DatabaseCount(), 1u);
}

// The C++ API on its own: a bound statement run by ExecuteDdl against a database.
TEST_F(DdlCreateTest, ExecuteDdlDirectly) {
  TQueryStatement statement(Database->Path());
  statement.Prepare("CREATE TABLE IF NOT EXISTS Direct (A INTEGER, B VARCHAR(5), PRIMARY KEY (B))");
  TExecSchemaSource schema(*Database);
  statement.Bind(schema);
  ExecuteDdl(*Database, statement, *statement.MasterQuery());
  EXPECT_EQ(statement.RowsAffected, 0);
  const std::shared_ptr<const TTableSchema> loaded = schema.LoadTable({"Direct", "", false});
  ASSERT_EQ(loaded->Fields.size(), 2u);
  EXPECT_EQ(loaded->Fields[1].Size, 5);
  EXPECT_TRUE(loaded->HasPrimaryKey);
  EXPECT_TRUE(schema.TableExists({"Direct", "", false}));
  EXPECT_FALSE(schema.TableExists({"Other", "", false}));
  EXPECT_THROW(schema.LoadTable({"Other", "", false}), EVELDOREngineError);
  // A second run with IF NOT EXISTS does nothing.
  ExecuteDdl(*Database, statement, *statement.MasterQuery());
}

}  // namespace
}  // namespace zorvic::engine::ddltest
