#include "protocol/LoginMailbox.h"

#include "app/Server.h"

namespace zorvic {

bool ReferenceSessionMailbox(cServer& server, const std::string& userName) {
  (void)server;
  (void)userName;
  return true;
}

void ReleaseSessionMailbox(cServer& server, const std::string& userName) {
  (void)server;
  (void)userName;
}

}  // namespace zorvic
