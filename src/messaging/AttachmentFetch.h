// The body of an attachment read for 2009: out of the Attachments table under the
// DatabaseLock, sent after it is released.
//
// A body up to kAttachmentInMemoryBytes is read into memory. A larger one is copied from its
// BLOB chain into a temporary file in TempFolder, a piece at a time (the engine reads long
// values straight from their chains), and the file is streamed to the client after the lock is
// gone: the lock is held only for the copy, never while the client reads, and memory stays at
// one piece whatever the attachment's size. The copy is a snapshot, so what is sent is one
// version of the attachment even though the lock is released before the first byte goes out.
//
// Thread safety: ReadAttachmentBody takes the server's DatabaseLock for its whole run; the body
// and SendAttachmentBody belong to the session's thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace zorvic {

class cServer;
class TZQSock;

struct cAttachmentBody {
  cAttachmentBody() = default;
  ~cAttachmentBody();
  cAttachmentBody(const cAttachmentBody&) = delete;
  cAttachmentBody& operator=(const cAttachmentBody&) = delete;

  std::int64_t Size = 0;
  std::string Bytes;           // the body, when it is small
  std::filesystem::path File;  // else the temporary copy (removed with the body)
};

// Reads the BODY of the attachment with that id. False when there is none; raises on a
// database or file error (the temporary file is removed again).
bool ReadAttachmentBody(cServer& server, std::int32_t id, cAttachmentBody& body);

// Sends the body's bytes; false when the connection fails or the copy cannot be read.
bool SendAttachmentBody(TZQSock& socket, const cAttachmentBody& body);

}  // namespace zorvic
