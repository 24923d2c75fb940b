// The checks a record must pass before it is stored: required fields hold a value, and values
// lie within their field's minimum and maximum.
//
// Numbers, dates, times and time stamps compare by value; strings compare with the table's
// collation. A minimum or maximum of CURRENT_DATE, CURRENT_TIME or CURRENT_TIMESTAMP means the
// moment of the check.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string>

#include "engine/storage/formats/FieldDefs.h"

namespace zorvic::engine {

class TCollation;

// Raises VELDOR_REQDERR, VELDOR_MINVALERR or VELDOR_MAXVALERR (naming the field and the table)
// for the first field of the record that breaks its rules. A Blob field counts as present when
// its flag is set (its value was stored); an auto-increment field always is.
void CheckRecordConstraints(const std::vector<TFieldDesc>& fields, const std::uint8_t* rec,
                            const TCollation& collation, const std::string& tableName);

// -1, 0 or 1 as the stored value of a non-NULL field compares with a literal of its type; 0 when
// the type has no order or the literal is not valid.
int CompareFieldToLiteral(const TFieldDesc& field, const std::uint8_t* rec,
                          const std::string& literal, const TCollation& collation);

}  // namespace zorvic::engine
