// Restructuring a table: its records copied into a table of a new definition, then swapped in.
//
// The new table is built beside the old one under a name of its own, with every record of the
// old table copied by field (TTableLayout::SourceFields): values of the same type are copied as
// they are, BLOB and memo values by their bytes, other values converted as CAST converts them
// (a value that does not convert becomes the zero value of its new type). Record RowIds are
// kept, so auto-increment values stay, and the new table's last auto-increment value is at
// least the largest of them. Only then are the files swapped by renames: the old files become
// the backups ".DBK", ".IBK" and ".BBK" (replacing older backups), the new files take the
// table's name, and without keepBackup the backups are deleted at the end. A failure before
// the swap completes leaves the old table whole under its name and removes the new one.
//
// Thread safety: the database and its cursors belong to the calling thread.
#pragma once

#include <string>

#include "engine/sql/exec/DdlDefinitions.h"

namespace zorvic::engine {

class TDataCursor;

// source: the table, open exclusively in its database (no other cursor of the database may
// use it). The cursor is closed when the call returns, whatever happens.
void RestructureTable(TDataCursor& source, const TTableLayout& layout, bool keepBackup);

}  // namespace zorvic::engine
