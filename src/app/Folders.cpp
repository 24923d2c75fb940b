#include "app/Folders.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace zorvic {

std::string AppFolder;
std::string DataFolder;
std::string UsersFolder;
std::string TempFolder;
std::string UpdatesFolder;

namespace {

std::string WithSlash(std::string_view folder) {
  std::string result(folder);
  if (result.empty() || result.back() != '/') result.push_back('/');
  return result;
}

std::string SystemError(const std::string& what, const std::string& path, int error) {
  return what + " " + path + ": " + std::strerror(error);
}

// Creates one folder level; an existing folder is fine, an existing file is not.
void MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0) return;
  int error = errno;
  struct stat st {};
  if (error == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
  if (error == EEXIST) error = ENOTDIR;
  throw std::runtime_error(SystemError("Unable to create the folder", path, error));
}

}  // namespace

void SetAppFolder(std::string_view folder) {
  AppFolder = WithSlash(folder);
  DataFolder = AppFolder + "Data/";
  UsersFolder = AppFolder + "Users/";
  TempFolder = AppFolder + "Temp/";
  UpdatesFolder = AppFolder + "Updates/";
}

std::string ExecutableFolder() {
  char buffer[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) {
    throw std::runtime_error(
        SystemError("Unable to find the program folder", "/proc/self/exe", errno));
  }
  std::string path(buffer, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/') + 1);
}

std::string PrepareHomeFolder(std::string_view folder) {
  std::string path(folder);
  if (path.empty()) throw std::runtime_error("The program folder name is empty");
  // Create each missing level from the top down.
  for (std::size_t pos = path.find('/', 1); pos != std::string::npos;
       pos = path.find('/', pos + 1)) {
    MakeFolder(path.substr(0, pos));
  }
  MakeFolder(path);
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) {
    throw std::runtime_error(SystemError("Unable to open the folder", path, errno));
  }
  std::string result = WithSlash(resolved);
  std::free(resolved);
  return result;
}

void CreateServerFolders() {
  for (const std::string* folder : {&DataFolder, &UsersFolder, &TempFolder, &UpdatesFolder}) {
    MakeFolder(folder->substr(0, folder->size() - 1));
  }
}

std::string UserFolderPath(std::string_view name) {
  std::string path = UsersFolder;
  path.append(name);
  path.push_back('/');
  return path;
}

bool IsSafeFolderName(std::string_view name) {
  if (name.empty() || name.size() > kMaxFolderNameBytes) return false;
  if (name == "." || name == "..") return false;
  for (char c : name) {
    auto code = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || code < 32 || code == 127) return false;
  }
  return true;
}

}  // namespace zorvic
