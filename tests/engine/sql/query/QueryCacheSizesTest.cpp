// SQL on a table whose component keeps small caches (as the server keeps its mailboxes): the
// statements use the same small caches and see exactly what they would with large ones.
#include "engine/sql/query/QueryTestSupport.h"
#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/sessions/DataTable.h"

namespace zorvic::engine::testing {
namespace {

using TQueryCacheSizesTest = TQueryTest;

constexpr const char* kMessages =
    "Create Table IF NOT EXISTS Messages(MessageID AUTOINC,MessageDate TIMESTAMP,Size "
    "INTEGER,Priority INTEGER,Attachments MEMO,From VARCHAR(100),To VARCHAR(250),Body "
    "MEMO,Primary Key (MessageID));";

TTableCacheSizes Tiny() {
  TTableCacheSizes s;
  s.RecordCacheBytes = 0;
  s.RecordCacheCount = 1;
  s.IndexCacheBytes = 0;
  s.BlobCacheBytes = 0;
  s.BlobCacheCount = 1;
  return s;
}

TEST_F(TQueryCacheSizesTest, StatementsThroughSmallCachesSeeEveryChange) {
  Run(kMessages);
  TVELDORTable table;
  table.SetCacheSizes(Tiny());
  table.SetDatabaseName(Dir.Path());
  table.SetTableName("Messages");
  table.Open();

  TVELDORQuery insert;
  Use(insert,
      "Insert into Messages (Size, Priority, From, To, Body) values (:s, 1, 'alice', "
      "'bob', :b)");
  for (int i = 1; i <= 120; ++i) {
    insert.ParamByName("s").SetAsInteger(i);
    insert.ParamByName("b").SetAsString(std::string(200 + i, static_cast<char>('a' + i % 26)));
    insert.RunSQL();
  }
  // The statements' cursors share the table's files, and with them its small caches.
  EXPECT_EQ(table.Cursor().Table().Data().Settings().CacheCount, 1);
  EXPECT_LE(table.Cursor().Table().Index().CachedPages(0), 1);

  EXPECT_EQ(Column("Select Count(*) from Messages"), std::vector<std::string>{"120"});
  EXPECT_EQ(Column("Select Sum(Size) from Messages where Priority = 1"),
            std::vector<std::string>{"7260"});
  EXPECT_EQ(Run("Delete from Messages where Size > 100"), 20);
  EXPECT_EQ(Run("Update Messages set To = 'carol' where Size <= 10"), 10);
  EXPECT_EQ(Column("Select Count(*) from Messages where To = 'carol'"),
            std::vector<std::string>{"10"});
  // Memos read back whole, in order, through a one-block BLOB cache.
  TVELDORQuery read;
  Use(read, "Select Size, Body, MessageID from Messages order by MessageID desc");
  read.Open();
  int expected = 100;
  for (read.First(); !read.Eof(); read.Next(), --expected) {
    ASSERT_EQ(read.Field(0).AsInteger(), expected);
    EXPECT_EQ(read.Field(1).AsString(),
              std::string(200 + expected, static_cast<char>('a' + expected % 26)));
  }
  EXPECT_EQ(expected, 0);

  // The table component sees the statements' work as well.
  table.Refresh();
  int rows = 0;
  for (table.First(); !table.Eof(); table.Next())
    ++rows;
  EXPECT_EQ(rows, 100);
}

}  // namespace
}  // namespace zorvic::engine::testing
