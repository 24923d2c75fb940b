// Announced payloads on real connected sockets: exact bytes across many receives, a peer that
// stops half-way, a payload streamed to a file, a refused payload drained so that the next
// line is read as a command, and the size options in 64 bits.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "app/ThreadINIFile.h"
#include "net/ZQSock.h"
#include "protocol/Payload.h"
#include "support/SocketPair.h"
#include "support/TempDir.h"

using namespace zorvic;
using zorvic::testing::ReadFileBytes;
using zorvic::testing::TTempDir;
using namespace std::chrono_literals;

namespace {

// A connected pair whose server side gives up a receive after two seconds.
struct cSocketPair : zorvic::testing::cSocketPair {
  cSocketPair() { server.SetTimeouts(2000, 2000); }
};

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
  return bytes;
}

}  // namespace

TEST(PayloadTest, ReceivesExactBytesAcrossManyReceivesAndRefusesNegativeSizes) {
  cSocketPair pair;
  const std::string sent = Pattern(300 * 1024 + 17);
  std::thread writer([&] { pair.client.WriteBuffer(sent.data(), static_cast<int>(sent.size())); });
  std::string received;
  EXPECT_TRUE(ReceivePayload(pair.server, static_cast<std::int64_t>(sent.size()), received));
  writer.join();
  EXPECT_EQ(received, sent);

  EXPECT_TRUE(ReceivePayload(pair.server, 0, received));
  EXPECT_TRUE(received.empty());
  EXPECT_FALSE(ReceivePayload(pair.server, -1, received));
  EXPECT_FALSE(DiscardPayload(pair.server, -5));
}

TEST(PayloadTest, AHugeAnnouncementFromAPeerThatStopsFailsWithoutKeepingItsBytes) {
  cSocketPair pair;
  pair.client.WriteText("only a few bytes");
  pair.client.CloseNormal();
  std::string received;
  // A gibibyte announced, a handful sent: the receive ends with the connection and gives
  // nothing back; memory was only ever taken chunk by chunk.
  EXPECT_FALSE(ReceivePayload(pair.server, std::int64_t{1} << 30, received));
  EXPECT_TRUE(received.empty());
}

TEST(PayloadTest, StreamsToAFileAndRemovesTheFileWhenTheTransferFails) {
  TTempDir dir;
  const std::string sent = Pattern(200 * 1024 + 3);
  {
    cSocketPair pair;
    std::thread writer(
        [&] { pair.client.WriteBuffer(sent.data(), static_cast<int>(sent.size())); });
    EXPECT_TRUE(
        ReceivePayloadToFile(pair.server, static_cast<std::int64_t>(sent.size()), dir.File("a")));
    writer.join();
    EXPECT_EQ(ReadFileBytes(dir.File("a")), sent);
  }
  {
    cSocketPair pair;
    pair.client.WriteBuffer(sent.data(), 1000);
    pair.client.CloseNormal();
    EXPECT_FALSE(ReceivePayloadToFile(pair.server, 5000, dir.File("b")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("b")));
  }
}

TEST(PayloadTest, ADiscardedPayloadLeavesTheNextLineIntact) {
  cSocketPair pair;
  const std::string payload = Pattern(70 * 1024);
  std::thread writer([&] {
    pair.client.WriteBuffer(payload.data(), static_cast<int>(payload.size()));
    pair.client.WriteLine("2105");
  });
  EXPECT_TRUE(DiscardPayload(pair.server, static_cast<std::int64_t>(payload.size())));
  EXPECT_EQ(pair.server.ReadLine(2000), "2105");
  writer.join();
}

TEST(PayloadTest, SizeOptionsAreKilobytesInSixtyFourBits) {
  TTempDir dir;
  TThreadINIFile options(dir.File("ServerOptions.ini"));
  EXPECT_EQ(MaxUploadBytes(options), std::int64_t{1048576} * 1024);
  EXPECT_EQ(MaxPacketBytes(options), std::int64_t{16384} * 1024);
  {
    TIniFileLock ini(options);
    ini->WriteString("ServerOptions", "MaxUploadSize", "2097151");
    ini->WriteString("ServerOptions", "MaxPacketSize", "2");
  }
  EXPECT_EQ(MaxUploadBytes(options), std::int64_t{2097151} * 1024);  // past 2^31 bytes
  EXPECT_EQ(MaxPacketBytes(options), 2048);
  {
    TIniFileLock ini(options);
    ini->WriteString("ServerOptions", "MaxUploadSize", "0");
    ini->WriteString("ServerOptions", "MaxPacketSize", "-3");
  }
  EXPECT_EQ(MaxUploadBytes(options), std::int64_t{1048576} * 1024);
  EXPECT_EQ(MaxPacketBytes(options), std::int64_t{16384} * 1024);
}
