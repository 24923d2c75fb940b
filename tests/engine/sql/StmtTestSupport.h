// Shared helpers of the statement parser tests: the server's schema script, a checker whose
// overlay holds the server's tables, and one-call parse and check helpers.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "engine/sql/QueryStatement.h"
#include "engine/sql/SchemaSource.h"
#include "engine/sql/ScriptChecker.h"

namespace zorvic::engine::test {

// The server's schema script: seven statements, each ended by ";".
inline constexpr std::string_view kSchemaScript =
    "Create Table IF NOT EXISTS Profiles(ProfileName VARCHAR(32),Privileges Integer NOT "
    "NULL,RestrictedCommunicationAccess Boolean DEFAULT FALSE,CanCommunicateList "
    "MEMO,AllowAttachments Boolean DEFAULT TRUE,RestrictAttachSize Boolean DEFAULT "
    "FALSE,MaxAttachSize Integer DEFAULT 1024,ForwardMsgs Boolean DEFAULT "
    "FALSE,ForwardingConditionsApply Boolean DEFAULT FALSE,ForwardNormal "
    "Boolean,ForwardNormal_OnlyDND Boolean,ForwardHigh Boolean,ForwardHigh_OnlyDND "
    "Boolean,ForwardUrgent Boolean,ForwardUrgent_OnlyDND Boolean,ClientDisablePreferences "
    "Boolean,ClientDisableExit Boolean,ClientAutoLogoutTime Integer,ClientHIPAASettings "
    "Integer,Primary Key (ProfileName));"
    "Create Table IF NOT EXISTS Groups(GroupName VARCHAR(32),ProfileName VARCHAR(32),Primary Key "
    "(GroupName));"
    "Create Table IF NOT EXISTS Users(UserName VARCHAR(32),Password VARCHAR(32) NOT "
    "NULL,GroupName VARCHAR(32),ProfileName VARCHAR(32),HasAdminPower Boolean NOT NULL DEFAULT "
    "FALSE,AccountDisabled Boolean DEFAULT TRUE,LastLogin DATE,PrimaryEmail "
    "VARCHAR(32),SecondaryEmail VARCHAR(32),PhoneNumber VARCHAR(32),Question1 "
    "VARCHAR(32),Answer1 VARCHAR(32),Question2 VARCHAR(32),Answer2 VARCHAR(32),Primary Key "
    "(UserName));"
    "Create Table IF NOT EXISTS Attachments(AttachID AUTOINC,RefCount INTEGER,BODY BLOB,Size "
    "Integer,Primary Key (AttachID));"
    "Create Table IF NOT EXISTS Requests(RequestID AUTOINC,From VARCHAR(32),RequestType "
    "VARCHAR(32),RequestDate DATE,Primary Key (RequestID));"
    "Create Table IF NOT EXISTS Log(EntryNo AUTOINC,EntryText VARCHAR(250),EntryDate "
    "DATE,Primary Key (EntryNo));"
    "Create NOCASE Index IF NOT EXISTS \"UserGroupNames\" on Users(GroupName) COMPRESS FULL;";

// A user's mailbox table.
inline constexpr std::string_view kMessagesTable =
    "Create Table IF NOT EXISTS Messages(MessageID AUTOINC,MessageDate TIMESTAMP,Size "
    "INTEGER,Priority INTEGER,Attachments MEMO,From VARCHAR(100),To VARCHAR(250),Body "
    "MEMO,Primary Key (MessageID));";

inline constexpr std::string_view kSqlErrorPrefix = "VELDOR Engine Error # 11949 SQL error - ";

// A checker over no files whose overlay holds the shared tables and Messages (database "").
class TServerTables {
 public:
  TServerTables() : Checker_(None_, "") {
    Require(Checker_.Check(kSchemaScript));
    Require(Checker_.Check(kMessagesTable));
  }

  // "" when the text parses and binds, else the full error message.
  std::string Check(std::string_view text) { return Checker_.Check(text); }
  std::string Explain(std::string_view text, std::string* error = nullptr) {
    std::string explanation;
    std::string message = Checker_.Check(text, &explanation);
    if (error != nullptr) *error = message;
    return explanation;
  }
  TSchemaSource& Schema() { return Checker_.Schema(); }

 private:
  static void Require(const std::string& error) {
    if (!error.empty()) throw std::runtime_error("schema script failed: " + error);
  }

  TEmptySchemaSource None_{""};
  TScriptChecker Checker_;
};

// Parses the first statement of the text without binding.
inline std::unique_ptr<TQueryStatement> ParseOnly(std::string_view text) {
  auto statement = std::make_unique<TQueryStatement>();
  statement->Prepare(text);
  return statement;
}

// The full message of the error the parse (without binding) raises, or "".
inline std::string ParseError(std::string_view text) {
  try {
    TQueryStatement statement;
    statement.Prepare(text);
    while (!statement.AtEnd())
      statement.ParseNext();
    return {};
  } catch (const std::exception& e) {
    return e.what();
  }
}

}  // namespace zorvic::engine::test
