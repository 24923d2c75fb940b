// The mailer: MailQueue, MailerLock, MailerRunning and the mailer thread that drains the
// queue through SMTP.
//
// One cMailer exists per process (Mailer, created by start-up before the server and freed at
// tear-down). QueueMailItem appends an item and, under MailerLock, starts a cMailerThread when
// none runs; the starter sets MailerRunning, so two deliveries in quick succession start one
// thread, not two. The thread connects to the SMTPServer of the options and forwards item
// after item. Before it ends it checks the queue and clears MailerRunning under one hold of
// MailerLock, so an item queued at that moment is either seen by it or starts a new thread.
//
// A message the SMTP server rejects is dropped and the thread goes on with the next item.
// When the server cannot be reached (refused, silent past its time-out, broken connection)
// the item being sent goes back to the front of the queue, the warning "Warning: message
// forwarding failed, SMTP server unavailable" is logged once per outage, and the thread tries
// again after the retry interval, or at once when a new item is queued. The mailer holds no
// mailbox lock and not the DatabaseLock while it talks to the SMTP server: ForwardQueuedMessage
// reads the stored message under those locks and sends it after leaving them.
//
// Stop (before the server's shutdown) refuses new items, wakes the thread out of any SMTP wait
// or retry pause through the stop descriptor and joins it; items still queued are dropped.
//
// Locks: QueueMailItem may be called holding a mailbox lock and the DatabaseLock; MailerLock
// comes after them and the queue's own lock after MailerLock. No code logs or opens a mailbox
// while holding MailerLock or the queue lock.
//
// Thread safety: every member may be called from any thread; Stop from one thread at a time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "messaging/MailQueue.h"

namespace zorvic {

class TSmtpClient;

class cMailer {
 public:
  // Time-outs and the retry interval come from MailerLimits.h, or from the environment
  // variables ZORVIC_SMTP_TIMEOUT_MS and ZORVIC_MAIL_RETRY_MS when they hold a positive number.
  cMailer();
  ~cMailer();
  cMailer(const cMailer&) = delete;
  cMailer& operator=(const cMailer&) = delete;

  void QueueItem(cServer& server, cMailQueueItem item);
  void Stop();

  std::size_t QueuedCount();
  bool Running();
  // Readable once Stop has begun; SMTP waits of the password mail watch it too.
  int StopFd() const { return fStopFd; }
  int ConnectTimeoutMs() const { return fConnectTimeoutMs; }
  int ReplyTimeoutMs() const { return fReplyTimeoutMs; }

 private:
  friend class cMailerThread;

  // Takes the first item; false when the queue is empty.
  bool TakeFirst(cMailQueueItem& item);
  void PutBack(cMailQueueItem item);
  // Under MailerLock: clears MailerRunning and returns true when the queue is empty or the
  // mailer stops.
  bool FinishIfIdle();
  // Waits the retry interval, or until an item is queued after `serial` or Stop begins.
  void PauseForRetry(std::uint64_t serial);
  std::uint64_t QueuedSerial();
  bool Stopping();

  std::recursive_mutex MailerLock;
  bool MailerRunning = false;  // guarded by MailerLock
  bool fStopping = false;      // guarded by MailerLock
  std::thread fThread;         // guarded by MailerLock; the last thread started

  std::mutex fQueueLock;                 // MailQueue and the serial; innermost
  std::deque<cMailQueueItem> MailQueue;  // guarded by fQueueLock
  std::uint64_t fSerial = 0;             // items queued so far; guarded by fQueueLock
  std::condition_variable fQueued;       // with fQueueLock: an item came or Stop began
  bool fWarned = false;                  // the outage warning is logged; mailer thread only

  std::atomic<bool> fStopRequested{false};  // set by Stop, with fStopping
  int fStopFd = -1;
  int fConnectTimeoutMs;
  int fReplyTimeoutMs;
  int fRetryIntervalMs;
};

// The process's mailer; null outside start-up's creation and tear-down's freeing.
extern cMailer* Mailer;

// Forwards one queue item over the connected client: true when the item is done (sent, its
// message or mailbox no longer exists, or it can never be sent: the server rejected it or an
// address is unfit), false when sending failed. Raises ESmtpError (Unavailable) when the
// connection to the SMTP server broke; the item is then not done.
bool ForwardQueuedMessage(cServer& server, TSmtpClient& client, const cMailQueueItem& item);

}  // namespace zorvic
