// Listening connections: the listener record cNotificationThreadStruct and what the rest of
// the server may do with one.
//
// A listening connection is a logged-in session that sent 2013. From then on its own session
// thread ("the parked thread") is the only thread that touches its socket: it writes what
// other threads queue for it, answers the liveness probe on behalf of a new login, drops
// stray bytes the client sends, and notices at once when the client closes the connection.
// Other threads never write to a listener's socket themselves; they queue whole records
// (presence, new-message notices) and, when they must know the outcome, wait for it.
//
// Ownership: records are shared (std::shared_ptr). The server's Listeners list holds one
// reference while the record is registered; a thread that found a record keeps its own
// reference for as long as it uses it, so a record never disappears under a writer. Once the
// parked thread has ended, its record refuses new work (Queue* return false).
//
// Thread safety and locks: every member function may be called from any thread. PushLock
// guards the queue, the wake request and the probe state; it is held only for memory work,
// never across a network write or wait. Lock order: the Listeners list lock, then a record's
// PushLock; nothing else is taken while PushLock is held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace zorvic {

class TZQSock;

// The bytes of one presence record: int32 1, the name line, the group line, int32 status.
std::string PresenceRecord(std::string_view userName, std::string_view groupName,
                           std::uint8_t status);

// Outcome of a liveness probe.
enum class TProbeResult {
  Alive,  // the client answered int32 1
  Dead,   // another answer, no answer in time, or the connection failed; the listener ends
};

struct cNotificationThreadStruct {
  // connection: the listening session's socket; it receives every push. Raises
  // std::runtime_error when the wake-up descriptor cannot be created.
  cNotificationThreadStruct(std::string userName, std::string groupName, TZQSock& connection);
  ~cNotificationThreadStruct();
  cNotificationThreadStruct(const cNotificationThreadStruct&) = delete;
  cNotificationThreadStruct& operator=(const cNotificationThreadStruct&) = delete;

  const std::string UserName;
  const std::string GroupName;
  // Presence status stored at registration; 2017 does not change it.
  const std::uint8_t Status = 1;
  TZQSock& Connection;

  // Queues bytes for the connection. False when the listener has ended (nothing queued). A
  // queue that grows past kListenerQueueMaxBytes because the client stopped reading ends the
  // listener instead.
  bool QueueRecord(std::string_view bytes);
  // Queues bytes and waits until the parked thread has written them (true) or failed to, or
  // the listener ended, or `wait` passed (false).
  bool SendRecord(std::string_view bytes, std::chrono::milliseconds wait);
  // Asks the listener to end (its wake event): whatever is queued is written first.
  void Wake();
  // Probes the connection with int32 2022 and waits for the answer. Logins that probe one
  // listener at the same time share one probe; a listener that has ended counts as dead.
  TProbeResult Probe();

  // ---- the parked thread's side (Listening.cpp)
  // Runs the listening connection until it is woken, fails, its client closes it, or the
  // server shuts its socket down. Returns when the record no longer takes work.
  void RunParked();
  // Called once RunParked has returned and the record has left the list: the record takes
  // no more work, and logins waiting for a probe learn that the listener is dead.
  void Finish();
  // True once the record takes no more work.
  bool Ended();

 private:
  struct cWork {
    std::string Bytes;
    std::uint64_t QueuedUpTo = 0;  // sequence number of the last byte block in Bytes
    bool Wake = false;
    bool Probe = false;
  };
  void Signal();  // under PushLock: wakes the parked thread
  // Under PushLock: appends bytes for the parked thread; their sequence number, or 0 when the
  // record has ended or the queue would pass its bound (which ends the listener).
  std::uint64_t AppendLocked(std::string_view bytes);
  cWork TakeWork();
  bool WaitForWork(int timeoutMs);
  // Drops bytes the client sent; false when it closed the connection.
  bool DropStrayInput();
  void FinishProbe(TProbeResult result);

  std::mutex PushLock;
  std::condition_variable fChanged;  // written sequence, probe results and the end
  int fWakeFd = -1;                  // eventfd the parked thread polls beside its socket
  std::string fQueue;
  std::uint64_t fQueuedSeq = 0;   // blocks queued so far
  std::uint64_t fWrittenSeq = 0;  // blocks written so far
  bool fWakeRequested = false;
  bool fOverflow = false;
  bool fProbeRequested = false;
  bool fProbeRunning = false;
  std::uint64_t fProbeRound = 0;  // probes finished so far
  TProbeResult fLastProbe = TProbeResult::Dead;
  bool fEnded = false;
};

}  // namespace zorvic
