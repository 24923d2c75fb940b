// Giving back the stack pages of a connection thread that has gone quiet.
//
// A session thread's stack keeps every page its deepest command ever touched (a login runs SQL
// and reads INI files several frames deep) for as long as the session lasts, although the
// session then only waits for its next command line a few frames from the top. With thousands
// of sessions those pages are most of a session's resident memory. ReleaseUnusedStack tells the
// kernel that the pages below the caller's frame (less a margin) are no longer needed: they
// stay reserved and come back zero-filled the next time a call reaches them, so nothing a
// thread can observe changes except its resident size.
//
// Thread safety: acts on the calling thread's own stack only; call it between commands, never
// from a signal handler.
#pragma once

namespace zorvic {

// Discards the calling thread's stack pages below its current frame; does nothing on a thread
// whose stack bounds the system cannot tell.
void ReleaseUnusedStack() noexcept;

}  // namespace zorvic
