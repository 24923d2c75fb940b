// Field values of record buffers as expression values, and back.
//
// The bridge between the storage engine's record layout (
// NULL flags, field encodings, BLOB references) and the value cells of expression trees.
// Statements fetch column values through it for evaluation and store converted values into
// new and changed records; filters fetch through it for every record they test.
//
// Thread safety: the cursor and the buffers belong to the calling thread.
#pragma once

#include <cstdint>

#include "engine/sql/parse/ExpToken.h"

namespace zorvic::engine {

class TDataCursor;
struct TFieldDesc;

// Sets out's type, subtype, size and scale to those the field's values take (not its value).
void SetFieldValueType(const TFieldDesc& field, TExpToken& out);

// Copies field fieldNo (1-based) of the record buffer into out (type, subtype, size, scale,
// NULL flag, value). A memo becomes a String value and a BLOB a BLOB value, read through the
// cursor's BLOB values (the record must be the cursor's current record or one of its new
// buffers).
void FetchFieldValue(TDataCursor& cursor, std::uint8_t* record, std::uint32_t fieldNo,
                     TExpToken& out);

// Stores a value into field fieldNo of the record buffer: NULL clears the field; a value of
// the field's own type is stored as it is; BLOB and memo fields take the value's bytes (a
// String without its terminating NUL) as the new BLOB value; any other value is converted as
// CAST does. Returns false when the conversion fails (the buffer is then unchanged); a Date,
// Time, TimeStamp or BCD value that its field cannot hold (no calendar day, a malformed BCD)
// fails the same way. A String field takes the record's string rules (cut to the field,
// trailing blanks dropped, the field's character case, an empty text stored as NULL); NULL
// leaves an auto-increment field alone. A BLOB value is written into an open value of the
// buffer, which the cursor stores when the record is posted.
bool StoreFieldValue(TDataCursor& cursor, std::uint8_t* record, std::uint32_t fieldNo,
                     const TExpToken& value);

}  // namespace zorvic::engine
