// EDatabaseError: the error the table and session components raise for their own failures,
// and the texts they raise it with.
//
// Failures of the engine below the components keep coming up as EVELDOREngineError with their
// codes; EDatabaseError carries only a message and is raised by the component layer itself
// (sessions, database components, datasets, fields and BLOB streams) and by the query
// component built on it. The texts are the system's own and are matched exactly by callers and
// tests, so they live here and nowhere else.
//
// Thread safety: plain values; any thread may raise.
#pragma once

#include <stdexcept>
#include <string>

namespace zorvic::engine {

class EDatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Texts with one "%s", filled with a name.
inline constexpr const char* kSessionNameInvalid = "Session name %s is not valid.";
inline constexpr const char* kSessionNameExists = "Session name %s already exists.";
inline constexpr const char* kDatabaseNameInvalid = "Database name %s is not valid.";
inline constexpr const char* kDatabaseNameExists = "Database name %s already exists.";
inline constexpr const char* kDatabaseInTransaction =
    "Database %s already has an active transaction.";
inline constexpr const char* kDatabaseNoTransaction = "Database %s has no active transaction.";
inline constexpr const char* kFieldReadOnly = "Field %s cannot be modified.";
inline constexpr const char* kFieldNotFound = "Field '%s' not found.";
inline constexpr const char* kFieldValueOutOfRange = "Value %s is out of range for field %s.";
inline constexpr const char* kFieldNoConversion = "Field %s cannot hold that kind of value.";
inline constexpr const char* kCacheSizeInvalid = "Cache size %s is not valid.";

// Fixed texts.
inline constexpr const char* kSessionNameMissing = "Session name is missing.";
inline constexpr const char* kSessionActive = "Cannot perform this operation on an active session.";
inline constexpr const char* kAutoSessionActive =
    "Cannot perform this operation on the active auto-session.";
inline constexpr const char* kAutoSessionOnly =
    "The active auto-session can be the only active session.";
inline constexpr const char* kAutoSessionExists = "This auto-session already exists.";
inline constexpr const char* kDatabaseClosed =
    "Cannot perform this operation on a closed database.";
inline constexpr const char* kDatabaseOpen = "Cannot perform this operation on an open database.";
inline constexpr const char* kDatabaseNameMissing = "Database name is missing.";
inline constexpr const char* kTableNameMissing = "Missing table name.";
inline constexpr const char* kTableHandleError = "Error creating table handle.";
inline constexpr const char* kNotEditing = "Table is not in edit or insert mode.";
inline constexpr const char* kDataSetOpen = "Cannot perform this operation on an open dataset";
inline constexpr const char* kDataSetClosed = "Cannot perform this operation on a closed dataset";
inline constexpr const char* kDataSetEmpty = "Cannot perform this operation on an empty dataset";
inline constexpr const char* kDataSetReadOnly = "Cannot modify a read-only dataset";

// Raises EDatabaseError with the text, or with the text's "%s" replaced by arg (and, for the
// two-name texts, the second "%s" by arg2).
[[noreturn]] void RaiseDatabaseError(const char* text);
[[noreturn]] void RaiseDatabaseError(const char* format, const std::string& arg);
[[noreturn]] void RaiseDatabaseError(const char* format, const std::string& arg,
                                     const std::string& arg2);
// The text with its "%s" placeholders replaced in order.
std::string FormatDatabaseError(const char* format, const std::string& arg,
                                const std::string& arg2 = {});

}  // namespace zorvic::engine
