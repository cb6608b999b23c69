// The firmware update from the command line: the update controller's package
// server serves the package on TCP 2425 as in the window, and the package is
// offered to the machines at most N at a time (1: the window's run, one
// machine after the other), each result by MAC.
#include "cli/commands.h"
#include "cli/run.h"
#include "platform/files/file_info.h"
#include "platform/files/terminal.h"
#include "protocol/device_packet.h"

#include <cstdio>
#include <deque>
#include <filesystem>
#include <map>

namespace quellis::cli
{

namespace
{

using Clock = std::chrono::steady_clock;

struct Offered
{
    Target target;
    Clock::time_point deadline;
};

} // namespace

int RunUpdate(Arguments& arguments)
{
    CommonOptions options;
    std::string error;
    if (!ParseCommon(arguments, options, &error))
    {
        return UsageError("update", error);
    }
    const auto concurrencyText = arguments.Value("concurrency");
    const auto timeoutText = arguments.Value("timeout");
    const auto positional = arguments.Positional();
    if (const std::string leftover = arguments.Error(); !leftover.empty())
    {
        return UsageError("update", leftover);
    }
    if (positional.size() != 1)
    {
        return UsageError("update", "give the package file");
    }
    const int concurrency = concurrencyText ? std::atoi(concurrencyText->c_str()) : 1;
    const int timeoutSeconds = timeoutText ? std::atoi(timeoutText->c_str()) : 30;
    if (concurrency < 1 || concurrency > 1000 || timeoutSeconds < 1 || timeoutSeconds > 3600)
    {
        return UsageError("update", "--concurrency takes 1 to 1000, --timeout 1 to 3600 seconds");
    }
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
    // The package choice, as the open-file dialog would give it.
    session.Window().SetOpenFileAnswer(package);
    session.Update().ChoosePackage();

    std::deque<Target> waiting;
    for (const Target& target : run.Resolve(true))
    {
        waiting.push_back(target);
    }
    const std::size_t total = waiting.size();
    std::map<std::string, Offered> offered; // by MAC as sent
    std::size_t done = 0;
    std::size_t failed = 0;
    const bool progress = files::IsTerminal(files::StandardStream::Error);
    const auto start = Clock::now();
    auto lastProgress = start;
    std::vector<std::uint8_t> offer(protocol::kRequestBufferSize);
    while (!waiting.empty() || !offered.empty())
    {
        while (!waiting.empty() && offered.size() < static_cast<std::size_t>(concurrency))
        {
            Target target = waiting.front();
            waiting.pop_front();
            offer.assign(protocol::kRequestBufferSize, 0);
            offer.resize(protocol::BuildUpgradeOffer(offer, target.mac, info->size));
            session.State().currentTargetIp.Set(target.ip);
            if (!session.State().SendBroadcast(offer))
            {
                run.Results().Set(target.mac, target.ip, false, "offer not sent");
                ++failed;
                continue;
            }
            session.State().currentTarget.Set(target.mac);
            offered[target.mac] = { target, Clock::now() + std::chrono::seconds(timeoutSeconds) };
        }
        session.Loop().RunFor(std::chrono::milliseconds(20));
        const auto now = Clock::now();
        for (auto it = offered.begin(); it != offered.end();)
        {
            const auto reply = run.Answers().Command(protocol::CMD_Upgrade, it->first);
            if (reply)
            {
                const bool ok = reply->result != 0;
                run.Results().Set(it->first, it->second.target.ip, ok, ok ? "updated" : "update failed");
                ++(ok ? done : failed);
                it = offered.erase(it);
            }
            else if (now >= it->second.deadline)
            {
                run.Results().Set(it->first, it->second.target.ip, false, "timed out");
                ++failed;
                it = offered.erase(it);
            }
            else
            {
                ++it;
            }
        }
        if (progress && now - lastProgress >= std::chrono::milliseconds(500))
        {
            lastProgress = now;
            const double seconds = std::chrono::duration<double>(now - start).count();
            std::fprintf(stderr,
                "\r%zu done, %zu failed, %zu waiting of %zu; %.1f MB/s   ",
                done,
                failed,
                waiting.size() + offered.size(),
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

} // namespace quellis::cli
