#include "messaging/Mailer.h"

#include <deque>
#include <mutex>

#include "messaging/MailQueue.h"

namespace zorvic {

bool DispatchPasswordMailCommand(cServer& /*server*/, TZQSock& /*socket*/,
                                 cClientInfoStruct& /*session*/,
                                 const cCommandStruct& /*command*/) {
  return false;
}

namespace {

// Until the mailer exists, queued items are only kept.
std::mutex gQueueLock;
std::deque<cMailQueueItem> gQueue;

}  // namespace

void QueueMailItem(cServer& /*server*/, cMailQueueItem item) {
  std::lock_guard<std::mutex> hold(gQueueLock);
  gQueue.push_back(std::move(item));
}

}  // namespace zorvic
