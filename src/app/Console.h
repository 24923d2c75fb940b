// Console output of the server: ConsoleWrite and the RunningAsService switch that silences it.
//
// ConsoleWrite writes one line and a line end to standard output and flushes it at once
// (standard output is often a pipe read by a supervisor or a test). Lines written from several
// threads never interleave. Nothing is written while RunningAsService is true.
//
// Thread safety: every function may be called from any thread. RunningAsService is set once at
// start-up, before any other thread exists.
#pragma once

#include <functional>
#include <string_view>

namespace zorvic {

extern bool RunningAsService;

void ConsoleWrite(std::string_view text);

// Tests capture the console by replacing where its lines go; an empty sink restores standard
// output. Not to be called while other threads may write.
using TConsoleSink = std::function<void(std::string_view line)>;
void SetConsoleSink(TConsoleSink sink);

}  // namespace zorvic
