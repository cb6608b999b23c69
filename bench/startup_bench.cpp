// Start-up time: from the start of the process to its main window shown (the
// first paint, on Qt's offscreen platform), for the quellis executable and,
// in the same run, for an empty Qt dialog program, which sets the limit no
// Qt Widgets program goes below. Each program runs in turn, several times;
// the table gives the median, the fastest and the slowest run, and then the
// median time of each start-up step quellis traces (platform/trace).
//   startup_bench [--runs N]
// quellis takes the machine-wide instance lock and TCP port 2425: no other
// quellis may run meanwhile.
#include "tests/support/child_environment.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace
{

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::string_view kShownMarker = "main window shown\n";
constexpr auto kShowTimeout = 20s;

struct Program
{
    std::string label;
    std::filesystem::path executable;
    std::vector<double> milliseconds;
};

// The start-up steps of the runs, in the order they first came.
struct Steps
{
    std::vector<std::string> names;
    std::map<std::string, std::vector<double>> milliseconds;

    // Takes the "start-up <ms> ms  <name>" lines of one run's output.
    void Add(const std::string& output)
    {
        std::istringstream lines(output);
        std::string line;
        while (std::getline(lines, line))
        {
            double at = 0;
            int consumed = 0;
            if (std::sscanf(line.c_str(), "start-up %lf ms %n", &at, &consumed) != 1 || consumed == 0)
            {
                continue;
            }
            const std::string name = line.substr(static_cast<std::size_t>(consumed));
            if (milliseconds.count(name) == 0)
            {
                names.push_back(name);
            }
            milliseconds[name].push_back(at);
        }
    }
};

// Ends a started process for good, whatever it does.
void Stop(pid_t pid)
{
    // quellis closes its dialog on SIGTERM; give it a moment, then insist.
    kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i)
    {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
        {
            return;
        }
        usleep(10'000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// One start: milliseconds until the program wrote the marker to standard
// error, or nothing when it did not within the time. `output` is what it
// wrote until then.
std::optional<double> TimeOneStart(const std::filesystem::path& executable,
    const std::filesystem::path& workDir,
    std::string& output,
    std::string& diagnostics)
{
    // quellis's debug traces to standard error: the marker is one of them.
    quellis::test::ChildEnvironment environment({ "QUELLIS_TRACE=1" });
    const std::string program = executable.string();
    const std::string directory = workDir.string();

    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
    {
        diagnostics = "pipe failed";
        return std::nullopt;
    }
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0)
    {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (chdir(directory.c_str()) != 0)
        {
            _exit(127);
        }
        dup2(pipeEnds[1], STDERR_FILENO);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        char* const arguments[] = { const_cast<char*>(program.c_str()), nullptr };
        execve(program.c_str(), arguments, environment.Pointers());
        _exit(127);
    }
    close(pipeEnds[1]);
    if (pid < 0)
    {
        close(pipeEnds[0]);
        diagnostics = "fork failed";
        return std::nullopt;
    }

    output.clear();
    std::optional<double> shownAfter;
    while (!shownAfter)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(start + kShowTimeout - Clock::now());
        if (left.count() <= 0)
        {
            break;
        }
        pollfd readable { pipeEnds[0], POLLIN, 0 };
        if (poll(&readable, 1, static_cast<int>(left.count())) <= 0)
        {
            continue;
        }
        char buffer[4096];
        const ssize_t got = read(pipeEnds[0], buffer, sizeof buffer);
        if (got <= 0)
        {
            break; // ended without a window
        }
        output.append(buffer, static_cast<std::size_t>(got));
        if (output.find(kShownMarker) != std::string::npos)
        {
            shownAfter = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        }
    }
    close(pipeEnds[0]);
    Stop(pid);
    if (!shownAfter)
    {
        diagnostics = output.empty() ? "no output" : output;
    }
    return shownAfter;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace

int main(int argc, char** argv)
{
    int runs = 15;
    for (int i = 1; i < argc; ++i)
    {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
        {
            runs = std::max(1, std::atoi(argv[++i]));
        }
        else
        {
            std::fprintf(stderr, "usage: startup_bench [--runs N]\n");
            return 2;
        }
    }

    // quellis in a directory of its own, so that a config.ini left in the
    // build's run directory does not change what starts.
    char pattern[] = "/tmp/quellis-startup-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
    {
        std::perror("startup_bench: mkdtemp");
        return 1;
    }
    const std::filesystem::path workDir(pattern);
    std::filesystem::copy_file(QUELLIS_EXECUTABLE, workDir / "quellis");

    std::vector<Program> programs = {
        { "quellis", workDir / "quellis", {} },
        { "empty Qt dialog (reference)", QUELLIS_EMPTY_DIALOG, {} },
    };
    Steps steps;
    int status = 0;
    // One warm-up start each (page cache, font cache), then the programs in
    // turn, so that a slow moment of the machine falls on both.
    for (int run = -1; run < runs && status == 0; ++run)
    {
        for (Program& program : programs)
        {
            std::string output;
            std::string diagnostics;
            const auto milliseconds = TimeOneStart(program.executable, workDir, output, diagnostics);
            if (!milliseconds)
            {
                std::fprintf(stderr,
                    "startup_bench: %s showed no window within %lld s (another quellis running, or port 2425 "
                    "taken?)\n%s\n",
                    program.label.c_str(),
                    static_cast<long long>(kShowTimeout.count()),
                    diagnostics.c_str());
                status = 1;
                break;
            }
            if (run >= 0)
            {
                program.milliseconds.push_back(*milliseconds);
                if (&program == &programs.front())
                {
                    steps.Add(output);
                }
            }
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(workDir, ignored);
    if (status != 0)
    {
        return status;
    }

    std::printf("Start-up to the main window shown (offscreen), %d runs each\n\n", runs);
    std::printf("%-30s %10s %10s %10s\n", "program", "median ms", "min ms", "max ms");
    for (const Program& program : programs)
    {
        const auto [low, high] = std::minmax_element(program.milliseconds.begin(), program.milliseconds.end());
        std::printf("%-30s %10.1f %10.1f %10.1f\n", program.label.c_str(), Median(program.milliseconds), *low, *high);
    }
    std::printf(
        "\nquellis / reference (medians): %.2f\n", Median(programs[0].milliseconds) / Median(programs[1].milliseconds));
    if (!steps.names.empty())
    {
        // The program's own clock: from the process start as it estimates it.
        std::printf("\nquellis start-up steps, median ms since the process started\n\n");
        for (const std::string& name : steps.names)
        {
            std::printf("%10.1f  %s\n", Median(steps.milliseconds[name]), name.c_str());
        }
    }
    return 0;
}
