// ALTER TABLE and the restructure behind it: columns added, dropped and redefined with their
// data, indexes following their columns, backups, LAST AUTOINC and failures that leave the
// old table whole.
#include <gtest/gtest.h>

#include "engine/sql/exec/DdlDefinitions.h"
#include "engine/sql/exec/DdlTestSupport.h"
#include "engine/sql/exec/Restructure.h"

namespace zorvic::engine::ddltest {
namespace {

class DdlAlterTest : public TSqlFixture {
 protected:
  void SetUp() override {
    TSqlFixture::SetUp();
    Run("CREATE TABLE T (Id AUTOINC, Name VARCHAR(10), Qty INTEGER, Note MEMO, "
        "PRIMARY KEY (Id))");
    Run("CREATE INDEX ByQty ON T (Qty)");
    Run("CREATE INDEX ByName ON T (Name)");
    Run("INSERT INTO T (Name, Qty, Note) VALUES ('one', 1, 'first memo')");
    Run("INSERT INTO T (Name, Qty, Note) VALUES ('two', 22, NULL)");
    Run("INSERT INTO T (Name, Qty, Note) VALUES ('77', NULL, 'third')");
  }
  TTableLayout Layout() {
    TDataTable& t = Database->OpenTable("T", false, false, false);
    TTableLayout layout = TableDefinitionOf(t);
    Database->CloseTable(t);
    return layout;
  }
  std::vector<std::string> FieldNames() {
    std::vector<std::string> names;
    for (const TFieldDefinition& f : Layout().Creation.Table.Fields)
      names.push_back(f.Name);
    return names;
  }
  std::vector<std::string> IndexNames() {
    std::vector<std::string> names;
    for (const TIndexDefinition& i : Layout().Creation.Secondary)
      names.push_back(i.Name);
    return names;
  }
  std::string MemoOf(std::int32_t id, const std::string& field) {
    TDataCursor cursor(*Database);
    cursor.Open("T");
    std::vector<std::uint8_t> record(cursor.RecordSize());
    std::string text = "<missing>";
    cursor.First();
    while (cursor.GetNext(record.data()) == VELDOR_NONE) {
      if (RecRowId(record.data()) != id) continue;
      const TFieldDesc* f = cursor.FindField(field);
      if (cursor.IsFieldNull(record.data(), f->FieldNo)) {
        text = "<NULL>";
        break;
      }
      cursor.OpenBlob(record.data(), f->FieldNo, TBlobOpenMode::bmRead);
      std::int64_t size = 0;
      cursor.BlobSize(record.data(), f->FieldNo, &size);
      text.assign(static_cast<std::size_t>(size), '\0');
      std::int64_t read = 0;
      cursor.ReadBlob(record.data(), f->FieldNo, 0, text.data(), size, &read);
      cursor.FreeBlob(record.data(), f->FieldNo);
      break;
    }
    cursor.Close();
    return text;
  }
};

TEST_F(DdlAlterTest, AddDropAndRedefineKeepTheData) {
  Run("ALTER TABLE T ADD Extra INTEGER DEFAULT 5, ADD First VARCHAR(4) AT 1, DROP Qty, "
      "REDEFINE Name Label VARCHAR(3)");
  EXPECT_EQ(FieldNames(), (std::vector<std::string>{"First", "Id", "Label", "Note", "Extra"}));
  const std::vector<TRow> rows = ReadRows(*Database, "T");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0]["Id"], "1");
  EXPECT_EQ(rows[0]["First"], "<NULL>");
  EXPECT_EQ(rows[0]["Label"], "one");
  EXPECT_EQ(rows[1]["Label"], "two");
  EXPECT_EQ(rows[2]["Id"], "3");
  // New columns start from their DEFAULT.
  EXPECT_EQ(rows[0]["Extra"], "5");
  // Memo values are copied by their bytes.
  EXPECT_EQ(MemoOf(1, "Note"), "first memo");
  EXPECT_EQ(MemoOf(2, "Note"), "<NULL>");
  EXPECT_EQ(MemoOf(3, "Note"), "third");
  // The index on the dropped column went with it; the other follows its column.
  EXPECT_EQ(IndexNames(), std::vector<std::string>{"ByName"});
  EXPECT_EQ(Layout().Creation.Secondary[0].Fields, std::vector<std::uint16_t>{3});
  EXPECT_EQ(Layout().Creation.Primary.Fields, std::vector<std::uint16_t>{2});
  // Auto-increment values stay and go on from where they were.
  Run("INSERT INTO T (Label) VALUES ('new')");
  EXPECT_EQ(ReadRows(*Database, "T").back()["Id"], "4");
}

TEST_F(DdlAlterTest, RedefinedTypesConvertAsCast) {
  Run("ALTER TABLE T REDEFINE Name INTEGER, REDEFINE Qty VARCHAR(5)");
  const std::vector<TRow> rows = ReadRows(*Database, "T");
  ASSERT_EQ(rows.size(), 3u);
  // 'one' is no number: the zero value of the new type, as CAST gives it.
  EXPECT_EQ(rows[0]["Name"], "0");
  EXPECT_EQ(rows[2]["Name"], "77");
  EXPECT_EQ(rows[0]["Qty"], "1");
  EXPECT_EQ(rows[1]["Qty"], "22");
  EXPECT_EQ(rows[2]["Qty"], "<NULL>");
}

TEST_F(DdlAlterTest, BackupsAndNoBackup) {
  const FileBytes before = Files();
  Run("ALTER TABLE T ADD Extra INTEGER");
  EXPECT_EQ(Files()["T.DBK"], before.at("T.DAT"));
  EXPECT_EQ(Files()["T.IBK"], before.at("T.IDX"));
  EXPECT_EQ(Files()["T.BBK"], before.at("T.BLB"));
  // A second restructure replaces the backups; NOBACKUP leaves none.
  Run("ALTER TABLE T DROP Extra NOBACKUP");
  for (const char* file : {"T.DBK", "T.IBK", "T.BBK"})
    EXPECT_FALSE(HasFile(file)) << file;
  // No file of the new table's working name is left.
  for (const auto& [name, bytes] : Files())
    EXPECT_EQ(name.rfind("T.", 0), 0u) << name;
}

TEST_F(DdlAlterTest, PrimaryKeyActionsAndLastAutoInc) {
  EXPECT_TRUE(Contains(Error("ALTER TABLE T ADD PRIMARY KEY (Name)"),
                       "Cannot REDEFINE the primary key using the ADD keyword"));
  Run("ALTER TABLE T REDEFINE PRIMARY KEY (Name)");
  EXPECT_EQ(Layout().Creation.Primary.Fields, std::vector<std::uint16_t>{2});
  EXPECT_EQ(ReadRows(*Database, "T")[0]["Name"], "77");  // primary order now
  Run("ALTER TABLE T DROP PRIMARY KEY");
  EXPECT_TRUE(Layout().Creation.Primary.Fields.empty());

  Run("ALTER TABLE T ADD Extra INTEGER LAST AUTOINC 100");
  EXPECT_EQ(Layout().Creation.Table.LastAutoInc, 100);
  Run("INSERT INTO T (Name) VALUES ('next')");
  EXPECT_EQ(ReadRows(*Database, "T").back()["Id"], "101");
  // A LAST AUTOINC below the values in use is raised to the largest of them.
  Run("ALTER TABLE T ADD Extra2 INTEGER LAST AUTOINC 2");
  EXPECT_EQ(Layout().Creation.Table.LastAutoInc, 101);
}

TEST_F(DdlAlterTest, TableOptionsAreKeptOrReplaced) {
  // The first DESCRIPTION is the column's, the second the table's.
  Run("ALTER TABLE T ADD Extra INTEGER DESCRIPTION 'column' DESCRIPTION 'kept' "
      "USER MAJOR VERSION 4");
  TTableDefinition def = Layout().Creation.Table;
  EXPECT_EQ(def.Fields.back().Description, "column");
  EXPECT_EQ(def.Description, "kept");
  EXPECT_EQ(def.UserMajorVersion, 4);
  Run("ALTER TABLE T DROP Extra");
  def = Layout().Creation.Table;
  EXPECT_EQ(def.Description, "kept");
  EXPECT_EQ(def.UserMajorVersion, 4);
  EXPECT_EQ(def.UserMinorVersion, 0);
}

TEST_F(DdlAlterTest, FailuresLeaveTheOldTableWhole) {
  const FileBytes before = Files();
  EXPECT_TRUE(Contains(Error("ALTER TABLE T DROP Nope"), "Column Nope not found"));
  EXPECT_TRUE(Contains(Error("ALTER TABLE T ADD X INTEGER AT 0"),
                       "AT column position must be greater than or equal to 1"));
  EXPECT_TRUE(Contains(Error("ALTER TABLE T REDEFINE PRIMARY KEY (Nope)"),
                       "Invalid field name 'Nope' specified for index ''"));
  EXPECT_EQ(Files(), before);
  // Refused by the engine while the records are copied: duplicate keys of a new primary key.
  Run("INSERT INTO T (Name, Qty) VALUES ('dup', 1)");
  const FileBytes withDuplicate = Files();
  int code = 0;
  EXPECT_NE(Error("ALTER TABLE T REDEFINE PRIMARY KEY (Qty)", &code), "");
  EXPECT_EQ(code, VELDOR_KEYVIOL);
  EXPECT_EQ(Files(), withDuplicate);
  // Refused by the engine at creation: a BLOB column in an index.
  EXPECT_NE(Error("ALTER TABLE T REDEFINE Qty MEMO"), "");
  EXPECT_EQ(Files(), withDuplicate);
  EXPECT_EQ(ReadRows(*Database, "T").size(), 4u);
}

TEST_F(DdlAlterTest, EncryptedTablesStayEncrypted) {
  Run("CREATE TABLE Secret (Id INTEGER, Name VARCHAR(10) ENCRYPTED WITH 'pw')");
  Run("INSERT INTO Secret VALUES (1, 'hidden')");
  Run("ALTER TABLE Secret ADD Extra INTEGER");
  TDataTable& t = Database->OpenTable("Secret", false, false, false);
  const TTableDefinition def = TableDefinitionOf(t).Creation.Table;
  Database->CloseTable(t);
  EXPECT_TRUE(def.Encrypted);
  EXPECT_EQ(def.Password, "pw");
  EXPECT_EQ(ReadRows(*Database, "Secret")[0]["Name"], "hidden");
  EXPECT_EQ(Files()["Secret.DAT"].find("hidden"), std::string::npos);
  // An empty password takes the encryption away.
  Run("ALTER TABLE Secret DROP Extra ENCRYPTED WITH ''");
  EXPECT_NE(Files()["Secret.DAT"].find("hidden"), std::string::npos);
}

TEST_F(DdlAlterTest, NoRestructureInsideATransaction) {
  Run("START TRANSACTION");
  const FileBytes before = Files();
  EXPECT_TRUE(
      Contains(Error("ALTER TABLE T ADD Extra INTEGER"),
               "ALTER TABLE cannot restructure a table while a transaction is in progress"));
  EXPECT_TRUE(Contains(Error("DROP INDEX T.Primary"), "DROP INDEX cannot restructure a table"));
  EXPECT_TRUE(Database->InTransaction());
  Run("COMMIT");
  EXPECT_EQ(Files(), before);
  EXPECT_EQ(Error("ALTER TABLE T ADD Extra INTEGER"), "");
}

// The restructure on its own, through the C++ API: a new definition with a reordered field
// list copies by the source field numbers.
TEST_F(DdlAlterTest, RestructureDirectly) {
  TDataCursor cursor(*Database);
  cursor.Open("T", false, true);
  TTableLayout layout = TableDefinitionOf(cursor.Table());
  std::swap(layout.Creation.Table.Fields[1], layout.Creation.Table.Fields[2]);
  std::swap(layout.SourceFields[1], layout.SourceFields[2]);
  layout.Creation.Secondary.clear();
  RestructureTable(cursor, layout, false);
  EXPECT_FALSE(cursor.IsOpen());
  const std::vector<TRow> rows = ReadRows(*Database, "T");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1]["Qty"], "22");
  EXPECT_EQ(rows[1]["Name"], "two");
  EXPECT_TRUE(IndexNames().empty());
  EXPECT_FALSE(HasFile("T.DBK"));
}

}  // namespace
}  // namespace zorvic::engine::ddltest
