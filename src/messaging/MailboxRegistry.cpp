// The mailbox registry (cServer methods): opening, sharing, locking and releasing mailboxes.
#include "messaging/MailboxRegistry.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/ErrorText.h"
#include "app/Folders.h"
#include "app/Server.h"
#include "app/SharedSchema.h"
#include "app/SharedSql.h"
#include "engine/components/Table.h"
#include "engine/sql/query/Query.h"

namespace zorvic {

cUserQueryStruct::cUserQueryStruct() = default;
cUserQueryStruct::~cUserQueryStruct() = default;

namespace {

using TUserQueryList = TThreadListLock<cUserQueryStruct*>;

// The name for a message: control characters shown as \xNN, cut to a readable length.
std::string Printable(std::string_view name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : name.substr(0, 64)) {
    auto code = static_cast<unsigned char>(c);
    if (code < 32 || code == 127) {
      out += "\\x";
      out.push_back(kHex[code >> 4]);
      out.push_back(kHex[code & 15]);
    } else {
      out.push_back(c);
    }
  }
  if (name.size() > 64) out += "...";
  return out;
}

cUserQueryStruct* FindIn(std::vector<cUserQueryStruct*>& items, std::string_view name) {
  for (cUserQueryStruct* entry : items)
    if (entry->UserName == name) return entry;
  return nullptr;
}

bool Listed(std::vector<cUserQueryStruct*>& items, const cUserQueryStruct* entry) {
  return std::find(items.begin(), items.end(), entry) != items.end();
}

// Creates the user's folder when missing (one level; its parent is UsersFolder).
void EnsureUserFolder(const std::string& folder) {
  std::string path = folder.substr(0, folder.size() - 1);
  if (::mkdir(path.c_str(), 0777) == 0) return;
  int error = errno;
  struct stat info {};
  if (error == EEXIST && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return;
  throw std::runtime_error("Unable to create the mailbox folder " + path + ": " +
                           std::strerror(error == EEXIST ? ENOTDIR : error));
}

// The caches of an open mailbox. A logged-in session holds its mailbox open for as long as it
// lasts, so with thousands of sessions the caches are most of what a session costs; a mailbox
// is read a message at a time (the list comes from the index, a fetch reads one record and its
// memo), so one index page and a few records and BLOB blocks hold what a command reuses.
engine::TTableCacheSizes MailboxCacheSizes() {
  engine::TTableCacheSizes sizes;
  sizes.RecordCacheBytes = 4096;
  sizes.IndexCacheBytes = 8192;
  sizes.BlobCacheBytes = 4096;
  return sizes;
}

// Opens the components of a new entry; the caller holds its lock and the DatabaseLock.
void OpenMailbox(cUserQueryStruct& entry) {
  const std::string folder = UserFolderPath(entry.UserName);
  EnsureUserFolder(folder);
  entry.Query = std::make_unique<engine::TVELDORQuery>();
  entry.Query->SetDatabaseName(folder);
  // The statement only creates a missing table: a mailbox that has its data file already is
  // opened without parsing and running it at every first reference.
  struct stat data {};
  if (::stat((folder + "Messages.DAT").c_str(), &data) != 0 || !S_ISREG(data.st_mode))
    RunExec(*entry.Query, kMessagesTableStatement);
  entry.Table = std::make_unique<engine::TVELDORTable>();
  entry.Table->SetDatabaseName(folder);
  entry.Table->SetTableName("Messages");
  entry.Table->SetCacheSizes(MailboxCacheSizes());
  entry.Table->Open();
}

}  // namespace

cUserQueryStruct* cServer::ReferenceUserQuery(std::string_view userName) {
  try {
    if (!IsSafeFolderName(userName)) {
      throw std::runtime_error("The user name \"" + Printable(userName) +
                               "\" cannot name a mailbox folder");
    }
    cUserQueryStruct* entry = nullptr;
    bool opener = false;
    {
      TUserQueryList list(UserQueries);
      entry = FindIn(list.Items(), userName);
      if (entry) {
        ++entry->RefCount;
      } else {
        auto fresh = std::make_unique<cUserQueryStruct>();
        fresh->UserName = std::string(userName);
        fresh->RefCount = 1;
        // Held until the components are open: a second holder that finds the entry meanwhile
        // waits on it. Nobody else knows the entry yet, so this cannot wait.
        fresh->Lock.lock();
        list.Items().push_back(fresh.get());
        entry = fresh.release();
        opener = true;
      }
    }
    if (opener) {
      std::exception_ptr failure;
      try {
        std::lock_guard<std::recursive_mutex> database(DatabaseLock);
        OpenMailbox(*entry);
        entry->Opened = true;
      } catch (...) {
        failure = std::current_exception();
      }
      if (failure) {
        // Unlisted at once, so no later reference finds a mailbox that could not open;
        // holders already waiting see Opened false and drop their own references.
        bool last;
        {
          TUserQueryList list(UserQueries);
          auto& items = list.Items();
          items.erase(std::remove(items.begin(), items.end(), entry), items.end());
          last = --entry->RefCount == 0;
        }
        entry->Lock.unlock();
        if (last) CloseMailbox(entry);
        std::rethrow_exception(failure);
      }
      entry->Lock.unlock();
      return entry;
    }
    bool opened;
    {
      std::lock_guard<std::recursive_mutex> wait(entry->Lock);
      opened = entry->Opened;
    }
    if (!opened) {
      if (DropReferences(entry, 1)) CloseMailbox(entry);
      throw std::runtime_error("The mailbox of " + Printable(userName) + " could not be opened");
    }
    return entry;
  } catch (...) {
    LogCaughtError("In cServer.ReferenceUserQuery (): " + ErrorMessage(std::current_exception()));
    return nullptr;
  }
}

int cServer::FindUserQuery(std::string_view userName) {
  TUserQueryList list(UserQueries);
  auto& items = list.Items();
  for (std::size_t i = 0; i < items.size(); ++i)
    if (items[i]->UserName == userName) return static_cast<int>(i);
  return -1;
}

cUserQueryStruct* cServer::LockUserQuery(std::string_view userName) {
  cUserQueryStruct* entry;
  {
    TUserQueryList list(UserQueries);
    entry = FindIn(list.Items(), userName);
    if (!entry) return nullptr;
    ++entry->RefCount;  // the pin, dropped by UnlockUserQuery
  }
  return LockPinnedUserQuery(entry);
}

cUserQueryStruct* cServer::LockUserQuery(cUserQueryStruct* entry) {
  if (!entry) return nullptr;
  {
    TUserQueryList list(UserQueries);
    if (!Listed(list.Items(), entry)) return nullptr;
    ++entry->RefCount;
  }
  return LockPinnedUserQuery(entry);
}

cUserQueryStruct* cServer::LockPinnedUserQuery(cUserQueryStruct* entry) {
  entry->Lock.lock();
  if (!entry->Opened) {
    entry->Lock.unlock();
    if (DropReferences(entry, 1)) CloseMailbox(entry);
    return nullptr;
  }
  DatabaseLock.lock();
  return entry;
}

void cServer::UnlockUserQuery(cUserQueryStruct* entry) {
  if (!entry) return;
  entry->Lock.unlock();
  DatabaseLock.unlock();
  if (DropReferences(entry, 1)) CloseMailbox(entry);
}

void cServer::ReleaseUserQuery(cUserQueryStruct*& entry) {
  cUserQueryStruct* held = entry;
  entry = nullptr;
  if (!held) return;
  bool last;
  {
    TUserQueryList list(UserQueries);
    // A pointer that is not registered (released already, or never handed out) is left alone
    // rather than dropping a reference that another holder owns.
    if (!Listed(list.Items(), held)) return;
    last = DropReferences(held, 1);
  }
  if (last) CloseMailbox(held);
}

bool cServer::DropReferences(cUserQueryStruct* entry, int count) {
  TUserQueryList list(UserQueries);
  entry->RefCount -= count;
  if (entry->RefCount > 0) return false;
  auto& items = list.Items();
  items.erase(std::remove(items.begin(), items.end(), entry), items.end());
  return true;
}

void cServer::CloseMailbox(cUserQueryStruct* entry) noexcept {
  try {
    std::lock_guard<std::recursive_mutex> own(entry->Lock);
    std::lock_guard<std::recursive_mutex> database(DatabaseLock);
    if (entry->Table) entry->Table->Close();
    if (entry->Query) entry->Query->Close();
    entry->Table.reset();
    entry->Query.reset();
  } catch (...) {
    LogCaughtError("In cServer.ReleaseUserQuery (): " + ErrorMessage(std::current_exception()));
  }
  delete entry;
}

void cServer::CloseAllMailboxes() noexcept {
  std::vector<cUserQueryStruct*> left;
  {
    TUserQueryList list(UserQueries);
    left.swap(list.Items());
  }
  for (cUserQueryStruct* entry : left)
    CloseMailbox(entry);
}

}  // namespace zorvic
