#include "app/IniFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "app/ThreadINIFile.h"
#include "support/TempDir.h"

using namespace zorvic;
using zorvic::testing::ReadFileBytes;
using zorvic::testing::TTempDir;
using zorvic::testing::WriteFileBytes;

namespace {

class IniFileTest : public ::testing::Test {
 protected:
  TTempDir dir;
  std::string path = dir.File("ServerOptions.ini");
  TIniFile ini{path};
};

TEST_F(IniFileTest, ReadsValuesLikeTheProfileReader) {
  WriteFileBytes(path,
                 "; options\n"
                 "stray=before any section\n"
                 "[serveroptions]\n"
                 "  enablelogging =  1  \n"
                 "SubjectLine = \"  quoted value  \"\n"
                 "Single='x'\n"
                 "Mismatched=\"abc'\n"
                 "TwoPairs=\"\"a\"\"\n"
                 "Equals=a=b=c\n"
                 "Empty=\n"
                 "no equals sign here\n"
                 "[Other]\n"
                 "EnableLogging=0\n");
  EXPECT_TRUE(ini.ReadBool("ServerOptions", "EnableLogging", false));
  EXPECT_EQ(ini.ReadString("SERVEROPTIONS", "subjectline", "d"), "  quoted value  ");
  EXPECT_EQ(ini.ReadString("ServerOptions", "Single", "d"), "x");
  EXPECT_EQ(ini.ReadString("ServerOptions", "Mismatched", "d"), "\"abc'");
  EXPECT_EQ(ini.ReadString("ServerOptions", "TwoPairs", "d"), "\"a\"");
  EXPECT_EQ(ini.ReadString("ServerOptions", "Equals", "d"), "a=b=c");
  EXPECT_EQ(ini.ReadString("ServerOptions", "Empty", "d"), "");
  EXPECT_EQ(ini.ReadString("ServerOptions", "stray", "d"), "d");
  EXPECT_EQ(ini.ReadString("ServerOptions", "no equals sign here", "d"), "d");
  EXPECT_EQ(ini.ReadString("Missing", "EnableLogging", "d"), "d");
  EXPECT_EQ(ini.ReadString("Other", "Missing", "d"), "d");
  EXPECT_FALSE(ini.ReadBool("Other", "EnableLogging", true));
}

TEST_F(IniFileTest, MissingOrUnreadableFileGivesDefaults) {
  EXPECT_EQ(ini.ReadString("ServerOptions", "SMTPServer", "def"), "def");
  EXPECT_EQ(ini.ReadInteger("ServerOptions", "MaxMsgSize", 1), 1);
  EXPECT_TRUE(ini.ReadBool("ServerOptions", "DataScrambling", true));
  EXPECT_TRUE(ini.ReadSection("ServerOptions").empty());

  std::filesystem::create_directory(path);  // a folder where the file should be
  EXPECT_EQ(ini.ReadString("ServerOptions", "SMTPServer", "def"), "def");

  std::filesystem::remove(path);
  WriteFileBytes(path, "[S]\nK=" + std::string(2 * 1024 * 1024, 'x') + "\n");  // too big
  EXPECT_EQ(ini.ReadString("S", "K", "def"), "def");
}

TEST_F(IniFileTest, IntegersAndBooleans) {
  WriteFileBytes(path,
                 "[S]\nHex=0x10\nHexUpper=0XfF\nAllOnes=0xFFFFFFFF\nHexTooLong=0x100000000\n"
                 "BareHexPrefix=0x\nNeg=-42\nPlus=+7\nMax=2147483647\nMin=-2147483648\n"
                 "Over=2147483648\nWord=false\nYes=yes\nZero=0\nTwo=2\nInner=1 2\nQuoted=\"5\"\n"
                 "Junk=12abc\nSign=-\n");
  EXPECT_EQ(ini.ReadInteger("S", "Hex", 1), 16);
  EXPECT_EQ(ini.ReadInteger("S", "HexUpper", 1), 255);
  EXPECT_EQ(ini.ReadInteger("S", "AllOnes", 1), -1);
  EXPECT_EQ(ini.ReadInteger("S", "HexTooLong", 1), 1);
  EXPECT_EQ(ini.ReadInteger("S", "BareHexPrefix", 9), 9);
  EXPECT_EQ(ini.ReadInteger("S", "Neg", 1), -42);
  EXPECT_EQ(ini.ReadInteger("S", "Plus", 1), 7);
  EXPECT_EQ(ini.ReadInteger("S", "Max", 1), 2147483647);
  EXPECT_EQ(ini.ReadInteger("S", "Min", 1), -2147483647 - 1);
  EXPECT_EQ(ini.ReadInteger("S", "Over", 1), 1);
  EXPECT_EQ(ini.ReadInteger("S", "Inner", 3), 3);
  EXPECT_EQ(ini.ReadInteger("S", "Quoted", 3), 5);
  EXPECT_EQ(ini.ReadInteger("S", "Junk", 3), 3);
  EXPECT_EQ(ini.ReadInteger("S", "Sign", 3), 3);
  // A word is not an integer: the default applies, so "false" leaves a default-true option on.
  EXPECT_TRUE(ini.ReadBool("S", "Word", true));
  EXPECT_FALSE(ini.ReadBool("S", "Yes", false));
  EXPECT_FALSE(ini.ReadBool("S", "Zero", true));
  EXPECT_TRUE(ini.ReadBool("S", "Two", false));
  EXPECT_TRUE(ini.ReadBool("S", "Hex", false));
}

TEST_F(IniFileTest, LongValuesAreCutTo2047Characters) {
  std::string longValue(3000, 'v');
  WriteFileBytes(path, "[S]\nK=" + longValue + "\nExact=" + std::string(2047, 'e') + "\n");
  EXPECT_EQ(ini.ReadString("S", "K", ""), std::string(2047, 'v'));
  EXPECT_EQ(ini.ReadString("S", "Exact", ""), std::string(2047, 'e'));
}

TEST_F(IniFileTest, DuplicatesFirstWinsAndListingKeepsFileOrder) {
  WriteFileBytes(path, "[S]\nZeta=1\nalpha=2\nZETA=3\nMid=4\n[other]\nX=1\n[s]\nalpha=9\nLate=5\n");
  EXPECT_EQ(ini.ReadInteger("S", "zeta", 0), 1);
  EXPECT_EQ(ini.ReadInteger("S", "Alpha", 0), 2);
  EXPECT_EQ(ini.ReadInteger("S", "Late", 0), 0);
  EXPECT_EQ(ini.ReadSection("s"), (std::vector<std::string>{"Zeta", "alpha", "Mid"}));
  EXPECT_TRUE(ini.SectionExists("OTHER"));
  EXPECT_FALSE(ini.SectionExists("Nope"));

  ini.WriteString("S", "alpha", "7");
  EXPECT_EQ(ini.ReadInteger("S", "alpha", 0), 7);
  EXPECT_NE(ReadFileBytes(path).find("[s]\nalpha=9\n"), std::string::npos);
}

TEST_F(IniFileTest, ByteOrderMarkAndCrLfAreKept) {
  WriteFileBytes(path, "\xEF\xBB\xBF[S]\r\nA=1\r\n\r\n[T]\r\nB=2");
  EXPECT_EQ(ini.ReadInteger("S", "A", 0), 1);
  EXPECT_EQ(ini.ReadInteger("T", "B", 0), 2);
  ini.WriteString("S", "C", "3");
  EXPECT_EQ(ReadFileBytes(path), "\xEF\xBB\xBF[S]\r\nA=1\r\nC=3\r\n\r\n[T]\r\nB=2\r\n");
}

TEST_F(IniFileTest, WritesReplaceAddKeyAddSectionAndCreateTheFile) {
  ini.WriteString("ServerOptions", "EnableLogging", "1");
  EXPECT_EQ(ReadFileBytes(path), "[ServerOptions]\nEnableLogging=1\n");

  WriteFileBytes(path,
                 "; keep me\n[ServerOptions]\nenablelogging = 0 ; note\nSMTPServer=mail\n\n"
                 "; section comment\n[Other]\nK=v\n");
  ini.WriteString("SERVEROPTIONS", "EnableLogging", "1");
  ini.WriteString("ServerOptions", "SubjectLine", "Hello there");
  ini.WriteString("Brand New", "Key", "value");
  EXPECT_EQ(ReadFileBytes(path),
            "; keep me\n[ServerOptions]\nenablelogging=1\nSMTPServer=mail\n"
            "SubjectLine=Hello there\n\n; section comment\n[Other]\nK=v\n\n"
            "[Brand New]\nKey=value\n");
  EXPECT_EQ(ini.ReadSection("ServerOptions"),
            (std::vector<std::string>{"enablelogging", "SMTPServer", "SubjectLine"}));

  // No temporary file is left beside it.
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1);
}

TEST_F(IniFileTest, AValueCannotInjectLinesAndBadNamesAreRefused) {
  ini.WriteString("S", "A", std::string("one\r\n[Evil]\nB=2\0x", 17));
  EXPECT_FALSE(ini.SectionExists("Evil"));
  EXPECT_EQ(ini.ReadSection("S"), std::vector<std::string>{"A"});
  EXPECT_EQ(ini.ReadString("S", "A", ""), "one  [Evil] B=2 x");

  for (const char* key : {"", "a=b", "[x", ";c", "a\nb", " lead", "trail "}) {
    EXPECT_THROW(ini.WriteString("S", key, "v"), EIniFileError) << key;
  }
  EXPECT_THROW(ini.WriteString("a]b", "k", "v"), EIniFileError);
  EXPECT_THROW(ini.WriteString("", "k", "v"), EIniFileError);
  EXPECT_EQ(ini.ReadSection("S"), std::vector<std::string>{"A"});
}

TEST_F(IniFileTest, FailedWriteRaisesUnableToWrite) {
  WriteFileBytes(dir.File("plainfile"), "x");
  TIniFile bad(dir.File("plainfile") + "/options.ini");
  try {
    bad.WriteString("S", "K", "V");
    FAIL() << "no error";
  } catch (const EIniFileError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Unable to write to " + dir.File("plainfile") + "/options.ini");
  }
  // A file that exists but cannot be parsed safely is never overwritten.
  std::string big = "[S]\nK=" + std::string(2 * 1024 * 1024, 'x') + "\n";
  WriteFileBytes(path, big);
  EXPECT_THROW(ini.WriteString("S", "Other", "1"), EIniFileError);
  EXPECT_EQ(ReadFileBytes(path).size(), big.size());
}

TEST_F(IniFileTest, WriteThroughASymlinkKeepsTheLink) {
  WriteFileBytes(dir.File("real.ini"), "[S]\nA=1\n");
  std::filesystem::create_symlink(dir.File("real.ini"), path);
  ini.WriteString("S", "A", "2");
  EXPECT_TRUE(std::filesystem::is_symlink(path));
  EXPECT_EQ(ReadFileBytes(dir.File("real.ini")), "[S]\nA=2\n");
}

TEST_F(IniFileTest, ChangesByOthersAndRemovalAreSeenAtOnce) {
  TIniFile other(path);
  other.WriteString("Settings", "UpdatePolicy", "2");
  EXPECT_EQ(ini.ReadString("Settings", "UpdatePolicy", "0"), "2");
  std::filesystem::remove(path);
  EXPECT_EQ(ini.ReadString("Settings", "UpdatePolicy", "0"), "0");
}

// Reads of a file left alone come from memory; every way another program can change it in place
// must still show at the next read: a new size, a new modification time, and even a rewrite of
// the same size that puts the old modification time back (the change time still moves).
TEST_F(IniFileTest, InPlaceEditsOfASettledFileAreSeen) {
  auto settle = [&](const timespec& when) {
    const timespec times[2] = {when, when};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  };
  const timespec old{1'000'000'000, 0};
  WriteFileBytes(path, "[Server]\nPort=11111\n");
  settle(old);
  EXPECT_EQ(ini.ReadInteger("Server", "Port", 0), 11111);
  EXPECT_EQ(ini.ReadInteger("Server", "Port", 0), 11111);  // now from memory

  WriteFileBytes(path, "[Server]\nPort=22222\n");  // same size, new time
  EXPECT_EQ(ini.ReadInteger("Server", "Port", 0), 22222);
  settle(old);
  EXPECT_EQ(ini.ReadInteger("Server", "Port", 0), 22222);

  WriteFileBytes(path, "[Server]\nPort=33333\n");  // same size, the old time put back
  settle(old);
  EXPECT_EQ(ini.ReadInteger("Server", "Port", 0), 33333);
  EXPECT_EQ(ini.ReadSection("Server"), std::vector<std::string>{"Port"});

  WriteFileBytes(path, "[Server]\nPort=4\n[Other]\n");
  settle(old);
  EXPECT_TRUE(ini.SectionExists("Other"));
  std::filesystem::remove(path);
  EXPECT_FALSE(ini.SectionExists("Other"));
  EXPECT_EQ(ini.ReadInteger("Server", "Port", 0), 0);
}

// Writers on two file objects of one path, from several threads: every key each thread wrote
// must survive, and the file must stay parseable throughout.
TEST_F(IniFileTest, ConcurrentWritersThroughTwoObjectsLoseNothing) {
  unsigned seed = std::random_device{}();
  TThreadINIFile first(path);
  TThreadINIFile second(path);
  constexpr int kThreads = 4;
  constexpr int kWrites = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(seed + static_cast<unsigned>(t));
      for (int i = 0; i < kWrites; ++i) {
        TThreadINIFile& file = (rng() & 1) ? first : second;
        std::string section = "S" + std::to_string(rng() % 3);
        TIniFileLock ini(file);
        ini->WriteString(section, "T" + std::to_string(t) + "K" + std::to_string(i),
                         std::to_string(i));
      }
    });
  }
  for (auto& th : threads)
    th.join();
  std::size_t total = 0;
  for (int s = 0; s < 3; ++s)
    total += ini.ReadSection("S" + std::to_string(s)).size();
  EXPECT_EQ(total, static_cast<std::size_t>(kThreads * kWrites)) << "seed " << seed;
}

TEST(ThreadINIFile, LockIsReentrantAndExcludesOtherThreads) {
  TTempDir dir;
  TThreadINIFile file(dir.File("versions.ini"));
  TIniFile& outer = file.LockIni();
  TIniFile& inner = file.LockIni();  // same thread: must not deadlock
  EXPECT_EQ(&outer, &inner);
  inner.WriteString("Client", "Version", "1.10");
  file.UnlockIni();

  bool otherGotIt = false;
  std::thread other([&] {
    TIniFileLock ini(file);
    otherGotIt = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(otherGotIt);  // still held once by this thread
  file.UnlockIni();
  other.join();
  EXPECT_TRUE(otherGotIt);
  EXPECT_EQ(ReadIniString(file, "client", "version", "0.01"), "1.10");
  EXPECT_EQ(ReadIniInteger(file, "Client", "Missing", 5), 5);
  EXPECT_TRUE(ReadIniBool(file, "Client", "Missing", true));
}

TEST(ParseIniInteger, RejectsEmptyAndBlanks) {
  std::int32_t v = 0;
  EXPECT_FALSE(ParseIniInteger("", v));
  EXPECT_FALSE(ParseIniInteger(" 1", v));
  EXPECT_FALSE(ParseIniInteger("0x1g", v));
  EXPECT_TRUE(ParseIniInteger("0x0000000010", v));  // leading zeros do not count as overflow
  EXPECT_EQ(v, 16);
}

}  // namespace
