// TThreadList: a list shared between session threads, guarded by its own re-entrant lock.
//
// Duplicates are accepted. Single operations (Add, Remove, Count, Snapshot) take the lock
// themselves; a caller that needs several steps to see one consistent list holds it with
// LockList / UnlockList (or TThreadListLock) and works on the vector it returns.
//
// Thread safety: every member may be called from any thread. The lock is re-entrant, so a
// holder may call the single operations too.
#pragma once

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <vector>

namespace zorvic {

template <class T>
class TThreadList {
 public:
  TThreadList() = default;
  TThreadList(const TThreadList&) = delete;
  TThreadList& operator=(const TThreadList&) = delete;

  std::vector<T>& LockList() {
    fLock.lock();
    return fItems;
  }
  void UnlockList() { fLock.unlock(); }

  void Add(const T& item) {
    std::lock_guard<std::recursive_mutex> guard(fLock);
    fItems.push_back(item);
  }
  // Removes the first occurrence; false when the item is not in the list.
  bool Remove(const T& item) {
    std::lock_guard<std::recursive_mutex> guard(fLock);
    auto it = std::find(fItems.begin(), fItems.end(), item);
    if (it == fItems.end()) return false;
    fItems.erase(it);
    return true;
  }
  std::size_t Count() {
    std::lock_guard<std::recursive_mutex> guard(fLock);
    return fItems.size();
  }
  std::vector<T> Snapshot() {
    std::lock_guard<std::recursive_mutex> guard(fLock);
    return fItems;
  }

 private:
  std::recursive_mutex fLock;
  std::vector<T> fItems;
};

// Holds a TThreadList's lock for one scope.
template <class T>
class TThreadListLock {
 public:
  explicit TThreadListLock(TThreadList<T>& list) : fList(list), fItems(list.LockList()) {}
  ~TThreadListLock() { fList.UnlockList(); }
  TThreadListLock(const TThreadListLock&) = delete;
  TThreadListLock& operator=(const TThreadListLock&) = delete;
  std::vector<T>& Items() { return fItems; }

 private:
  TThreadList<T>& fList;
  std::vector<T>& fItems;
};

}  // namespace zorvic
