// File names of the file layer: normalising, registry keys, the case-insensitive resolver, table
// file names, and the mapping of errno values to engine codes.
//
// Case-insensitive matching folds the ASCII letters only; other bytes compare as they are.
#include <algorithm>
#include <cerrno>

#include "engine/storage/files/FileLayer.h"

namespace zorvic::engine {
namespace {

char FoldCase(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(const std::string& s) {
  std::string out = s;
  std::transform(out.begin(), out.end(), out.begin(), FoldCase);
  return out;
}

}  // namespace

std::int32_t MapOSError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return -VELDOR_OSENOENT;
    case EMFILE:
    case ENFILE:
      return -VELDOR_OSEMFILE;
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:
    case EAGAIN:  // a lock or open-mode conflict is a sharing violation
      return -VELDOR_OSEACCES;
    case EBADF:
      return -VELDOR_OSEBADF;
    case ENOMEM:
      return -VELDOR_OSENOMEM;
    case ENODEV:
    case ENXIO:
      return -VELDOR_OSENODEV;
    case EXDEV:
      return -VELDOR_OSENOTSAM;
    default:
      return -VELDOR_OSUNKNOWN;
  }
}

std::string NormalizeFileName(const std::string& name) {
  std::size_t first = 0;
  std::size_t last = name.size();
  while (first < last && static_cast<unsigned char>(name[first]) < 33)
    ++first;
  while (last > first && static_cast<unsigned char>(name[last - 1]) < 33)
    --last;
  std::string out = name.substr(first, last - first);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

std::string FileNameKey(const std::string& name) {
  return Lower(NormalizeFileName(name));
}

std::string ResolveTableFileName(const std::string& name, TFileSystem& fs) {
  std::string path = NormalizeFileName(name);
  if (path.empty()) return path;
  TFileStatus status;
  if (fs.Stat(path, &status) == 0 && status.Exists) return path;

  std::size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty()) return path;
  std::vector<std::string> entries;
  if (fs.ListDirectory(directory.empty() ? "." : directory, &entries) != 0) return path;
  std::string wanted = Lower(base);
  std::string best;
  bool found = false;
  for (const std::string& entry : entries) {
    if (Lower(entry) == wanted && (!found || entry < best)) {
      best = entry;
      found = true;
    }
  }
  return found ? directory + best : path;
}

std::string MakeTableFileName(const std::string& directory, const std::string& table,
                              const std::string& extension) {
  std::string t = NormalizeFileName(table);
  std::size_t slash = t.rfind('/');
  std::size_t dot = t.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) t.resize(dot);
  if (!t.empty() && t[0] == '/') return t + extension;  // the table already names its folder
  std::string d = NormalizeFileName(directory);
  if (!d.empty() && d.back() != '/') d += '/';
  return d + t + extension;
}

}  // namespace zorvic::engine
