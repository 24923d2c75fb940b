// Payloads a client announces with a size: attachment and file bodies, message bodies and XML
// packets. The size is the client's word, so it is checked against a ceiling before a byte is
// read, and memory grows only as bytes arrive; a large body goes to a file instead of memory.
//
// The ceilings are options of the "ServerOptions" section, in kilobytes like every size
// option: MaxUploadSize for attachments and files (default 1048576, 1 GiB) and MaxPacketSize
// for message bodies and XML packets (default 16384, 16 MiB). A value below 1 gives the
// default.
//
// Every receive waits at most the socket's receive time-out for the next bytes, so a client
// that stops sending ends the transfer instead of holding its thread. After a failed receive
// the stream is out of step: the caller ends the command, and a size above the ceiling
// (whose bytes are never read) ends the connection.
//
// Thread safety: the functions use only their arguments; the socket belongs to the caller's
// session thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace zorvic {

class TThreadINIFile;
class TZQSock;

inline constexpr std::int32_t kDefaultMaxUploadKilobytes = 1048576;
inline constexpr std::int32_t kDefaultMaxPacketKilobytes = 16384;

// The option values in bytes (kilobytes times 1024, in 64 bits).
std::int64_t MaxUploadBytes(TThreadINIFile& serverOptions);
std::int64_t MaxPacketBytes(TThreadINIFile& serverOptions);

// Kilobytes to bytes in 64 bits (a negative count gives 0).
std::int64_t KilobytesToBytes64(std::int64_t kilobytes);

// Reads exactly `size` bytes into `out` (replacing its content). Memory is reserved chunk by
// chunk as the bytes come, never for the whole announced size up front. False when the peer
// closes, a receive fails or times out, or size is negative; `out` is then cleared.
bool ReceivePayload(TZQSock& socket, std::int64_t size, std::string& out);

// Streams exactly `size` bytes into a new file at `path` (created, or truncated, with mode
// 0600), in chunks. False when the transfer or a write fails; the file is then removed.
bool ReceivePayloadToFile(TZQSock& socket, std::int64_t size, const std::filesystem::path& path);

// Reads and drops exactly `size` bytes, so that a refused payload is never taken for
// commands. False when the transfer fails first.
bool DiscardPayload(TZQSock& socket, std::int64_t size);

}  // namespace zorvic
