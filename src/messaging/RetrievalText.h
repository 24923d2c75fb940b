// The small texts and byte forms of message retrieval: numeric command arguments, the id list
// of 2005, and the attachment list of a message.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zorvic {

// A command argument that holds nothing but blanks and tabs (or nothing at all).
bool IsBlankArgument(std::string_view argument);

// One decimal integer, optionally signed, with blanks or tabs around it allowed; at most 18
// digits, so the value always fits. nullopt for anything else ("", "1;", "0x10", "1 2").
std::optional<std::int64_t> ParseIdArgument(std::string_view argument);

// A client text as a log line may show it: single-quoted, cut short, control characters as
// '?'.
std::string ShownArgument(std::string_view argument);

// A text in single quotes with inner single quotes doubled (for log lines).
std::string QuotedLogText(std::string_view text);

void AppendBigEndianInt32(std::string& out, std::int32_t value);
// The id list of 2005 is the one little-endian integer of the protocol.
void AppendLittleEndianId(std::string& out, std::int32_t value);

// Whether an attachment list text ("AttachID size name" lines joined by CR LF) has a line for
// the id.
bool AttachmentListHasId(std::string_view list, std::int32_t attachId);

}  // namespace zorvic
