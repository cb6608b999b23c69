#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <cstdint>
#include <optional>
#include <string>

class QSocketNotifier;
class QWidget;

// Top-level windows that other programs find by a class name, as they find a
// window by its class on Windows: a second instance finds the running one's
// main window and raises it, and the program tells a companion program's
// window about a change. A registered window answers on a local socket named
// after its class and the user, in the runtime directory where one is named
// (platform/instance/runtime_directory.h).

namespace quellis::ui
{

class WindowClassServer : public QObject
{
    Q_OBJECT

public:
    explicit WindowClassServer(QObject* parent = nullptr);
    ~WindowClassServer() override;

    // Makes `window` findable under the class name. False when a live window
    // of that class exists already or the socket cannot be made.
    bool Register(const std::string& className, QWidget* window);
    void Unregister();

private:
    void ServeConnection();
    // The answer line to one request line; nothing for a request that wants none.
    std::optional<QByteArray> Answer(const QByteArray& request);

    int listening_ = -1;
    std::string path_;
    QSocketNotifier* server_ = nullptr; // watches listening_; owns the open connections
    QPointer<QWidget> window_;
};

// True when a window of the class answers.
[[nodiscard]] bool FindWindowOfClass(const std::string& className);
// Restores the window if minimised (to the state it had before, maximised or
// not) and brings it to the front; true when found.
bool ActivateWindowOfClass(const std::string& className);
// Posts a window message with its two numbers to the window of the class,
// without waiting for it to be handled; true when a window of the class took
// it. The window must be a ui::Dialog: the message reaches its OnMessage.
bool PostMessageToClass(
    const std::string& className, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
// The socket file a window of the class answers on.
[[nodiscard]] std::string WindowClassSocketPath(const std::string& className);

} // namespace quellis::ui
