// TZQSock: one IPv4 TCP socket with the server's wire primitives.
//
// Lines are written with CR LF and read up to the first CR or LF; integers travel as 4 bytes
// in network byte order; blocks are raw bytes, usually announced by an integer just before.
// The line reader never takes bytes that belong to the data after the line (it peeks, then
// takes exactly the line, its terminator and at most one byte that pairs with it), so line
// reads and binary reads can be mixed freely on one stream. Nothing is buffered in user space.
//
// Errors never raise: every operation records the socket error number in LastCommandStatus
// (the numbers of the socket error table below, not errno) and its result tells what happened
// (fewer bytes, -1, an empty text, false). Reads that wait in vain set LastReadTimeout and
// leave the connection open.
//
// A line that ends with a lone CR may be the first half of a CR LF whose LF is still on its
// way; the next read of any kind (and AwaitData) therefore skips a single LF that comes first.
//
// Thread safety: a TZQSock has no lock around its I/O; one thread at a time may read, and one
// thread at a time may write (callers that share a socket between writers serialise them
// with their own lock). Any thread may call ValidSocket, Handle and Interrupt at any time:
// Interrupt wakes a thread blocked on the socket without racing against its close.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "net/NetLimits.h"

namespace zorvic {

// Socket error numbers reported by LastCommandStatus (operating-system errors are mapped to
// these by SocketErrorFromErrno). The full list with texts is in ErrorText.
enum : int {
  kSockErrNone = 0,
  kSockErrInterrupted = 10004,
  kSockErrBadHandle = 10009,
  kSockErrInvalidArgument = 10022,
  kSockErrTooManyFiles = 10024,
  kSockErrWouldBlock = 10035,
  kSockErrNotSocket = 10038,
  kSockErrProtoNotSupported = 10043,
  kSockErrAddrInUse = 10048,
  kSockErrAddrNotAvail = 10049,
  kSockErrConnAborted = 10053,
  kSockErrConnReset = 10054,
  kSockErrNoBufs = 10055,
  kSockErrNotConnected = 10057,
  kSockErrShutdown = 10058,
  kSockErrTimedOut = 10060,
  kSockErrConnRefused = 10061,
  kSockErrHostNotFound = 11001,
};

// Maps an errno value to the socket error number. On a blocking socket with time-outs EAGAIN
// means the time-out passed (10060); pass blocking = false for a non-blocking socket, where
// it means the operation would block (10035).
int SocketErrorFromErrno(int err, bool blocking = true);

// The text of a socket error number; unknown numbers read "Unknown Socket Error (12,345)".
std::string ErrorText(int code);

// Size of the per-socket output buffer. Kept for callers that size their own buffers from it;
// no read or write path goes through such a buffer.
enum TZQBlockSizeFlags {
  bsfZero,
  bsfRealSmall,
  bsfSmall,
  bsfNormal,
  bsfBigger,
  bsfBiggest,
  bsfHUGE,
};

// Bytes of a block size flag: 0, 128, 256, 512, 2048, 4096, 16384 (any other value: 16384).
int BlockSizeBytes(TZQBlockSizeFlags flag);

class TZQSock {
 public:
  // A new socket is closed (handle -1) until Listen, Accept or Connect opens it.
  TZQSock();
  // Closes the socket (CloseNormal) when it is still open.
  ~TZQSock();
  TZQSock(const TZQSock&) = delete;
  TZQSock& operator=(const TZQSock&) = delete;

  // ---------------------------------------------------------------- writing
  // All return the number of bytes sent. WriteBuffer sends all count bytes (count <= 0 sends
  // nothing). When no byte moves for the send time-out (the peer stopped reading), or the
  // send fails, the socket is closed, so a half-written record is never followed by another.
  int WriteBuffer(const void* bytes, int count);
  // The text's bytes, no terminator.
  int WriteText(std::string_view text);
  // The text followed by CR LF, in one WriteBuffer call.
  int WriteLine(std::string_view text);
  // The 4-byte big-endian form of value.
  int WriteInt32(std::int32_t value);

  // ---------------------------------------------------------------- reading
  // At most size bytes from a single receive, waiting up to the receive time-out for them.
  // Returns 0 when the socket is closed or size < 1, -1 on a time-out or error. Sets
  // LastReadTimeout when the result is below 1. A receive that reports the peer's close
  // closes the socket (CloseAbort) and returns 0.
  int ReadBuffer(void* buffer, int size);
  // A string of at most n bytes from one ReadBuffer (n < 0: 16384 bytes; n = 0: empty). May
  // return fewer bytes than asked; an error or a time-out gives an empty string.
  std::string ReadChunk(int n);
  // A 4-byte big-endian integer. Waits for all four bytes even when they come in separate
  // segments (up to the receive time-out between bytes); -1 when they do not all come.
  std::int32_t ReadInt32();
  // One line without its terminator. A line ends at the first CR or LF; CR LF (also split
  // across two segments) ends one line. timeoutMs bounds the wait for the rest of the line
  // once its first byte has come. Returns an empty line with LastReadTimeout set when the
  // deadline passes (the partial line is dropped), and an empty line with LastReadTimeout
  // clear when the line grows past TooManyCharacters (the rest of it is read as the next
  // line).
  std::string ReadLine(int timeoutMs);
  // Exactly n bytes, or nothing: fails when the peer closes, a receive fails or no byte
  // arrives for idleTimeoutMs. On failure the bytes already taken are lost and the stream is
  // out of step; the caller ends the exchange. The caller bounds n before calling.
  std::optional<std::string> ReadExact(std::size_t n, int idleTimeoutMs = net::kSocketTimeoutMs);
  // ReadExact into a caller's buffer of at least n bytes; true when all n bytes came.
  bool ReadExactInto(void* buffer, std::size_t n, int idleTimeoutMs = net::kSocketTimeoutMs);

  // ---------------------------------------------------------------- state and waits
  // Waits at most 10 ms for the socket to become readable / writable.
  bool Readable();
  bool Writable();
  // Bytes the system holds for reading (0 on error or when closed).
  int CharactersToRead();
  // Valid, and the last error is none or a time-out; also true while bytes wait to be read.
  bool Connected();
  // True when the socket is readable but holds nothing to read (the peer closed its side,
  // or the connection failed); the socket is then closed (CloseNormal).
  bool PeerHasClosed();
  // Waits until bytes are ready (true), the peer closes (closes the socket, false), the
  // socket is interrupted, or timeoutMs pass (false).
  bool AwaitData(int timeoutMs);

  // ---------------------------------------------------------------- closing
  // Each sets the handle to -1 and does nothing when it is -1 already.
  // Linger 0, shut down both directions, close: unsent data may be discarded and the peer may
  // see a reset. For dead or misbehaving peers.
  void CloseAbort();
  // Lingering off, shut down both directions, close.
  void CloseNormal();
  // Delivers everything written before closing: shuts down the sending side, discards what
  // the peer still sends until it closes or drainMs pass, then closes. Use it after a last
  // reply such as "+OK Goodbye!".
  void CloseGraceful(int drainMs = net::kGracefulCloseDrainMs);
  // Any thread: shuts the connection down in both directions without releasing the handle,
  // so a thread blocked in a read or wait on this socket wakes up and sees the peer gone.
  // The owning thread still closes the socket.
  void Interrupt();

  // ---------------------------------------------------------------- listening and connecting
  // Creates a TCP socket, binds it to BindTo when that is longer than 6 characters (otherwise
  // to all local addresses) and the port (0: any free port, see LocalPort), listens with the
  // backlog (a negative one: the system's maximum), sets blocking or non-blocking mode, keep-alive and the socket options (16384-byte
  // buffers, 5000 ms time-outs). False with LastCommandStatus set when a step fails.
  bool Listen(int port, int backlog = net::kListenBacklog, bool blocking = true);
  // Waits up to waitMs for a pending connection on this listening socket and accepts it into
  // target (which must be closed), applying the socket options to it and recording its
  // PeerIPAddress and PeerPort. False when none is pending or accept fails (target stays
  // closed; this socket's LastCommandStatus tells which).
  bool Accept(TZQSock& target, int waitMs = net::kAcceptPollMs);
  // Connects to an IPv4 address in dotted form or a host name, waiting up to timeoutMs, and
  // applies the socket options. For clients and tests.
  bool Connect(std::string_view host, int port, int timeoutMs = net::kSocketTimeoutMs);
  // The local port the socket is bound to (0 when closed).
  int LocalPort() const;

  // ---------------------------------------------------------------- properties
  int Handle() const { return FHandle.load(std::memory_order_acquire); }
  bool ValidSocket() const { return Handle() != -1; }
  int LastCommandStatus() const { return FLastCommandStatus; }
  void SetLastCommandStatus(int code) { FLastCommandStatus = code; }
  bool LastReadTimeout() const { return FLastReadTimeout; }
  const std::string& PeerIPAddress() const { return FPeerIPAddress; }
  int PeerPort() const { return FPeerPort; }
  const std::string& BindTo() const { return FBindTo; }
  void SetBindTo(std::string address) { FBindTo = std::move(address); }
  bool IsKeepAliveMode() const { return FIsKeepAliveMode; }
  int TooManyCharacters() const { return net::kMaxLineChars; }
  TZQBlockSizeFlags OutputBufferSize() const { return FOutputBufferSize; }
  void SetOutputBufferSize(TZQBlockSizeFlags flag) { FOutputBufferSize = flag; }
  // Time-outs of this socket (both default to 5000 ms); tests shorten them.
  int SendTimeoutMs() const { return FSendTimeoutMs; }
  int ReceiveTimeoutMs() const { return FReceiveTimeoutMs; }
  void SetTimeouts(int sendMs, int receiveMs);

 private:
  // Applies keep-alive, buffer sizes and time-outs to the open handle.
  void ApplySocketOptions();
  // Waits up to waitMs for readability; then, when the last line ended with a lone CR, drops
  // a single LF that is the first byte waiting (the other half of a split CR LF).
  bool WaitReadable(int waitMs);
  void DropPendingLF();
  // One receive of up to size bytes after waiting up to waitMs; the result as ReadBuffer's.
  int ReceiveSome(void* buffer, int size, int waitMs);
  // Bytes waiting, looked at without taking them (up to size; 0 when none, -1 on error).
  int PeekWaiting(char* buffer, int size);
  // Takes n bytes that PeekWaiting has shown to be waiting.
  bool TakeWaiting(char* buffer, int n);
  void CloseHandle(bool abort);
  void RecordErrno(int err);

  std::atomic<int> FHandle{-1};
  std::mutex FCloseLock;  // orders Interrupt against the release of the handle
  int FLastCommandStatus = 0;
  bool FLastReadTimeout = false;
  bool FPendingLF = false;  // the last line ended with CR and its LF had not come yet
  bool FIsKeepAliveMode = false;
  int FPeerPort = 0;
  int FSendTimeoutMs = net::kSocketTimeoutMs;
  int FReceiveTimeoutMs = net::kSocketTimeoutMs;
  TZQBlockSizeFlags FOutputBufferSize = bsfNormal;
  std::string FBindTo;
  std::string FPeerIPAddress;
};

}  // namespace zorvic
