#pragma once

#include <QApplication>

// The application object of a program with dialogs. It sets up the dialog
// framework (window calls, the dialog fonts) and tells the dialogs which
// widget an input event was sent to: Qt passes a key or mouse event that a
// widget ignores on to its parent, and an application-wide event filter sees
// it there again, but PreTranslateMessage must see each event once, for the
// control it was meant for.

namespace quellis::ui
{

class Application : public QApplication
{
    Q_OBJECT

public:
    // On the thread that runs the windows; once per process.
    Application(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;
};

// True when `event`, a key press or mouse button release, was sent to
// `object` (whether by the window system, a test or the program), false when
// Qt passes it on to `object` from a child that ignored it.
[[nodiscard]] bool IsFirstReceiver(const QObject* object, const QEvent* event);

} // namespace quellis::ui
