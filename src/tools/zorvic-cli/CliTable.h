// The two output forms of zorvic-cli's listings.
//
// Table form: a header line of column names, then one line per row; columns are separated by
// two blanks and padded to their widest cell (counted in characters, not bytes), numbers are
// aligned to the right, and the last column carries no trailing blanks. A cell never breaks its
// line: a backslash, a line end, a tab and any other control character are written as \\, \n,
// \r, \t and \xHH. A listing without rows prints its header line alone.
//
// JSON form: one array with one object per row, each object on a line of its own, the keys
// the column names in packet order. The packet's types choose the value forms: "integer",
// "real" and "largeint" values are JSON numbers (an empty value, NULL, is null), "boolean"
// values are true or false, everything else is a string. Bytes that are not UTF-8 are taken
// as Latin-1 characters, so the output is always valid JSON.
//
// Thread safety: pure functions.
#pragma once

#include <string>

#include "tools/zorvic-cli/CliAdmin.h"

namespace zorvic {

// The aligned table, each line ending in a newline.
std::string FormatPacketTable(const cCliPacketTable& table);
// The JSON array, ending in a newline.
std::string FormatPacketJson(const cCliPacketTable& table);

}  // namespace zorvic
