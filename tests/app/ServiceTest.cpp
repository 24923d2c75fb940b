#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "app/Service.h"
#include "support/TempDir.h"

using namespace zorvic;
using zorvic::testing::ReadFileBytes;
using zorvic::testing::TTempDir;
using zorvic::testing::WriteFileBytes;

namespace {

const char* kInstallFailure = "Service \"ServerSocketClass\" failed to install with error: \"";
const char* kUninstallFailure = "Service \"ServerSocketClass\" failed to uninstall with error: \"";

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// A systemctl stand-in that appends its arguments to `calls` and fails for `failOn`.
std::string FakeSystemctl(const TTempDir& dir, const std::string& failOn = "") {
  std::string path = dir.File("systemctl");
  std::string script = "#!/bin/sh\necho \"$@\" >> '" + dir.File("calls") + "'\n";
  if (!failOn.empty()) {
    script += "if [ \"$1\" = '" + failOn +
              "' ]; then\n"
              "  echo 'first line' >&2\n  echo 'Failed to " +
              failOn +
              " unit: boom' >&2\n"
              "  exit 3\nfi\n";
  }
  WriteFileBytes(path, script);
  ::chmod(path.c_str(), 0755);
  return path;
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : fName(name) {
    const char* old = std::getenv(name);
    if (old != nullptr) fOld = old, fHadOld = true;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (fHadOld) {
      ::setenv(fName, fOld.c_str(), 1);
    } else {
      ::unsetenv(fName);
    }
  }

 private:
  const char* fName;
  std::string fOld;
  bool fHadOld = false;
};

TEST(ServiceUnit, WordsReadBackUnchanged) {
  EXPECT_EQ(QuoteUnitWord("/usr/bin/zorvic-server"), "/usr/bin/zorvic-server");
  EXPECT_EQ(QuoteUnitWord("/srv/my home/"), "\"/srv/my home/\"");
  EXPECT_EQ(QuoteUnitWord("/srv/100%/"), "/srv/100%%/");
  EXPECT_EQ(QuoteUnitWord("/srv/$HOME"), "/srv/$$HOME");
  EXPECT_EQ(QuoteUnitWord("/a\"b\\c"), "\"/a\\\"b\\\\c\"");
  EXPECT_EQ(QuoteUnitWord("/it's;"), "\"/it's;\"");
  EXPECT_EQ(QuoteUnitWord(""), "\"\"");
}

TEST(ServiceUnit, TextHoldsTheServiceSettings) {
  std::string unit = BuildServiceUnit("/opt/zorvic/zorvic-server", "/srv/zorvic data/");
  for (const char* line :
       {"[Unit]\n", "\nDescription=Zorvic Server Socket Class\n", "\n[Service]\n",
        "\nType=notify\n", "\nExecStart=/opt/zorvic/zorvic-server --home \"/srv/zorvic data/\"\n",
        "\nRestart=on-failure\n", "\n[Install]\n", "\nWantedBy=multi-user.target\n"}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  }
  EXPECT_THROW(BuildServiceUnit("/opt/zorvic/zorvic-server", "/srv/a\nExecStartPre=/bin/evil"),
               std::runtime_error);
  EXPECT_THROW(BuildServiceUnit("/opt/zor\tvic", "/srv/"), std::runtime_error);
}

TEST(ServiceUnit, FolderFromTheEnvironment) {
  {
    ScopedEnv env(kUnitFolderVariable, nullptr);
    EXPECT_EQ(ServiceUnitFolder(), "/etc/systemd/system");
  }
  {
    ScopedEnv env(kUnitFolderVariable, "");
    EXPECT_EQ(ServiceUnitFolder(), "/etc/systemd/system");
  }
  {
    ScopedEnv env(kUnitFolderVariable, "/tmp/units//");
    EXPECT_EQ(ServiceUnitFolder(), "/tmp/units");
  }
  EXPECT_EQ(ServiceUnitFileName(), "ServerSocketClass.service");
}

TEST(ServiceSwitches, InstallAndUninstallWithoutSystemd) {
  TTempDir dir;
  cServiceManagerAccess access;
  access.UnitFolder = dir.Path();
  access.Systemctl = FakeSystemctl(dir);
  auto installed = InstallService(access, "/opt/zorvic-server", "/srv/z/");
  EXPECT_TRUE(installed.Succeeded);
  EXPECT_EQ(installed.Message, "Service installed successfully");
  std::string unitPath = dir.File("ServerSocketClass.service");
  EXPECT_EQ(ReadFileBytes(unitPath), BuildServiceUnit("/opt/zorvic-server", "/srv/z/"));
  EXPECT_FALSE(std::filesystem::exists(unitPath + ".tmp"));
  // Installing again replaces the file.
  EXPECT_TRUE(InstallService(access, "/opt/other", "/srv/z/").Succeeded);
  EXPECT_NE(ReadFileBytes(unitPath).find("ExecStart=/opt/other "), std::string::npos);

  auto removed = UninstallService(access);
  EXPECT_TRUE(removed.Succeeded);
  EXPECT_EQ(removed.Message, "Service uninstalled successfully");
  EXPECT_FALSE(std::filesystem::exists(unitPath));
  EXPECT_FALSE(std::filesystem::exists(dir.File("calls")));  // systemctl never ran

  auto again = UninstallService(access);
  EXPECT_FALSE(again.Succeeded);
  EXPECT_TRUE(StartsWith(again.Message, kUninstallFailure)) << again.Message;
  EXPECT_NE(again.Message.find("No such file or directory\""), std::string::npos);
}

TEST(ServiceSwitches, SystemctlRunsInOrderWhenSystemdRuns) {
  TTempDir dir;
  cServiceManagerAccess access;
  access.UnitFolder = dir.Path();
  access.SystemdRunning = true;
  access.Systemctl = FakeSystemctl(dir);
  EXPECT_TRUE(InstallService(access, "/opt/zorvic-server", "/srv/z/").Succeeded);
  EXPECT_EQ(ReadFileBytes(dir.File("calls")), "daemon-reload\nenable ServerSocketClass.service\n");
  std::filesystem::remove(dir.File("calls"));
  EXPECT_TRUE(UninstallService(access).Succeeded);
  EXPECT_EQ(ReadFileBytes(dir.File("calls")), "disable ServerSocketClass.service\ndaemon-reload\n");
}

TEST(ServiceSwitches, FailuresCarryTheReason) {
  TTempDir dir;
  cServiceManagerAccess access;
  access.UnitFolder = dir.Path();
  access.SystemdRunning = true;
  access.Systemctl = FakeSystemctl(dir, "enable");
  auto result = InstallService(access, "/opt/zorvic-server", "/srv/z/");
  EXPECT_FALSE(result.Succeeded);
  EXPECT_EQ(result.Message, std::string(kInstallFailure) + access.Systemctl +
                                " enable ServerSocketClass.service: Failed to enable unit: "
                                "boom\"");

  access.Systemctl = FakeSystemctl(dir, "disable");
  result = UninstallService(access);
  EXPECT_FALSE(result.Succeeded);
  EXPECT_TRUE(StartsWith(result.Message, kUninstallFailure)) << result.Message;
  // A unit that could not be disabled stays where it is.
  EXPECT_TRUE(std::filesystem::exists(dir.File("ServerSocketClass.service")));

  access.Systemctl = dir.File("no-such-program");
  result = UninstallService(access);
  EXPECT_FALSE(result.Succeeded);
  EXPECT_NE(result.Message.find("No such file or directory"), std::string::npos);

  access.SystemdRunning = false;
  access.UnitFolder = dir.File("missing");
  result = InstallService(access, "/opt/zorvic-server", "/srv/z/");
  EXPECT_FALSE(result.Succeeded);
  EXPECT_TRUE(StartsWith(result.Message, kInstallFailure)) << result.Message;
  result = InstallService(access, "/opt/zorvic-server", "/srv/\n/");
  EXPECT_FALSE(result.Succeeded);
  EXPECT_NE(result.Message.find("control character"), std::string::npos);
}

TEST(ServiceNotify, StatesReachTheNotificationSocket) {
  TTempDir dir;
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = dir.File("notify");
  ASSERT_LT(path.size(), sizeof address.sun_path);
  path.copy(address.sun_path, path.size());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  {
    ScopedEnv env("NOTIFY_SOCKET", path.c_str());
    EXPECT_TRUE(StartedByServiceManager());
    NotifyServiceManager("READY=1\nSTATUS=Listening on port 1");
  }
  char buffer[256];
  ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)),
            "READY=1\nSTATUS=Listening on port 1");
  {
    ScopedEnv env("NOTIFY_SOCKET", nullptr);
    EXPECT_FALSE(StartedByServiceManager());
    NotifyServiceManager("STOPPING=1");  // nowhere to go: nothing happens
  }
  EXPECT_LT(::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT), 0);
  ::close(fd);
}

}  // namespace
