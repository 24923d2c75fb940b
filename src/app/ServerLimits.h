// Server limits: every fixed number of the server application and the command protocol, in one
// place, each with the reason for its value. Code outside this header uses the names, never the
// numbers. The socket layer keeps its own wire limits (line length, poll waits) in src/net.
//
// Thread safety: constants only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorvic {

// The port clients are configured for; tests and operators may pick another with --port.
inline constexpr int kServerPort = 37000;

// Largest number of sessions served at once: one thread each, so this bounds the threads.
inline constexpr int kThreadCacheSize = 10000;

// How long the session loop waits for the first byte of a command line before it re-checks
// that the peer is still there (an idle session is never dropped, only re-checked).
inline constexpr int kAwaitCommandMs = 10000;

// How long the rest of a command line may take once its first byte has arrived; a line that
// is not finished in time is dropped and the next line is read afresh.
inline constexpr int kReadCommandLineMs = 10000;

// How long a session waits for its next command line before it gives back the stack pages of
// the last command (ThreadStack.h): long enough that a busy client never pays for it.
inline constexpr int kIdleStackReleaseMs = 200;

// After "+OK Goodbye!" the server half-closes and discards what the client still sends for
// at most this long before it closes, so the reply is delivered instead of being destroyed by
// a reset; a client that closes at once frees its thread at once.
inline constexpr int kGoodbyeDrainMs = 2000;

// At shutdown, how long the server waits for session threads to finish after their sockets
// were shut down; a thread stuck past this is reported and the process still exits.
inline constexpr int kShutdownSessionJoinMs = 10000;

// How long a start waits for its listener to be set up: the console banner before it is
// printed, a service start before it reports the start as failed. Binding a port takes
// microseconds, so only a stalled system reaches it.
inline constexpr int kListenerStartWaitMs = 10000;

// A value read from an INI file is cut to this many characters, like the buffer of the
// classic profile reader the configuration tools were written against.
inline constexpr std::size_t kIniValueMaxChars = 2047;

// INI files are small hand-edited files; a larger file is refused (reads give the defaults,
// writes fail) so a stray huge file cannot exhaust memory on every option read.
inline constexpr std::size_t kIniMaxFileBytes = 1024 * 1024;

// A log entry keeps at most this many characters (the width of the log table's text column).
inline constexpr std::size_t kLogEntryMaxChars = 250;

// Console input lines longer than this are skipped whole: the only command is "quit".
inline constexpr std::size_t kConsoleLineMaxBytes = 4096;

// Descriptors one session may hold at once: its command connection, the user's listening
// connection, and the three files (data, index, BLOB) of the user's open Messages table.
inline constexpr int kDescriptorsPerSession = 5;
// Descriptors beside the sessions: the listener, the shared tables, INI and log files, the
// standard streams and what the engine opens for a statement's temporary results.
inline constexpr int kDescriptorReserve = 1024;
// The open-file limit the server asks for at start: every session at kThreadCacheSize.
inline constexpr long kWantedDescriptors =
    static_cast<long>(kThreadCacheSize) * kDescriptorsPerSession + kDescriptorReserve;

// The version printed in the banner and by --version.
inline constexpr const char* kServerVersion = "1.04";

}  // namespace zorvic
