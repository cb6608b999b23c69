// The miner operations from the command line: the miner controller's typed
// runs over the named machines or every machine found; one result per machine.
#include "cli/commands.h"
#include "cli/option_checks.h"
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

struct ApiOptions : CommonOptions
{
    std::vector<std::string> positional;
    miner::MinerRunOptions inputs; // read from the above by the check
};

// A run over the miners' API: hash rate, first pool, temperature, a command.
int RunApi(const char* command, const ApiOptions& options, miner::BatchOperation kind)
{
    MinerRun opened;
    opened.run = std::make_unique<MachineRun>(command, options);
    if (!opened.run->Open())
    {
        return kExitSomeFailed;
    }
    opened.targets = opened.run->Resolve(true);
    if (!opened.targets.empty())
    {
        StartAndWait(*opened.run, kind, options.inputs, opened.targets, options.selection.all, std::chrono::seconds(8));
    }
    return Finish(opened, "not visited");
}

// `read` takes the positional values (named `words`; none when empty) into
// the run's inputs, or gives the usage error.
Declared DeclareApi(CLI::App& app,
    const char* command,
    miner::BatchOperation kind,
    const char* words,
    std::function<std::string(const std::vector<std::string>&, miner::MinerRunOptions&)> read)
{
    auto options = std::make_shared<ApiOptions>();
    DeclareCommon(app, *options);
    if (*words != '\0')
    {
        app.add_option(words, options->positional);
    }
    return { [options, read = std::move(read)]
        {
            std::string error = ReadCommon(*options);
            return error.empty() ? read(options->positional, options->inputs) : error;
        },
        [options, command, kind] { return RunApi(command, *options, kind); } };
}

std::string NothingToRead(const std::vector<std::string>&, miner::MinerRunOptions&)
{
    return {};
}

} // namespace

Declared DeclareHashRate(CLI::App& app)
{
    return DeclareApi(app, "hashrate", miner::BatchOperation::HashRate, "", NothingToRead);
}

Declared DeclareFirstMiner(CLI::App& app)
{
    return DeclareApi(app, "first-miner", miner::BatchOperation::FirstMiner, "", NothingToRead);
}

Declared DeclareTemperature(CLI::App& app)
{
    return DeclareApi(app,
        "temperature",
        miner::BatchOperation::SetTemperature,
        "LIMITS",
        [](const std::vector<std::string>& limits, miner::MinerRunOptions& inputs) -> std::string
        {
            if (limits.size() != 2)
            {
                return "give LOW and HIGH";
            }
            // Read as the window reads its edits: signed, from the leading digits.
            inputs.lowLimit = profile::ParseProfileInt(limits[0]);
            inputs.highLimit = profile::ParseProfileInt(limits[1]);
            return {};
        });
}

Declared DeclareMinerCommand(CLI::App& app)
{
    return DeclareApi(app,
        "miner-cmd",
        miner::BatchOperation::MinerCommand,
        "COMMAND",
        [](const std::vector<std::string>& words, miner::MinerRunOptions& inputs) -> std::string
        {
            if (words.empty() || words.size() > 2 || words[0].empty())
            {
                return "give COMMAND and at most one PARAMETER";
            }
            inputs.command = words[0];
            inputs.parameter = words.size() > 1 ? words[1] : "";
            return {};
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
int ShowPools(const CommonOptions& options)
{
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

struct PoolsOptions : CommonOptions
{
    std::vector<std::string> pools;
    miner::PoolSlots slots; // read from the above by the check
};

// The pools given, or the usage error.
std::string ReadPools(PoolsOptions& options)
{
    if (std::string error = ReadCommon(options); !error.empty())
    {
        return error;
    }
    if (options.pools.empty() || options.pools.size() > miner::kPoolSlotCount)
    {
        return "give one to four --pool URL,WORKER,PASSWORD[,ip|none]";
    }
    for (std::size_t i = 0; i < options.pools.size(); ++i)
    {
        options.slots[i] = *ParsePool(options.pools[i]);
    }
    return {};
}

int SetPools(const PoolsOptions& options)
{
    MinerRun opened;
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
        inputs.pools = options.slots;
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

struct E2Options : CommonOptions
{
    std::vector<std::string> codes; // QR and one-D, to write
};

int RunE2(const E2Options& options, bool write)
{
    const std::vector<std::string>& codes = options.codes;
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
            inputs.qrCode = codes[0];
            inputs.oneDCode = codes[1];
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

} // namespace

Declared DeclarePools(CLI::App& app)
{
    // The machines may be named before the word or after it.
    auto options = std::make_shared<PoolsOptions>();
    DeclareCommon(app, *options);
    CLI::App* set = app.add_subcommand("set")->fallthrough();
    CLI::App* show = app.add_subcommand("show")->fallthrough();
    set->add_option("--pool", options->pools)
        ->allow_extra_args(false)
        ->check(Checked([](const std::string& text) { return ParsePool(text) ? std::optional(text) : std::nullopt; },
            "--pool is URL,WORKER,PASSWORD[,ip|none]"));
    return { [options, set, show] {
                return set->parsed() ? ReadPools(*options) : show->parsed() ? ReadCommon(*options) : "give set or show";
            },
        [options, set] { return set->parsed() ? SetPools(*options) : ShowPools(*options); } };
}

Declared DeclareE2(CLI::App& app)
{
    auto options = std::make_shared<E2Options>();
    DeclareCommon(app, *options);
    CLI::App* write = app.add_subcommand("write")->fallthrough();
    CLI::App* read = app.add_subcommand("read")->fallthrough();
    write->add_option("CODES", options->codes);
    return { [options, write, read]
        {
            if ((!write->parsed() && !read->parsed()) || (write->parsed() && options->codes.size() != 2))
            {
                return std::string("give write QR ONED, or read");
            }
            std::string error = ReadCommon(*options);
            if (error.empty()
                && (options->selection.all || options->selection.macs.size() + options->selection.ips.size() != 1))
            {
                error = "the label codes go to one machine: name it with --mac or --ip";
            }
            return error;
        },
        [options, write] { return RunE2(*options, write->parsed()); } };
}

} // namespace quellis::cli
