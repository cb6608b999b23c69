// The firmware update from the command line: the update controller's own
// run, with the package server on TCP 2425 as in the window, offering the
// package to the machines at most N at a time (1: the window's run, one
// machine after the other), each result by MAC.
#include "cli/commands.h"
#include "cli/option_checks.h"
#include "cli/run.h"
#include "platform/files/file_info.h"
#include "platform/files/terminal.h"
#include "update/update_run.h"

#include <atomic>
#include <cstdio>
#include <filesystem>

namespace quellis::cli
{

namespace
{

using Clock = std::chrono::steady_clock;

// Each machine's outcome into the results, counted for the progress line.
class Outcomes : public update::UpdateObserver
{
public:
    explicit Outcomes(ResultTable& results)
        : results_(results)
    {
    }
    void OnMachine(const update::UpdateTarget& target, update::UpdateOutcome outcome) override
    {
        const bool ok = outcome == update::UpdateOutcome::Updated;
        results_.Set(target.mac, target.ip, ok, std::string(update::OutcomeWord(outcome)));
        ++(ok ? done : failed);
    }
    std::atomic<std::size_t> done { 0 };
    std::atomic<std::size_t> failed { 0 };

private:
    ResultTable& results_;
};

struct UpdateCommandOptions : CommonOptions
{
    int concurrency = 1;
    int timeoutSeconds = 30;
    std::vector<std::string> positional;
};

int RunUpdate(const UpdateCommandOptions& options)
{
    const std::vector<std::string>& positional = options.positional;
    const int concurrency = options.concurrency;
    const int timeoutSeconds = options.timeoutSeconds;
    const std::string package = std::filesystem::absolute(positional[0]).string();
    files::FileInfo fileInfo;
    const files::FileInfo* info = files::QueryFileInfo(package, fileInfo) ? &fileInfo : nullptr;
    if (info == nullptr || std::filesystem::is_directory(package) || info->size == 0)
    {
        std::fprintf(stderr, "quellis-cli update: %s is not a readable, non-empty file\n", package.c_str());
        return kExitUsage;
    }
    if (options.selection.all && !Confirm("Update the firmware of every machine found?", options.yes))
    {
        return kExitUsage;
    }

    MachineRun run("update", options);
    if (!run.Open(true))
    {
        return kExitSomeFailed;
    }
    Session& session = run.Run();
    session.Update().UsePackage(package);
    std::vector<update::UpdateTarget> targets;
    for (const Target& target : run.Resolve(true))
    {
        targets.push_back({ target.ip, target.mac });
    }
    if (targets.empty())
    {
        return run.Finish();
    }
    const std::size_t total = targets.size();
    auto outcomes = std::make_shared<Outcomes>(run.Results());
    update::UpdateOptions updateOptions;
    updateOptions.concurrency = concurrency;
    updateOptions.resultWait = std::chrono::seconds(timeoutSeconds);
    const auto started = session.Update().StartUpdate(
        std::make_unique<update::ListedTargets>(std::move(targets)), updateOptions, outcomes);
    if (const auto* refusal = std::get_if<update::UpdateRefusal>(&started))
    {
        const std::string_view text = update::RefusalText(*refusal);
        std::fprintf(stderr,
            "quellis-cli update: %.*s\n",
            static_cast<int>(text.size()),
            text.empty() ? "the update run did not start" : text.data());
        run.Finish();
        return kExitSomeFailed;
    }
    const auto& updateRun = std::get<std::shared_ptr<update::UpdateRun>>(started);
    const bool progress = files::IsTerminal(files::StandardStream::Error);
    const auto start = Clock::now();
    auto lastProgress = start;
    while (!updateRun->Ended())
    {
        session.Loop().RunFor(std::chrono::milliseconds(20));
        const auto now = Clock::now();
        if (progress && now - lastProgress >= std::chrono::milliseconds(500))
        {
            lastProgress = now;
            const std::size_t done = outcomes->done.load();
            const std::size_t failed = outcomes->failed.load();
            const double seconds = std::chrono::duration<double>(now - start).count();
            std::fprintf(stderr,
                "\r%zu done, %zu failed, %zu waiting of %zu; %.1f MB/s   ",
                done,
                failed,
                total - done - failed,
                total,
                seconds > 0 ? static_cast<double>(done) * static_cast<double>(info->size) / 1e6 / seconds : 0.0);
        }
    }
    if (progress)
    {
        std::fprintf(stderr, "\n");
    }
    return run.Finish();
}

} // namespace

Declared DeclareUpdate(CLI::App& app)
{
    auto options = std::make_shared<UpdateCommandOptions>();
    DeclareCommon(app, *options);
    app.add_option("--concurrency", options->concurrency)
        ->transform(WholeNumber(1, 1000, "--concurrency takes 1 to 1000"));
    app.add_option("--timeout", options->timeoutSeconds)
        ->transform(WholeNumber(1, 3600, "--timeout takes 1 to 3600 seconds"));
    app.add_option("PACKAGE", options->positional);
    return { [options]
        {
            std::string error = ReadCommon(*options);
            if (error.empty() && options->positional.size() != 1)
            {
                error = "give the package file";
            }
            return error;
        },
        [options] { return RunUpdate(*options); } };
}

} // namespace quellis::cli
