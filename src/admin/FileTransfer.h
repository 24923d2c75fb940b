// Files that clients store on the server and fetch from it: the settings files of a user's
// folder (2014, 2015) and the client update files of the Updates folder (2112, 2114).
//
// A file name a client gives is one name inside its folder, never a path: it must be a safe
// folder-level name (IsSafeFolderName: not empty, not "." or "..", no '/' or backslash, no
// control character, at most 255 bytes), must not be one of the upload temporaries below, and
// in a user's folder must not name a file of the user's Messages table. Refused names never
// reach the file system.
//
// Uploads never leave a half-written file under the target name: the bytes go to a temporary
// file in the same folder (".zorvic-upload-" and six random characters), which is flushed and
// then renamed over the target. A transfer that ends early removes the temporary and leaves
// the old file as it was. Two uploads of one name at once each write their own temporary; the
// last rename wins, and a reader that has the file open keeps reading the content it opened.
//
// Thread safety: the functions use only their arguments (the socket belongs to the caller's
// session thread); the file system orders concurrent renames.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zorvic {

class TThreadINIFile;
class TZQSock;

// The design's piece size for files sent to a client: at most this many bytes per write.
inline constexpr std::size_t kFilePieceBytes = 1024;
// Temporaries of uploads in progress start with this; clients cannot name such a file.
inline constexpr std::string_view kUploadTempPrefix = ".zorvic-upload-";

// True when `name` may name a client update file (one name inside the Updates folder).
bool IsSafeTransferFileName(std::string_view name);
// True when `name` may name a settings file: a safe transfer name that is not a file of the
// user's Messages table ("Messages." followed by anything, in any letter case, since the
// engine finds table files without regard to case).
bool IsSafeSettingsFileName(std::string_view name);

// A client text as a log line may show it: cut short, control characters as '?', in quotes.
std::string ShownClientText(std::string_view text);
// A message in single quotes with inner single quotes doubled, as several log lines show it.
std::string QuotedLogMessage(std::string_view message);

// The size a client announces before the bytes of a file or packet.
enum class TAnnouncedSize {
  Accepted,  // 0 <= size <= the ceiling
  Negative,  // no bytes follow: the command is refused and the session goes on
  TooLarge,  // the bytes are never read: the connection ends after the refusal
  Lost,      // the four bytes did not come (the peer left or stopped sending)
};
// Reads the int32 size and checks it against `ceiling` (bytes).
TAnnouncedSize ReadAnnouncedSize(TZQSock& socket, std::int64_t ceiling, std::int32_t& size);

// Receives exactly `size` bytes into `folder` + `name` through a temporary file renamed over
// the target (see the top of this header). `folder` ends with '/'. When `renameLock` is given,
// the rename runs under that INI file's lock (an upload of versions.ini itself), so it never
// falls between the read and the write of a change to the same file.
enum class TUploadResult {
  Stored,          // the file holds the bytes
  TransferFailed,  // the peer left or stopped sending; nothing changed on disk
  WriteFailed,     // the folder could not take the file; nothing changed on disk
};
TUploadResult ReceiveFileReplacing(TZQSock& socket, std::int64_t size, const std::string& folder,
                                   std::string_view name, std::string& error,
                                   TThreadINIFile* renameLock = nullptr);

// A file opened for sending: its descriptor (closed by the destructor) and its size.
class cFileForSending {
 public:
  cFileForSending() = default;
  ~cFileForSending();
  cFileForSending(cFileForSending&& other) noexcept;
  cFileForSending& operator=(cFileForSending&& other) noexcept;
  cFileForSending(const cFileForSending&) = delete;
  cFileForSending& operator=(const cFileForSending&) = delete;

  // Opens a regular file for reading, without following a symbolic link in its last part.
  // nullopt with error empty when the file does not exist; nullopt with the reason in error
  // when it cannot be opened, is no regular file, or is too large for an int32 frame.
  static std::optional<cFileForSending> Open(const std::string& path, std::string& error);

  std::int32_t Size() const { return fSize; }

  // Sends int32 the size, then the bytes in pieces of at most kFilePieceBytes. False when the
  // file could not be read to its end or the socket failed; the stream is then out of step.
  bool SendSizeAndBytes(TZQSock& socket, std::string& error);

 private:
  int fFd = -1;
  std::int32_t fSize = 0;
};

}  // namespace zorvic
