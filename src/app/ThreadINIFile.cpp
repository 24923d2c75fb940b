#include "app/ThreadINIFile.h"

namespace zorvic {

TThreadINIFile::TThreadINIFile(std::string fileName) : fFile(std::move(fileName)) {}

TIniFile& TThreadINIFile::LockIni() {
  fLock.lock();
  return fFile;
}

void TThreadINIFile::UnlockIni() {
  fLock.unlock();
}

bool ReadIniBool(TThreadINIFile& file, std::string_view section, std::string_view key,
                 bool defaultValue) {
  TIniFileLock ini(file);
  return ini->ReadBool(section, key, defaultValue);
}

std::int32_t ReadIniInteger(TThreadINIFile& file, std::string_view section, std::string_view key,
                            std::int32_t defaultValue) {
  TIniFileLock ini(file);
  return ini->ReadInteger(section, key, defaultValue);
}

std::string ReadIniString(TThreadINIFile& file, std::string_view section, std::string_view key,
                          std::string_view defaultValue) {
  TIniFileLock ini(file);
  return ini->ReadString(section, key, defaultValue);
}

}  // namespace zorvic
