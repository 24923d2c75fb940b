// File names, INI values, uploads through a temporary file and files sent in pieces, through
// the C++ API on a connected pair of sockets; the dispatcher's codes and the policy commands
// on a server object.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "admin/AdminFiles.h"
#include "admin/FileTransfer.h"
#include "app/Console.h"
#include "app/Folders.h"
#include "app/IniFile.h"
#include "app/Server.h"
#include "net/ZQSock.h"
#include "protocol/ClientInfo.h"
#include "protocol/Command.h"
#include "support/TempDir.h"

namespace zorvic {
namespace {

using testing::ReadFileBytes;
using testing::TTempDir;
using testing::WriteFileBytes;

std::size_t CountTemporaries(const std::string& folder) {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().filename().string().starts_with(kUploadTempPrefix)) ++count;
  return count;
}

TEST(TransferFileNames, StayInsideTheirFolder) {
  for (const char* good : {"settings.ini", "my settings", "...", "a..b", "Messages",
                           "MyMessages.DAT", "versions.ini", ".hidden"})
    EXPECT_TRUE(IsSafeSettingsFileName(good)) << good;
  EXPECT_TRUE(IsSafeTransferFileName(std::string(255, 'x')));
  EXPECT_FALSE(IsSafeTransferFileName(std::string(256, 'x')));
  for (const std::string& bad : std::vector<std::string>{
           "", ".", "..", "../x", "/etc/passwd", "a/b", "a\\b", "tab\tname", "line\nbreak",
           std::string("nul\0byte", 8), "del\x7f", ".zorvic-upload-abc123", ".ZORVIC-UPLOAD-x"}) {
    EXPECT_FALSE(IsSafeTransferFileName(bad)) << bad;
    EXPECT_FALSE(IsSafeSettingsFileName(bad)) << bad;
  }
  // The files of the user's Messages table, in any letter case (the engine finds them so).
  for (const char* table :
       {"Messages.DAT", "messages.idx", "MESSAGES.BLB", "Messages.JNL", "Messages.x"}) {
    EXPECT_FALSE(IsSafeSettingsFileName(table)) << table;
    EXPECT_TRUE(IsSafeTransferFileName(table)) << table;  // no table lives in Updates
  }
}

TEST(TransferLogText, ShowsClientTextSafely) {
  EXPECT_EQ(ShownClientText("a\nb\x01"), "'a?b?'");
  EXPECT_EQ(ShownClientText(std::string(70, 'x')), "'" + std::string(64, 'x') + "...'");
  EXPECT_EQ(QuotedLogMessage("it's"), "'it''s'");
}

TEST(OptionValues, ReadBackAsTheyWereWritten) {
  EXPECT_EQ(IniValueText("plain"), "plain");
  EXPECT_EQ(IniValueText(""), "");
  EXPECT_EQ(IniValueText(" lead"), "\" lead\"");
  EXPECT_EQ(IniValueText("'q'"), "\"'q'\"");
  EXPECT_EQ(IniValueText("'half"), "'half");
  TTempDir dir;
  TIniFile ini(dir.File("o.ini"));
  for (const char* value : {"plain", "", " lead", "trail\t", "  both  ", "'q'", "\"dq\"",
                            "'mixed\"", "\"", "a=b;c", "[NotASection]"}) {
    ini.WriteString("S", "K", IniValueText(value));
    EXPECT_EQ(ini.ReadString("S", "K", "default"), value) << value;
  }
  EXPECT_EQ(ini.ReadSection("S").size(), 1u);
}

// A connected pair: `client` writes what a client would, `peer` is the server's side.
class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(listener.Listen(0));
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.LocalPort()));
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!listener.Accept(peer, 50) && std::chrono::steady_clock::now() < until) {
    }
    ASSERT_TRUE(peer.ValidSocket());
    folder = dir.Path() + "/";
  }

  TTempDir dir;
  std::string folder;
  TZQSock listener, peer, client;
};

TEST_F(TransferTest, AnnouncedSizesAreCheckedBeforeAnyByte) {
  std::int32_t size = 0;
  client.WriteInt32(100);
  EXPECT_EQ(ReadAnnouncedSize(peer, 100, size), TAnnouncedSize::Accepted);
  EXPECT_EQ(size, 100);
  client.WriteInt32(101);
  EXPECT_EQ(ReadAnnouncedSize(peer, 100, size), TAnnouncedSize::TooLarge);
  client.WriteInt32(-1);
  EXPECT_EQ(ReadAnnouncedSize(peer, 100, size), TAnnouncedSize::Negative);
  client.WriteInt32(std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(ReadAnnouncedSize(peer, 100, size), TAnnouncedSize::Negative);
  client.WriteText("ab");  // half a size, then the client goes
  client.CloseNormal();
  EXPECT_EQ(ReadAnnouncedSize(peer, 100, size), TAnnouncedSize::Lost);
}

TEST_F(TransferTest, AnUploadReplacesTheFileWhole) {
  WriteFileBytes(folder + "f.bin", "old");
  std::string data(200000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>(i * 7);
  // More than the socket buffers hold: the client writes while the upload reads.
  std::thread writer([&] { client.WriteText(data + "next"); });
  std::string error;
  EXPECT_EQ(
      ReceiveFileReplacing(peer, static_cast<std::int64_t>(data.size()), folder, "f.bin", error),
      TUploadResult::Stored)
      << error;
  EXPECT_EQ(ReadFileBytes(folder + "f.bin"), data);
  EXPECT_EQ(CountTemporaries(dir.Path()), 0u);
  EXPECT_EQ(peer.ReadExact(4).value_or(""), "next");  // not a byte more was taken
  writer.join();
  client.WriteText("");
  EXPECT_EQ(ReceiveFileReplacing(peer, 0, folder, "empty", error), TUploadResult::Stored);
  EXPECT_EQ(ReadFileBytes(folder + "empty"), "");
}

TEST_F(TransferTest, ABrokenOffUploadLeavesTheOldFile) {
  WriteFileBytes(folder + "f.bin", "old");
  client.WriteText("only part");
  client.CloseNormal();
  std::string error;
  EXPECT_EQ(ReceiveFileReplacing(peer, 1000, folder, "f.bin", error),
            TUploadResult::TransferFailed);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(ReadFileBytes(folder + "f.bin"), "old");
  EXPECT_EQ(CountTemporaries(dir.Path()), 0u);
}

TEST_F(TransferTest, AFolderThatCannotTakeTheFileStillDrainsTheBytes) {
  client.WriteText("payload2105\r\n");
  std::string error;
  EXPECT_EQ(ReceiveFileReplacing(peer, 7, folder + "missing/", "f.bin", error),
            TUploadResult::WriteFailed);
  EXPECT_NE(error.find("missing"), std::string::npos) << error;
  EXPECT_EQ(peer.ReadLine(2000), "2105");
  // A target that is a folder: the temporary is removed, the folder stays.
  std::filesystem::create_directory(folder + "sub");
  client.WriteText("abc");
  EXPECT_EQ(ReceiveFileReplacing(peer, 3, folder, "sub", error), TUploadResult::WriteFailed);
  EXPECT_TRUE(std::filesystem::is_directory(folder + "sub"));
  EXPECT_EQ(CountTemporaries(dir.Path()), 0u);
}

TEST_F(TransferTest, FilesAreSentWithTheirSizeAndEveryByte) {
  std::string error;
  EXPECT_FALSE(cFileForSending::Open(folder + "absent", error));
  EXPECT_TRUE(error.empty());  // a missing file is no error
  std::filesystem::create_directory(folder + "dir");
  EXPECT_FALSE(cFileForSending::Open(folder + "dir", error));
  EXPECT_FALSE(error.empty());
  WriteFileBytes(dir.File("outside"), "secret");
  ASSERT_EQ(::symlink(dir.File("outside").c_str(), (folder + "link").c_str()), 0);
  EXPECT_FALSE(cFileForSending::Open(folder + "link", error));  // links are not followed
  EXPECT_FALSE(error.empty());

  const std::string data = std::string(3000, 'x') + "\r\nend";
  WriteFileBytes(folder + "f", data);
  auto file = cFileForSending::Open(folder + "f", error);
  ASSERT_TRUE(file) << error;
  EXPECT_EQ(file->Size(), static_cast<std::int32_t>(data.size()));
  ASSERT_TRUE(file->SendSizeAndBytes(peer, error)) << error;
  EXPECT_EQ(client.ReadInt32(), static_cast<std::int32_t>(data.size()));
  EXPECT_EQ(client.ReadExact(data.size()).value_or(""), data);
}

// The dispatcher on a server object, with the folders in a temporary home.
class AdminFilesDispatchTest : public TransferTest {
 protected:
  void SetUp() override {
    TransferTest::SetUp();
    SetConsoleSink([](std::string_view) {});
    SetAppFolder(dir.Path());
    CreateServerFolders();
    versions = std::make_unique<TThreadINIFile>(UpdatesFolder + "versions.ini");
    VersionsFile = versions.get();
    server = std::make_unique<cServer>(0, options);
  }
  void TearDown() override {
    server.reset();
    VersionsFile = nullptr;
    SetConsoleSink({});
  }
  std::string Run(const std::string& line) {
    cCommandStruct command;
    ParseCommand(line, command);
    if (!DispatchAdminFilesCommand(*server, peer, session, command)) return "(not dispatched)";
    return client.ReadLine(5000);
  }

  TThreadINIFile options{dir.File("ServerOptions.ini")};
  std::unique_ptr<TThreadINIFile> versions;
  std::unique_ptr<cServer> server;
  cClientInfoStruct session;
};

TEST_F(AdminFilesDispatchTest, AnswersOnlyItsOwnCodes) {
  for (const char* other : {"2115 1", "2105", "2102 10 Users", "2116", "2119"})
    EXPECT_EQ(Run(other), "(not dispatched)") << other;
}

TEST_F(AdminFilesDispatchTest, PolicyAndVersionGoThroughTheVersionsFile) {
  EXPECT_EQ(Run("2111"), "0.01");
  EXPECT_EQ(Run("2118"), "+OK 0");
  EXPECT_EQ(Run("2117 3"), "+OK Policy Changed");
  EXPECT_EQ(Run("2113"), "3");
  EXPECT_EQ(ReadIniString(*versions, "settings", "updatepolicy", ""), "3");
  EXPECT_EQ(Run("2114"), "-ERR No update file found!");
  session.Authenticated = true;
  EXPECT_EQ(Run("2106"), std::string(kNoPermissionReply));
}

}  // namespace
}  // namespace zorvic
