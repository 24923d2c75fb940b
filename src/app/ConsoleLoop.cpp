#include "app/ConsoleLoop.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "app/ServerLimits.h"

namespace zorvic {

namespace {

// Splits input into lines; remembers a partial line between reads.
class TConsoleLineReader {
 public:
  // Feeds bytes; true when a complete line equal to "quit" went by.
  bool Feed(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      char c = data[i];
      if (c == '\n') {
        bool quit = !fSkipping && IsQuit();
        fLine.clear();
        fSkipping = false;
        if (quit) return true;
      } else if (!fSkipping) {
        fLine.push_back(c);
        if (fLine.size() > kConsoleLineMaxBytes) {
          fLine.clear();
          fSkipping = true;
        }
      }
    }
    return false;
  }
  // The last line of an input that ends without a line end counts too.
  bool FinishInput() {
    bool quit = !fSkipping && IsQuit();
    fLine.clear();
    return quit;
  }

 private:
  bool IsQuit() const { return fLine == "quit" || fLine == "quit\r"; }
  std::string fLine;
  bool fSkipping = false;
};

}  // namespace

TConsoleStop RunConsoleLoop(int inputFd, int stopFd) {
  TConsoleLineReader reader;
  bool inputOpen = inputFd >= 0;
  for (;;) {
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {inputOpen ? inputFd : -1, POLLIN, 0}};
    int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return TConsoleStop::Failed;
    }
    if (fds[0].revents != 0) return TConsoleStop::StopRequested;
    if (fds[1].revents == 0) continue;
    char buffer[4096];
    ssize_t n = ::read(inputFd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      // End of input (or an input that failed): keep serving until a stop signal.
      inputOpen = false;
      if (reader.FinishInput()) return TConsoleStop::Quit;
      continue;
    }
    if (reader.Feed(buffer, static_cast<std::size_t>(n))) return TConsoleStop::Quit;
  }
}

}  // namespace zorvic
