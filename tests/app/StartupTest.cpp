#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "app/Folders.h"
#include "app/StartupOptions.h"
#include "support/TempDir.h"

using namespace zorvic;
using zorvic::testing::TTempDir;
using zorvic::testing::WriteFileBytes;

namespace {

cStartupOptions Parse(std::vector<std::string> args) {
  return ParseStartupOptions(args);
}

TEST(StartupOptions, DefaultsAndValues) {
  auto o = Parse({});
  EXPECT_EQ(o.Port, 37000);
  EXPECT_TRUE(o.Home.empty());
  o = Parse({"--home", "/tmp/x", "--port", "4000"});
  EXPECT_EQ(o.Home, "/tmp/x");
  EXPECT_EQ(o.Port, 4000);
  o = Parse({"--home=/a b", "--port=65535", "--version", "--help"});
  EXPECT_EQ(o.Home, "/a b");
  EXPECT_EQ(o.Port, 65535);
  EXPECT_TRUE(o.ShowVersion);
  EXPECT_TRUE(o.ShowHelp);
}

TEST(StartupOptions, ServiceSwitchesAnyCaseAnyPrefix) {
  auto o = Parse({"-install", "/UnInstall", "\\SILENT"});
  EXPECT_TRUE(o.InstallSwitch);
  EXPECT_TRUE(o.UninstallSwitch);
  EXPECT_TRUE(o.SilentSwitch);
  EXPECT_THROW(Parse({"INSTALL"}), EStartupOptionError);  // no prefix
  EXPECT_THROW(Parse({"-installer"}), EStartupOptionError);
}

TEST(StartupOptions, BadArgumentsAreRefused) {
  for (std::vector<std::string> bad : {std::vector<std::string>{"--port"},
                                       {"--port", "0"},
                                       {"--port", "65536"},
                                       {"--port", "-1"},
                                       {"--port", "0x10"},
                                       {"--port", "80a"},
                                       {"--port", ""},
                                       {"--port", "99999999999"},
                                       {"--home"},
                                       {"--home="},
                                       {"--prot", "1"},
                                       {"extra"}}) {
    EXPECT_THROW(Parse(bad), EStartupOptionError) << bad[0];
  }
  EXPECT_NE(StartupUsage().find("--home DIR"), std::string::npos);
}

TEST(Folders, DerivedFromTheProgramFolder) {
  SetAppFolder("/srv/zorvic");
  EXPECT_EQ(AppFolder, "/srv/zorvic/");
  EXPECT_EQ(DataFolder, "/srv/zorvic/Data/");
  EXPECT_EQ(UsersFolder, "/srv/zorvic/Users/");
  EXPECT_EQ(TempFolder, "/srv/zorvic/Temp/");
  EXPECT_EQ(UpdatesFolder, "/srv/zorvic/Updates/");
  EXPECT_EQ(UserFolderPath("Alice Smith"), "/srv/zorvic/Users/Alice Smith/");
  SetAppFolder("/srv/zorvic/");
  EXPECT_EQ(AppFolder, "/srv/zorvic/");
  EXPECT_EQ(ExecutableFolder().back(), '/');
}

TEST(Folders, HomeIsCreatedAndServerFoldersAppearOnce) {
  TTempDir dir;
  std::string home = PrepareHomeFolder(dir.Path() + "/a/b/../c/");
  EXPECT_TRUE(std::filesystem::is_directory(dir.Path() + "/a/c"));
  EXPECT_EQ(home, std::filesystem::canonical(dir.Path() + "/a/c").string() + "/");
  SetAppFolder(home);
  CreateServerFolders();
  WriteFileBytes(DataFolder + "keep.DAT", "x");
  CreateServerFolders();  // a second start changes nothing
  for (const char* name : {"Data", "Users", "Temp", "Updates"}) {
    EXPECT_TRUE(std::filesystem::is_directory(home + name)) << name;
  }
  EXPECT_TRUE(std::filesystem::exists(DataFolder + "keep.DAT"));
}

TEST(Folders, AFileInTheWayIsAnErrorNamingTheFolder) {
  TTempDir dir;
  SetAppFolder(dir.Path());
  std::filesystem::create_directory(dir.File("Data"));
  WriteFileBytes(dir.File("Users"), "not a folder");
  try {
    CreateServerFolders();
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(dir.File("Users")), std::string::npos) << e.what();
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("Temp")));  // stops at the first failure
  EXPECT_THROW(PrepareHomeFolder(dir.File("Users") + "/sub"), std::runtime_error);
  EXPECT_THROW(PrepareHomeFolder(""), std::runtime_error);
}

}  // namespace
