#include "protocol/Listening.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "net/ZQSock.h"
#include "protocol/ProtocolLimits.h"

namespace zorvic {

namespace {

void AppendInt32(std::string& out, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  out.push_back(static_cast<char>((v >> 24) & 0xFF));
  out.push_back(static_cast<char>((v >> 16) & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
  out.push_back(static_cast<char>(v & 0xFF));
}

}  // namespace

std::string PresenceRecord(std::string_view userName, std::string_view groupName,
                           std::uint8_t status) {
  std::string record;
  record.reserve(userName.size() + groupName.size() + 12);
  AppendInt32(record, kPushPresence);
  record.append(userName).append("\r\n");
  record.append(groupName).append("\r\n");
  AppendInt32(record, status);
  return record;
}

cNotificationThreadStruct::cNotificationThreadStruct(std::string userName, std::string groupName,
                                                     TZQSock& connection)
    : UserName(std::move(userName)), GroupName(std::move(groupName)), Connection(connection) {
  fWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fWakeFd < 0) {
    throw std::runtime_error(std::string("Cannot create a listener's wake-up event: ") +
                             std::strerror(errno));
  }
}

cNotificationThreadStruct::~cNotificationThreadStruct() {
  if (fWakeFd >= 0) ::close(fWakeFd);
}

void cNotificationThreadStruct::Signal() {
  const std::uint64_t one = 1;
  // A full counter (never in practice) still leaves the descriptor readable: nothing is lost.
  [[maybe_unused]] ssize_t n = ::write(fWakeFd, &one, sizeof one);
}

std::uint64_t cNotificationThreadStruct::AppendLocked(std::string_view bytes) {
  if (fEnded) return 0;
  if (fQueue.size() + bytes.size() > kListenerQueueMaxBytes) {
    fOverflow = true;
    Signal();
    return 0;
  }
  fQueue.append(bytes);
  const std::uint64_t sequence = ++fQueuedSeq;
  Signal();
  return sequence;
}

bool cNotificationThreadStruct::QueueRecord(std::string_view bytes) {
  std::lock_guard<std::mutex> guard(PushLock);
  return AppendLocked(bytes) != 0;
}

bool cNotificationThreadStruct::SendRecord(std::string_view bytes, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(PushLock);
  const std::uint64_t mine = AppendLocked(bytes);
  if (mine == 0) return false;
  fChanged.wait_for(lock, wait, [&] { return fWrittenSeq >= mine || fEnded; });
  return fWrittenSeq >= mine;
}

void cNotificationThreadStruct::Wake() {
  std::lock_guard<std::mutex> guard(PushLock);
  fWakeRequested = true;
  Signal();
}

TProbeResult cNotificationThreadStruct::Probe() {
  std::unique_lock<std::mutex> lock(PushLock);
  if (fEnded) return TProbeResult::Dead;
  // Logins share a probe: one asked for but not yet written, or one on the wire whose answer
  // has not been read yet (an answer read after this login came shows the client alive now).
  const std::uint64_t target = fProbeRound + 1;
  if (!fProbeRunning) {
    fProbeRequested = true;
    Signal();
  }
  const bool done = fChanged.wait_for(lock, std::chrono::milliseconds(kProbeWaitMs),
                                      [&] { return fProbeRound >= target || fEnded; });
  if (!done) return TProbeResult::Dead;
  if (fProbeRound >= target) return fLastProbe;
  return TProbeResult::Dead;
}

bool cNotificationThreadStruct::Ended() {
  std::lock_guard<std::mutex> guard(PushLock);
  return fEnded;
}

cNotificationThreadStruct::cWork cNotificationThreadStruct::TakeWork() {
  std::lock_guard<std::mutex> guard(PushLock);
  cWork work;
  work.Bytes.swap(fQueue);
  work.QueuedUpTo = fQueuedSeq;
  work.Wake = fWakeRequested || fOverflow;
  work.Probe = fProbeRequested;
  if (work.Probe) {
    fProbeRequested = false;
    fProbeRunning = true;
  }
  // Once woken with nothing left to write, the listener takes no more work: everything
  // queued before the wake has been written.
  if (work.Wake && work.Bytes.empty()) fEnded = true;
  return work;
}

bool cNotificationThreadStruct::WaitForWork(int timeoutMs) {
  pollfd fds[2] = {{Connection.Handle(), POLLIN, 0}, {fWakeFd, POLLIN, 0}};
  int n = ::poll(fds, 2, timeoutMs);
  if (n <= 0) return false;
  if (fds[1].revents & POLLIN) {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t r = ::read(fWakeFd, &count, sizeof count);
  }
  return fds[0].revents != 0;
}

bool cNotificationThreadStruct::DropStrayInput() {
  TZQSock& socket = Connection;
  if (!socket.ValidSocket()) return false;
  if (socket.PeerHasClosed()) return false;
  char buffer[512];
  for (int waiting = socket.CharactersToRead(); waiting > 0; waiting = socket.CharactersToRead()) {
    const int take = waiting < static_cast<int>(sizeof buffer) ? waiting : sizeof buffer;
    if (socket.ReadBuffer(buffer, take) <= 0) return false;
  }
  return socket.ValidSocket();
}

void cNotificationThreadStruct::FinishProbe(TProbeResult result) {
  std::lock_guard<std::mutex> guard(PushLock);
  fLastProbe = result;
  fProbeRunning = false;
  ++fProbeRound;
  fChanged.notify_all();
}

void cNotificationThreadStruct::Finish() {
  std::lock_guard<std::mutex> guard(PushLock);
  fEnded = true;
  fQueue.clear();
  fChanged.notify_all();
}

void cNotificationThreadStruct::RunParked() {
  TZQSock& socket = Connection;
  for (;;) {
    cWork work = TakeWork();
    if (!work.Bytes.empty()) {
      const int size = static_cast<int>(work.Bytes.size());
      if (socket.WriteBuffer(work.Bytes.data(), size) != size) break;  // the socket is closed
      std::lock_guard<std::mutex> guard(PushLock);
      fWrittenSeq = work.QueuedUpTo;
      fChanged.notify_all();
    }
    if (work.Probe) {
      // Bytes that came before the probe are no answer to it.
      if (!DropStrayInput()) break;
      if (socket.WriteInt32(kProbeCode) != 4) break;
      const std::int32_t answer = socket.ReadInt32();
      if (answer != kProbeAnswerAlive) {
        socket.CloseAbort();
        break;
      }
      FinishProbe(TProbeResult::Alive);
      continue;
    }
    if (work.Wake) {
      if (work.Bytes.empty()) break;
      continue;  // write what was queued meanwhile, then end
    }
    if (!socket.ValidSocket()) break;
    if (WaitForWork(kListenerPollMs) && !DropStrayInput()) break;
  }
  // A probe in progress ends with the listener; its logins are told "dead" by Finish (after
  // the caller has removed the record from the list).
}

}  // namespace zorvic
