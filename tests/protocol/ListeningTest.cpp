// The listener record through its C++ API on real connected sockets: what the wire tests
// cannot reach quickly (a client that stops reading, a queue past its bound, probes that race)
// and the exact bytes of presence records.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/ZQSock.h"
#include "protocol/Listening.h"
#include "protocol/Presence.h"
#include "protocol/ProtocolLimits.h"
#include "support/SocketPair.h"

using namespace zorvic;
using namespace std::chrono_literals;

namespace {

using zorvic::testing::cSocketPair;

// A record whose parked thread runs while the test lives.
struct cParkedListener {
  explicit cParkedListener(std::string name = "ann", std::string group = "Staff") {
    record = std::make_shared<cNotificationThreadStruct>(name, group, pair.server);
    thread = std::thread([this] {
      record->RunParked();
      record->Finish();
      ended = true;
    });
  }
  ~cParkedListener() {
    record->Wake();
    pair.client.CloseAbort();
    thread.join();
  }
  bool WaitEnded(std::chrono::milliseconds wait) {
    auto until = std::chrono::steady_clock::now() + wait;
    while (!ended && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(5ms);
    return ended;
  }
  cSocketPair pair;
  std::shared_ptr<cNotificationThreadStruct> record;
  std::atomic<bool> ended{false};
  std::thread thread;
};

std::string Int32(std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  return {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
          static_cast<char>(u)};
}

}  // namespace

TEST(PresenceRecordTest, BytesAndStatusArgument) {
  EXPECT_EQ(PresenceRecord("ann", "Staff", 2), Int32(1) + "ann\r\nStaff\r\n" + Int32(2));
  EXPECT_EQ(PresenceRecord("", "", 255), Int32(1) + "\r\n\r\n" + Int32(255));
  // 2017's argument: low 8 bits of a decimal number, 1 for anything else.
  const std::vector<std::pair<std::string, int>> cases = {
      {"", 1},   {"2", 2},   {"0", 0},   {"256", 0}, {"258", 2},  {"-1", 255},
      {"+7", 7}, {"abc", 1}, {"2 3", 1}, {" 2", 1},  {"0x10", 1}, {"99999999999", 1},
      {"-", 1},  {"+", 1},   {"2a", 1},  {"-256", 0}};
  for (const auto& [argument, status] : cases) {
    EXPECT_EQ(PresenceStatusArgument(argument), status) << '"' << argument << '"';
  }
}

TEST(ListenerRecordTest, QueuedRecordsArriveInOrderAndWakeWritesThemFirst) {
  auto parked = std::make_unique<cParkedListener>();
  auto& client = parked->pair.client;
  ASSERT_TRUE(parked->record->QueueRecord("one"));
  ASSERT_TRUE(parked->record->SendRecord("two", 5s));
  EXPECT_EQ(client.ReadExact(6).value_or(""), "onetwo");
  // Records queued right before the wake are still written, then the listener ends and
  // takes no more.
  ASSERT_TRUE(parked->record->QueueRecord("three"));
  parked->record->Wake();
  EXPECT_EQ(client.ReadExact(5).value_or(""), "three");
  EXPECT_TRUE(parked->WaitEnded(5s));
  EXPECT_FALSE(parked->record->QueueRecord("late"));
  EXPECT_FALSE(parked->record->SendRecord("late", 100ms));
  EXPECT_EQ(parked->record->Probe(), TProbeResult::Dead);
}

TEST(ListenerRecordTest, ClientThatClosesEndsTheListenerAtOnce) {
  cParkedListener parked;
  // Stray bytes are dropped without ending anything.
  parked.pair.client.WriteText("noise");
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(parked.ended);
  const auto started = std::chrono::steady_clock::now();
  parked.pair.client.CloseNormal();
  EXPECT_TRUE(parked.WaitEnded(2s));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1500ms);
}

TEST(ListenerRecordTest, ProbeAnswers) {
  {
    cParkedListener parked;
    std::thread answer([&] {
      EXPECT_EQ(parked.pair.client.ReadInt32(), kProbeCode);
      parked.pair.client.WriteInt32(1);
    });
    EXPECT_EQ(parked.record->Probe(), TProbeResult::Alive);
    answer.join();
    EXPECT_FALSE(parked.ended);  // a live listener goes on
  }
  {
    cParkedListener parked;
    std::thread answer([&] {
      EXPECT_EQ(parked.pair.client.ReadInt32(), kProbeCode);
      parked.pair.client.WriteInt32(7);
    });
    EXPECT_EQ(parked.record->Probe(), TProbeResult::Dead);
    answer.join();
    EXPECT_TRUE(parked.WaitEnded(2s));
  }
  {
    cParkedListener parked;
    parked.pair.server.SetTimeouts(5000, 300);  // no answer within the receive time-out
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(parked.record->Probe(), TProbeResult::Dead);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    EXPECT_TRUE(parked.WaitEnded(2s));
  }
}

TEST(ListenerRecordTest, LoginsProbingAtOnceShareOneProbe) {
  cParkedListener parked;
  parked.pair.server.SetTimeouts(5000, 2000);
  std::vector<TProbeResult> results(4, TProbeResult::Dead);
  std::vector<std::thread> logins;
  for (auto& result : results) {
    logins.emplace_back([&parked, &result] { result = parked.record->Probe(); });
  }
  // Answer late, so every login is waiting on the probe already on the wire.
  std::this_thread::sleep_for(300ms);
  auto& client = parked.pair.client;
  EXPECT_EQ(client.ReadInt32(), kProbeCode);
  client.WriteInt32(1);
  for (auto& t : logins)
    t.join();
  for (auto result : results)
    EXPECT_EQ(result, TProbeResult::Alive);
  // Nothing but the one probe reached the client.
  EXPECT_FALSE(client.AwaitData(200));
}

TEST(ListenerRecordTest, ClientThatStopsReadingIsEndedWithoutStallingOthers) {
  cParkedListener stuck("stuck");
  cParkedListener fine("fine");
  stuck.pair.server.SetTimeouts(300, 5000);
  const std::string big(1024 * 1024, 'x');  // far more than the socket buffers hold
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(stuck.record->QueueRecord(big));
  EXPECT_TRUE(fine.record->QueueRecord("hello"));
  // Queueing never waits for the network.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 100ms);
  EXPECT_EQ(fine.pair.client.ReadExact(5).value_or(""), "hello");
  EXPECT_TRUE(stuck.WaitEnded(5s));
  EXPECT_FALSE(fine.ended);
}

TEST(ListenerRecordTest, QueueBeyondItsBoundEndsTheListener) {
  cParkedListener parked;
  parked.pair.server.SetTimeouts(60000, 5000);  // its write stalls; the bound must act first
  const std::string chunk(256 * 1024, 'y');
  bool refused = false;
  for (std::size_t sent = 0; sent <= 4 * kListenerQueueMaxBytes && !refused; sent += chunk.size()) {
    refused = !parked.record->QueueRecord(chunk);
  }
  EXPECT_TRUE(refused);
  // The write under way still holds the thread until the peer goes; closing it ends all.
  parked.pair.client.CloseAbort();
  EXPECT_TRUE(parked.WaitEnded(5s));
}
