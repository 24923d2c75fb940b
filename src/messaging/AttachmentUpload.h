// Attachments of a composed message: received from the sender before any lock is taken, then
// stored once in the shared Attachments table.
//
// A small attachment is received into memory; a larger one streams into a temporary file in
// TempFolder (removed when the cReceivedAttachment goes), so the size a client announces
// never decides how much memory the server reserves.
//
// StoreAttachment runs "START TRANSACTION" on the shared query, appends the record through
// AttachmentsTable (RefCount, Size, BODY from memory, or from the temporary file block by
// block as the record is posted, so a large body never sits in memory), posts it, runs "COMMIT
// FLUSH" and reads the new AttachID with "Select MAX(AttachID) from Attachments;". A failure
// anywhere rolls the transaction back before the error is raised again, so no transaction stays
// open.
//
// Thread safety: receiving uses only the session's socket. StoreAttachment takes the
// DatabaseLock for its whole run and does no network I/O while it holds it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace zorvic {

class cServer;
class TZQSock;

// Attachments up to this size are received into memory, larger ones into a temporary file.
inline constexpr std::int64_t kAttachmentInMemoryBytes = 1024 * 1024;
// Bodies from this size on go into the BLOB's blocks as a stream when the record is posted,
// straight to the file, instead of through the table's block cache and the commit's held-back
// writes (three copies of every byte, and a commit that writes them all again).
inline constexpr std::int64_t kAttachmentStreamedWriteBytes = 64 * 1024;

struct cReceivedAttachment {
  cReceivedAttachment() = default;
  ~cReceivedAttachment();
  cReceivedAttachment(const cReceivedAttachment&) = delete;
  cReceivedAttachment& operator=(const cReceivedAttachment&) = delete;

  std::string FileName;
  std::int64_t Size = 0;
  std::string Bytes;           // the body, when it was received into memory
  std::filesystem::path File;  // else the temporary file that holds it
};

// Receives exactly attachment.Size bytes from the socket. False when the transfer fails (the
// peer closed, a receive failed or timed out) or the temporary file cannot be written.
bool ReceiveAttachment(cServer& server, TZQSock& socket, cReceivedAttachment& attachment);

// Stores the attachment as a new record of the Attachments table and returns its AttachID text.
// Raises on failure after rolling back.
std::string StoreAttachment(cServer& server, const cReceivedAttachment& attachment,
                            std::int32_t refCount);

}  // namespace zorvic
