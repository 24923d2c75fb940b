// zorvic-cli's mailbox commands, for the user named by --user:
//
//   list [--after ID]                the message ids, one per line, ascending (2005)
//   fetch ID [--save-dir DIR] [--overwrite]
//                                    the header lines, a blank line and the body (2004); with
//                                    --save-dir each attachment is fetched (2009) into DIR
//                                    under its file name ("Saved: PATH" on standard error)
//   delete ID | delete --all         one message, or every message (2008)
//
// Header and body come descrambled when the server scrambles message texts. Attachments are
// written to a temporary file in DIR and renamed into place once complete, so a broken
// transfer never leaves a partial file under the real name; an existing file is kept unless
// --overwrite is given. A file name from the message is reduced to its last path component,
// and a name that stays unusable becomes "attachment-ID".
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/Scramble.h"
#include "tools/zorvic-cli/CliAdmin.h"
#include "tools/zorvic-cli/CliCommands.h"
#include "tools/zorvic-cli/MailboxFiles.h"

namespace zorvic {

namespace {

constexpr std::string_view kListFollows = "+OK Message list size and contents follow";
constexpr std::string_view kMessageFollows = "+OK Message Follows";
constexpr std::string_view kAttachmentFollows = "+OK Attachment body follows";
constexpr std::string_view kMessageDeleted = "+OK Message Deleted";
// A message's three blocks and a list are taken up to this size.
constexpr std::size_t kMaxMessageBlockBytes = 256u * 1024u * 1024u;
constexpr std::size_t kAttachmentChunk = 64 * 1024;
// How long an attachment transfer waits for its next bytes.
constexpr int kTransferIdleMs = 30000;

struct cMailboxFlags {
  std::vector<std::string_view> Words;
  std::optional<std::string_view> After;
  std::optional<std::string_view> SaveDir;
  bool All = false;
  bool Overwrite = false;
};

// Options may stand anywhere; "--" ends them. `allowed` lists the options of the command.
bool ParseMailboxFlags(TCliArguments arguments, std::string_view allowed, cMailboxFlags& flags) {
  bool onlyWords = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string_view argument = arguments[i];
    if (onlyWords || argument.size() < 2 || argument.front() != '-') {
      flags.Words.push_back(argument);
      continue;
    }
    if (argument == "--") {
      onlyWords = true;
      continue;
    }
    std::string_view name = argument;
    std::optional<std::string_view> value;
    if (const std::size_t eq = argument.find('='); eq != std::string_view::npos) {
      name = argument.substr(0, eq);
      value = argument.substr(eq + 1);
    }
    if (allowed.find(std::string(name) + " ") == std::string_view::npos) {
      WriteErrorLine("zorvic-cli: unknown option \"" + std::string(argument) + "\"");
      return false;
    }
    const bool takesValue = name == "--after" || name == "--save-dir";
    if (takesValue && !value) {
      if (i + 1 >= arguments.size()) {
        WriteErrorLine("zorvic-cli: " + std::string(name) + " needs a value");
        return false;
      }
      value = arguments[++i];
    } else if (!takesValue && value) {
      WriteErrorLine("zorvic-cli: " + std::string(name) + " takes no value");
      return false;
    }
    if (name == "--after") flags.After = value;
    if (name == "--save-dir") flags.SaveDir = value;
    if (name == "--all") flags.All = true;
    if (name == "--overwrite") flags.Overwrite = true;
  }
  return true;
}

std::optional<std::string> ReadBlock(TZQSock& socket, std::string_view what) {
  return ReadSizedBytes(socket, what, kMaxMessageBlockBytes);
}

// Sends `line` and checks that the reply is `okLine`; anything else goes to standard error.
bool Request(cCliAdminConnection& connection, std::string_view line, std::string_view okLine,
             std::string_view what) {
  auto reply = RequestStatus(connection.Socket, line, what);
  if (!reply) return false;
  if (*reply != okLine) {
    WriteErrorLine(*reply);
    return false;
  }
  return true;
}

bool CheckId(std::string_view id) {
  if (IsDecimalId(id)) return true;
  WriteErrorLine("zorvic-cli: \"" + std::string(id) + "\" is no message or attachment id");
  return false;
}

std::string Unscrambled(const std::string& text, bool scrambling, std::string_view what) {
  if (!scrambling) return text;
  try {
    return ScrambleString(text, ProgramKey(), false);
  } catch (const std::exception& error) {
    WriteErrorLine("zorvic-cli: the " + std::string(what) +
                   " cannot be descrambled: " + error.what());
    throw;
  }
}

void Goodbye(cCliAdminConnection& connection) {
  connection.Socket.WriteLine("2000");
}

// Receives one attachment body into `target` through a temporary file beside it.
bool SaveAttachment(cCliAdminConnection& connection, const cAttachmentLine& attachment,
                    const std::filesystem::path& target, bool overwrite) {
  std::error_code error;
  if (!overwrite && std::filesystem::exists(target, error)) {
    WriteErrorLine("zorvic-cli: " + target.string() + " exists (use --overwrite to replace it)");
    return false;
  }
  if (!Request(connection, "2009 " + attachment.Id, kAttachmentFollows, "the attachment"))
    return false;
  const std::int32_t length = connection.Socket.ReadInt32();
  if (length < 0 || !connection.Socket.ValidSocket()) {
    WriteErrorLine("zorvic-cli: the attachment " + attachment.Id + " came without its size");
    return false;
  }
  const std::filesystem::path temporary =
      target.parent_path() / ("." + target.filename().string() + ".part");
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    WriteErrorLine("zorvic-cli: cannot create " + temporary.string() + ": " + std::strerror(errno));
    return false;
  }
  std::vector<char> buffer(kAttachmentChunk);
  std::int64_t remaining = length;
  bool ok = true;
  while (ok && remaining > 0) {
    const std::size_t n = std::min<std::int64_t>(remaining, kAttachmentChunk);
    if (!connection.Socket.ReadExactInto(buffer.data(), n, kTransferIdleMs)) {
      WriteErrorLine("zorvic-cli: the attachment " + attachment.Id + " stopped coming");
      ok = false;
      break;
    }
    for (std::size_t done = 0; ok && done < n;) {
      const ssize_t w = ::write(fd, buffer.data() + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        WriteErrorLine("zorvic-cli: cannot write " + temporary.string() + ": " +
                       std::strerror(errno));
        ok = false;
      } else {
        done += static_cast<std::size_t>(w);
      }
    }
    remaining -= static_cast<std::int64_t>(n);
  }
  if (::close(fd) != 0 && ok) {
    WriteErrorLine("zorvic-cli: cannot write " + temporary.string() + ": " + std::strerror(errno));
    ok = false;
  }
  if (ok) {
    std::filesystem::rename(temporary, target, error);
    if (error) {
      WriteErrorLine("zorvic-cli: cannot rename " + temporary.string() + ": " + error.message());
      ok = false;
    }
  }
  if (!ok) std::filesystem::remove(temporary, error);
  return ok;
}

int RunList(TCliArguments arguments) {
  cMailboxFlags flags;
  if (!ParseMailboxFlags(arguments, "--after ", flags) || !flags.Words.empty()) return kExitUsage;
  if (flags.After && !CheckId(*flags.After)) return kExitFailure;
  cCliAdminConnection connection;
  if (!OpenAdminConnection(connection)) return kExitFailure;
  const std::string line = flags.After ? "2005 " + std::string(*flags.After) : "2005";
  if (!Request(connection, line, kListFollows, "the message list")) return kExitFailure;
  auto ids = ReadBlock(connection.Socket, "the message list");
  if (!ids) return kExitFailure;
  Goodbye(connection);
  if (ids->size() % 4 != 0) {
    WriteErrorLine("zorvic-cli: the message list is not a whole number of ids");
    return kExitFailure;
  }
  std::string text;
  for (std::int32_t id : DecodeIdList(*ids))
    text += std::to_string(id) + "\n";
  if (text.empty()) return kExitOk;
  text.pop_back();
  if (!WriteResultLine(text)) {
    WriteErrorLine("zorvic-cli: cannot write the list to standard output");
    return kExitFailure;
  }
  return kExitOk;
}

int RunFetch(TCliArguments arguments) {
  cMailboxFlags flags;
  if (!ParseMailboxFlags(arguments, "--save-dir --overwrite ", flags) || flags.Words.size() != 1)
    return kExitUsage;
  const std::string id(flags.Words[0]);
  if (!CheckId(id)) return kExitFailure;
  if (flags.SaveDir && !std::filesystem::is_directory(std::string(*flags.SaveDir))) {
    WriteErrorLine("zorvic-cli: " + std::string(*flags.SaveDir) + " is no folder");
    return kExitFailure;
  }
  cCliAdminConnection connection;
  if (!OpenAdminConnection(connection)) return kExitFailure;
  if (!Request(connection, "2004 " + id, kMessageFollows, "the message")) return kExitFailure;
  auto list = ReadBlock(connection.Socket, "the message");
  auto header = list ? ReadBlock(connection.Socket, "the message") : std::nullopt;
  auto body = header ? ReadBlock(connection.Socket, "the message") : std::nullopt;
  if (!body) return kExitFailure;
  std::string clearHeader, clearBody;
  try {
    clearHeader = Unscrambled(*header, connection.Scrambling, "header");
    clearBody = Unscrambled(*body, connection.Scrambling, "body");
  } catch (const std::exception&) {
    return kExitFailure;
  }
  const std::vector<cAttachmentLine> attachments = ParseAttachmentList(*list);
  std::string text = HeaderLines(clearHeader);
  for (const cAttachmentLine& a : attachments)
    text += "Attachment: " + a.Id + " " + a.Size + " " + a.Name + "\n";
  text += "\n" + clearBody;
  if (!WriteResultLine(text)) {
    WriteErrorLine("zorvic-cli: cannot write the message to standard output");
    return kExitFailure;
  }
  if (!flags.SaveDir) {
    Goodbye(connection);
    return kExitOk;
  }
  const std::filesystem::path folder(std::string(*flags.SaveDir));
  std::vector<std::string> taken;
  bool ok = true;
  for (const cAttachmentLine& a : attachments) {
    const std::string name = UniqueFileName(SafeFileName(a.Name, a.Id), taken);
    taken.push_back(name);
    if (!SaveAttachment(connection, a, folder / name, flags.Overwrite)) {
      ok = false;
      if (!connection.Socket.ValidSocket()) break;
      continue;
    }
    std::fprintf(stderr, "Saved: %s\n", (folder / name).c_str());
  }
  Goodbye(connection);
  return ok ? kExitOk : kExitFailure;
}

int RunDelete(TCliArguments arguments) {
  cMailboxFlags flags;
  if (!ParseMailboxFlags(arguments, "--all ", flags)) return kExitUsage;
  if (flags.All == !flags.Words.empty() || flags.Words.size() > 1) return kExitUsage;
  if (!flags.All && !CheckId(flags.Words[0])) return kExitFailure;
  cCliAdminConnection connection;
  if (!OpenAdminConnection(connection)) return kExitFailure;
  const std::string line = flags.All ? "2008" : "2008 " + std::string(flags.Words[0]);
  if (!Request(connection, line, kMessageDeleted, "the delete")) return kExitFailure;
  Goodbye(connection);
  return kExitOk;
}

constexpr cCliCommand kMailboxCommands[] = {
    {"list", "[--after ID]", "print the ids of --user's messages", &RunList},
    {"fetch", "ID [--save-dir DIR]",
     "print a message; save its attachments into DIR (--overwrite replaces files)", &RunFetch},
    {"delete", "ID | --all", "delete one message, or every message", &RunDelete},
};

}  // namespace

std::span<const cCliCommand> MailboxCliCommands() {
  return kMailboxCommands;
}

}  // namespace zorvic
