// The mailbox registry: the open per-user mailboxes, shared by every holder and freed by
// reference count.
//
// A user's mailbox is the folder UserFolderPath(name), a database of its own, with one table
// Messages. An open mailbox is a cUserQueryStruct: a query component and the open Messages
// table on that folder, behind the entry's own lock. cServer's registry operations
// (declared in Server.h, defined in MailboxRegistry.cpp):
//
//   cUserQueryStruct* box = server.ReferenceUserQuery(name);   // null: logged, refused
//   if (box) {
//     cUserQueryStruct* held = server.LockUserQuery(box);      // entry lock, then DatabaseLock
//     RunExec(*held->Query, "Delete from Messages where MessageID = ?", {id});
//     server.UnlockUserQuery(held);
//     server.ReleaseUserQuery(box);                              // sets box to null
//   }
//
// ReferenceUserQuery opens the mailbox on its first reference: it creates the user's folder
// when missing (one level), runs the Create Table statement of Messages and opens the table;
// later references share the entry. A name that is not a safe folder name (IsSafeFolderName)
// never reaches the file system: it is refused and logged like any other failure, as
// "In cServer.ReferenceUserQuery (): " + message. ReleaseUserQuery takes the entry the caller
// got (never a name, so nobody drops a reference he does not hold), clears the caller's
// pointer, and frees the entry when the last reference goes; an entry that is not in the
// registry is ignored. LockUserQuery pins the entry until UnlockUserQuery, so a name-based
// lock stays valid even when every other holder releases meanwhile.
//
// Locks: the UserQueries list lock guards membership and every reference count, and no other
// lock is ever taken while it is held. An entry's lock comes before the DatabaseLock
// (LockUserQuery takes both in that order). Opening and closing take the entry's lock and then
// the DatabaseLock around their engine calls, since all mailbox components live in the
// engine's default session with the shared database. So ReferenceUserQuery, LockUserQuery and
// ReleaseUserQuery must not be called while holding the DatabaseLock or another mailbox's
// lock (that would reverse the order); WriteLog may be called anywhere.
#pragma once

#include <memory>
#include <mutex>
#include <string>

namespace zorvic::engine {
class TVELDORQuery;
class TVELDORTable;
}  // namespace zorvic::engine

namespace zorvic {

struct cUserQueryStruct {
  cUserQueryStruct();
  ~cUserQueryStruct();
  cUserQueryStruct(const cUserQueryStruct&) = delete;
  cUserQueryStruct& operator=(const cUserQueryStruct&) = delete;

  std::string UserName;  // the key, compared exactly (case-sensitive)
  // On the user's folder; use only while holding Lock and the DatabaseLock (LockUserQuery).
  std::unique_ptr<engine::TVELDORQuery> Query;
  std::unique_ptr<engine::TVELDORTable> Table;  // Messages, open
  std::recursive_mutex Lock;
  // Holders, pins included; guarded by the UserQueries list lock.
  int RefCount = 0;
  // Set under Lock once the components are open; false after a failed opening.
  bool Opened = false;
};

}  // namespace zorvic
