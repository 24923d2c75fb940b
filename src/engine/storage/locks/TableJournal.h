// Journaled writes of tables, and recovery from the journals of writers that died.
//
// Every write of a physical, non-temporary, writable table reaches its files through a
// TCommitJournal (Journal.h): a flush of one table outside a transaction is one journaled
// write; a commit is one journaled write of all the tables of the transaction.
//
// Recovery. A journal left beside a table belongs to a writer that is gone whenever someone
// else holds one of the table's locks: a writer holds the table's write lock from before its
// journal exists until after it is removed. So whoever takes a lock on the table and finds its
// journal plays it back first, under the table's write lock (TTableLockState does this at every
// read, write and transaction lock it takes, and the table at every open); a second taker
// waits for the write lock and then finds no journal. A member journal is played back on its
// own; the lead journal (the commit point of the write) only after every member journal of its
// write that is still there, under those tables' write locks as well. Recovery syncs the files
// it restored before it removes a journal, so it can be interrupted and repeated.
//
// An exclusively open table has no locks to tell its journal's owner by: nobody else can open it
// while its owner has it open, so whoever opens it and finds a journal plays it back. Its writes
// outside a flush (a cache making room, emptying) go through its undo journal (UndoJournal.h),
// which its next flush commits; a crash before that returns the table to its last flush.
//
// Thread safety: as the table object; one thread at a time.
#pragma once

#include <string>

namespace zorvic::engine {

class TCommitJournal;
class TDataTable;

// The table's writes go through a journal: physical, not temporary, writable, and the journal
// is not switched off.
bool JournalWanted(TDataTable& table);
// For tests and benchmarks only, to measure what the journal costs and to show that the crash
// tests fail without it: while switched off, tables opened afterwards write their files
// directly, with no journal, no undo journal and no recovery. Process-wide; nothing in the
// server, the SQL engine or the tools reaches it.
void SwitchJournalOffForMeasurement(bool off);
bool JournalSwitchedOff();
// Holds back the writes of the table's open files in the journal.
void AddTableToJournal(TCommitJournal& journal, TDataTable& table);
// Gives an exclusively open, journaled table its undo journal (nothing for other tables).
void StartUndoJournal(TDataTable& table);
// Whether a journal that may need playing back lies beside the table (an idle one does not
// count, Journal.h). Writers name the journal after the data file's name on disk
// (TDataTable::JournalPath), so this is one look at one file's first bytes.
bool TableJournalPresent(TDataTable& table);
// The same, for a journal of any spelling of the table's name (its folder is listed when the
// exact name is missing): the check made when a table opens.
bool TableJournalPresentAnySpelling(TDataTable& table);
// Removes the table's idle journal file when no table object keeps it and the table's write
// lock can be had at once (an exclusive table needs none): called when a table object opens,
// so that the file of a keeper that died goes (a keeper that lives removes its own when it
// goes). Never raises.
void RemoveIdleTableJournal(TDataTable& table) noexcept;
// Plays back (or throws away, when stale or incomplete) the table's journal; a journal whose
// write the files show whole (a flushed write whose retirement the disk lost, Journal.h) is
// removed and the write stands. The caller holds the table's write lock or has the table open
// exclusively. Returns true when the table's files were put back or found changed so.
bool RecoverTableJournal(TDataTable& table);

}  // namespace zorvic::engine
