#include <gtest/gtest.h>

#include "net/ZQSock.h"
#include "net/ZQString.h"

namespace zorvic {
namespace {

TEST(ZQString, TrimRemovesControlCodesAndBlanksOnly) {
  EXPECT_EQ(TrimControlChars(std::string("\x01\t a b \r\n\x20", 9)), "a b");
  EXPECT_EQ(TrimControlChars(std::string("\0x\0", 3)), "x");
  EXPECT_EQ(TrimControlChars("\x21x\x7f"), "\x21x\x7f");  // 33 and 127 are kept
  EXPECT_EQ(TrimControlChars("  \t "), "");
  EXPECT_EQ(TrimControlChars("\xe9t\xe9"), "\xe9t\xe9");  // high bytes are not blanks
}

TEST(ZQString, UpperCaseTouchesOnlyAsciiLetters) {
  EXPECT_EQ(UpperCaseAscii("Users_table9"), "USERS_TABLE9");
  EXPECT_EQ(UpperCaseAscii("\xe9\xe0{}`"), "\xe9\xe0{}`");
}

TEST(ZQString, GroupThousandsEveryThreeDigitsFromTheRight) {
  EXPECT_EQ(GroupThousands(0), "0");
  EXPECT_EQ(GroupThousands(999), "999");
  EXPECT_EQ(GroupThousands(1000), "1,000");
  EXPECT_EQ(GroupThousands(12345), "12,345");
  EXPECT_EQ(GroupThousands(123456), "123,456");
  EXPECT_EQ(GroupThousands(1234567), "1,234,567");
  EXPECT_EQ(GroupThousands(-1234), "-1,234");
  EXPECT_EQ(GroupThousands(INT64_MIN), "-9,223,372,036,854,775,808");
}

TEST(SocketErrors, TextsOfTheTableAndUnknownCodes) {
  EXPECT_EQ(ErrorText(10048), "Address already in use");
  EXPECT_EQ(ErrorText(10049), "Can't assign requested address");
  EXPECT_EQ(ErrorText(10053), "Software caused connection abort");
  EXPECT_EQ(ErrorText(10060), "Connection timed out");
  EXPECT_EQ(ErrorText(10092), "WSOCK32.DLL DLL cannot support this application");
  EXPECT_EQ(ErrorText(11004), "No Data");
  EXPECT_EQ(ErrorText(12345), "Unknown Socket Error (12,345)");
  EXPECT_EQ(ErrorText(0), "Unknown Socket Error (0)");
  EXPECT_EQ(ErrorText(10072), "Unknown Socket Error (10,072)");
  EXPECT_EQ(ErrorText(-5), "Unknown Socket Error (-5)");
}

TEST(SocketErrors, ErrnoMapsToTheTableNumbers) {
  EXPECT_EQ(SocketErrorFromErrno(ECONNABORTED), 10053);
  EXPECT_EQ(SocketErrorFromErrno(ENOBUFS), 10055);
  EXPECT_EQ(SocketErrorFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(SocketErrorFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(SocketErrorFromErrno(EPIPE), 10053);
  EXPECT_EQ(SocketErrorFromErrno(EAGAIN), 10060);
  EXPECT_EQ(SocketErrorFromErrno(EAGAIN, false), 10035);
  EXPECT_EQ(SocketErrorFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(SocketErrorFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(SocketErrorFromErrno(EMFILE), 10024);
  EXPECT_EQ(SocketErrorFromErrno(0), 0);
}

TEST(SocketErrors, BlockSizeFlags) {
  EXPECT_EQ(BlockSizeBytes(bsfZero), 0);
  EXPECT_EQ(BlockSizeBytes(bsfRealSmall), 128);
  EXPECT_EQ(BlockSizeBytes(bsfSmall), 256);
  EXPECT_EQ(BlockSizeBytes(bsfNormal), 512);
  EXPECT_EQ(BlockSizeBytes(bsfBigger), 2048);
  EXPECT_EQ(BlockSizeBytes(bsfBiggest), 4096);
  EXPECT_EQ(BlockSizeBytes(bsfHUGE), 16384);
  EXPECT_EQ(BlockSizeBytes(static_cast<TZQBlockSizeFlags>(42)), 16384);
  TZQSock sock;
  EXPECT_EQ(sock.OutputBufferSize(), bsfNormal);
}

}  // namespace
}  // namespace zorvic
