// The miner operations from the command line: the miner controller's runs as
// for a button press, over the named machines (selected rows) or every
// machine found (no row selected); one result per machine.
#include "cli/commands.h"
#include "cli/run.h"
#include "discovery/device_table.h"
#include "miner/miner_api_client.h"
#include "miner/miner_controller.h"
#include "platform/text/codepage.h"
#include "protocol/device_packet.h"
#include "resources/templates/main_dialog_ids.h"

#include <cstdio>

namespace quellis::cli
{

namespace
{

using namespace quellis::resources;
using Clock = std::chrono::steady_clock;

// A run with the machines it works on.
struct MinerRun
{
    std::unique_ptr<MachineRun> run;
    std::vector<Target> targets;
};

// Presses the button and waits for its runs to end; false (with the
// refusal in the results) when the controller refused.
bool PressAndWait(MachineRun& run, int button, const std::vector<Target>& targets, std::chrono::milliseconds perMachine)
{
    miner::MinerController& miner = run.Run().Miner();
    miner.OnCommand(button);
    std::string refusal;
    for (const std::string& text : run.TakeRefusals())
    {
        refusal += refusal.empty() ? text : "; " + text;
    }
    if (!refusal.empty())
    {
        std::fprintf(stderr, "refused: %s\n", refusal.c_str());
        for (const Target& target : targets)
        {
            run.Results().Set(target.mac, target.ip, false, "refused", refusal);
        }
        return false;
    }
    const auto limit = Clock::now() + perMachine * static_cast<int>(targets.size() + 1) + std::chrono::seconds(5);
    run.Run().Loop().RunUntil([&] { return miner.ActiveRuns() == 0; }, limit);
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
    int button,
    const std::function<std::optional<std::string>(Arguments&, HeadlessWindow&)>& prepare)
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
    // The command's own arguments go into the controls before anything goes
    // on the network.
    if (const auto usage = prepare(arguments, opened.run->Run().Window()))
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
    opened.run->Run().Miner().SetResultObserver(&opened.run->Results());
    opened.targets = opened.run->Resolve(true);
    std::vector<int> rows;
    for (const Target& target : opened.targets)
    {
        rows.push_back(target.row);
    }
    opened.run->SelectOnly(options.selection.all ? std::vector<int> {} : rows);
    if (!opened.targets.empty())
    {
        PressAndWait(*opened.run, button, opened.targets, std::chrono::seconds(8));
    }
    return Finish(opened, "not visited");
}

} // namespace

int RunHashRate(Arguments& arguments)
{
    return RunApi("hashrate",
        arguments,
        kIdGetHashRate,
        [](Arguments&, HeadlessWindow&) -> std::optional<std::string> { return std::nullopt; });
}

int RunFirstMiner(Arguments& arguments)
{
    return RunApi("first-miner",
        arguments,
        kIdGetFirstMiner,
        [](Arguments&, HeadlessWindow&) -> std::optional<std::string> { return std::nullopt; });
}

int RunTemperature(Arguments& arguments)
{
    return RunApi("temperature",
        arguments,
        kIdSetTemperature,
        [](Arguments& args, HeadlessWindow& window) -> std::optional<std::string>
        {
            const auto limits = args.Positional();
            if (limits.size() != 2)
            {
                return "give LOW and HIGH";
            }
            window.SetItemText(kIdLowTemperatureEdit, limits[0]);
            window.SetItemText(kIdHighTemperatureEdit, limits[1]);
            return std::nullopt;
        });
}

int RunMinerCommand(Arguments& arguments)
{
    return RunApi("miner-cmd",
        arguments,
        kIdExecuteMinerCommand,
        [](Arguments& args, HeadlessWindow& window) -> std::optional<std::string>
        {
            const auto words = args.Positional();
            if (words.empty() || words.size() > 2 || words[0].empty())
            {
                return "give COMMAND and at most one PARAMETER";
            }
            window.SetItemText(kIdMinerCommandEdit, words[0]);
            window.SetItemText(kIdMinerParameterEdit, words.size() > 1 ? words[1] : "");
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
    opened.run->Run().SetPools(slots);
    opened.targets = opened.run->Resolve(true);
    std::vector<int> rows;
    for (const Target& target : opened.targets)
    {
        rows.push_back(target.row);
    }
    opened.run->SelectOnly(options.selection.all ? std::vector<int> {} : rows);
    if (!opened.targets.empty())
    {
        PressAndWait(*opened.run, kIdSetPools, opened.targets, std::chrono::seconds(4));
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
        run.SelectOnly({ target.row });
        if (write)
        {
            run.Run().Window().SetItemText(kIdQrCodeEdit, words[1]);
            run.Run().Window().SetItemText(kIdOneDCodeEdit, words[2]);
        }
        if (PressAndWait(run, write ? kIdWriteE2 : kIdReadE2, targets, std::chrono::seconds(8)))
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
