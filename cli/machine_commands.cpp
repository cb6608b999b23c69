// The maintenance commands from the command line: the commands controller's
// typed commands, one machine at a time where the window takes one selected
// row, and the answers gathered per machine.
#include "cli/commands.h"
#include "cli/run.h"
#include "cli/static_address.h"
#include "commands/commands_controller.h"
#include "platform/net/ipv4.h"
#include "platform/text/codepage.h"

#include <cstdio>
#include <map>

namespace quellis::cli
{

namespace
{

using Clock = std::chrono::steady_clock;

// Parses the common options or reports the usage error.
std::optional<int> Common(const char* command, Arguments& arguments, CommonOptions& options)
{
    std::string error;
    if (!ParseCommon(arguments, options, &error))
    {
        return UsageError(command, error);
    }
    return std::nullopt;
}

std::optional<int> Leftover(const char* command, Arguments& arguments)
{
    if (const std::string error = arguments.Error(); !error.empty())
    {
        return UsageError(command, error);
    }
    return std::nullopt;
}

// The command line's side of a command: the question was asked before the
// session opened, and the failure of a wait that ran out is kept for the
// machine at hand (the loop's thread).
class CliCommandObserver : public commands::CommandObserver
{
public:
    bool ConfirmEveryMachine(std::string_view) override { return true; }
    void OnTimedOut(std::string_view failure) override { failure_ = failure; }
    [[nodiscard]] const std::string& Failure() const { return failure_; }

private:
    std::string failure_;
};

core::RowTarget Machine(const Target& target)
{
    return { target.row, target.ip, target.mac };
}

// The refusal's text, or "" for a command sent.
std::string RefusalOf(const commands::CommandStarted& started)
{
    const auto* refusal = std::get_if<commands::CommandRefusal>(&started);
    return refusal != nullptr ? std::string(commands::RefusalText(*refusal)) : std::string();
}

// A test or the system command on one machine: until its answer or the end
// of its wait; the refusal or the failure of the wait, or "".
std::string AwaitCommand(MachineRun& run, const commands::CommandStarted& started, const CliCommandObserver& observer)
{
    if (const auto* sent = std::get_if<std::shared_ptr<commands::CommandRun>>(&started))
    {
        run.Run().Loop().RunUntil([&] { return (*sent)->Ended(); }, Clock::now() + std::chrono::seconds(10));
        return observer.Failure();
    }
    return RefusalOf(started);
}

int RunTest(const char* command, Arguments& arguments, commands::CommandTest test, std::uint16_t code)
{
    CommonOptions options;
    if (auto usage = Common(command, arguments, options))
    {
        return *usage;
    }
    if (auto usage = Leftover(command, arguments))
    {
        return *usage;
    }
    MachineRun run(command, options);
    if (!run.Open())
    {
        return kExitSomeFailed;
    }
    commands::CommandsController& controller = run.Run().Commands();
    for (const Target& target : run.Resolve(false))
    {
        const auto observer = std::make_shared<CliCommandObserver>();
        const std::string refusal
            = AwaitCommand(run, controller.StartTest(test, { Machine(target) }, observer), *observer);
        const auto reply = run.Answers().Command(code, target.mac);
        if (!reply)
        {
            run.Results().Set(target.mac, target.ip, false, "no answer", refusal);
            continue;
        }
        std::string detail;
        if (code == protocol::CMD_UARTTest)
        {
            detail = "ports working:";
            for (int port = 0; port < commands::kSerialPortCount; ++port)
            {
                if (commands::SerialPortWorking(reply->result, port))
                {
                    detail += " " + std::to_string(port + 1);
                }
            }
        }
        run.Results().Set(target.mac, target.ip, true, "tested", detail);
    }
    return run.Finish();
}

} // namespace

int RunLedTest(Arguments& arguments)
{
    return RunTest("led-test", arguments, commands::CommandTest::Led, protocol::CMD_LedTest);
}

int RunUartTest(Arguments& arguments)
{
    return RunTest("uart-test", arguments, commands::CommandTest::Serial, protocol::CMD_UARTTest);
}

int RunFlicker(Arguments& arguments)
{
    CommonOptions options;
    if (auto usage = Common("flicker", arguments, options))
    {
        return *usage;
    }
    if (auto usage = Leftover("flicker", arguments))
    {
        return *usage;
    }
    MachineRun run("flicker", options);
    if (!run.Open())
    {
        return kExitSomeFailed;
    }
    for (const Target& target : run.Resolve(false))
    {
        run.Run().Discovery().FlickerRow(target.row);
        run.Results().Set(target.mac, target.ip, true, "sent");
    }
    return run.Finish();
}

int RunBlink(Arguments& arguments)
{
    CommonOptions options;
    if (auto usage = Common("blink", arguments, options))
    {
        return *usage;
    }
    const auto secondsText = arguments.Value("seconds");
    if (auto usage = Leftover("blink", arguments))
    {
        return *usage;
    }
    const int seconds = secondsText ? std::atoi(secondsText->c_str()) : 10;
    if (seconds <= 0 || seconds > 86400)
    {
        return UsageError("blink", "--seconds takes 1 to 86400");
    }
    MachineRun run("blink", options);
    if (!run.Open())
    {
        return kExitSomeFailed;
    }
    // The blink goes to each machine's own address: it needs the search.
    const std::vector<Target> targets = run.Resolve(true);
    std::vector<int> rows;
    for (const Target& target : targets)
    {
        rows.push_back(target.row);
    }
    // All machines: nothing selected, as in the window.
    run.SelectOnly(options.selection.all ? std::vector<int> {} : rows);
    std::string refusal;
    if (!targets.empty())
    {
        commands::CommandsController& controller = run.Run().Commands();
        if (const auto refused = controller.StartBlink())
        {
            refusal = commands::RefusalText(*refused);
        }
        else
        {
            run.Run().Loop().RunFor(std::chrono::seconds(seconds));
            controller.StopBlink();
            if (controller.Blink().SocketFailed())
            {
                refusal = commands::blinktext::kSocketFailed;
            }
        }
    }
    for (const Target& target : targets)
    {
        run.Results().Set(target.mac, target.ip, refusal.empty(), refusal.empty() ? "blinked" : "not blinked", refusal);
    }
    return run.Finish();
}

int RunExec(Arguments& arguments)
{
    CommonOptions options;
    if (auto usage = Common("exec", arguments, options))
    {
        return *usage;
    }
    const auto positional = arguments.Positional();
    if (auto usage = Leftover("exec", arguments))
    {
        return *usage;
    }
    if (positional.size() != 1 || positional[0].empty())
    {
        return UsageError("exec", "give the command as one argument (quote it)");
    }
    if (options.selection.all && !Confirm("Run the command on every machine of the network?", options.yes))
    {
        return kExitUsage;
    }
    MachineRun run("exec", options);
    if (!run.Open())
    {
        return kExitSomeFailed;
    }
    commands::CommandsController& controller = run.Run().Commands();
    // The output as the window shows it.
    const auto record = [&](const protocol::CommandPacket& reply, const std::string& ip)
    {
        run.Results().Set(reply.target,
            ip,
            reply.result == 0,
            "exit status " + std::to_string(reply.result),
            text::DeviceTextToUtf8(reply.text));
    };
    if (options.selection.all)
    {
        // The addresses of the machines, from a search; then one request to
        // every machine, and each answers for itself.
        std::map<std::string, std::string> addresses;
        for (const Target& target : run.Resolve(true))
        {
            addresses[target.mac] = target.ip;
        }
        const std::string refusal
            = RefusalOf(controller.StartSystemCommand({}, positional[0], std::make_shared<CliCommandObserver>()));
        if (!refusal.empty())
        {
            std::fprintf(stderr, "quellis-cli exec: %s\n", refusal.c_str());
            run.Run().Close();
            return kExitSomeFailed;
        }
        run.Run().Loop().RunFor(options.wait);
        for (const auto& reply : run.Answers().Commands(protocol::CMD_EXECUTE))
        {
            const auto address = addresses.find(reply.target);
            record(reply, address != addresses.end() ? address->second : "");
        }
        return run.Finish();
    }
    for (const Target& target : run.Resolve(false))
    {
        const auto observer = std::make_shared<CliCommandObserver>();
        const std::string refusal
            = AwaitCommand(run, controller.StartSystemCommand({ Machine(target) }, positional[0], observer), *observer);
        if (const auto reply = run.Answers().Command(protocol::CMD_EXECUTE, target.mac))
        {
            record(*reply, target.ip);
        }
        else
        {
            run.Results().Set(target.mac, target.ip, false, "no answer", refusal);
        }
    }
    return run.Finish();
}

namespace
{

// Restart miner, reboot, name: sent and not waited for, but the name comes back.
int RunOneShot(const char* command, Arguments& arguments, commands::OneShotCommand which, std::string_view question)
{
    CommonOptions options;
    if (auto usage = Common(command, arguments, options))
    {
        return *usage;
    }
    if (auto usage = Leftover(command, arguments))
    {
        return *usage;
    }
    if (options.selection.all && !question.empty() && !Confirm(question, options.yes))
    {
        return kExitUsage;
    }
    MachineRun run(command, options);
    if (!run.Open())
    {
        return kExitSomeFailed;
    }
    commands::CommandsController& controller = run.Run().Commands();
    const bool name = which == commands::OneShotCommand::Name;
    const auto observer = std::make_shared<CliCommandObserver>();
    if (options.selection.all && !name)
    {
        const std::string refusal = RefusalOf(controller.StartOneShot(which, {}, observer));
        run.Results().Set(
            "FFFFFFFFFFFF", "", refusal.empty(), refusal.empty() ? "sent to every machine" : "not sent", refusal);
        return run.Finish();
    }
    const std::vector<Target> targets = run.Resolve(false);
    for (const Target& target : targets)
    {
        const std::string refusal = RefusalOf(controller.StartOneShot(which, { Machine(target) }, observer));
        run.Results().Set(target.mac, target.ip, refusal.empty(), refusal.empty() ? "sent" : "not sent", refusal);
    }
    if (name)
    {
        // The names come back by themselves.
        run.Run().Loop().RunFor(options.wait);
        for (const Target& target : targets)
        {
            const auto reply = run.Answers().Command(protocol::CMD_GetName, target.mac);
            if (!reply)
            {
                run.Results().Set(target.mac, target.ip, false, "no answer");
            }
            else
            {
                run.Results().Set(target.mac,
                    target.ip,
                    reply->result != 0,
                    reply->result != 0 ? "name" : "no name",
                    text::DeviceTextToUtf8(reply->text));
            }
        }
    }
    return run.Finish();
}

} // namespace

int RunRestartMiner(Arguments& arguments)
{
    return RunOneShot("restart-miner",
        arguments,
        commands::OneShotCommand::RestartMiner,
        "Restart the mining program of every machine?");
}

int RunReboot(Arguments& arguments)
{
    return RunOneShot("reboot", arguments, commands::OneShotCommand::Reboot, "Restart every machine of the network?");
}

int RunName(Arguments& arguments)
{
    return RunOneShot("name", arguments, commands::OneShotCommand::Name, {});
}

int RunSetIp(Arguments& arguments)
{
    CommonOptions options;
    if (auto usage = Common("set-ip", arguments, options))
    {
        return *usage;
    }
    const bool dhcp = arguments.Flag("dhcp");
    const auto staticText = arguments.Value("static");
    const auto gatewayText = arguments.Value("gateway");
    const auto dnsText = arguments.Value("dns");
    if (auto usage = Leftover("set-ip", arguments))
    {
        return *usage;
    }
    if (dhcp == staticText.has_value())
    {
        return UsageError("set-ip", "give either --static ADDR/PREFIX --gateway G or --dhcp");
    }
    commands::DevSetFields fields;
    fields.staticAddress = dhcp ? 0 : 1;
    fields.dns = net::ParseIpv4(dnsText.value_or("8.8.8.8")).value_or(0);
    if (staticText)
    {
        std::string error;
        const auto parsed = ParseStaticAddress(*staticText, gatewayText.value_or(""), &error);
        if (!parsed)
        {
            return UsageError("set-ip", error);
        }
        fields.address = parsed->address;
        fields.mask = parsed->mask;
        fields.gateway = parsed->gateway;
    }
    if (options.selection.all && !Confirm("Change the network settings of every machine?", options.yes))
    {
        return kExitUsage;
    }
    MachineRun run("set-ip", options);
    if (!run.Open())
    {
        return kExitSomeFailed;
    }
    const std::vector<Target> targets = run.Resolve(false);
    if (!dhcp && targets.size() > 1)
    {
        run.Run().Close();
        return UsageError("set-ip", "one static address for several machines");
    }
    for (const Target& target : targets)
    {
        commands::DevSetFields machine = fields;
        machine.mac = target.mac;
        static_cast<void>(run.Run().Commands().StartNetworkSetting(machine));
        // The machine acknowledges with its new settings, or refuses.
        const auto until = Clock::now() + options.wait;
        run.Run().Loop().RunUntil([&] { return run.Answers().Setting(target.mac).has_value(); }, until);
        const auto reply = run.Answers().Setting(target.mac);
        if (!reply)
        {
            run.Results().Set(target.mac, target.ip, false, "no answer");
        }
        else if (reply->result == 0)
        {
            run.Results().Set(target.mac, target.ip, true, "set", reply->ip);
        }
        else
        {
            // The reason as the window's box gives it, with the MAC as sent.
            run.Results().Set(target.mac,
                target.ip,
                false,
                "refused " + std::to_string(reply->result),
                commands::SettingFailureText(reply->result, text::Utf8ToCp936(target.mac)));
        }
    }
    return run.Finish();
}

} // namespace quellis::cli
