#include "tools/zorvic-cli/CliTable.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace zorvic {

namespace {

// The length of the UTF-8 sequence that starts at `i`, or 0 when the bytes there are no
// well-formed sequence.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  std::uint32_t code = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (byte(i + k) & 0x3Fu);
  }
  // Over-long forms, surrogates and values past U+10FFFF are not UTF-8.
  static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return length;
}

// The cell as it is shown on one line of the table.
std::string TableCell(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    const auto b = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (b < 0x20 || b == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", b);
          out += hex;
        } else {
          out += c;
        }
    }
  }
  return out;
}

// Characters on the screen: a UTF-8 sequence counts once, any other byte once.
std::size_t DisplayWidth(std::string_view text) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8SequenceLength(text, i);
    i += length == 0 ? 1 : length;
    ++width;
  }
  return width;
}

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length > 1) {
      out.append(text.substr(i, length));
      i += length;
      continue;
    }
    ++i;
    if (b == '"' || b == '\\') {
      out += '\\';
      out += static_cast<char>(b);
    } else if (b == '\n') {
      out += "\\n";
    } else if (b == '\r') {
      out += "\\r";
    } else if (b == '\t') {
      out += "\\t";
    } else if (b < 0x20 || b == 0x7F || length == 0) {
      // Control characters, and bytes outside UTF-8 read as Latin-1 characters.
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", b);
      out += escape;
    } else {
      out += static_cast<char>(b);
    }
  }
  out += '"';
}

// True for text that JSON reads as a number: -?digits[.digits][e[+-]digits], no leading
// zeros.
bool IsJsonNumber(std::string_view text) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
      ++i;
    return i - start;
  };
  if (i < text.size() && text[i] == '-') ++i;
  const std::size_t start = i;
  const std::size_t intDigits = digits();
  if (intDigits == 0 || (intDigits > 1 && text[start] == '0')) return false;
  if (i < text.size() && text[i] == '.') {
    ++i;
    if (digits() == 0) return false;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == text.size();
}

void AppendJsonValue(std::string& out, const cCliPacketColumn& column, std::string_view value) {
  if (IsNumericType(column.Type)) {
    if (value.empty()) {
      out += "null";
      return;
    }
    if (IsJsonNumber(value)) {
      out.append(value);
      return;
    }
  } else if (column.Type == "boolean") {
    if (value == "1") {
      out += "true";
      return;
    }
    if (value == "0") {
      out += "false";
      return;
    }
  }
  // A value that does not fit its type is shown as it came.
  AppendJsonString(out, value);
}

}  // namespace

std::string FormatPacketTable(const cCliPacketTable& table) {
  const std::size_t count = table.Columns.size();
  if (count == 0) return {};
  std::vector<std::string> header(count);
  std::vector<std::size_t> widths(count);
  for (std::size_t c = 0; c < count; ++c) {
    header[c] = TableCell(table.Columns[c].Name);
    widths[c] = DisplayWidth(header[c]);
  }
  std::vector<std::vector<std::string>> cells(table.Rows.size());
  for (std::size_t r = 0; r < table.Rows.size(); ++r) {
    cells[r].resize(count);
    for (std::size_t c = 0; c < count && c < table.Rows[r].size(); ++c) {
      cells[r][c] = TableCell(table.Rows[r][c]);
      widths[c] = std::max(widths[c], DisplayWidth(cells[r][c]));
    }
  }
  std::string out;
  const auto appendLine = [&](const std::vector<std::string>& line, bool isHeader) {
    std::string text;
    for (std::size_t c = 0; c < count; ++c) {
      if (c > 0) text += "  ";
      const std::size_t pad = widths[c] - DisplayWidth(line[c]);
      const bool right = !isHeader && IsNumericType(table.Columns[c].Type);
      if (right) text.append(pad, ' ');
      text += line[c];
      if (!right && c + 1 < count) text.append(pad, ' ');
    }
    while (!text.empty() && text.back() == ' ')
      text.pop_back();
    out += text;
    out += '\n';
  };
  appendLine(header, true);
  for (const auto& line : cells)
    appendLine(line, false);
  return out;
}

std::string FormatPacketJson(const cCliPacketTable& table) {
  std::string out = "[";
  for (std::size_t r = 0; r < table.Rows.size(); ++r) {
    out += r == 0 ? "\n{" : ",\n{";
    for (std::size_t c = 0; c < table.Columns.size(); ++c) {
      if (c > 0) out += ',';
      AppendJsonString(out, table.Columns[c].Name);
      out += ':';
      const std::string_view value =
          c < table.Rows[r].size() ? std::string_view(table.Rows[r][c]) : std::string_view();
      AppendJsonValue(out, table.Columns[c], value);
    }
    out += '}';
  }
  out += table.Rows.empty() ? "]\n" : "\n]\n";
  return out;
}

}  // namespace zorvic
