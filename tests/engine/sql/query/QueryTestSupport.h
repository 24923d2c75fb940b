// Helpers for the query component tests: a temporary database folder, the server's schema
// script, queries on the folder and a clean default session after every test.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/components/Components.h"
#include "engine/sql/query/Query.h"
#include "engine/storage/EngineError.h"
#include "support/TempDir.h"

namespace zorvic::engine::testing {

// The server's schema script: six tables and one index, one text.
inline const char* const kSchemaScript =
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
    "Create Table IF NOT EXISTS Users(UserName VARCHAR(32),Password VARCHAR(32) NOT NULL,GroupName "
    "VARCHAR(32),ProfileName VARCHAR(32),HasAdminPower Boolean NOT NULL DEFAULT "
    "FALSE,AccountDisabled Boolean DEFAULT TRUE,LastLogin DATE,PrimaryEmail "
    "VARCHAR(32),SecondaryEmail VARCHAR(32),PhoneNumber VARCHAR(32),Question1 VARCHAR(32),Answer1 "
    "VARCHAR(32),Question2 VARCHAR(32),Answer2 VARCHAR(32),Primary Key (UserName));"
    "Create Table IF NOT EXISTS Attachments(AttachID AUTOINC,RefCount INTEGER,BODY BLOB,Size "
    "Integer,Primary Key (AttachID));"
    "Create Table IF NOT EXISTS Requests(RequestID AUTOINC,From VARCHAR(32),RequestType "
    "VARCHAR(32),RequestDate DATE,Primary Key (RequestID));"
    "Create Table IF NOT EXISTS Log(EntryNo AUTOINC,EntryText VARCHAR(250),EntryDate DATE,Primary "
    "Key (EntryNo));"
    "Create NOCASE Index IF NOT EXISTS \"UserGroupNames\" on Users(GroupName) COMPRESS FULL;";

inline constexpr const char* kSqlError = "VELDOR Engine Error # 11949 SQL error - ";

// The message of the error `action` raises: EDatabaseError and EVELDOREngineError messages
// as they are, "" when it raises none.
inline std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

inline TErrorCode EngineCodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EVELDOREngineError& e) {
    return e.ErrorCode;
  } catch (...) {
    return static_cast<TErrorCode>(-1);
  }
  return VELDOR_NONE;
}

class TQueryTest : public ::testing::Test {
 protected:
  void TearDown() override { TVELDORSessionList::Instance().DefaultSession().Close(); }

  // A query on the test folder with the text set.
  void Use(TVELDORQuery& q, const std::string& text) {
    q.SetDatabaseName(Dir.Path());
    q.SetSQLText(text);
  }
  // Runs a text on a fresh query and returns its AffectedRows.
  std::int32_t Run(const std::string& text) {
    TVELDORQuery q;
    Use(q, text);
    q.RunSQL();
    return q.AffectedRows();
  }
  void RunSchema() { Run(kSchemaScript); }
  // The first column of every row of a SELECT, as text.
  std::vector<std::string> Column(const std::string& text) {
    TVELDORQuery q;
    Use(q, text);
    q.Open();
    std::vector<std::string> values;
    for (q.First(); !q.Eof(); q.Next())
      values.push_back(q.Field(0).IsNull() ? "NULL" : q.Field(0).AsString());
    return values;
  }

  zorvic::testing::TTempDir Dir;
};

}  // namespace zorvic::engine::testing
