// Reading from a TZQSock over real loopback connections: lines with every terminator, lines
// mixed with binary data, over-long lines, integers and blocks that arrive in pieces.
#include <gtest/gtest.h>

#include <random>

#include "NetTestSupport.h"

namespace zorvic {
namespace {

using testing::Int32Bytes;
using testing::SocketPair;
using testing::WaitFor;

void Pause(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

TEST(SockReadLine, EveryTerminatorEndsTheSameCommandLine) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  ASSERT_TRUE(pair.client.Send("2000\r\n2000\n2000\r2001\r\n"));
  for (const char* expected : {"2000", "2000", "2000", "2001"}) {
    EXPECT_EQ(pair.server.ReadLine(1000), expected);
    EXPECT_FALSE(pair.server.LastReadTimeout());
  }
  // Nothing of the last CR LF is left over as an extra empty line.
  EXPECT_EQ(pair.server.CharactersToRead(), 0);
}

TEST(SockReadLine, EmptyLinesAndPairedTerminators) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  // LF LF found among waiting bytes is one terminator; CR CR is two.
  ASSERT_TRUE(pair.client.Send("\r\na\n\nb\r\rc\r\n"));
  EXPECT_EQ(pair.server.ReadLine(1000), "");
  EXPECT_FALSE(pair.server.LastReadTimeout());
  EXPECT_EQ(pair.server.ReadLine(1000), "a");
  EXPECT_EQ(pair.server.ReadLine(1000), "b");
  EXPECT_EQ(pair.server.ReadLine(1000), "");
  EXPECT_EQ(pair.server.ReadLine(1000), "c");
}

TEST(SockReadLine, CrLfSplitAcrossSegmentsLeavesNoStrayLine) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  ASSERT_TRUE(pair.client.Send("2000\r"));
  EXPECT_EQ(pair.server.ReadLine(1000), "2000");
  ASSERT_TRUE(pair.client.Send("\n2012\r"));
  EXPECT_EQ(pair.server.ReadLine(1000), "2012");
  // The late LF alone must not wake the session as if a command had come.
  ASSERT_TRUE(pair.client.Send("\n"));
  EXPECT_FALSE(pair.server.AwaitData(150));
  EXPECT_TRUE(pair.server.ValidSocket());
  // ... and the LF of a split CR LF in front of binary data is not part of the data.
  ASSERT_TRUE(pair.client.Send("2003 1\r"));
  EXPECT_EQ(pair.server.ReadLine(1000), "2003 1");
  ASSERT_TRUE(pair.client.Send("\n" + Int32Bytes(0x0A0B0C0D)));
  EXPECT_EQ(pair.server.ReadInt32(), 0x0A0B0C0D);
  // A lone CR followed by a real line still leaves the line intact.
  ASSERT_TRUE(pair.client.Send("x\r"));
  EXPECT_EQ(pair.server.ReadLine(1000), "x");
  ASSERT_TRUE(pair.client.Send("y\r\n"));
  EXPECT_EQ(pair.server.ReadLine(1000), "y");
}

TEST(SockReadLine, LineFollowedByBinaryInOnePacket) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  // The integer's bytes are themselves CR and LF: the line reader must not touch them.
  ASSERT_TRUE(pair.client.Send("2015 settings.ini\r\n" + Int32Bytes(0x0D0A0D0A) + "tail"));
  EXPECT_EQ(pair.server.ReadLine(1000), "2015 settings.ini");
  EXPECT_EQ(pair.server.ReadInt32(), 0x0D0A0D0A);
  EXPECT_EQ(pair.server.ReadChunk(100), "tail");
  // After LF alone the binary data starts right after the LF.
  ASSERT_TRUE(pair.client.Send("x\n" + Int32Bytes(0x0D000001)));
  EXPECT_EQ(pair.server.ReadLine(1000), "x");
  EXPECT_EQ(pair.server.ReadInt32(), 0x0D000001);
}

TEST(SockReadLine, OverlongLineGivesEmptyLineThenItsTail) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  std::string longLine;
  for (int i = 0; i < 3000; ++i)
    longLine.push_back(static_cast<char>('a' + i % 26));
  ASSERT_TRUE(pair.client.Send(longLine + "\r\nnext\r\n"));
  ASSERT_TRUE(WaitFor([&] { return pair.server.CharactersToRead() >= 3008; }));
  EXPECT_EQ(pair.server.ReadLine(1000), "");
  EXPECT_FALSE(pair.server.LastReadTimeout());  // answered as an unknown command, not dropped
  std::string tail = pair.server.ReadLine(1000);
  EXPECT_FALSE(tail.empty());
  EXPECT_LT(tail.size(), 3000u - 2048u + 1u);
  EXPECT_EQ(longLine.substr(longLine.size() - tail.size()), tail);
  EXPECT_EQ(pair.server.ReadLine(1000), "next");
}

TEST(SockReadLine, LongestLineThatFitsIsReturnedWhole) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  std::string line(2047, 'q');
  // Sent in pieces, so the reader sees it grow without a terminator for a while.
  ASSERT_TRUE(pair.client.Send(line.substr(0, 1000)));
  std::thread sender([&] {
    Pause(30);
    pair.client.Send(line.substr(1000));
    Pause(30);
    pair.client.Send("\r\n");
  });
  EXPECT_EQ(pair.server.ReadLine(2000), line);
  sender.join();
}

TEST(SockReadLine, DeadlineDropsThePartialLine) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  ASSERT_TRUE(pair.client.Send("partial"));
  EXPECT_EQ(pair.server.ReadLine(150), "");
  EXPECT_TRUE(pair.server.LastReadTimeout());
  EXPECT_TRUE(pair.server.ValidSocket());
  ASSERT_TRUE(pair.client.Send("rest\r\n"));
  EXPECT_EQ(pair.server.ReadLine(1000), "rest");
  EXPECT_FALSE(pair.server.LastReadTimeout());
}

TEST(SockReadLine, PeerClosingMidLineEndsTheRead) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  ASSERT_TRUE(pair.client.Send("half a li"));
  pair.client.Close();
  EXPECT_EQ(pair.server.ReadLine(2000), "");
  EXPECT_TRUE(pair.server.LastReadTimeout());
  EXPECT_FALSE(pair.server.ValidSocket());
  EXPECT_EQ(pair.server.ReadLine(2000), "");  // closed: at once, empty
}

TEST(SockReadInt32, BytesTrickledOneAtATime) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  std::string bytes = Int32Bytes(-2);
  std::thread sender([&] {
    for (char c : bytes) {
      pair.client.Send(std::string(1, c));
      Pause(25);
    }
  });
  EXPECT_EQ(pair.server.ReadInt32(), -2);
  EXPECT_FALSE(pair.server.LastReadTimeout());
  sender.join();
}

TEST(SockReadInt32, ShortIntegerGivesMinusOne) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  pair.server.SetTimeouts(1000, 150);
  ASSERT_TRUE(pair.client.Send(std::string("\x00\x01", 2)));
  EXPECT_EQ(pair.server.ReadInt32(), -1);  // stalled after two bytes
  EXPECT_TRUE(pair.server.LastReadTimeout());
  ASSERT_TRUE(pair.client.Send(std::string("\x00", 1)));
  pair.client.Close();
  EXPECT_EQ(pair.server.ReadInt32(), -1);  // closed after one byte
  EXPECT_FALSE(pair.server.ValidSocket());
}

TEST(SockReadChunk, ReturnsWhatHasArrived) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  ASSERT_TRUE(pair.client.Send(std::string(40, 'z')));
  ASSERT_TRUE(WaitFor([&] { return pair.server.CharactersToRead() == 40; }));
  EXPECT_EQ(pair.server.ReadChunk(100), std::string(40, 'z'));
  EXPECT_EQ(pair.server.ReadChunk(0), "");

  ASSERT_TRUE(pair.client.Send(std::string(20000, 'y')));
  ASSERT_TRUE(WaitFor([&] { return pair.server.CharactersToRead() == 20000; }));
  std::string chunk = pair.server.ReadChunk(-1);
  EXPECT_EQ(chunk.size(), 16384u);
  EXPECT_EQ(pair.server.ReadChunk(-1).size(), 20000u - 16384u);
}

TEST(SockReadBuffer, TimeoutLeavesConnectionOpenAndCloseIsReported) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  pair.server.SetTimeouts(1000, 100);
  char buffer[8];
  EXPECT_EQ(pair.server.ReadBuffer(buffer, 8), -1);
  EXPECT_TRUE(pair.server.LastReadTimeout());
  EXPECT_EQ(pair.server.LastCommandStatus(), kSockErrTimedOut);
  EXPECT_TRUE(pair.server.Connected());
  EXPECT_EQ(pair.server.ReadBuffer(buffer, 0), 0);

  pair.client.Send("ab");
  EXPECT_EQ(pair.server.ReadBuffer(buffer, 8), 2);
  EXPECT_FALSE(pair.server.LastReadTimeout());

  pair.client.Close();
  EXPECT_EQ(pair.server.ReadBuffer(buffer, 8), 0);
  EXPECT_TRUE(pair.server.LastReadTimeout());
  EXPECT_FALSE(pair.server.ValidSocket());
  EXPECT_FALSE(pair.server.Connected());
}

TEST(SockReadExact, WholeBlocksOrNothing) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  std::string block(100000, '\0');
  for (size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<char>(i * 7);
  std::thread sender([&] {
    for (size_t at = 0; at < block.size(); at += 30000) {
      pair.client.Send(block.substr(at, 30000));
      Pause(10);
    }
  });
  auto got = pair.server.ReadExact(block.size(), 2000);
  sender.join();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, block);

  // A huge announced length with a peer that stalls: fails after the idle time-out.
  pair.client.Send("only this");
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(pair.server.ReadExact(size_t{1} << 40, 150).has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(pair.server.LastReadTimeout());
  EXPECT_TRUE(pair.server.ValidSocket());

  char four[4];
  pair.client.Send("xy");
  pair.client.Close();
  EXPECT_FALSE(pair.server.ReadExactInto(four, 4, 2000));
  EXPECT_FALSE(pair.server.ValidSocket());
  EXPECT_FALSE(pair.server.ReadExact(1, 100).has_value());
  EXPECT_TRUE(pair.server.ReadExact(0, 100).has_value());
}

// A random stream of lines (every terminator), integers and blocks, cut into random segments
// with pauses between some of them, must read back record by record.
TEST(SockReadRandomized, MixedRecordsSurviveAnySegmentation) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  SocketPair pair;
  ASSERT_TRUE(pair.ok);

  struct Record {
    int kind;  // 0 line, 1 integer, 2 block
    std::string text;
    int32_t value = 0;
  };
  std::vector<Record> records;
  std::string wire;
  std::string previousTerminator = "\r\n";
  for (int i = 0; i < 300; ++i) {
    int kind = static_cast<int>(random() % 3);
    // Binary data right after a line is only unambiguous after CR LF, which clients send.
    if (kind != 0 && previousTerminator != "\r\n") kind = 0;
    Record record{kind, {}, 0};
    if (kind == 0) {
      size_t length = random() % 5 == 0 ? random() % 2048 : random() % 40;
      // An empty line is unambiguous only after CR LF and with CR LF of its own.
      if (length == 0 && previousTerminator != "\r\n") length = 1;
      for (size_t c = 0; c < length; ++c)
        record.text.push_back(static_cast<char>(' ' + random() % 95));
      static const char* const kTerminators[] = {"\r\n", "\n", "\r"};
      std::string terminator = length == 0 ? "\r\n" : kTerminators[random() % 3];
      wire += record.text + terminator;
      previousTerminator = terminator;
    } else if (kind == 1) {
      record.value = static_cast<int32_t>(random());
      wire += Int32Bytes(record.value);
    } else {
      size_t length = 1 + random() % 3000;
      for (size_t c = 0; c < length; ++c)
        record.text.push_back(static_cast<char>(random()));
      wire += Int32Bytes(static_cast<int32_t>(length)) + record.text;
    }
    if (kind != 0) previousTerminator = "\r\n";  // binary data ends nothing ambiguous
    records.push_back(std::move(record));
  }
  // A line must not start with a byte that pairs with the previous terminator's last byte;
  // the generator above keeps terminators before binary data CR LF and line text printable.

  std::thread sender([&] {
    std::mt19937 cuts(seed + 1);
    size_t at = 0;
    while (at < wire.size()) {
      size_t piece = 1 + cuts() % 700;
      pair.client.Send(wire.substr(at, piece));
      at += piece;
      if (cuts() % 4 == 0) Pause(1);
    }
  });
  for (size_t i = 0; i < records.size(); ++i) {
    const Record& record = records[i];
    SCOPED_TRACE("record " + std::to_string(i));
    if (record.kind == 0) {
      ASSERT_TRUE(pair.server.AwaitData(5000) || record.text.empty());
      ASSERT_EQ(pair.server.ReadLine(5000), record.text);
      ASSERT_FALSE(pair.server.LastReadTimeout());
    } else if (record.kind == 1) {
      ASSERT_EQ(pair.server.ReadInt32(), record.value);
    } else {
      int32_t length = pair.server.ReadInt32();
      ASSERT_EQ(length, static_cast<int32_t>(record.text.size()));
      auto block = pair.server.ReadExact(static_cast<size_t>(length), 5000);
      ASSERT_TRUE(block.has_value());
      ASSERT_EQ(*block, record.text);
    }
  }
  sender.join();
}

}  // namespace
}  // namespace zorvic
