// Limits of login and listening connections, each with the reason for its value. The socket
// layer keeps its own (src/net/NetLimits.h), the server application its own
// (src/app/ServerLimits.h).
//
// Thread safety: constants only.
#pragma once

#include <cstddef>

namespace zorvic {

// How long the parked thread of a listening connection sleeps between checks that the server
// is not stopping; its socket and its wake-up descriptor end the wait at once otherwise.
inline constexpr int kListenerPollMs = 1000;

// Bytes that may wait in a listener's queue. A client that stops reading fills its socket
// buffer first; past this much more the listener is ended instead of growing without bound.
inline constexpr std::size_t kListenerQueueMaxBytes = 4 * 1024 * 1024;

// A login waits this long for a probe of the user's listening connection: the parked thread
// may first finish a write stalled for the send time-out (5 s), then waits up to the receive
// time-out (5 s) for the answer, plus a margin. Past it the listener counts as dead.
inline constexpr int kProbeWaitMs = 11000;

// The liveness probe the server writes and the answer a live client gives.
inline constexpr int kProbeCode = 2022;
inline constexpr int kProbeAnswerAlive = 1;

// Record codes on a listening connection.
inline constexpr int kPushPresence = 1;

// Presence status of a user whose listening connection ends, and the default of 2017 and of
// a new registration.
inline constexpr int kPresenceOffline = 0;
inline constexpr int kPresenceOnline = 1;

}  // namespace zorvic
