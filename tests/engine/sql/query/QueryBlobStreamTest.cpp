// Values stored from files block by block through the table component, read back through SQL
// and through streams, inside and outside SQL transactions.
#include <fstream>
#include <random>

#include "engine/components/BlobStream.h"
#include "engine/components/Table.h"
#include "engine/sql/query/QueryTestSupport.h"

namespace zorvic::engine::testing {
namespace {

class TQueryBlobStreamTest : public TQueryTest {
 protected:
  std::string WriteFile(const std::string& name, std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::mt19937 gen(seed);
    for (char& c : bytes)
      c = static_cast<char>(gen());
    std::ofstream(Dir.File(name), std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
  }
  void OpenAttachments(TVELDORTable& t) {
    t.SetDatabaseName(Dir.Path());
    t.SetTableName("Attachments");
    t.Open();
  }
  // Appends an attachment whose BODY is the file.
  void Append(TVELDORTable& t, const std::string& file, std::int32_t size) {
    t.Append();
    t.FieldByName("RefCount").SetAsInteger(1);
    t.FieldByName("Size").SetAsInteger(size);
    LoadBlobFromFile(t.FieldByName("BODY"), Dir.File(file));
    t.Post();
  }
  std::string SelectBody(std::int32_t id) {
    TVELDORQuery q;
    Use(q, "Select BODY from Attachments where AttachID = " + std::to_string(id));
    q.Open();
    EXPECT_FALSE(q.IsEmpty());
    return q.IsEmpty() ? std::string() : q.GetBlobValue(q.FieldByName("BODY"));
  }
};

TEST_F(TQueryBlobStreamTest, FilesStoredBlockByBlockReadBackThroughSelect) {
  RunSchema();
  const std::string big = WriteFile("big.bin", 3 * 1024 * 1024 + 5, 1);
  const std::string small = WriteFile("small.bin", 1000, 2);
  WriteFile("empty.bin", 0, 3);
  {
    TVELDORTable t;
    OpenAttachments(t);
    Append(t, "big.bin", static_cast<std::int32_t>(big.size()));
    Append(t, "small.bin", 1000);
    Append(t, "empty.bin", 0);
  }
  EXPECT_EQ(SelectBody(1), big);
  EXPECT_EQ(SelectBody(2), small);
  EXPECT_EQ(Column("Select BODY from Attachments where AttachID = 3"),
            std::vector<std::string>{"NULL"});
  EXPECT_EQ(Column("Select AttachID from Attachments where BODY is not null"),
            (std::vector<std::string>{"1", "2"}));

  // Read back through a stream in odd pieces: the long value comes from its chain.
  TVELDORTable t;
  OpenAttachments(t);
  t.First();  // the big one, AttachID 1
  ASSERT_EQ(t.FieldByName("AttachID").AsInteger(), 1);
  TVELDORBlobStream s(t.FieldByName("BODY"), TBlobStreamMode::bmRead);
  EXPECT_EQ(s.Size(), static_cast<std::int64_t>(big.size()));
  std::string back;
  std::string piece(99991, '\0');
  for (std::int64_t got; (got = s.Read(piece.data(), 99991)) > 0;)
    back.append(piece, 0, static_cast<std::size_t>(got));
  EXPECT_EQ(back, big);
  s.Seek(-10, TSeekOrigin::soEnd);
  EXPECT_EQ(s.Read(piece.data(), 100), 10);
  EXPECT_EQ(piece.substr(0, 10), big.substr(big.size() - 10));
}

TEST_F(TQueryBlobStreamTest, RollbackDropsAndCancelForgetsAStoredFile) {
  RunSchema();
  WriteFile("big.bin", 2 * 1024 * 1024, 4);
  TVELDORTable t;
  OpenAttachments(t);
  Run("START TRANSACTION");
  Append(t, "big.bin", 2 * 1024 * 1024);
  Run("ROLLBACK");
  t.Refresh();
  EXPECT_EQ(Column("Select Count(*) from Attachments"), std::vector<std::string>{"0"});

  t.Append();
  LoadBlobFromFile(t.FieldByName("BODY"), Dir.File("big.bin"));
  t.Cancel();
  EXPECT_EQ(Column("Select Count(*) from Attachments"), std::vector<std::string>{"0"});

  // Outside insert or edit, and for a missing file, nothing is stored.
  EXPECT_EQ(ErrorOf([&] { LoadBlobFromFile(t.FieldByName("BODY"), Dir.File("big.bin")); }),
            "Table is not in edit or insert mode.");
  t.Append();
  EXPECT_EQ(EngineCodeOf([&] { LoadBlobFromFile(t.FieldByName("BODY"), Dir.File("no.bin")); }),
            VELDOR_OSENOENT);
  t.Cancel();

  Run("START TRANSACTION");
  Append(t, "big.bin", 2 * 1024 * 1024);
  const std::int32_t id = t.FieldByName("AttachID").AsInteger();
  Run("COMMIT");
  EXPECT_EQ(SelectBody(id).size(), 2u * 1024 * 1024);
}

}  // namespace
}  // namespace zorvic::engine::testing
