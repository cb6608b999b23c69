#include "platform/instance/named_lock.h"
#include "platform/instance/runtime_directory.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quellis::instance
{
namespace
{

using Result = NamedLock::Result;

constexpr uid_t kNobody = 65534;

// Waits for a child and turns its exit status back into the result it sent.
std::optional<Result> WaitForResult(pid_t pid)
{
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) > 2)
    {
        return std::nullopt;
    }
    return static_cast<Result>(WEXITSTATUS(status));
}

// Create in a forked child (optionally as another user), which then exits.
// The child inherits this process's descriptors, and with them any lock held
// here: what it sees is what a second instance started by fork would see.
std::optional<Result> CreateInChild(const std::string& name, std::optional<uid_t> user = std::nullopt)
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        if (user && (setgid(*user) != 0 || setuid(*user) != 0))
        {
            _exit(100);
        }
        umask(077); // a strict umask must not keep other users out of a file it creates
        NamedLock lock;
        _exit(static_cast<int>(NamedLock::Create(name, lock)));
    }
    return WaitForResult(pid);
}

// A child process that takes a lock and keeps it until told to exit or killed.
// With a helper, it also starts a program (sleep) that outlives it.
class Holder
{
public:
    explicit Holder(const std::string& name, bool startHelper = false)
    {
        int report[2] = { -1, -1 };
        int control[2] = { -1, -1 };
        if (pipe2(report, O_CLOEXEC) != 0 || pipe2(control, O_CLOEXEC) != 0)
        {
            return;
        }
        pid_ = fork();
        if (pid_ == 0)
        {
            close(report[0]);
            close(control[1]);
            NamedLock lock;
            const Result result = NamedLock::Create(name, lock);
            pid_t helper = 0;
            if (startHelper)
            {
                // The helper's end of this pipe closes when its exec is done.
                int started[2] = { -1, -1 };
                if (pipe2(started, O_CLOEXEC) != 0 || (helper = fork()) < 0)
                {
                    _exit(101);
                }
                if (helper == 0)
                {
                    execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
                    _exit(127);
                }
                close(started[1]);
                char ignored = 0;
                while (read(started[0], &ignored, 1) > 0)
                {
                }
                close(started[0]);
            }
            const int message[2] = { static_cast<int>(result), static_cast<int>(helper) };
            [[maybe_unused]] const auto written = write(report[1], message, sizeof message);
            char ignored = 0;
            while (read(control[0], &ignored, 1) > 0)
            {
            }
            // Exits without Release: the lock must go with the process.
            _exit(0);
        }
        close(report[1]);
        close(control[0]);
        control_ = control[1];
        int message[2] = { -1, 0 };
        if (read(report[0], message, sizeof message) == sizeof message)
        {
            result_ = static_cast<Result>(message[0]);
            helper_ = message[1];
        }
        close(report[0]);
    }

    ~Holder()
    {
        Kill();
        if (helper_ > 0)
        {
            kill(helper_, SIGKILL);
            waitpid(helper_, nullptr, 0); // ours to reap when this process is its subreaper
        }
    }

    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    [[nodiscard]] std::optional<Result> Started() const { return result_; }
    [[nodiscard]] pid_t Helper() const { return helper_; }

    void Exit() { End(0); }
    void Kill() { End(SIGKILL); }

private:
    void End(int signal)
    {
        if (pid_ <= 0)
        {
            return;
        }
        if (signal != 0)
        {
            kill(pid_, signal);
        }
        close(control_);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    pid_t pid_ = -1;
    pid_t helper_ = 0;
    int control_ = -1;
    std::optional<Result> result_;
};

// A process that is alive and not a zombie, running `name`.
bool IsRunning(pid_t pid, const std::string& name)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string id;
    std::string command;
    std::string state;
    stat >> id >> command >> state;
    return command == "(" + name + ")" && state != "Z";
}

// The locks of these tests are machine-wide, as the program's is: the test
// process's own runtime directory is set aside while they run, and names of
// their own keep them apart from any other lock.
class NamedLockTest : public testing::Test
{
protected:
    // A name no other run of the tests uses; its file is removed afterwards.
    std::string Name(const std::string& what)
    {
        static int counter = 0;
        names_.push_back("quellis-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + "-" + what);
        return names_.back();
    }

    void SetUp() override
    {
        if (const char* runtime = std::getenv(kRuntimeDirectoryVariable))
        {
            runtime_ = runtime;
        }
        unsetenv(kRuntimeDirectoryVariable);
    }

    void TearDown() override
    {
        for (const auto& name : names_)
        {
            std::error_code ignored;
            std::filesystem::remove(NamedLock::LockFilePath(name), ignored);
        }
        if (runtime_)
        {
            setenv(kRuntimeDirectoryVariable, runtime_->c_str(), 1);
        }
    }

private:
    std::vector<std::string> names_;
    std::optional<std::string> runtime_;
};

TEST_F(NamedLockTest, FirstCreatorHoldsItAndEveryLaterCreateSeesItExists)
{
    const std::string name = Name("first");
    NamedLock first;
    ASSERT_EQ(NamedLock::Create(name, first), Result::Created);
    EXPECT_TRUE(first.IsHeld());

    // Another open of the lock in this process conflicts as another process would.
    NamedLock second;
    EXPECT_EQ(NamedLock::Create(name, second), Result::AlreadyExists);
    EXPECT_FALSE(second.IsHeld());
    EXPECT_EQ(CreateInChild(name), Result::AlreadyExists);

    first.Release();
    EXPECT_FALSE(first.IsHeld());
    EXPECT_EQ(CreateInChild(name), Result::Created);
    ASSERT_EQ(NamedLock::Create(name, second), Result::Created);

    // Moving keeps the one hold; a lock moved away from is empty.
    NamedLock moved(std::move(second));
    EXPECT_FALSE(second.IsHeld());
    EXPECT_TRUE(moved.IsHeld());
    EXPECT_EQ(CreateInChild(name), Result::AlreadyExists);
    first = std::move(moved);
    EXPECT_EQ(CreateInChild(name), Result::AlreadyExists);
    first = NamedLock();
    EXPECT_EQ(CreateInChild(name), Result::Created);
}

TEST_F(NamedLockTest, LockGoesWithTheHolderWhenItExitsOrIsKilled)
{
    const std::string name = Name("holder");
    {
        Holder holder(name);
        ASSERT_EQ(holder.Started(), Result::Created);
        NamedLock lock;
        EXPECT_EQ(NamedLock::Create(name, lock), Result::AlreadyExists);
        holder.Exit();
        EXPECT_EQ(NamedLock::Create(name, lock), Result::Created);
    }
    {
        Holder holder(name);
        ASSERT_EQ(holder.Started(), Result::Created);
        EXPECT_EQ(CreateInChild(name), Result::AlreadyExists);
        holder.Kill();
        EXPECT_EQ(CreateInChild(name), Result::Created);
    }
}

TEST_F(NamedLockTest, HandleOfAnExistingLockDoesNotKeepItAlive)
{
    const std::string name = Name("seen");
    Holder holder(name);
    ASSERT_EQ(holder.Started(), Result::Created);
    NamedLock seen;
    ASSERT_EQ(NamedLock::Create(name, seen), Result::AlreadyExists);
    Holder second(name); // a second instance that keeps running after its failed create
    ASSERT_EQ(second.Started(), Result::AlreadyExists);

    holder.Kill();
    NamedLock next;
    EXPECT_EQ(NamedLock::Create(name, next), Result::Created);
}

TEST_F(NamedLockTest, ProgramStartedByTheHolderDoesNotInheritTheLock)
{
    const std::string name = Name("helper");
    // The orphaned helper comes to this process, which can then end it for good.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    {
        Holder holder(name, true);
        ASSERT_EQ(holder.Started(), Result::Created);
        ASSERT_GT(holder.Helper(), 0);
        holder.Kill();
        // The helper drops the descriptors it inherited as its exec completes, a
        // moment after it is seen running; one that kept the lock keeps it 60 s.
        std::optional<Result> result;
        for (int attempt = 0; attempt < 100 && (result = CreateInChild(name)) != Result::Created; ++attempt)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(result, Result::Created);
        // The helper (a browser opened on the link, say) is still running.
        EXPECT_TRUE(IsRunning(holder.Helper(), "sleep"));
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST_F(NamedLockTest, DifferentNamesAreDifferentLocks)
{
    // Names that a careless mapping would fold into one file, or out of the lock directory.
    const std::string base = Name("names");
    const std::vector<std::string> names = {
        Name("a/b"),
        Name("a_b"),
        Name("a%2Fb"),
        Name("A_B"),
        Name("a\\b"),
        Name("../../x"),
        Name("a b"),
        base,
    };
    const std::filesystem::path directory = NamedLock::LockFilePath(base).parent_path();
    Holder holder(base);
    ASSERT_EQ(holder.Started(), Result::Created);
    std::vector<NamedLock> locks(names.size() - 1);
    for (std::size_t i = 0; i + 1 < names.size(); ++i)
    {
        EXPECT_EQ(NamedLock::LockFilePath(names[i]).parent_path(), directory) << names[i];
        EXPECT_EQ(NamedLock::Create(names[i], locks[i]), Result::Created) << names[i];
    }
    for (std::size_t i = 0; i + 1 < names.size(); ++i)
    {
        EXPECT_EQ(CreateInChild(names[i]), Result::AlreadyExists) << names[i];
    }
}

TEST_F(NamedLockTest, NamesThatCannotBeALockFail)
{
    NamedLock lock;
    EXPECT_EQ(NamedLock::Create("", lock), Result::Failed);
    EXPECT_TRUE(NamedLock::LockFilePath("").empty());
    EXPECT_EQ(NamedLock::Create(std::string(300, 'q'), lock), Result::Failed);
    EXPECT_EQ(NamedLock::Create(std::string(100, '/'), lock), Result::Failed); // 300 bytes once escaped
    EXPECT_FALSE(lock.IsHeld());
    // The longest accepted name still fits a file name.
    const std::string longest(200, 'q');
    EXPECT_FALSE(NamedLock::LockFilePath(longest).empty());
    EXPECT_TRUE(NamedLock::LockFilePath(longest + "q").empty());
}

TEST_F(NamedLockTest, StaleFileIsReusedButPlantedLinksPipesAndDirectoriesAreNot)
{
    test::TempDir dir;
    const std::string stale = Name("stale");
    const auto stalePath = NamedLock::LockFilePath(stale);
    {
        std::ofstream file(stalePath);
        file << "left by an earlier run";
    }
    chmod(stalePath.c_str(), 0400);
    NamedLock lock;
    EXPECT_EQ(NamedLock::Create(stale, lock), Result::Created);
    EXPECT_EQ(CreateInChild(stale), Result::AlreadyExists);

    // A link planted by someone else must not create or lock its target.
    const std::string linked = Name("link");
    std::filesystem::create_symlink(dir / "target", NamedLock::LockFilePath(linked));
    EXPECT_EQ(NamedLock::Create(linked, lock), Result::Failed);
    EXPECT_FALSE(std::filesystem::exists(dir / "target"));
    dir.Write("target", "data");
    EXPECT_EQ(NamedLock::Create(linked, lock), Result::Failed);
    EXPECT_EQ(dir.Read("target"), "data");

    // A FIFO would block an ordinary open until a writer came.
    const std::string fifo = Name("fifo");
    ASSERT_EQ(mkfifo(NamedLock::LockFilePath(fifo).c_str(), 0666), 0);
    EXPECT_EQ(NamedLock::Create(fifo, lock), Result::Failed);

    const std::string directory = Name("dir");
    ASSERT_TRUE(std::filesystem::create_directory(NamedLock::LockFilePath(directory)));
    EXPECT_EQ(NamedLock::Create(directory, lock), Result::Failed);
    EXPECT_FALSE(lock.IsHeld());
}

TEST_F(NamedLockTest, UsersShareTheLockWhoeverCreatedTheFile)
{
    if (geteuid() != 0)
    {
        GTEST_SKIP() << "needs root to act as a second user";
    }
    // Another user's instance holds it, then its file stays behind when it ends.
    const std::string name = Name("users");
    NamedLock lock;
    ASSERT_EQ(NamedLock::Create(name, lock), Result::Created);
    EXPECT_EQ(CreateInChild(name, kNobody), Result::AlreadyExists);
    lock.Release();
    std::filesystem::remove(NamedLock::LockFilePath(name));

    EXPECT_EQ(CreateInChild(name, kNobody), Result::Created);
    struct stat status = {};
    ASSERT_EQ(stat(NamedLock::LockFilePath(name).c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, kNobody);
    EXPECT_EQ(status.st_mode & 0777, 0644u); // despite the child's umask 077
    ASSERT_EQ(NamedLock::Create(name, lock), Result::Created);
    EXPECT_EQ(CreateInChild(name, kNobody), Result::AlreadyExists);
}

} // namespace
} // namespace quellis::instance
