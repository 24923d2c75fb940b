// The DDL grammar: CREATE TABLE with its column options, primary key and table options,
// CREATE INDEX, ALTER TABLE actions and the DROP statements.
#include <gtest/gtest.h>

#include "StmtTestSupport.h"

namespace zorvic::engine::test {
namespace {

TEST(DdlParser, CreateTableColumnsAndOptions) {
  auto statement = ParseOnly(
      "Create Table IF NOT EXISTS archive\\Items(ID AUTOINC, [Name] VARCHAR(40) DESCRIPTION "
      "'the name' NOT NULL DEFAULT 'none' MIN 'a' MAX 'z' CHARCASE UPPER, Price MONEY, Qty "
      "SMALLINT DEFAULT 0, Amount DECIMAL(10,2), Code CHAR(3) CHARCASE LOWER, Raw BYTES(16), "
      "Notes MEMO, Pic GRAPHIC, Data BLOB(1,7), Seen TIMESTAMP, At TIME, Flag BOOL, W WORD, "
      "Big LARGEINT, Ratio FLOAT(8,2), \"From\" INT, "
      "Constraint pk Unique Desc NoCase Primary Key (ID, \"Name\") Compress TrailByte "
      "Text Index (Name, Notes) Stop Words 'a an the' Space Chars '-' Include Chars '@' "
      "Description 'items' Blob Block Size 1024 Language 'English (USA)' "
      "Encrypted With 'secret' User Minor Version 3 User Major Version 2 Last Autoinc 41);");
  const TDataQuery& block = *statement->MasterQuery();
  EXPECT_TRUE(block.IfNotExists);
  EXPECT_EQ(block.Target.Folder, "archive\\");
  EXPECT_EQ(block.Target.Name, "Items");
  ASSERT_EQ(block.CreateFields.size(), 17u);
  const TCreateField& id = block.CreateFields[0];
  EXPECT_EQ(id.DataType, dtInteger);
  EXPECT_EQ(id.SubType, stAutoInc);
  const TCreateField& name = block.CreateFields[1];
  EXPECT_EQ(name.Name, "Name");
  EXPECT_EQ(name.DataType, dtString);
  EXPECT_EQ(name.Size, 40);
  EXPECT_EQ(name.Description, "the name");
  EXPECT_TRUE(name.NotNull);
  EXPECT_EQ(name.DefaultText, "none");
  EXPECT_EQ(name.MinText, "a");
  EXPECT_EQ(name.MaxText, "z");
  EXPECT_EQ(name.CharCase, TCharCase::Upper);
  EXPECT_EQ(block.CreateFields[2].SubType, stMoney);
  EXPECT_EQ(block.CreateFields[3].DefaultText, "0");
  EXPECT_EQ(block.CreateFields[4].DataType, dtBCD);
  EXPECT_EQ(block.CreateFields[4].Scale, 2);
  EXPECT_EQ(block.CreateFields[5].CharCase, TCharCase::Lower);
  EXPECT_EQ(block.CreateFields[6].DataType, dtBytes);
  EXPECT_EQ(block.CreateFields[6].Size, 16);
  EXPECT_EQ(block.CreateFields[7].SubType, stMemo);
  EXPECT_EQ(block.CreateFields[8].SubType, stGraphic);
  EXPECT_EQ(block.CreateFields[9].SubType, stTypedBinary);
  EXPECT_EQ(block.CreateFields[16].Name, "From");

  ASSERT_EQ(block.CreateIndexes.size(), 1u);
  const TCreateIndex& key = block.CreateIndexes[0];
  EXPECT_TRUE(key.PrimaryKey);
  EXPECT_EQ(key.ConstraintName, "pk");
  EXPECT_TRUE(key.Unique);
  EXPECT_TRUE(key.Descending);
  EXPECT_TRUE(key.NoCase);
  EXPECT_EQ(key.Compression, TIndexCompression::TrailingBytes);
  ASSERT_EQ(key.ColumnNames.size(), 2u);
  EXPECT_EQ(key.ColumnNames[1], "Name");

  const TTableOptions& options = block.Options;
  EXPECT_TRUE(options.TextIndexGiven);
  EXPECT_EQ(options.TextIndexColumnNames.size(), 2u);
  EXPECT_EQ(options.StopWords, "a an the");
  EXPECT_EQ(options.SpaceChars, "-");
  EXPECT_EQ(options.IncludeChars, "@");
  EXPECT_EQ(options.Description, "items");
  EXPECT_EQ(options.BlobBlockSize, 1024);
  EXPECT_EQ(block.LanguageId, 0x0409);
  EXPECT_EQ(block.Password, "secret");
  EXPECT_EQ(options.UserMajorVersion, 2);
  EXPECT_EQ(options.UserMinorVersion, 3);
  EXPECT_TRUE(options.LastAutoIncGiven);
  EXPECT_EQ(options.LastAutoInc, 41);
}

TEST(DdlParser, ServerTablesParse) {
  // A column may be called From or To: a column name is read as an expression, and these
  // words are no functions.
  auto requests = ParseOnly(
      "Create Table IF NOT EXISTS Requests(RequestID AUTOINC,From VARCHAR(32),RequestType "
      "VARCHAR(32),RequestDate DATE,Primary Key (RequestID));");
  const TDataQuery& block = *requests->MasterQuery();
  ASSERT_EQ(block.CreateFields.size(), 4u);
  EXPECT_EQ(block.CreateFields[1].Name, "From");
  EXPECT_EQ(block.CreateIndexes[0].ColumnNames[0], "RequestID");

  auto messages = ParseOnly(kMessagesTable);
  EXPECT_EQ(messages->MasterQuery()->CreateFields[6].Name, "To");
  EXPECT_EQ(messages->MasterQuery()->CreateFields[6].Size, 250);

  auto index = ParseOnly(
      "Create NOCASE Index IF NOT EXISTS \"UserGroupNames\" on Users(GroupName) COMPRESS FULL;");
  const TDataQuery& idx = *index->MasterQuery();
  EXPECT_EQ(idx.Kind, TStatementKind::CreateIndex);
  EXPECT_TRUE(idx.IfNotExists);
  EXPECT_EQ(idx.Target.Name, "Users");
  ASSERT_EQ(idx.CreateIndexes.size(), 1u);
  EXPECT_EQ(idx.CreateIndexes[0].Name, "UserGroupNames");
  EXPECT_TRUE(idx.CreateIndexes[0].NoCase);
  EXPECT_FALSE(idx.CreateIndexes[0].Unique);
  EXPECT_EQ(idx.CreateIndexes[0].Compression, TIndexCompression::Full);
}

TEST(DdlParser, WordsThatEndTheColumnListOrNeedBrackets) {
  // Function and aggregate names cannot be column names without brackets.
  for (const char* word : {"Min", "Max", "Count", "Sum", "Avg", "Upper", "Lower"}) {
    EXPECT_NE(ParseError(std::string("Create Table t(") + word + " INTEGER)"), "") << word;
    EXPECT_EQ(ParseError(std::string("Create Table t([") + word + "] INTEGER)"), "") << word;
  }
  // Text, User and Description end the column list.
  EXPECT_EQ(ParseError("Create Table t(a INTEGER, Text INTEGER)"),
            std::string(kSqlErrorPrefix) +
                "INDEX keyword expected after TEXT keyword, instead found 'INTEGER'");
  EXPECT_EQ(ParseError("Create Table t(a INTEGER, User INTEGER)"),
            std::string(kSqlErrorPrefix) +
                "MAJOR or MINOR keyword expected after USER keyword, instead found 'INTEGER'");
  // DESCRIPTION takes the next token as the table's description.
  auto description = ParseOnly("Create Table t(a INTEGER, Description INTEGER)");
  EXPECT_EQ(description->MasterQuery()->CreateFields.size(), 1u);
  EXPECT_EQ(description->MasterQuery()->Options.Description, "INTEGER");
  EXPECT_EQ(ParseError("Create Table t([Text] INTEGER, [User] INTEGER, [Description] INTEGER)"),
            "");
}

TEST(DdlParser, OptionValuesAreOneToken) {
  auto statement = ParseOnly(
      "Create Table t(a VARCHAR(5) DEFAULT 'abc', b BOOLEAN DEFAULT TRUE, c INTEGER DEFAULT "
      "1024 MIN 0 MAX 2048)");
  const auto& fields = statement->MasterQuery()->CreateFields;
  EXPECT_EQ(fields[0].DefaultText, "abc");
  EXPECT_EQ(fields[1].DefaultText, "TRUE");
  EXPECT_EQ(fields[2].DefaultText, "1024");
  EXPECT_EQ(fields[2].MinText, "0");
  EXPECT_EQ(fields[2].MaxText, "2048");
  // DEFAULT -1 keeps only "-" and fails at the "1".
  EXPECT_EQ(ParseError("Create Table t(a INTEGER DEFAULT -1)"),
            std::string(kSqlErrorPrefix) +
                "Right parentheses expected after CREATE TABLE statement, instead found '1'");
}

TEST(DdlParser, LastAutoIncTakesAnIntegerConstant) {
  auto value = [](const char* text) {
    auto statement = ParseOnly(std::string("Create Table t(a INTEGER LAST AUTOINC ") + text + ")");
    return statement->MasterQuery()->Options.LastAutoInc;
  };
  EXPECT_EQ(value("17"), 17);
  EXPECT_EQ(value("+5"), 5);
  EXPECT_EQ(value("0"), 0);
  // Any expression other than a constant gives 0.
  EXPECT_EQ(value("1 + 2"), 0);
  EXPECT_EQ(value("'x'"), 0);
  EXPECT_NE(ParseError("Create Table t(a INTEGER LAST AUTOINC 2147483648)"), "");
}

TEST(DdlParser, CreateIndexVariants) {
  auto statement =
      ParseOnly("Create Unique Descending NoCase Index i on Memory t(a, [b c]) Compress DupByte");
  const TDataQuery& block = *statement->MasterQuery();
  EXPECT_TRUE(block.Target.InMemory);
  const TCreateIndex& index = block.CreateIndexes[0];
  EXPECT_TRUE(index.Unique);
  EXPECT_TRUE(index.Descending);
  EXPECT_TRUE(index.NoCase);
  EXPECT_EQ(index.Compression, TIndexCompression::DuplicateBytes);
  ASSERT_EQ(index.ColumnNames.size(), 2u);
  EXPECT_EQ(index.ColumnNames[1], "b c");
  EXPECT_EQ(ParseOnly("Create ASC Index i on t(a) compress none")
                ->MasterQuery()
                ->CreateIndexes[0]
                .Compression,
            TIndexCompression::None);
}

TEST(DdlParser, AlterTableActions) {
  auto statement = ParseOnly(
      "Alter Table Users ADD COLUMN Age SMALLINT AT 3 DESCRIPTION 'years' NOT NULL DEFAULT 0, "
      "REDEFINE Password VARCHAR(64), REDEFINE Answer1 Reply VARCHAR(100) CHARCASE UPPER, "
      "REDEFINE Answer2 DEFAULT 'x', DROP COLUMN PhoneNumber, DROP Question2, "
      "REDEFINE Constraint k Primary Key (UserName, GroupName) "
      "Description 'accounts' Language 'ANSI Standard' User Major Version 4 NoBackup;");
  const TDataQuery& block = *statement->MasterQuery();
  ASSERT_EQ(block.CreateFields.size(), 6u);
  const TCreateField& add = block.CreateFields[0];
  EXPECT_TRUE(add.Add);
  EXPECT_EQ(add.Name, "Age");
  EXPECT_TRUE(add.PositionGiven);
  EXPECT_EQ(add.Position, 3);
  EXPECT_EQ(add.Description, "years");
  EXPECT_TRUE(add.NotNullGiven);
  EXPECT_TRUE(add.DefaultGiven);
  const TCreateField& retype = block.CreateFields[1];
  EXPECT_TRUE(retype.Redefine);
  EXPECT_TRUE(retype.TypeGiven);
  EXPECT_EQ(retype.Size, 64);
  EXPECT_TRUE(retype.NewName.empty());
  const TCreateField& rename = block.CreateFields[2];
  EXPECT_EQ(rename.Name, "Answer1");
  EXPECT_EQ(rename.NewName, "Reply");
  EXPECT_EQ(rename.Size, 100);
  EXPECT_TRUE(rename.CharCaseGiven);
  const TCreateField& option = block.CreateFields[3];
  EXPECT_FALSE(option.TypeGiven);
  EXPECT_EQ(option.DefaultText, "x");
  EXPECT_TRUE(block.CreateFields[4].Drop);
  EXPECT_EQ(block.CreateFields[5].Name, "Question2");
  ASSERT_EQ(block.CreateIndexes.size(), 1u);
  EXPECT_TRUE(block.CreateIndexes[0].Redefine);
  EXPECT_EQ(block.CreateIndexes[0].ColumnNames.size(), 2u);
  EXPECT_EQ(block.Options.Description, "accounts");
  EXPECT_TRUE(block.LanguageGiven);
  EXPECT_EQ(block.LanguageId, 0);
  EXPECT_EQ(block.Options.UserMajorVersion, 4);
  EXPECT_TRUE(block.Options.NoBackup);

  auto drop = ParseOnly("Alter Table t DROP Constraint k Primary Key, ADD Primary Key (a)");
  ASSERT_EQ(drop->MasterQuery()->CreateIndexes.size(), 2u);
  EXPECT_TRUE(drop->MasterQuery()->CreateIndexes[0].Drop);
  EXPECT_TRUE(drop->MasterQuery()->CreateIndexes[1].Add);
  // NOBACKUP belongs to ALTER TABLE only.
  EXPECT_NE(ParseError("Create Table t(a INTEGER NOBACKUP)"), "");
}

TEST(DdlParser, DropStatements) {
  auto table = ParseOnly("Drop Table IF EXISTS Memory 'Temp.DAT'");
  EXPECT_TRUE(table->MasterQuery()->IfExists);
  EXPECT_TRUE(table->MasterQuery()->Target.InMemory);
  EXPECT_EQ(table->MasterQuery()->Target.Name, "Temp");

  auto index = ParseOnly("Drop Index IF EXISTS Memory Users.UserGroupNames");
  const TDataQuery& block = *index->MasterQuery();
  EXPECT_TRUE(block.IfExists);
  EXPECT_TRUE(block.Target.InMemory);
  EXPECT_EQ(block.Target.Name, "Users");
  EXPECT_EQ(block.IndexName, "UserGroupNames");
  auto primary = ParseOnly("Drop Index 'data/Users.dat'.Primary");
  EXPECT_EQ(primary->MasterQuery()->Target.Folder, "data/");
  EXPECT_EQ(primary->MasterQuery()->Target.Name, "Users");
  EXPECT_EQ(primary->MasterQuery()->IndexName, "Primary");
}

}  // namespace
}  // namespace zorvic::engine::test
