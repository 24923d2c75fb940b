#include "messaging/MailText.h"

#include <cstdio>
#include <cstdlib>

#include "messaging/MailerLimits.h"

namespace zorvic {

namespace {

constexpr const char* kWeekDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

// Day of the week (0 Sunday) of a date of the proleptic Gregorian calendar.
int WeekDay(int year, int month, int day) {
  static constexpr int kOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (month < 3) year -= 1;
  int w = (year + year / 4 - year / 100 + year / 400 + kOffsets[(month - 1) % 12] + day) % 7;
  return w < 0 ? w + 7 : w;
}

// The local offset from UTC, in minutes, of a broken local time.
int LocalOffsetMinutes(std::tm local) {
  local.tm_isdst = -1;
  std::time_t moment = std::mktime(&local);
  if (moment == static_cast<std::time_t>(-1)) return 0;
  std::tm resolved{};
  if (!::localtime_r(&moment, &resolved)) return 0;
  return static_cast<int>(resolved.tm_gmtoff / 60);
}

void AppendHeader(std::string& out, std::string_view name, std::string_view value) {
  out.append(name);
  out += ": ";
  out += CleanHeaderValue(value);
  out += "\r\n";
}

}  // namespace

bool IsSafeMailAddress(std::string_view address) {
  if (address.empty() || address.size() > kMailAddressMaxChars) return false;
  for (unsigned char c : address) {
    if (IsControl(c) || c == ' ' || c == '<' || c == '>') return false;
  }
  return true;
}

std::string PrintableMailAddress(std::string_view address) {
  std::string out;
  for (unsigned char c : address.substr(0, kMailAddressLogChars)) {
    if (IsControl(c)) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (address.size() > kMailAddressLogChars) out += "...";
  return out;
}

std::string CleanHeaderValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c != '\r' && c != '\n') out += c;
  }
  return out;
}

std::string HeaderPhrase(std::string_view name) {
  std::string out = "\"";
  for (char c : CleanHeaderValue(name)) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

std::string FormatMailDate(const cMailDate& date) {
  int offset = date.UtcOffsetMinutes;
  char sign = offset < 0 ? '-' : '+';
  if (offset < 0) offset = -offset;
  int month = date.Month >= 1 && date.Month <= 12 ? date.Month : 1;
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d",
                kWeekDays[WeekDay(date.Year, month, date.Day)], date.Day, kMonths[month - 1],
                date.Year, date.Hour, date.Minute, date.Second, sign, offset / 60, offset % 60);
  return text;
}

cMailDate LocalMailDate(std::time_t moment) {
  std::tm local{};
  ::localtime_r(&moment, &local);
  cMailDate date;
  date.Year = local.tm_year + 1900;
  date.Month = local.tm_mon + 1;
  date.Day = local.tm_mday;
  date.Hour = local.tm_hour;
  date.Minute = local.tm_min;
  date.Second = local.tm_sec;
  date.UtcOffsetMinutes = static_cast<int>(local.tm_gmtoff / 60);
  return date;
}

bool ParseLocalTimeStamp(std::string_view text, cMailDate& date) {
  if (text.size() < 19 || text.size() > 40) return false;
  const std::string copy(text);
  int year, month, day, hour, minute, second, used = 0;
  if (std::sscanf(copy.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &year, &month, &day, &hour, &minute,
                  &second, &used) != 6 ||
      used != 19) {
    return false;
  }
  if (used < static_cast<int>(copy.size()) && copy[used] != '.') return false;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return false;
  date.Year = year;
  date.Month = month;
  date.Day = day;
  date.Hour = hour;
  date.Minute = minute;
  date.Second = second;
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  date.UtcOffsetMinutes = LocalOffsetMinutes(local);
  return true;
}

std::string DotStuffBody(std::string_view body) {
  std::string out;
  out.reserve(body.size() + body.size() / 32 + 2);
  bool lineStart = true;
  for (std::size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
      out += "\r\n";
      lineStart = true;
      continue;
    }
    if (lineStart && c == '.') out += '.';
    out += c;
    lineStart = false;
  }
  if (!lineStart) out += "\r\n";
  return out;
}

std::string MailDataText(const cMailMessage& message) {
  std::string out;
  AppendHeader(out, "From", HeaderPhrase(message.FromName) + " <" + message.FromAddress + ">");
  std::string to;
  for (const std::string& address : message.To) {
    if (!to.empty()) to += ", ";
    to += address;
  }
  AppendHeader(out, "To", to);
  AppendHeader(out, "Subject", message.Subject);
  AppendHeader(out, "Date", FormatMailDate(message.Date));
  out += "\r\n";
  out += DotStuffBody(message.Body);
  out += ".\r\n";
  return out;
}

cMailMessage ForwardedMail(std::string_view fromUser, std::string_view senderAddress,
                           std::string_view primaryAddress, std::string_view secondaryAddress,
                           std::string_view subjectLine, const cMailDate& messageDate,
                           std::string_view body) {
  cMailMessage mail;
  mail.FromName = std::string(fromUser);
  mail.FromAddress =
      senderAddress.empty() ? std::string(kMailerPlaceholderAddress) : std::string(senderAddress);
  mail.To.emplace_back(primaryAddress);
  if (!secondaryAddress.empty()) mail.To.emplace_back(secondaryAddress);
  mail.Subject = subjectLine.empty()
                     ? "Forwarded Zorvic Messenger message from " + std::string(fromUser)
                     : std::string(subjectLine);
  mail.Date = messageDate;
  mail.Body = "This message was forwarded to you by Zorvic Messenger:\r\n\r\n";
  mail.Body.append(body);
  return mail;
}

cMailMessage PasswordMail(std::string_view userName, std::string_view password,
                          std::string_view address, const cMailDate& now) {
  cMailMessage mail;
  mail.FromName = std::string(kMailerAdminName);
  mail.FromAddress = std::string(kMailerPlaceholderAddress);
  mail.To.emplace_back(address);
  mail.Subject = "Your Zorvic Messenger login info";
  mail.Date = now;
  mail.Body = "This is your Zorvic Messenger login information:\r\nUser Name: ";
  mail.Body.append(userName);
  mail.Body += "\r\nPassword: ";
  mail.Body.append(password);
  mail.Body += "\r\n";
  return mail;
}

}  // namespace zorvic
