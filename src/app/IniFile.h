// TIniFile: the server's reader and writer of INI configuration files.
//
// Format, as operators and the configuration tools write it:
//   [Section]
//   Key=Value
// Section and key names match without regard to ASCII letter case. A value is the text after
// the first '=', with leading and trailing blanks (spaces, tabs) removed and one pair of
// enclosing single or double quotes removed, cut to kIniValueMaxChars characters. Lines whose
// first non-blank character is ';' are comments. Lines before the first section and lines
// that are neither headers nor "key=value" are ignored on reading and kept on writing.
//
// Duplicates: the first section of a name is the one read and written; later sections of the
// same name are kept in the file but never consulted. Within a section the first key of a
// name wins in the same way, and listing a section names each key once, in file order.
//
// Encoding: bytes are passed through unchanged; only ASCII letters fold case. A UTF-8 byte
// order mark at the start of the file is skipped on reading and kept on writing.
//
// Nothing is cached: every read opens and parses the file, so a change made by another
// program or another TIniFile on the same path is seen by the next read. A missing or
// unreadable file, section or key yields the caller's default; reads never raise.
//
// Writes replace the key's value in place (keeping the key's spelling in the file), or add the
// key at the end of its section, or add the section at the end of the file, and reach the disk
// before returning: the whole file is written to a temporary file beside it, flushed, renamed
// over the original and the folder is flushed, so a crash leaves the old file or the new one,
// never half of it. A failed write raises EIniFileError "Unable to write to <path>".
//
// Thread safety: a TIniFile has no state besides its path. Reads may run from any thread at
// any time; writes are serialised process-wide (all INI files share one write mutex), so two
// file objects on the same path never lose each other's updates. Callers in the server go
// through TThreadINIFile, which adds the per-file lock the rest of the program relies on.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zorvic {

class EIniFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TIniFile {
 public:
  explicit TIniFile(std::string fileName);

  const std::string& FileName() const { return fFileName; }

  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view defaultValue) const;
  // Decimal, or hexadecimal after "0x"/"0X"; anything else (words, blanks inside, overflow)
  // yields the default.
  std::int32_t ReadInteger(std::string_view section, std::string_view key,
                           std::int32_t defaultValue) const;
  // An integer: 0 is false, any other integer true; a word such as "true" yields the default.
  bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;
  // Key names of the section in file order, each once; empty when the section is missing.
  std::vector<std::string> ReadSection(std::string_view section) const;
  bool SectionExists(std::string_view section) const;

  // Raises EIniFileError when the file cannot be written. Section and key names that could not
  // be read back as written (empty, containing '=', ']', a line break or NUL, or a key starting
  // with '[' or ';') are refused with EIniFileError too. Line breaks and NUL bytes inside the
  // value become blanks, so a value can never add lines of its own to the file.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);

 private:
  std::string fFileName;
};

// Reads a whole INI integer text (already trimmed): "0x"/"0X" followed by up to 8 hex digits
// (taken as 32 bits, so 0xFFFFFFFF is -1), or an optional sign and decimal digits within the
// 32-bit range. Returns false for anything else.
bool ParseIniInteger(std::string_view text, std::int32_t& value);

}  // namespace zorvic
