// Texts of zorvic-cli's mailbox commands: ids, the id list of 2005, a message's attachment
// list and header, and the names attachments are saved under.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zorvic {

// One to nine decimal digits: a positive id as the server numbers them.
bool IsDecimalId(std::string_view text);

// The ids of a 2005 list: 4-byte little-endian integers (a trailing partial id is ignored).
std::vector<std::int32_t> DecodeIdList(std::string_view bytes);

// One line of a message's attachment list: "ID SIZE NAME" (the name may hold blanks).
struct cAttachmentLine {
  std::string Id, Size, Name;
};
// The lines whose id is a number; others are skipped.
std::vector<cAttachmentLine> ParseAttachmentList(std::string_view list);

// The header's CR LF lines as lines ending in "\n".
std::string HeaderLines(std::string_view header);

// The name an attachment is saved under: the last component of `name` after '/' or '\',
// without control characters; "attachment-ID" when nothing usable is left ("", ".", "..").
std::string SafeFileName(std::string_view name, std::string_view id);
// `name`, or "name (2)", "name (3)", ... when an earlier attachment of the message took it.
std::string UniqueFileName(const std::string& name, const std::vector<std::string>& taken);

}  // namespace zorvic
