// One instance per machine, with the real executable: a second start raises
// the running instance's window and leaves, waits for an instance that is
// still starting, and takes over from one that quits while it waits. The
// processes run on Qt's offscreen platform and write their debug traces to
// files that the tests read.
#include "app/quellis_app.h"
#include "app/quellis_dlg.h"
#include "platform/instance/named_lock.h"
#include "platform/ui/window_class.h"
#include "tests/support/child_environment.h"
#include "tests/support/quellis_dlg_fixture.h"
#include "tests/support/temp_dir.h"

#include <QTest>
#include <QWidget>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace quellis::test
{
namespace
{

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kAlreadyRunning = "Quellis应用程序已经在运行";
constexpr std::string_view kShown = "main window shown\n";
constexpr std::string_view kRaised = "main window brought to the front\n";
constexpr std::string_view kDelayed = "main window delayed";

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

std::size_t Count(const std::string& text, std::string_view what)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
    {
        ++count;
    }
    return count;
}

// A quellis process. It is killed when the object goes, and dies with the
// test process, so no failure leaves one behind.
class QuellisProcess
{
public:
    QuellisProcess(const std::filesystem::path& executable,
        const std::filesystem::path& workDir,
        const std::filesystem::path& traceFile,
        std::optional<int> startDelayMs = std::nullopt)
        : traceFile_(traceFile)
    {
        ChildEnvironment environment({ "QUELLIS_TRACE=" + traceFile.string() });
        if (startDelayMs)
        {
            environment.Add("QUELLIS_TEST_START_DELAY_MS=" + std::to_string(*startDelayMs));
        }
        const std::string program = executable.string();
        const std::string directory = workDir.string();
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0)
        {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent || chdir(directory.c_str()) != 0)
            {
                _exit(127);
            }
            const int null = open("/dev/null", O_RDWR);
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            char* const arguments[] = { const_cast<char*>(program.c_str()), nullptr };
            execve(program.c_str(), arguments, environment.Pointers());
            _exit(127);
        }
    }

    ~QuellisProcess()
    {
        if (Running())
        {
            kill(pid_, SIGKILL);
            Wait(10s);
        }
    }

    QuellisProcess(const QuellisProcess&) = delete;
    QuellisProcess& operator=(const QuellisProcess&) = delete;

    [[nodiscard]] bool Started() const { return pid_ > 0; }
    [[nodiscard]] bool Running() { return pid_ > 0 && !status_ && !Reap(false); }
    void Signal(int number) const { kill(pid_, number); }

    // The exit status once it has ended within the time, else nothing.
    std::optional<int> Wait(std::chrono::milliseconds timeout)
    {
        const auto end = Clock::now() + timeout;
        while (!status_ && !Reap(false) && Clock::now() < end)
        {
            std::this_thread::sleep_for(10ms);
        }
        return status_;
    }

    [[nodiscard]] std::string Trace() const { return ReadFile(traceFile_); }

    // Waits until the trace holds `what` `times` times.
    bool WaitForTrace(std::string_view what, std::chrono::milliseconds timeout, std::size_t times = 1)
    {
        const auto end = Clock::now() + timeout;
        while (Clock::now() < end)
        {
            if (Count(Trace(), what) >= times)
            {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

private:
    bool Reap(bool block)
    {
        int status = 0;
        if (waitpid(pid_, &status, block ? 0 : WNOHANG) == pid_)
        {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }
        return false;
    }

    std::filesystem::path traceFile_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

class SingleInstance : public testing::Test
{
protected:
    void SetUp() override
    {
        // Another holder of the lock would turn every first start here into a
        // second one. The test process has a runtime directory of its own, so
        // a quellis running on the machine is not one.
        instance::NamedLock probe;
        ASSERT_NE(
            instance::NamedLock::Create(app::kInstanceLockName, probe), instance::NamedLock::Result::AlreadyExists)
            << "the instance lock of this test process's runtime directory is held";
        probe.Release();

        // The executable in a directory whose path has spaces and non-ASCII
        // characters, with its config.ini beside it; the processes run in
        // another directory, so that config.ini is not found there by chance.
        programDir_ = dir_ / "测试 目录";
        workDir_ = dir_ / "work dir";
        std::filesystem::create_directories(programDir_);
        std::filesystem::create_directories(workDir_);
        executable_ = programDir_ / "quellis";
        std::filesystem::copy_file(QUELLIS_EXECUTABLE, executable_);
        std::ofstream config(programDir_ / "config.ini", std::ios::binary);
        config << "[COMMON]\r\nTOOLTYPE=0\r\nLANG=0\r\n";
    }

    std::unique_ptr<QuellisProcess> Start(const std::string& name, std::optional<int> startDelayMs = std::nullopt)
    {
        auto process = std::make_unique<QuellisProcess>(executable_, workDir_, dir_ / (name + ".trace"), startDelayMs);
        EXPECT_TRUE(process->Started());
        return process;
    }

    TempDir dir_;
    std::filesystem::path programDir_;
    std::filesystem::path workDir_;
    std::filesystem::path executable_;
};

TEST_F(SingleInstance, ASecondStartRaisesTheFirstWindowAndLeaves)
{
    auto first = Start("first");
    ASSERT_TRUE(first->WaitForTrace(kShown, 20s)) << first->Trace();
    // The settings came from config.ini beside the executable.
    EXPECT_NE(first->Trace().find((programDir_ / "config.ini").string() + ": TOOLTYPE 0, LANG 0\n"), std::string::npos)
        << first->Trace();

    const auto started = Clock::now();
    auto second = Start("second");
    EXPECT_EQ(second->Wait(20s), std::optional<int>(0));
    EXPECT_LT(Clock::now() - started, 10s);
    const std::string secondTrace = second->Trace();
    EXPECT_EQ(Count(secondTrace, kAlreadyRunning), 1u) << secondTrace;
    EXPECT_EQ(Count(secondTrace, kShown), 0u) << "the second start shows no window";
    EXPECT_EQ(Count(secondTrace, "TOOLTYPE"), 0u) << "nor makes its dialog";

    EXPECT_TRUE(first->WaitForTrace(kRaised, 5s)) << first->Trace();
    EXPECT_TRUE(first->Running());

    // A termination signal closes the dialog through its close path.
    first->Signal(SIGTERM);
    EXPECT_EQ(first->Wait(10s), std::optional<int>(0));
}

TEST_F(SingleInstance, ASecondStartWaitsForAFirstThatIsStillStarting)
{
    constexpr int kDelayMs = 2500;
    auto first = Start("first", kDelayMs);
    ASSERT_TRUE(first->WaitForTrace(kDelayed, 20s)) << first->Trace();
    const auto firstHoldsTheLock = Clock::now();

    auto second = Start("second");
    // It keeps looking while the first one has no window yet.
    ASSERT_TRUE(second->WaitForTrace(kAlreadyRunning, 10s, 3)) << second->Trace();
    EXPECT_TRUE(second->Running());
    EXPECT_EQ(second->Wait(30s), std::optional<int>(0));
    EXPECT_GE(Clock::now() - firstHoldsTheLock, std::chrono::milliseconds(kDelayMs));
    EXPECT_EQ(Count(second->Trace(), kShown), 0u);

    EXPECT_TRUE(first->WaitForTrace(kShown, 10s));
    EXPECT_TRUE(first->WaitForTrace(kRaised, 5s)) << first->Trace();
    EXPECT_TRUE(first->Running());
}

TEST_F(SingleInstance, WhenTheFirstQuitsWhileTheSecondWaitsTheSecondTakesOver)
{
    auto first = Start("first", 60000);
    ASSERT_TRUE(first->WaitForTrace(kDelayed, 20s)) << first->Trace();
    auto second = Start("second");
    ASSERT_TRUE(second->WaitForTrace(kAlreadyRunning, 10s, 2)) << second->Trace();

    // Before its window exists a termination signal simply ends the process.
    first->Signal(SIGTERM);
    EXPECT_EQ(first->Wait(10s), std::optional<int>(128 + SIGTERM));
    EXPECT_EQ(Count(first->Trace(), kShown), 0u);

    ASSERT_TRUE(second->WaitForTrace(kShown, 20s)) << second->Trace();
    EXPECT_NE(second->Trace().find(": TOOLTYPE 0, LANG 0\n"), std::string::npos);
    EXPECT_TRUE(second->Running());
    second->Signal(SIGTERM);
    EXPECT_EQ(second->Wait(10s), std::optional<int>(0));
}

// The part of "raise" that only a window manager shows: a minimised main
// window comes back, in the state it had before it was minimised. In this
// process, with the real dialog.
TEST(SingleInstanceWindow, AMinimisedMainWindowComesBackAsItWasWhenAsked)
{
    for (const bool maximised : { false, true })
    {
        QuellisDlgFixture fixture;
        fixture.Open();
        app::CQuellisDlg& dialog = fixture.Dialog();
        if (maximised)
        {
            dialog.showMaximized();
            ASSERT_TRUE(QuellisDlgFixture::WaitFor([&] { return dialog.isMaximized(); }));
        }
        dialog.showMinimized();
        ASSERT_TRUE(QuellisDlgFixture::WaitFor([&] { return dialog.isMinimized(); }));

        std::atomic<int> answer { -1 };
        std::thread other([&] { answer = ui::ActivateWindowOfClass(app::kMainWindowClass) ? 1 : 0; });
        const bool answered = QuellisDlgFixture::WaitFor([&] { return answer.load() >= 0; }, 10000);
        other.join();
        ASSERT_TRUE(answered);
        EXPECT_EQ(answer.load(), 1);
        EXPECT_TRUE(QuellisDlgFixture::WaitFor([&] { return !dialog.isMinimized(); })) << maximised;
        EXPECT_EQ(dialog.isMaximized(), maximised);
        EXPECT_TRUE(dialog.isVisible());
    }
}

// Tests run beside a quellis that runs on the machine: a runtime directory
// gives the processes that name it an instance lock and window classes apart
// from everyone else's.
TEST(InstanceNamespace, ARuntimeDirectoryHasALockAndWindowClassesOfItsOwn)
{
    const char* inherited = std::getenv("QUELLIS_RUNTIME_DIR");
    const std::string previous = inherited != nullptr ? inherited : "";
    TempDir first;
    TempDir second;
    const auto enter = [](const TempDir& dir) { setenv("QUELLIS_RUNTIME_DIR", dir.Path().c_str(), 1); };

    enter(first);
    instance::NamedLock firstLock;
    ASSERT_EQ(instance::NamedLock::Create(app::kInstanceLockName, firstLock), instance::NamedLock::Result::Created);
    EXPECT_EQ(instance::NamedLock::LockFilePath(app::kInstanceLockName).parent_path(), first.Path());
    QWidget firstWindow;
    ui::WindowClassServer firstClass;
    ASSERT_TRUE(firstClass.Register(app::kMainWindowClass, &firstWindow));

    enter(second);
    instance::NamedLock secondLock;
    EXPECT_EQ(instance::NamedLock::Create(app::kInstanceLockName, secondLock), instance::NamedLock::Result::Created);
    EXPECT_FALSE(ui::FindWindowOfClass(app::kMainWindowClass));
    QWidget secondWindow;
    ui::WindowClassServer secondClass;
    EXPECT_TRUE(secondClass.Register(app::kMainWindowClass, &secondWindow));

    // Within one directory they are still one lock and one window.
    enter(first);
    instance::NamedLock again;
    EXPECT_EQ(instance::NamedLock::Create(app::kInstanceLockName, again), instance::NamedLock::Result::AlreadyExists);
    std::atomic<int> found { -1 };
    std::thread asker([&] { found = ui::FindWindowOfClass(app::kMainWindowClass) ? 1 : 0; });
    QuellisDlgFixture::WaitFor([&] { return found.load() >= 0; }, 10000);
    asker.join();
    EXPECT_EQ(found.load(), 1);

    if (inherited != nullptr)
    {
        setenv("QUELLIS_RUNTIME_DIR", previous.c_str(), 1);
    }
    else
    {
        unsetenv("QUELLIS_RUNTIME_DIR");
    }
}

} // namespace
} // namespace quellis::test
