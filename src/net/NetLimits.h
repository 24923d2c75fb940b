// Limits and fixed values of the socket layer and the TCP server core, each with its reason.
//
// Every other file of src/net uses these names instead of literals, so a limit is changed in
// one place. Values given in milliseconds are wall-clock waits on a monotonic clock.
#pragma once

#include <cstddef>

namespace zorvic::net {

// --- lines and reads ---
// Longest line ReadLine collects before it gives up: bounds the memory one client can pin.
inline constexpr int kMaxLineChars = 2048;
// Bytes ReadLine looks at without taking them: enough for a command line in one step while
// never taking bytes past the terminator.
inline constexpr int kLinePeekBytes = 250;
// ReadChunk with a negative size reads up to this many bytes (the size of one socket buffer).
inline constexpr int kDefaultChunkBytes = 16384;
// How much ReadExact reserves up front: a client-announced length never allocates more than
// this before the bytes have actually arrived.
inline constexpr std::size_t kReadExactReserveBytes = 64 * 1024;

// --- socket options and waits ---
// Send and receive time-outs of every socket: a stalled peer costs a thread at most this long
// per operation.
inline constexpr int kSocketTimeoutMs = 5000;
// Kernel receive buffer size of every socket: one buffer holds a typical record.
inline constexpr int kSocketBufferBytes = 16384;
// Kernel send buffer size of every socket. A send buffer as small as the receive buffer keeps
// fewer bytes in flight than one delayed acknowledgement lets through, so a large reply (an
// attachment body) would crawl at a buffer per acknowledgement delay; this one keeps a
// loopback or LAN link busy and still bounds what a connection holds in the kernel.
inline constexpr int kSocketSendBufferBytes = 256 * 1024;
// How long Readable and Writable wait for readiness.
inline constexpr int kReadinessPollMs = 10;
// How long a graceful close waits for the peer to close after the last reply, so the reply is
// never cut off by a reset; short because the peer has already been told goodbye.
inline constexpr int kGracefulCloseDrainMs = 1000;

// --- listening and accepting ---
// A backlog that asks for the system's maximum (net.core.somaxconn, else SOMAXCONN).
inline constexpr int kListenBacklogSystemMax = -1;
// Pending connections the kernel queues while the server is busy or at its connection limit:
// as many as the system allows, so that a storm of clients reconnecting at once (a restarted
// server) waits in the queue instead of losing SYNs and retrying a second later each.
inline constexpr int kListenBacklog = kListenBacklogSystemMax;
// How long Accept waits for a pending connection when no wait is given.
inline constexpr int kAcceptPollMs = 3;
// Longest single wait of the accept loop: how quickly it notices Suspend and the idle steps.
inline constexpr int kListenerMaxWaitMs = 250;
// Sleep between checks while the listener is suspended.
inline constexpr int kSuspendSleepMs = 20;
// Wait between checks while the connection limit is reached (a session's end wakes it early).
inline constexpr int kAtLimitWaitMs = 10;
// Back-off after accept fails for want of descriptors or memory, so the loop does not spin.
inline constexpr int kAcceptFailureBackoffMs = 50;

// --- idle notifications of the accept loop (one empty accept attempt counts 2.5 ms) ---
inline constexpr int kIdleStepMicros = 2500;
// Empty attempts after which the listener is "going idle" (2.5 s without a connection).
inline constexpr int kIdleGoingIdleSteps = 1000;
// Empty attempts after which the listener is "asleep" (5 s without a connection).
inline constexpr int kIdleAsleepSteps = 2000;
// The idle counter stops here; it only has to outgrow the thresholds above.
inline constexpr int kIdleCounterCap = 5000;

// --- connections and threads ---
// Most connections served at once: each costs one thread and one descriptor.
inline constexpr int kMaxConnections = 10000;
// Connection limit of a core whose ThreadCacheSize was never set.
inline constexpr int kDefaultThreadCacheSize = 200;
// Port of a core whose ServerPort was never set.
inline constexpr int kDefaultServerPort = 6160;
// Request/reply time-out property of the request/reply core.
inline constexpr int kDefaultRequestReplyTimeoutMs = 120000;
// Stack of a connection thread: room for the deepest statement the SQL engine accepts (its
// nesting bounds are sized for 2 MiB). It is reserved address space; a session only pays for
// the pages it touches (about 8 KiB for an idle one), so 10000 of them fit. Sanitizer builds
// use several times larger frames.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr std::size_t kSessionThreadStackBytes = std::size_t{32} << 20;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr std::size_t kSessionThreadStackBytes = std::size_t{32} << 20;
#else
inline constexpr std::size_t kSessionThreadStackBytes = std::size_t{2} << 20;
#endif
#else
inline constexpr std::size_t kSessionThreadStackBytes = std::size_t{2} << 20;
#endif
// Threads of the pool that runs the engine work of logins for the connection threads
// (ZQWorkPool.h): the work is serialised by the database lock anyway, so a few are enough to
// keep it busy while one of them waits on the disk.
inline constexpr int kWorkPoolThreads = 4;
// Descriptors kept in reserve above the connection limit (tables, logs, the listener).
inline constexpr int kDescriptorReserve = 256;
// How long a destroyed core waits for its sessions to end after closing their sockets.
inline constexpr int kCoreDestroyWaitMs = 5000;

}  // namespace zorvic::net
