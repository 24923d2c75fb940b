// The limits of the XML data packet, each with its reason. The caller of the reader bounds
// the size of the text itself (the protocol's packet ceiling); these bound what a packet of a
// permitted size may make the reader allocate.
#pragma once

#include <cstddef>

namespace zorvic {

// Fields of one packet: a table has at most 1024 fields, and an INI section the server
// writes has a few dozen keys; more is never a real record.
inline constexpr std::size_t kPacketMaxFields = 1024;
// Cells (fields times rows) of a parsed packet: every cell is a string, so a packet of a few
// bytes per row times many fields could otherwise ask for gigabytes. Clients send one record;
// listings are written, never parsed, by the server.
inline constexpr std::size_t kPacketMaxCells = 1u << 20;
// Longest table or field name that goes into SQL text (the engine's table-name limit).
inline constexpr std::size_t kPacketMaxSqlNameBytes = 255;

}  // namespace zorvic
