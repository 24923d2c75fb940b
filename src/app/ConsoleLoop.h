// The console loop of console mode: waits for the operator's "quit" or a stop signal.
//
// Lines are read from `inputFd`. Only the exact line "quit" ends the loop (a CR before the
// line end is not part of the line); "Quit", " quit", "quit " and every other line are
// ignored, and a line longer than kConsoleLineMaxBytes is skipped whole. At the end of the
// input the server keeps running: the loop then waits for the stop descriptor alone.
// The loop also ends as soon as `stopFd` becomes readable (a signalfd for SIGTERM and SIGINT,
// or any descriptor a test writes to); the loop does not read from it.
//
// Thread safety: runs on the main thread; touches nothing shared.
#pragma once

namespace zorvic {

enum class TConsoleStop { Quit, StopRequested, Failed };

// Failed: poll itself failed (the caller stops the server as for a request).
TConsoleStop RunConsoleLoop(int inputFd, int stopFd);

}  // namespace zorvic
