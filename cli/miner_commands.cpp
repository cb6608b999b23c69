// The miner operations from the command line: the miner controller's typed
// runs over the named machines or every machine found; one result per machine.
#include "cli/commands.h"
#include "cli/run.h"
#include "discovery/device_table.h"
#include "miner/miner_api_client.h"
#include "miner/miner_controller.h"
#include "platform/profile/profile_text.h"
#include "platform/text/codepage.h"
#include "protocol/device_packet.h"

#include <cstdio>

namespace quellis::cli
{

namespace
{

using Clock = std::chrono::steady_clock;

// A run with the machines it works on.
struct MinerRun
{
    std::unique_ptr<MachineRun> run;
    std::vector<Target> targets;
};

// The command line's side of a run: the question was asked before the session
// opened, and each machine's outcome goes into the results (the run's thread).
class CliMinerObserver : public miner::MinerObserver
{
public:
    explicit CliMinerObserver(ResultTable& results)
        : results_(results)
    {
    }
    bool ConfirmEveryMachine(std::string_view) override { return true; }
    void OnResult(const core::MachineResult& result) override { results_.OnResult(result); }

private:
    ResultTable& results_;
};

// Starts the run over `targets` (every machine found when the selection is
// --all) and waits for its end; false (with the refusal in the results) when
// the controller refused.
bool StartAndWait(MachineRun& run,
    miner::BatchOperation kind,
    miner::MinerRunOptions inputs,
    const std::vector<Target>& targets,
    bool everyMachine,
    std::chrono::milliseconds perMachine)
{
    std::vector<core::RowTarget> machines;
    if (!everyMachine)
    {
        for (const Target& target : targets)
        {
            machines.push_back({ target.row, target.ip, target.mac });
        }
    }
    const miner::MinerStarted started = run.Run().Miner().StartMinerRun(
        kind, std::move(machines), std::move(inputs), std::make_shared<CliMinerObserver>(run.Results()));
    if (const auto* refused = std::get_if<miner::MinerRefused>(&started))
    {
        std::fprintf(stderr, "refused: %s\n", refused->text.c_str());
        for (const Target& target : targets)
        {
            run.Results().Set(target.mac, target.ip, false, "refused", refused->text);
        }
        return false;
    }
    const auto& handle = std::get<std::shared_ptr<miner::MinerRun>>(started);
    const auto limit = Clock::now() + perMachine * static_cast<int>(targets.size() + 1) + std::chrono::seconds(5);
    run.Run().Loop().RunUntil([&] { return handle->Ended(); }, limit);
    return true;
}

int Finish(MinerRun& opened, const char* missing)
{
    for (const Target& target : opened.targets)
    {
        if (!opened.run->Results().Has(target.mac))
        {
            opened.run->Results().Set(target.mac, target.ip, false, missing);
        }
    }
    return opened.run->Finish();
}

// A run over the miners' API: hash rate, first pool, temperature, a command.
int RunApi(const char* command,
    Arguments& arguments,
    miner::BatchOperation kind,
    const std::function<std::optional<std::string>(Arguments&, miner::MinerRunOptions&)>& prepare)
{
    CommonOptions options;
    // The command's own arguments are read before the leftovers are judged.
    std::string error;
    if (!ParseCommon(arguments, options, &error))
    {
        return UsageError(command, error);
    }
    MinerRun opened;
    opened.run = std::make_unique<MachineRun>(command, options);
    // The command's own arguments are judged before anything goes on the network.
    miner::MinerRunOptions inputs;
    if (const auto usage = prepare(arguments, inputs))
    {
        return UsageError(command, *usage);
    }
    if (const std::string leftover = arguments.Error(); !leftover.empty())
    {
        return UsageError(command, leftover);
    }
    if (!opened.run->Open())
    {
        return kExitSomeFailed;
    }
    opened.targets = opened.run->Resolve(true);
    if (!opened.targets.empty())
    {
        StartAndWait(
            *opened.run, kind, std::move(inputs), opened.targets, options.selection.all, std::chrono::seconds(8));
    }
    return Finish(opened, "not visited");
}

} // namespace

int RunHashRate(Arguments& arguments)
{
    return RunApi("hashrate",
        arguments,
        miner::BatchOperation::HashRate,
        [](Arguments&, miner::MinerRunOptions&) -> std::optional<std::string> { return std::nullopt; });
}

int RunFirstMiner(Arguments& arguments)
{
    return RunApi("first-miner",
        arguments,
        miner::BatchOperation::FirstMiner,
        [](Arguments&, miner::MinerRunOptions&) -> std::optional<std::string> { return std::nullopt; });
}

int RunTemperature(Arguments& arguments)
{
    return RunApi("temperature",
        arguments,
        miner::BatchOperation::SetTemperature,
        [](Arguments& args, miner::MinerRunOptions& inputs) -> std::optional<std::string>
        {
            const auto limits = args.Positional();
            if (limits.size() != 2)
            {
                return "give LOW and HIGH";
            }
            // Read as the window reads its edits: signed, from the leading digits.
            inputs.lowLimit = profile::ParseProfileInt(limits[0]);
            inputs.highLimit = profile::ParseProfileInt(limits[1]);
            return std::nullopt;
        });
}

int RunMinerCommand(Arguments& arguments)
{
    return RunApi("miner-cmd",
        arguments,
        miner::BatchOperation::MinerCommand,
        [](Arguments& args, miner::MinerRunOptions& inputs) -> std::optional<std::string>
        {
            const auto words = args.Positional();
            if (words.empty() || words.size() > 2 || words[0].empty())
            {
                return "give COMMAND and at most one PARAMETER";
            }
            inputs.command = words[0];
            inputs.parameter = words.size() > 1 ? words[1] : "";
            return std::nullopt;
        });
}

namespace
{

// "URL,WORKER,PASSWORD[,ip|none]": the worker gets the machine's address as
// ".AxBxCxD" unless none.
std::optional<miner::PoolSlot> ParsePool(const std::string& text)
{
    std::vector<std::string> fields(1);
    for (const char c : text)
    {
        if (c == ',' && fields.size() < 4)
        {
            fields.emplace_back();
        }
        else
        {
            fields.back() += c;
        }
    }
    if (fields.size() < 3 || fields[0].empty())
    {
        return std::nullopt;
    }
    miner::PoolSlot slot;
    slot.enabled = true;
    slot.url = fields[0];
    slot.worker = fields[1];
    slot.password = fields[2];
    if (fields.size() == 4)
    {
        if (fields[3] == "ip")
        {
            slot.suffixMode = miner::kSuffixIp;
        }
        else if (fields[3] == "none")
        {
            slot.suffixMode = miner::kSuffixNone;
        }
        else
        {
            return std::nullopt;
        }
    }
    return slot;
}

// Every pool of each machine with its priority, from its own answer (the
// window's first-pool run shows one).
int ShowPools(Arguments& arguments)
{
    CommonOptions options;
    std::string error;
    if (!ParseCommon(arguments, options, &error))
    {
        return UsageError("pools show", error);
    }
    if (const std::string leftover = arguments.Error(); !leftover.empty())
    {
        return UsageError("pools show", leftover);
    }
    MachineRun run("pools show", options);
    if (!run.Open())
    {
        return kExitSomeFailed;
    }
    const auto trimmed = [](std::string text)
    {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        {
            text.pop_back();
        }
        return text;
    };
    miner::MinerApiClient client(miner::ClientOptions {});
    for (const Target& target : run.Resolve(true))
    {
        const miner::Exchanged exchanged = client.Exchange(target.ip, miner::PoolsRequest(), true);
        if (exchanged.result != miner::ExchangeResult::Ok)
        {
            run.Results().Set(target.mac,
                target.ip,
                false,
                "no exchange",
                trimmed(miner::ExchangeFailureText(exchanged.result, exchanged.error, target.ip, false)));
            continue;
        }
        const miner::ParsedSection parsed = miner::ParseSection(exchanged.reply, "POOLS");
        if (parsed.result != miner::SectionResult::Ok)
        {
            run.Results().Set(target.mac,
                target.ip,
                false,
                "unusable reply",
                trimmed(std::string(miner::SectionFailureText(parsed.result))));
            continue;
        }
        run.Results().Set(target.mac, target.ip, true, "answered", trimmed(miner::ReadPoolList(parsed.section)));
    }
    return run.Finish();
}

} // namespace

int RunPools(Arguments& arguments)
{
    const auto words = arguments.Positional();
    if (words.size() != 1 || (words[0] != "set" && words[0] != "show"))
    {
        return UsageError("pools", "give set or show");
    }
    if (words[0] == "show")
    {
        return ShowPools(arguments);
    }
    miner::PoolSlots slots;
    const auto pools = arguments.Values("pool");
    if (pools.empty() || pools.size() > miner::kPoolSlotCount)
    {
        return UsageError("pools set", "give one to four --pool URL,WORKER,PASSWORD[,ip|none]");
    }
    for (std::size_t i = 0; i < pools.size(); ++i)
    {
        const auto slot = ParsePool(pools[i]);
        if (!slot)
        {
            return UsageError("pools set", "--pool is URL,WORKER,PASSWORD[,ip|none]: " + pools[i]);
        }
        slots[i] = *slot;
    }
    CommonOptions options;
    MinerRun opened;
    {
        std::string error;
        if (!ParseCommon(arguments, options, &error))
        {
            return UsageError("pools set", error);
        }
        if (const std::string leftover = arguments.Error(); !leftover.empty())
        {
            return UsageError("pools set", leftover);
        }
    }
    if (options.selection.all && !Confirm("Configure the pools of every machine?", options.yes))
    {
        return kExitUsage;
    }
    opened.run = std::make_unique<MachineRun>("pools set", options);
    if (!opened.run->Open())
    {
        return kExitSomeFailed;
    }
    opened.targets = opened.run->Resolve(true);
    if (!opened.targets.empty())
    {
        miner::MinerRunOptions inputs;
        inputs.pools = slots;
        StartAndWait(*opened.run,
            miner::BatchOperation::PoolConfig,
            std::move(inputs),
            opened.targets,
            options.selection.all,
            std::chrono::seconds(4));
    }
    // Each machine's answer; a run ends at the first machine that does not
    // answer, and those after it are not configured.
    for (const Target& target : opened.targets)
    {
        if (const auto reply = opened.run->Answers().Command(protocol::CMD_PoolConfig, target.mac))
        {
            opened.run->Results().Set(target.mac,
                target.ip,
                reply->result != 0,
                reply->result != 0 ? "configured" : "refused by the machine");
        }
    }
    return Finish(opened, "no answer, or not reached after one that gave none");
}

int RunE2(Arguments& arguments)
{
    const auto words = arguments.Positional();
    const bool write = !words.empty() && words[0] == "write";
    if (words.empty() || (write && words.size() != 3) || (!write && (words[0] != "read" || words.size() != 1)))
    {
        return UsageError("e2", "give write QR ONED, or read");
    }
    CommonOptions options;
    std::string error;
    if (!ParseCommon(arguments, options, &error))
    {
        return UsageError("e2", error);
    }
    if (const std::string leftover = arguments.Error(); !leftover.empty())
    {
        return UsageError("e2", leftover);
    }
    if (options.selection.all || options.selection.macs.size() + options.selection.ips.size() != 1)
    {
        return UsageError("e2", "the label codes go to one machine: name it with --mac or --ip");
    }
    MachineRun run("e2", options);
    if (!run.Open())
    {
        return kExitSomeFailed;
    }
    const std::vector<Target> targets = run.Resolve(true);
    if (targets.size() == 1)
    {
        const Target& target = targets.front();
        miner::MinerRunOptions inputs;
        if (write)
        {
            inputs.qrCode = words[1];
            inputs.oneDCode = words[2];
        }
        if (StartAndWait(run,
                write ? miner::BatchOperation::WriteE2 : miner::BatchOperation::ReadE2,
                std::move(inputs),
                targets,
                false,
                std::chrono::seconds(8)))
        {
            const auto wrote = run.Answers().Command(protocol::CMD_WriteE2, target.mac);
            const auto datagram = run.Answers().Datagram(protocol::CMD_ReadE2, target.mac);
            const auto read = protocol::ReadE2Reply(datagram);
            std::string codes;
            bool readOk = false;
            if (read && read->result == 0 && read->computedChecksum == read->block.checksum)
            {
                const auto text = [&](std::size_t from, std::size_t width) {
                    return text::DeviceTextToUtf8(
                        protocol::TextField(datagram, protocol::kE2ReplyDataOffset + from, width));
                };
                codes = text(0, 15) + " " + text(15, protocol::kE2DataCapacity - 15);
                readOk = read->block.data[0] != 0x00 && read->block.data[0] != 0xFF;
            }
            if (write && (!wrote || wrote->result != 0))
            {
                run.Results().Set(target.mac,
                    target.ip,
                    false,
                    wrote ? "write refused " + std::to_string(wrote->result) : "no answer to the write");
            }
            else if (!read)
            {
                run.Results().Set(target.mac, target.ip, false, write ? "written, not read back" : "no answer");
            }
            else if (!readOk)
            {
                run.Results().Set(target.mac,
                    target.ip,
                    false,
                    read->result != 0   ? "read refused " + std::to_string(read->result)
                        : codes.empty() ? "checksum wrong"
                                        : "empty",
                    codes);
            }
            else
            {
                run.Results().Set(target.mac, target.ip, true, write ? "written and read back" : "read", codes);
            }
        }
    }
    return run.Finish();
}

} // namespace quellis::cli
