#include "engine/storage/files/FolderWatch.h"

#include <pthread.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <iterator>
#include <mutex>
#include <unordered_map>

namespace zorvic::engine {
namespace {

// Creations, removals, renames and attribute changes of the folder's entries, and the folder
// itself moved or removed: changes of names. Writes (and truncations) of its files: changes
// of content. Never reads.
constexpr std::uint32_t kNameEvents =
    IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr std::uint32_t kNamesOnly = kNameEvents | IN_ONLYDIR;
constexpr std::uint32_t kNamesAndWrites = kNameEvents | IN_MODIFY | IN_ONLYDIR;
// Watching writes costs the kernel an event per write to a file of the folder, and pays only
// where looks find no write since the last one. Every kWindow looks the two are weighed: when
// the events outnumber kEventsPerQuietLook for each look that found the content unchanged
// (a quiet look saves a table its ChangeCount reads, an event costs a fraction of one), writes
// go unwatched for the next kPauseLooks looks, and Content is not told meanwhile.
constexpr std::uint32_t kWindow = 64;
constexpr std::uint32_t kEventsPerQuietLook = 3;
constexpr std::uint32_t kPauseLooks = 1024;
#ifdef IN_MASK_CREATE
constexpr std::uint32_t kMaskCreate = IN_MASK_CREATE;  // refuse an inode already watched
#else
constexpr std::uint32_t kMaskCreate = 0;
#endif
// A read that leaves less room than one event with the longest name has emptied the queue.
constexpr std::size_t kLongestEvent = sizeof(inotify_event) + NAME_MAX + 1;
// Folders watched at most: past that, callers look at their files themselves.
constexpr std::size_t kMaxFolders = 1024;

class TFolderWatch {
 public:
  static TFolderWatch& Instance() {
    static auto* const watch = new TFolderWatch;  // never destroyed: tables close at exit
    return *watch;
  }

  TFolderGenerations Generations(const std::string& folder) {
    if (folder.empty() || folder[0] != '/') return {};
    std::lock_guard<std::mutex> lock(FMutex);
    if (!FStarted || FForked) Restart();
    if (FQueue < 0) return {};
    Drain();
    if (FQueue < 0) return {};
    auto it = FFolders.find(folder);
    if (it == FFolders.end()) {
      if (FFolders.size() >= kMaxFolders) return {};
      // A folder already watched under another spelling keeps its watch as it is (its writes
      // may be unwatched just now): this spelling is not watched.
      const int wd = ::inotify_add_watch(FQueue, folder.c_str(), kNamesAndWrites | kMaskCreate);
      if (wd < 0 || WatchedElsewhere(wd, folder)) return {};
      // Numbers are never handed out twice: a folder watched anew gets ones no caller has seen.
      TFolder& entry = FFolders[folder];
      entry.Wd = wd;
      entry.Generations.Names = entry.Generations.Content = ++FCounter;
      return entry.Generations;
    }
    TFolder& entry = it->second;
    if (!Weigh(folder, entry)) return {};
    return {entry.Generations.Names, entry.Writes ? entry.Generations.Content : 0};
  }

 private:
  struct TFolder {
    int Wd = -1;
    TFolderGenerations Generations;
    bool Writes = true;  // writes are watched: Content is told
    // Of the current window (writes watched) or pause (not watched).
    std::uint32_t Looks = 0;
    std::uint32_t QuietLooks = 0;
    std::uint32_t WriteEvents = 0;
    std::uint64_t LastContent = 0;
  };

  bool WatchedElsewhere(int wd, const std::string& path) const {
    for (const auto& [other, folder] : FFolders)
      if (folder.Wd == wd && other != path) return true;
    return false;
  }

  // Counts a look at a folder and starts or ends a pause of its write watching. False when
  // the folder can no longer be watched (dropped).
  bool Weigh(const std::string& path, TFolder& folder) {
    ++folder.Looks;
    if (folder.Writes) {
      if (folder.Generations.Content == folder.LastContent) ++folder.QuietLooks;
      folder.LastContent = folder.Generations.Content;
      if (folder.Looks < kWindow) return true;
      const bool pays = folder.WriteEvents <= folder.QuietLooks * kEventsPerQuietLook;
      folder.Looks = folder.QuietLooks = folder.WriteEvents = 0;
      return pays || Rewatch(path, folder, false);
    }
    if (folder.Looks < kPauseLooks) return true;
    folder.Looks = folder.QuietLooks = folder.WriteEvents = 0;
    return Rewatch(path, folder, true);
  }

  // Watches the folder's writes again, or no more. Writes made while they were not watched
  // went unseen: Content gets a number no caller has seen.
  bool Rewatch(const std::string& path, TFolder& folder, bool writes) {
    const int wd = ::inotify_add_watch(FQueue, path.c_str(), writes ? kNamesAndWrites : kNamesOnly);
    if (wd < 0) {
      ::inotify_rm_watch(FQueue, folder.Wd);
      FFolders.erase(path);
      return false;
    }
    if (wd != folder.Wd) {
      // Another folder under the name (its move not read yet). One watched under another
      // name just had its events changed: both are dropped, to be watched anew.
      ::inotify_rm_watch(FQueue, folder.Wd);
      if (WatchedElsewhere(wd, path)) {
        ::inotify_rm_watch(FQueue, wd);
        for (auto it = FFolders.begin(); it != FFolders.end();)
          it = it->second.Wd == wd ? FFolders.erase(it) : std::next(it);
        FFolders.erase(path);
        return false;
      }
      folder.Wd = wd;
      folder.Generations.Names = ++FCounter;
    }
    folder.Writes = writes;
    folder.Generations.Content = ++FCounter;
    folder.LastContent = folder.Generations.Content;
    return true;
  }

  // Around a fork the watch is held, so that the child finds it in one piece; the child then
  // starts over.
  static void BeforeFork() { Instance().FMutex.lock(); }
  static void AfterForkInParent() { Instance().FMutex.unlock(); }
  static void AfterForkInChild() {
    Instance().FForked = true;
    Instance().FMutex.unlock();
  }

  // A new queue for this process (a forked child's inherited one is its parent's: what the
  // child read from it the parent would miss). Every folder is watched anew.
  void Restart() {
    if (!FStarted) ::pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild);
    FStarted = true;
    FForked = false;
    if (FQueue >= 0) ::close(FQueue);  // in a child, its own copy only
    FQueue = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    FFolders.clear();
  }

  void Drain() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(FQueue, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n <= 0) {
        // A queue that cannot be read tells nothing any more: stop watching.
        ::close(FQueue);
        FQueue = -1;
        FFolders.clear();
        return;
      }
      for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        Note(*event);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
      if (static_cast<std::size_t>(n) + kLongestEvent <= sizeof buffer) return;
    }
  }

  void Note(const inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {
      // Events were lost: every folder may have changed.
      for (auto& [path, folder] : FFolders)
        folder.Generations.Names = folder.Generations.Content = ++FCounter;
      return;
    }
    const bool gone = (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) != 0;
    for (auto it = FFolders.begin(); it != FFolders.end();) {
      if (it->second.Wd != event.wd) {
        ++it;
        continue;
      }
      if (gone) {
        // The folder under that name is another one now, or none: it is watched anew (with a
        // new number) when next asked for.
        if (!(event.mask & IN_IGNORED)) ::inotify_rm_watch(FQueue, event.wd);
        it = FFolders.erase(it);
        continue;
      }
      TFolderGenerations& g = it->second.Generations;
      g.Content = ++FCounter;
      if (event.mask & kNameEvents) g.Names = g.Content;
      if (event.mask & IN_MODIFY) ++it->second.WriteEvents;
      ++it;
    }
  }

  std::mutex FMutex;
  bool FStarted = false;
  bool FForked = false;
  int FQueue = -1;
  std::uint64_t FCounter = 0;
  std::unordered_map<std::string, TFolder> FFolders;
};

}  // namespace

TFolderGenerations FolderGenerations(const std::string& folder) {
  return TFolderWatch::Instance().Generations(folder);
}

}  // namespace zorvic::engine
