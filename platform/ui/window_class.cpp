#include "platform/ui/window_class.h"

#include "platform/instance/runtime_directory.h"
#include "platform/ui/dialog.h"

#include <QDir>
#include <QSocketNotifier>
#include <QWidget>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <thread>
#include <utility>

// The sockets are plain Unix-domain sockets rather than QLocalSocket and
// QLocalServer: the program then does without Qt Network and the nine
// libraries it loads at start-up. The socket file is where QLocalServer put
// it for the same name.

namespace quellis::ui
{

namespace
{

constexpr auto kConnectTime = std::chrono::milliseconds(500);
constexpr int kAnswerMs = 2000;
// A request line longer than this is not one of ours: the connection is dropped.
constexpr std::size_t kLongestRequest = 256;

// The address of a path, or nothing when the path does not fit.
std::optional<sockaddr_un> AddressOf(const std::string& path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
    {
        return std::nullopt;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// A descriptor closed when it goes out of scope.
class Descriptor
{
public:
    explicit Descriptor(int descriptor)
        : descriptor_(descriptor)
    {
    }
    ~Descriptor()
    {
        if (descriptor_ >= 0)
        {
            close(descriptor_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    [[nodiscard]] int Get() const { return descriptor_; }
    int Release() { return std::exchange(descriptor_, -1); }

private:
    int descriptor_;
};

bool WaitFor(int descriptor, short events, int milliseconds)
{
    pollfd entry { descriptor, events, 0 };
    int ready = 0;
    do
    {
        ready = poll(&entry, 1, milliseconds);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (entry.revents & events) != 0;
}

QByteArray Trimmed(const std::string& line)
{
    return QByteArray::fromStdString(line).trimmed();
}

// A socket connected to the window of the class, or -1 when nobody listens.
// A full backlog (a listener that is not accepting) refuses for now; it is
// asked again until the connect time is up. No socket file, or nobody
// listening on it, is an answer at once.
int Connect(const std::string& className)
{
    const auto address = AddressOf(WindowClassSocketPath(className));
    if (!address)
    {
        return -1;
    }
    Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (socket.Get() < 0)
    {
        return -1;
    }
    const auto giveUp = std::chrono::steady_clock::now() + kConnectTime;
    while (connect(socket.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0)
    {
        if ((errno != EAGAIN && errno != EINTR) || std::chrono::steady_clock::now() >= giveUp)
        {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return socket.Release();
}

// Sends one request line; false when it could not be sent whole in time.
bool SendLine(int socket, const QByteArray& request, int milliseconds)
{
    const std::string line = request.toStdString() + '\n';
    std::size_t sent = 0;
    while (sent < line.size())
    {
        if (!WaitFor(socket, POLLOUT, milliseconds))
        {
            return false;
        }
        const ssize_t wrote = send(socket, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (wrote < 0 && errno != EAGAIN && errno != EINTR)
        {
            return false;
        }
        sent += wrote > 0 ? static_cast<std::size_t>(wrote) : 0;
    }
    return true;
}

// Sends one request line and waits for the answer line; empty when nobody answered.
QByteArray Ask(const std::string& className, const QByteArray& request)
{
    const Descriptor socket(Connect(className));
    if (socket.Get() < 0 || !SendLine(socket.Get(), request, kAnswerMs))
    {
        return {};
    }
    std::string answer;
    for (;;)
    {
        const auto end = answer.find('\n');
        if (end != std::string::npos)
        {
            return Trimmed(answer.substr(0, end));
        }
        if (!WaitFor(socket.Get(), POLLIN, kAnswerMs))
        {
            return {};
        }
        char buffer[256];
        const ssize_t got = recv(socket.Get(), buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
        {
            return {};
        }
        answer.append(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
    }
}

// Listens on the path: bound in a private directory, made the user's alone
// and only then moved to the path, so that no other user can connect in
// between. The listening descriptor, or -1.
int Listen(const std::string& path)
{
    const auto target = AddressOf(path);
    if (!target)
    {
        return -1;
    }
    std::string directory = QDir::cleanPath(QDir::tempPath()).toStdString() + "/quellis-window-XXXXXX";
    if (mkdtemp(directory.data()) == nullptr)
    {
        return -1;
    }
    const std::string privatePath = directory + "/s";
    Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const auto address = AddressOf(privatePath);
    const bool listening = socket.Get() >= 0 && address
        && bind(socket.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0
        && chmod(privatePath.c_str(), S_IRUSR | S_IWUSR) == 0 && listen(socket.Get(), SOMAXCONN) == 0
        && rename(privatePath.c_str(), path.c_str()) == 0;
    unlink(privatePath.c_str());
    rmdir(directory.c_str());
    return listening ? socket.Release() : -1;
}

// One accepted connection: answers each request line, and goes when the
// other side closes or misbehaves. A child of the server's notifier.
class Connection : public QObject
{
public:
    Connection(int descriptor, QObject* parent, std::function<std::optional<QByteArray>(const QByteArray&)> answer)
        : QObject(parent)
        , descriptor_(descriptor)
        , notifier_(descriptor, QSocketNotifier::Read, this)
        , answer_(std::move(answer))
    {
        connect(&notifier_, &QSocketNotifier::activated, this, [this] { Read(); });
    }
    ~Connection() override
    {
        // The notifier stops watching before the descriptor is closed.
        notifier_.setEnabled(false);
        close(descriptor_);
    }

private:
    void Read()
    {
        char buffer[256];
        const ssize_t got = recv(descriptor_, buffer, sizeof buffer, 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
        {
            return;
        }
        if (got <= 0)
        {
            Drop();
            return;
        }
        pending_.append(buffer, static_cast<std::size_t>(got));
        for (auto end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n'))
        {
            const auto answer = answer_(Trimmed(pending_.substr(0, end)));
            pending_.erase(0, end + 1);
            if (!answer)
            {
                continue;
            }
            // A few bytes into an empty socket buffer: the send does not block.
            const std::string reply = answer->toStdString() + '\n';
            if (send(descriptor_, reply.data(), reply.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(reply.size()))
            {
                Drop();
                return;
            }
        }
        if (pending_.size() > kLongestRequest)
        {
            Drop();
        }
    }

    void Drop()
    {
        notifier_.setEnabled(false);
        deleteLater();
    }

    int descriptor_;
    QSocketNotifier notifier_;
    std::function<std::optional<QByteArray>(const QByteArray&)> answer_;
    std::string pending_;
};

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
    // Nobody answered: a socket file left by a program that ended without
    // removing it would make the bind fail.
    const std::string path = WindowClassSocketPath(className);
    unlink(path.c_str());
    const int descriptor = Listen(path);
    if (descriptor < 0)
    {
        return false;
    }
    listening_ = descriptor;
    path_ = path;
    window_ = window;
    server_ = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    connect(server_, &QSocketNotifier::activated, this, &WindowClassServer::ServeConnection);
    return true;
}

void WindowClassServer::Unregister()
{
    if (server_ == nullptr)
    {
        return;
    }
    // The notifier's children, the open connections, go with it.
    delete server_;
    server_ = nullptr;
    close(listening_);
    listening_ = -1;
    unlink(path_.c_str());
    path_.clear();
}

void WindowClassServer::ServeConnection()
{
    for (;;)
    {
        const int descriptor = accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (descriptor < 0)
        {
            return;
        }
        new Connection(descriptor, server_, [this](const QByteArray& request) { return Answer(request); });
    }
}

std::optional<QByteArray> WindowClassServer::Answer(const QByteArray& request)
{
    const QList<QByteArray> words = request.split(' ');
    if (window_ == nullptr || words.isEmpty())
    {
        return "no";
    }
    if (words[0] == "find")
    {
        return "ok";
    }
    if (words[0] == "activate")
    {
        if (window_->isMinimized())
        {
            // Back to the state before it was minimised, as SW_RESTORE does:
            // a maximised window stays so.
            window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
            window_->show();
        }
        window_->raise();
        window_->activateWindow();
        return "ok";
    }
    if (words[0] == "post")
    {
        if (auto* dialog = qobject_cast<Dialog*>(window_.data()); dialog != nullptr && words.size() == 4)
        {
            dialog->PostMessage(words[1].toUInt(), words[2].toULongLong(), words[3].toLongLong());
        }
        // The poster does not wait for an answer and may be gone.
        return std::nullopt;
    }
    return "no";
}

std::string WindowClassSocketPath(const std::string& className)
{
    const std::string name = "quellis-window-" + className + "-" + std::to_string(getuid());
    // Without a runtime directory of its own, the system's temporary
    // directory, the same for every program of the user.
    const auto privateDirectory = instance::PrivateRuntimeDirectory();
    return privateDirectory ? (*privateDirectory / name).string()
                            : QDir::cleanPath(QDir::tempPath()).toStdString() + "/" + name;
}

bool FindWindowOfClass(const std::string& className)
{
    return Ask(className, "find") == "ok";
}

bool ActivateWindowOfClass(const std::string& className)
{
    return Ask(className, "activate") == "ok";
}

bool PostMessageToClass(
    const std::string& className, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    // Queued, not waited for: the window takes the line when its program gets
    // to it, so a busy or hung program never holds up the caller (the UI
    // thread) beyond the connect.
    const Descriptor socket(Connect(className));
    return socket.Get() >= 0
        && SendLine(socket.Get(),
            "post " + QByteArray::number(message) + ' ' + QByteArray::number(qulonglong(wParam)) + ' '
                + QByteArray::number(qlonglong(lParam)),
            static_cast<int>(kConnectTime.count()));
}

} // namespace quellis::ui
