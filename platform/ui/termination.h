#pragma once

class QApplication;

// Signals that ask the program to end.

namespace quellis::ui
{

// A peer that closes its connection while the program writes must not end it.
void IgnoreBrokenPipes();

// SIGTERM and SIGINT (a session logging out, Ctrl-C in a terminal) call
// `close` on the UI thread while `closable` holds; otherwise they end the
// process as usual. `closable` runs in the signal handler: it may only read
// an atomic.
void CloseOnTerminationSignals(QApplication& application, bool (*closable)(), void (*close)());

} // namespace quellis::ui
