#include "tools/zorvic-sql/LineInput.h"

#include <editline/readline.h>

#include <cstdlib>
#include <istream>

namespace zorvic {

namespace {

class TStreamInput : public TLineInput {
 public:
  explicit TStreamInput(std::istream& in) : In_(in) {}
  bool ReadLine(std::string& line, bool) override {
    if (!std::getline(In_, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  }

 private:
  std::istream& In_;
};

class TTerminalInput : public TLineInput {
 public:
  explicit TTerminalInput(std::string historyFile) : HistoryFile_(std::move(historyFile)) {
    using_history();
    stifle_history(1000);
    if (!HistoryFile_.empty()) read_history(HistoryFile_.c_str());
  }
  ~TTerminalInput() override {
    if (!HistoryFile_.empty()) write_history(HistoryFile_.c_str());
  }
  bool ReadLine(std::string& line, bool continued) override {
    char* text = readline(continued ? "   ...> " : "zorvic> ");
    if (text == nullptr) return false;
    line = text;
    std::free(text);
    return true;
  }
  void Remember(const std::string& entry) override {
    if (entry.find_first_not_of(" \t\r\n") == std::string::npos) return;
    add_history(entry.c_str());
  }

 private:
  std::string HistoryFile_;
};

}  // namespace

std::unique_ptr<TLineInput> StreamInput(std::istream& in) {
  return std::make_unique<TStreamInput>(in);
}

std::unique_ptr<TLineInput> TerminalInput(const std::string& historyFile) {
  return std::make_unique<TTerminalInput>(historyFile);
}

}  // namespace zorvic
