// The shared database in DataFolder: the one query component all sessions share, the two table
// components kept open for the whole run, the schema script and the default contents.
//
// Start-up calls CreateSharedQuery, then BootstrapSharedDatabase: the schema script runs (every
// statement carries IF NOT EXISTS, so a second start changes nothing), and when Users is empty
// the group "Admins", the account "admin" and its folder Users/admin are added. A failure of
// the script or the seeding is written to standard output as "Exception in Main Server
// Thread: " + the message in single quotes, and start-up goes on; a failure to open the
// Attachments or Log table raises and ends start-up. CloseSharedDatabase frees the
// Attachments table, the Log table and the query, in this order.
//
// AppendLogEntry is the server log's sink: one row of Log with the text and today's date.
//
// Thread safety: creation, bootstrap and close run on the main thread while no session runs.
// In between, SharedQuery and AttachmentsTable are used only under the server's DatabaseLock;
// AppendLogEntry is called under DatabaseLock and LogLock (cServer::WriteLog takes both). All
// these components live in the engine's default session, which is serialised by DatabaseLock.
#pragma once

#include <string>

#include "app/SharedSchema.h"

namespace zorvic::engine {
class TVELDORQuery;
class TVELDORTable;
}  // namespace zorvic::engine

namespace zorvic {

// Null outside the time between their creation and CloseSharedDatabase.
extern engine::TVELDORQuery* SharedQuery;
extern engine::TVELDORTable* AttachmentsTable;
extern engine::TVELDORTable* LogTable;

// Creates SharedQuery on DataFolder (DataFolder must be set).
void CreateSharedQuery();
// Runs the schema script, seeds an empty Users table, opens AttachmentsTable and LogTable.
void BootstrapSharedDatabase();
// Frees AttachmentsTable, LogTable and SharedQuery, in this order. Safe to call twice.
void CloseSharedDatabase();

// Appends one row to LogTable: EntryText = text (the caller cuts it to 250 characters),
// EntryDate = today. Raises when the table is not open or the row cannot be posted.
void AppendLogEntry(const std::string& text);

}  // namespace zorvic
