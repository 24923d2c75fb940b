#include "messaging/AttachmentUpload.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include "app/Folders.h"
#include "app/Server.h"
#include "app/SharedDatabase.h"
#include "app/SharedSql.h"
#include "engine/components/BlobStream.h"
#include "engine/components/Field.h"
#include "engine/components/Table.h"
#include "engine/storage/formats/BlobSource.h"
#include "protocol/Payload.h"

namespace zorvic {

namespace {

std::filesystem::path NewTemporaryPath() {
  static std::atomic<std::uint64_t> counter{0};
  return std::filesystem::path(TempFolder) /
         ("attachment-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".tmp");
}

void WriteBody(engine::TVELDORField& field, const cReceivedAttachment& attachment) {
  if (!attachment.File.empty()) {
    // The file goes into the BLOB's blocks as the record is posted, a run at a time.
    engine::LoadBlobFromFile(field, attachment.File.string(), attachment.Size);
    return;
  }
  const auto size = static_cast<std::int64_t>(attachment.Bytes.size());
  if (size >= kAttachmentStreamedWriteBytes) {
    // The source owns its copy: the cursor may hold a source beyond this call.
    auto bytes = std::make_shared<const std::string>(attachment.Bytes);
    engine::LoadBlobFromSource(
        field, std::make_shared<engine::TCallbackBlobSource>(
                   size, [bytes](std::int64_t offset, void* out, std::int64_t count) {
                     const auto have = static_cast<std::int64_t>(bytes->size());
                     if (offset < 0 || offset >= have || count <= 0) return std::int64_t{0};
                     const std::int64_t n = std::min(count, have - offset);
                     std::memcpy(out, bytes->data() + offset, static_cast<std::size_t>(n));
                     return n;
                   }));
    return;
  }
  engine::TVELDORBlobStream stream(field, engine::TBlobStreamMode::bmWrite);
  stream.Write(attachment.Bytes.data(), size);
}

}  // namespace

cReceivedAttachment::~cReceivedAttachment() {
  if (!File.empty()) {
    std::error_code ignored;
    std::filesystem::remove(File, ignored);
  }
}

bool ReceiveAttachment(cServer& /*server*/, TZQSock& socket, cReceivedAttachment& attachment) {
  if (attachment.Size <= kAttachmentInMemoryBytes)
    return ReceivePayload(socket, attachment.Size, attachment.Bytes);
  attachment.File = NewTemporaryPath();
  if (ReceivePayloadToFile(socket, attachment.Size, attachment.File)) return true;
  attachment.File.clear();  // ReceivePayloadToFile removed it
  return false;
}

std::string StoreAttachment(cServer& server, const cReceivedAttachment& attachment,
                            std::int32_t refCount) {
  std::lock_guard<std::recursive_mutex> guard(server.DatabaseLock);
  if (!SharedQuery || !AttachmentsTable)
    throw std::runtime_error("The shared database is not open");
  engine::TVELDORTable& table = *AttachmentsTable;
  RunExec(*SharedQuery, "START TRANSACTION");
  try {
    table.Append();
    try {
      table.FieldByName("RefCount").SetAsInteger(refCount);
      table.FieldByName("Size").SetAsInteger(static_cast<std::int32_t>(attachment.Size));
      WriteBody(table.FieldByName("BODY"), attachment);
      table.Post();
    } catch (...) {
      try {
        table.Cancel();
      } catch (...) {
      }
      throw;
    }
    RunExec(*SharedQuery, "COMMIT FLUSH");
  } catch (...) {
    try {
      RunExec(*SharedQuery, "ROLLBACK");
    } catch (...) {
    }
    throw;
  }
  const cSqlRows last = RunSelect(*SharedQuery, "Select MAX(AttachID) from Attachments;");
  if (last.Empty() || last.Rows.front().empty() || !last.Rows.front()[0])
    throw std::runtime_error("The new attachment has no AttachID");
  return *last.Rows.front()[0];
}

}  // namespace zorvic
