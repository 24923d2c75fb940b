#include "messaging/AttachmentFetch.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "app/Folders.h"
#include "app/Server.h"
#include "app/SharedDatabase.h"
#include "app/SharedSql.h"
#include "engine/components/BlobStream.h"
#include "engine/components/Field.h"
#include "engine/sql/query/Query.h"
#include "messaging/AttachmentUpload.h"
#include "net/WriteAll.h"
#include "net/ZQSock.h"

namespace zorvic {

namespace {

// Bytes moved per read of the BLOB, write of the copy and write to the socket.
constexpr std::size_t kBodyPieceBytes = 256 * 1024;

std::filesystem::path NewCopyPath() {
  static std::atomic<std::uint64_t> counter{0};
  return std::filesystem::path(TempFolder) /
         ("fetch-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".tmp");
}

// Closes a descriptor when the scope ends.
class cFd {
 public:
  explicit cFd(int fd) : FFd(fd) {}
  ~cFd() {
    if (FFd >= 0) ::close(FFd);
  }
  cFd(const cFd&) = delete;
  cFd& operator=(const cFd&) = delete;
  int Get() const { return FFd; }
  bool Close() {
    const int fd = FFd;
    FFd = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int FFd;
};

}  // namespace

cAttachmentBody::~cAttachmentBody() {
  if (!File.empty()) {
    std::error_code ignored;
    std::filesystem::remove(File, ignored);
  }
}

namespace {

// Copies the BODY of the query's current row into the body.
void CopyBody(engine::TVELDORField& field, cAttachmentBody& body) {
  engine::TVELDORBlobStream stream(field, engine::TBlobStreamMode::bmRead);
  body.Size = stream.Size();
  if (body.Size > std::numeric_limits<std::int32_t>::max())
    throw std::runtime_error("The attachment is too large to send");
  if (body.Size <= kAttachmentInMemoryBytes) {
    body.Bytes.resize(static_cast<std::size_t>(body.Size));
    if (stream.Read(body.Bytes.data(), body.Size) != body.Size)
      throw std::runtime_error("The attachment ends before its size");
    return;
  }
  body.File = NewCopyPath();
  cFd out(::open(body.File.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (out.Get() < 0) {
    body.File.clear();
    throw std::runtime_error("Could not create the attachment's temporary copy");
  }
  std::vector<char> piece(kBodyPieceBytes);
  for (std::int64_t left = body.Size; left > 0;) {
    const std::int64_t want = std::min<std::int64_t>(left, static_cast<std::int64_t>(piece.size()));
    const std::int64_t got = stream.Read(piece.data(), want);
    if (got != want) throw std::runtime_error("The attachment ends before its size");
    if (!WriteAll(out.Get(), piece.data(), static_cast<std::size_t>(got)))
      throw std::runtime_error("Could not write the attachment's temporary copy");
    left -= got;
  }
  if (!out.Close()) throw std::runtime_error("Could not write the attachment's temporary copy");
}

}  // namespace

bool ReadAttachmentBody(cServer& server, std::int32_t id, cAttachmentBody& body) {
  std::lock_guard<std::recursive_mutex> guard(server.DatabaseLock);
  if (!SharedQuery) throw std::runtime_error("The shared database is not open");
  // A live result: its BODY is the table's own value, read from the chain a piece at a time
  // (a copied result would hold the whole value).
  engine::TVELDORQuery query;
  query.SetDatabaseName(DataFolder);
  query.SetRequestLive(true);
  bool found = false;
  RunWithResult(query, "Select * from Attachments where AttachID = ?", {id},
                [&](engine::TVELDORQuery& q) {
                  if (q.IsEmpty()) return;
                  found = true;
                  CopyBody(q.FieldByName("BODY"), body);
                });
  return found;
}

bool SendAttachmentBody(TZQSock& socket, const cAttachmentBody& body) {
  if (body.File.empty()) {
    for (std::size_t at = 0; at < body.Bytes.size(); at += kBodyPieceBytes) {
      const std::size_t n = std::min(kBodyPieceBytes, body.Bytes.size() - at);
      if (socket.WriteBuffer(body.Bytes.data() + at, static_cast<int>(n)) < static_cast<int>(n))
        return false;
    }
    return true;
  }
  cFd in(::open(body.File.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.Get() < 0) return false;
  std::vector<char> piece(kBodyPieceBytes);
  for (std::int64_t left = body.Size; left > 0;) {
    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(left, static_cast<std::int64_t>(piece.size())));
    const ssize_t got = ::read(in.Get(), piece.data(), want);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    if (socket.WriteBuffer(piece.data(), static_cast<int>(got)) < static_cast<int>(got))
      return false;
    left -= got;
  }
  return true;
}

}  // namespace zorvic
