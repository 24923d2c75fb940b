// Idle table objects kept open between statements.
//
// When the last cursor of a shared physical table closes, its database keeps the table object
// open, with its files, handles and caches, instead of closing it: the next statement on the
// table (and the second open of every statement, which binds its tables before it runs) then
// finds it ready. Such a table is "parked": no cursor uses it, it holds no byte-range lock and
// has nothing left to write (a shared table writes every change before the write ends).
//
// A parked table still holds its files open, so it would refuse everyone else in the process
// an exclusive open, a re-creation, a delete or a rename of those files. The file layer asks
// this registry to close the parked tables that use a file before it refuses one of these
// (TFileList::SetIdleCloser); the table object stays in its database, closed, and is opened
// again the next time it is wanted. Other processes see a parked table like any table held
// open: a shared open, so their exclusive opens fail while it is parked.
//
// Taking a parked table back for a new cursor refreshes it from its headers under a read lock
// (TDataTable::VerifyOnce), so a statement sees every change committed before it began.
//
// Thread safety: every function may be called from any thread. The registry's lock guards the
// parked flag of every table; a table is touched by a thread other than its owner only while
// it is parked, under that lock, and only to be closed.
#pragma once

#include <string>

namespace zorvic::engine {

class TDataTable;

// Whether the table may be parked when its last cursor closes: open, physical, shared, not
// temporary, outside a transaction.
bool ParkableTable(const TDataTable& table);
// Parks the table (its owner calls this when the last cursor closed).
void ParkTable(TDataTable& table);
// Takes a parked table back for its owner. Returns false when it was closed meanwhile (or was
// never parked); the table is no longer parked either way.
bool ReclaimTable(TDataTable& table) noexcept;
// Closes every parked table of the process that has the named file open (in-memory or
// physical). Returns whether one was closed.
bool CloseParkedTablesUsing(const std::string& fileName, bool inMemory) noexcept;
// How many tables are parked in the process (tests).
std::size_t ParkedTableCount();

}  // namespace zorvic::engine
