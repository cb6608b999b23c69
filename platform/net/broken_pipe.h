#pragma once

// A send to a connection whose peer has gone raises SIGPIPE on POSIX systems,
// which ends a process that has not ignored it. Sends through net::Socket
// never raise it; a thread that hands bytes to sockets by other calls
// (sendfile) blocks the signal for itself instead, and discards what was
// raised, so that it neither needs the process to ignore it nor leaves a
// pending signal behind.

namespace quellis::net
{

// Blocks SIGPIPE for the calling thread: its sends to a gone peer then only
// fail (EPIPE).
void BlockBrokenPipeSignal();

// Discards a SIGPIPE pending for the calling thread (raised while it was
// blocked), without waiting.
void DiscardBrokenPipeSignal();

} // namespace quellis::net
