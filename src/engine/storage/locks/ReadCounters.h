// Counters of the index pages and records the engine reads, per thread.
//
// Every fetch of an index page (from the page cache or the index file) and every fetch of a
// record (from the record cache or the data file) adds one on the calling thread, unless it
// fetches again the page (or record) the thread fetched just before. An engine
// session, with its cursors, is used by one thread at a time, so the difference of two
// readings taken around an operation on one thread is that operation's reads. The SQL layer
// reports them per statement (QueryStatement.h); tests read them to show that a lookup is
// answered through an index and not by a scan.
//
// Thread safety: each thread has its own counters; reading and adding are plain integer
// operations.
#pragma once

#include <cstdint>

namespace zorvic::engine {

struct TReadCounters {
  std::uint64_t IndexPages = 0;
  std::uint64_t Records = 0;
};

inline thread_local TReadCounters ThreadReadCounters;

// The last page and record the thread fetched: fetching the same one again at once (a tree
// walk settling on its leaf, a record tested by a filter and then shown) continues that read
// and is not counted again.
struct TLastRead {
  const void* PageFile = nullptr;
  std::int32_t PageNo = 0;
  const void* RecordFile = nullptr;
  std::int32_t RecordNo = 0;
};
inline thread_local TLastRead ThreadLastRead;

inline void CountIndexPageRead(const void* file, std::int32_t pageNo) {
  TLastRead& last = ThreadLastRead;
  if (last.PageFile == file && last.PageNo == pageNo) return;
  last.PageFile = file;
  last.PageNo = pageNo;
  ++ThreadReadCounters.IndexPages;
}

inline void CountRecordRead(const void* file, std::int32_t recordNo) {
  TLastRead& last = ThreadLastRead;
  if (last.RecordFile == file && last.RecordNo == recordNo) return;
  last.RecordFile = file;
  last.RecordNo = recordNo;
  ++ThreadReadCounters.Records;
}

// The calling thread's counters so far.
inline TReadCounters ReadCountersNow() {
  return ThreadReadCounters;
}

}  // namespace zorvic::engine
