#include "app/Console.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

namespace zorvic {

bool RunningAsService = false;

namespace {

std::mutex& ConsoleMutex() {
  static std::mutex mutex;
  return mutex;
}

TConsoleSink& ConsoleSink() {
  static TConsoleSink sink;
  return sink;
}

// One write(2) per line, so a line is never split by another writer of the same descriptor.
void WriteStdout(std::string_view text) {
  std::string line(text);
  line.push_back('\n');
  std::size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(STDOUT_FILENO, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nobody reads the console any more: drop the line
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

void ConsoleWrite(std::string_view text) {
  if (RunningAsService) return;
  std::lock_guard<std::mutex> guard(ConsoleMutex());
  if (ConsoleSink()) {
    ConsoleSink()(text);
  } else {
    WriteStdout(text);
  }
}

void SetConsoleSink(TConsoleSink sink) {
  std::lock_guard<std::mutex> guard(ConsoleMutex());
  ConsoleSink() = std::move(sink);
}

}  // namespace zorvic
