#include "messaging/MessageRecord.h"

#include <langinfo.h>
#include <locale.h>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>

#include "app/Server.h"
#include "crypto/Scramble.h"
#include "engine/components/DataSet.h"
#include "engine/components/Field.h"

namespace zorvic {

namespace {

constexpr double kMsPerDay = 86400000.0;
// The engine's day number of 30 December 1899 (its day 1 is 1 January of the year 1).
constexpr double kDay18991230 = 693594.0;
constexpr int kGeneralDigits = 15;

void AppendInt32(std::string& out, std::size_t value) {
  if (value > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw std::length_error("The message is too large to send");
  const auto v = static_cast<std::uint32_t>(value);
  out += static_cast<char>((v >> 24) & 0xFF);
  out += static_cast<char>((v >> 16) & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
  out += static_cast<char>(v & 0xFF);
}

void AppendBlock(std::string& out, std::string_view bytes) {
  AppendInt32(out, bytes.size());
  out.append(bytes);
}

}  // namespace

double MessageDateFromTimeStamp(double timeStamp) {
  // The offset is a whole number of milliseconds, so the subtraction is exact.
  return (timeStamp - kDay18991230 * kMsPerDay) / kMsPerDay;
}

double TimeStampFromMessageDate(double messageDate) {
  return std::round(messageDate * kMsPerDay) + kDay18991230 * kMsPerDay;
}

std::string FormatGeneralFloat(double value, char decimalSeparator) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (value == 0) return "0";
  std::string out;
  if (value < 0) {
    out += '-';
    value = -value;
  }
  // 15 significant digits, correctly rounded: "d.dddddddddddddde[+-]x".
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*e", kGeneralDigits - 1, value);
  std::string digits;
  const char* p = buffer;
  for (; *p && *p != 'e'; ++p)
    if (*p >= '0' && *p <= '9') digits += *p;
  const int exponent = *p == 'e' ? std::atoi(p + 1) : 0;
  while (digits.size() > 1 && digits.back() == '0')
    digits.pop_back();

  if (exponent >= kGeneralDigits || exponent < -5) {
    out += digits[0];
    if (digits.size() > 1) {
      out += decimalSeparator;
      out.append(digits, 1, std::string::npos);
    }
    out += 'E';
    if (exponent < 0) out += '-';
    out += std::to_string(std::abs(exponent));
    return out;
  }
  if (exponent < 0) {
    out += '0';
    out += decimalSeparator;
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
    return out;
  }
  const auto whole = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= whole) {
    out += digits;
    out.append(whole - digits.size(), '0');
    return out;
  }
  out.append(digits, 0, whole);
  out += decimalSeparator;
  out.append(digits, whole, std::string::npos);
  return out;
}

char RegionalDecimalSeparator() {
  static const char separator = [] {
    char found = '.';
    if (locale_t regional = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr))) {
      const char* text = nl_langinfo_l(RADIXCHAR, regional);
      // A separator of more than one byte cannot be written in a single character.
      if (text && text[0] != '\0' && text[1] == '\0') found = text[0];
      freelocale(regional);
    }
    return found;
  }();
  return separator;
}

void ReadMessageRecord(engine::TVELDORDataSet& messages, cMessageRecord& record) {
  const engine::TVELDORField& date = messages.FieldByName("MessageDate");
  record.MessageDate = date.IsNull() ? 0.0 : MessageDateFromTimeStamp(date.AsDateTime());
  record.Size = messages.FieldByName("Size").AsInteger();
  record.Priority = messages.FieldByName("Priority").AsInteger();
  record.Attachments = messages.FieldByName("Attachments").AsBytes();
  record.From = messages.FieldByName("From").AsString();
  record.To = messages.FieldByName("To").AsString();
  record.Body = messages.FieldByName("Body").AsBytes();
}

std::string MessageHeaderText(const cMessageRecord& record) {
  std::string header;
  header.reserve(record.From.size() + record.To.size() + 80);
  header += "From: ";
  header += record.From;
  header += "\r\nTo: ";
  header += record.To;
  header += "\r\nDate: ";
  header += FormatGeneralFloat(record.MessageDate, RegionalDecimalSeparator());
  header += "\r\nSize: ";
  header += std::to_string(record.Size);
  header += "\r\nPriority: ";
  header += std::to_string(record.Priority);
  return header;
}

std::string MessageRecordBytes(const cMessageRecord& record, bool scramble) {
  std::string header = MessageHeaderText(record);
  std::string scrambledBody;
  if (scramble) {
    header = ScrambleString(header, ProgramKey(), true);
    scrambledBody = ScrambleString(record.Body, ProgramKey(), true);
  }
  const std::string& body = scramble ? scrambledBody : record.Body;
  std::string out;
  out.reserve(12 + record.Attachments.size() + header.size() + body.size());
  AppendBlock(out, record.Attachments);
  AppendBlock(out, header);
  AppendBlock(out, body);
  return out;
}

std::string MessageRecordBytes(cServer& server, const cMessageRecord& record) {
  std::lock_guard<std::recursive_mutex> guard(server.ScramblingLock);
  return MessageRecordBytes(record, server.DataScrambling);
}

}  // namespace zorvic
