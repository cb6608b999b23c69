// The references of the package server benchmark: a bare server on TCP 2425
// that serves one file to every connection on a thread of its own, with
// nothing of the program around it.
//   window   the same shape as the program's server: 8 MiB mapped windows,
//            each send at most 64 KiB and never across a 64 KiB boundary,
//            one wait for writability before each send
//   sendfile the file handed to the socket whole by sendfile: what the
//            system can carry
// Each reads the request's start offset (its last field, hexadecimal), sends
// from there, waits for the machine's word or close, and closes. It prints
// "ready" once listening and runs until killed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace
{

constexpr std::uint64_t kWindow = 8 * 1024 * 1024;
constexpr std::uint64_t kChunk = 64 * 1024;

const char* path = nullptr;
bool useSendfile = false;

std::uint64_t StartOffset(const char* request, ssize_t length)
{
    std::uint64_t offset = 0;
    const char* last = static_cast<const char*>(memrchr(request, ':', static_cast<std::size_t>(length)));
    for (const char* c = last == nullptr ? request + length : last + 1; c < request + length; ++c)
    {
        const int digit = std::isdigit(static_cast<unsigned char>(*c)) ? *c - '0'
            : std::isxdigit(static_cast<unsigned char>(*c))            ? std::tolower(*c) - 'a' + 10
                                                                       : -1;
        if (digit >= 0)
        {
            offset = offset * 16 + static_cast<std::uint64_t>(digit);
        }
    }
    return offset;
}

bool SendWindows(int socket, int file, std::uint64_t offset, std::uint64_t size)
{
    void* window = nullptr;
    std::uint64_t windowStart = 0;
    std::uint64_t windowLength = 0;
    bool ok = true;
    while (ok && offset < size)
    {
        if (window == nullptr || offset >= windowStart + windowLength)
        {
            if (window != nullptr)
            {
                munmap(window, windowLength);
            }
            windowStart = offset / kWindow * kWindow;
            windowLength = std::min(kWindow, size - windowStart);
            window = mmap(nullptr, windowLength, PROT_READ, MAP_SHARED, file, static_cast<off_t>(windowStart));
            if (window == MAP_FAILED)
            {
                window = nullptr;
                return false;
            }
        }
        pollfd entry { socket, POLLOUT, 0 };
        if (poll(&entry, 1, 1000) <= 0)
        {
            continue;
        }
        const std::uint64_t n = std::min(size - offset, kChunk - offset % kChunk);
        const ssize_t sent = send(socket, static_cast<const char*>(window) + (offset - windowStart), n, MSG_NOSIGNAL);
        ok = sent > 0;
        offset += ok ? static_cast<std::uint64_t>(sent) : 0;
    }
    if (window != nullptr)
    {
        munmap(window, windowLength);
    }
    return ok;
}

bool SendWhole(int socket, int file, std::uint64_t offset, std::uint64_t size)
{
    off_t position = static_cast<off_t>(offset);
    while (static_cast<std::uint64_t>(position) < size)
    {
        if (sendfile(socket, file, &position, size - static_cast<std::uint64_t>(position)) <= 0)
        {
            return false;
        }
    }
    return true;
}

void Serve(int socket)
{
    const int buffer = 262144;
    setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    char request[260];
    const ssize_t length = recv(socket, request, 259, 0);
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    struct stat status
    {
    };
    if (length > 0 && file >= 0 && fstat(file, &status) == 0)
    {
        const auto size = static_cast<std::uint64_t>(status.st_size);
        const std::uint64_t offset = StartOffset(request, length);
        const bool sent = useSendfile ? SendWhole(socket, file, offset, size) : SendWindows(socket, file, offset, size);
        char acknowledgement[4];
        if (sent)
        {
            [[maybe_unused]] const ssize_t got = recv(socket, acknowledgement, sizeof acknowledgement, 0);
        }
    }
    if (file >= 0)
    {
        close(file);
    }
    close(socket);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || (std::strcmp(argv[1], "window") != 0 && std::strcmp(argv[1], "sendfile") != 0))
    {
        std::fprintf(stderr, "usage: %s window|sendfile FILE\n", argv[0]);
        return 2;
    }
    useSendfile = std::strcmp(argv[1], "sendfile") == 0;
    path = argv[2];
    std::signal(SIGPIPE, SIG_IGN);
    rlimit limit {};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    const int listening = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(2425);
    if (bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listening, 1024) != 0)
    {
        std::perror("package_send_reference: listen on 2425");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;)
    {
        const int connection = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0)
        {
            std::thread(Serve, connection).detach();
        }
    }
}
