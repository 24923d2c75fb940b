#include "engine/components/DatabaseError.h"

namespace zorvic::engine {

std::string FormatDatabaseError(const char* format, const std::string& arg,
                                const std::string& arg2) {
  std::string text(format);
  const std::string args[2] = {arg, arg2};
  std::size_t from = 0;
  for (const std::string& a : args) {
    const std::size_t at = text.find("%s", from);
    if (at == std::string::npos) break;
    text.replace(at, 2, a);
    from = at + a.size();
  }
  return text;
}

void RaiseDatabaseError(const char* text) {
  throw EDatabaseError(text);
}

void RaiseDatabaseError(const char* format, const std::string& arg) {
  throw EDatabaseError(FormatDatabaseError(format, arg));
}

void RaiseDatabaseError(const char* format, const std::string& arg, const std::string& arg2) {
  throw EDatabaseError(FormatDatabaseError(format, arg, arg2));
}

}  // namespace zorvic::engine
