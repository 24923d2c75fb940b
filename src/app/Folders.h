// The folder layout next to the program: AppFolder and the four folders derived from it.
//
// AppFolder is the program folder (the executable's own folder unless the operator names
// another with --home), always with a trailing '/'. DataFolder, UsersFolder, TempFolder and
// UpdatesFolder are AppFolder + "Data/", "Users/", "Temp/", "Updates/".
//
// Thread safety: the folder strings are set once by SetAppFolder on the main thread during
// start-up, before any other thread exists, and are only read afterwards.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zorvic {

extern std::string AppFolder;
extern std::string DataFolder;
extern std::string UsersFolder;
extern std::string TempFolder;
extern std::string UpdatesFolder;

// Sets AppFolder (a trailing '/' is added when missing) and derives the other four.
void SetAppFolder(std::string_view folder);

// The folder of the running executable, with a trailing '/'. Raises std::runtime_error when
// the system cannot tell.
std::string ExecutableFolder();

// Creates `folder` and any missing parents (the --home folder may not exist yet); returns its
// absolute form with a trailing '/'. Raises std::runtime_error naming the folder on failure.
std::string PrepareHomeFolder(std::string_view folder);

// Creates DataFolder, UsersFolder, TempFolder and UpdatesFolder when missing, in this order,
// one level each. Raises std::runtime_error naming the folder on the first failure.
void CreateServerFolders();

// UsersFolder + name + '/': the folder that holds one user's mailbox. The name is used as it
// is: check it with IsSafeFolderName before it reaches the file system.
std::string UserFolderPath(std::string_view name);

// Longest name of one folder level, in bytes (the limit of the file system's names).
inline constexpr std::size_t kMaxFolderNameBytes = 255;

// True when `name` names exactly one folder inside its parent: not empty, not "." or "..",
// no '/' or backslash, no control character (codes 0 to 31 and 127), at most kMaxFolderNameBytes.
bool IsSafeFolderName(std::string_view name);

}  // namespace zorvic
