// The SQL text of the server's tables: the schema script of the shared database and the
// statement that creates a user's mailbox table. Header-only and free of dependencies, so the
// engine's own tests run exactly the statements the server runs.
#pragma once

#include <string_view>

namespace zorvic {

// The schema script: seven statements, each ended by ";", run as one text. Every statement
// carries IF NOT EXISTS, so it runs on every start and leaves existing tables alone.
inline constexpr std::string_view kSharedSchemaScript =
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

// A user's mailbox table, created when the mailbox is first opened.
inline constexpr std::string_view kMessagesTableStatement =
    "Create Table IF NOT EXISTS Messages(MessageID AUTOINC,MessageDate TIMESTAMP,Size "
    "INTEGER,Priority INTEGER,Attachments MEMO,From VARCHAR(100),To VARCHAR(250),Body "
    "MEMO,Primary Key (MessageID));";

}  // namespace zorvic
