// A connected pair of real loopback sockets for tests: `server` is the server's side of the
// connection, `client` the far end.
#pragma once

#include <gtest/gtest.h>

#include <chrono>

#include "net/ZQSock.h"

namespace zorvic::testing {

struct cSocketPair {
  cSocketPair() {
    TZQSock listening;
    EXPECT_TRUE(listening.Listen(0));
    EXPECT_TRUE(client.Connect("127.0.0.1", listening.LocalPort()));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!listening.Accept(server, 50) && std::chrono::steady_clock::now() < until) {
    }
    EXPECT_TRUE(server.ValidSocket());
  }
  TZQSock server, client;
};

}  // namespace zorvic::testing
