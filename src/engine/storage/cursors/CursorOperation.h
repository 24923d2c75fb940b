// The operation frame of TDataCursor, shared by the cursor's source files (not an interface).
//
// Every cursor operation runs inside Run: the table's lock state learns that an operation is
// under way (an operation read lock taken during it stays held to its end), the change check
// runs first, and a read that finds the table changed by someone else (ETableChanged) makes the
// cursor resynchronise and run the body again from the resynchronised position. Bodies
// therefore work on copies of the position and commit them only at their end.
#pragma once

#include "engine/storage/cursors/DataCursor.h"

namespace zorvic::engine {

class TDataCursor::TOperation {
 public:
  explicit TOperation(TDataCursor& cursor) : FCursor(cursor) {
    FCursor.FTable->Locks().BeginOperation();
  }
  ~TOperation() { FCursor.FTable->Locks().EndOperation(); }
  TOperation(const TOperation&) = delete;
  TOperation& operator=(const TOperation&) = delete;

 private:
  TDataCursor& FCursor;
};

template <class F>
auto TDataCursor::Run(F&& body) {
  RequireOpen();
  TOperation operation(*this);
  // One restart is the most that can happen: the read lock taken by the read that found the
  // change stays held, so a second read finds nothing new. The bound guards against a table
  // object that keeps reporting changes.
  constexpr int kMaxAttempts = 4;
  for (int attempt = 0;; ++attempt) {
    try {
      if (attempt == 0)
        CheckChanges();
      else
        Resync();
      return body();
    } catch (const ETableChanged&) {
      if (attempt + 1 >= kMaxAttempts) Raise(VELDOR_LOCKTIMEOUT);
    }
  }
}

}  // namespace zorvic::engine
