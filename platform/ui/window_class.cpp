#include "platform/ui/window_class.h"

#include "platform/instance/runtime_directory.h"
#include "platform/ui/dialog.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>

#include <unistd.h>

namespace quellis::ui
{

namespace
{

constexpr int kConnectMs = 500;
constexpr int kAnswerMs = 2000;

QString SocketName(const std::string& className)
{
    const QString name = QStringLiteral("quellis-window-%1-%2").arg(QString::fromStdString(className)).arg(getuid());
    // A relative name is a socket in the system's temporary directory, the
    // same for every program of the user.
    const auto privateDirectory = instance::PrivateRuntimeDirectory();
    return privateDirectory ? QString::fromStdString((*privateDirectory / name.toStdString()).string()) : name;
}

// Sends one request line and waits for the answer line; empty when nobody answered.
QByteArray Ask(const std::string& className, const QByteArray& request)
{
    QLocalSocket socket;
    socket.connectToServer(SocketName(className));
    if (!socket.waitForConnected(kConnectMs))
    {
        return {};
    }
    socket.write(request + '\n');
    if (!socket.waitForBytesWritten(kAnswerMs))
    {
        return {};
    }
    while (!socket.canReadLine())
    {
        if (!socket.waitForReadyRead(kAnswerMs))
        {
            return {};
        }
    }
    return socket.readLine().trimmed();
}

} // namespace

WindowClassServer::WindowClassServer(QObject* parent)
    : QObject(parent)
{
}

WindowClassServer::~WindowClassServer()
{
    Unregister();
}

bool WindowClassServer::Register(const std::string& className, QWidget* window)
{
    Unregister();
    if (FindWindowOfClass(className))
    {
        return false;
    }
    const QString name = SocketName(className);
    // Nobody answered: a socket file left by a program that ended without
    // removing it would make listen fail.
    QLocalServer::removeServer(name);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(name))
    {
        delete server_;
        server_ = nullptr;
        return false;
    }
    window_ = window;
    connect(server_, &QLocalServer::newConnection, this, &WindowClassServer::ServeConnection);
    return true;
}

void WindowClassServer::Unregister()
{
    if (server_ != nullptr)
    {
        server_->close();
        delete server_;
        server_ = nullptr;
    }
}

void WindowClassServer::ServeConnection()
{
    while (QLocalSocket* socket = server_->nextPendingConnection())
    {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            while (socket->canReadLine())
            {
                const QList<QByteArray> words = socket->readLine().trimmed().split(' ');
                QByteArray answer = "no";
                if (window_ != nullptr && !words.isEmpty())
                {
                    if (words[0] == "find")
                    {
                        answer = "ok";
                    }
                    else if (words[0] == "activate")
                    {
                        if (window_->isMinimized())
                        {
                            // Back to the state before it was minimised, as
                            // SW_RESTORE does: a maximised window stays so.
                            window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
                            window_->show();
                        }
                        window_->raise();
                        window_->activateWindow();
                        answer = "ok";
                    }
                    else if (words[0] == "post" && words.size() == 4)
                    {
                        if (auto* dialog = qobject_cast<Dialog*>(window_.data()))
                        {
                            dialog->PostMessage(words[1].toUInt(), words[2].toULongLong(), words[3].toLongLong());
                        }
                        // The poster does not wait for an answer and may be gone.
                        continue;
                    }
                }
                socket->write(answer + '\n');
                socket->flush();
            }
        });
    }
}

bool FindWindowOfClass(const std::string& className)
{
    return Ask(className, "find") == "ok";
}

bool ActivateWindowOfClass(const std::string& className)
{
    return Ask(className, "activate") == "ok";
}

bool PostMessageToClass(const std::string& className, std::uint32_t message, std::uintptr_t wParam,
    std::intptr_t lParam)
{
    // Queued, not waited for: the window takes the line when its program gets
    // to it, so a busy or hung program never holds up the caller (the UI
    // thread) beyond the connect.
    QLocalSocket socket;
    socket.connectToServer(SocketName(className));
    if (!socket.waitForConnected(kConnectMs))
    {
        return false;
    }
    socket.write("post " + QByteArray::number(message) + ' ' + QByteArray::number(qulonglong(wParam)) + ' '
        + QByteArray::number(qlonglong(lParam)) + '\n');
    const bool written = socket.waitForBytesWritten(kConnectMs);
    socket.disconnectFromServer();
    return written;
}

} // namespace quellis::ui
