// The maintenance commands from the command line: the commands controller's
// typed commands, one machine at a time where the window takes one selected
// row, and the answers gathered per machine.
#include "cli/commands.h"
#include "cli/option_checks.h"
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

int RunTest(const char* command, const CommonOptions& options, commands::CommandTest test, std::uint16_t code)
{
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

Declared DeclareLedTest(CLI::App& app)
{
    return DeclareOnMachines(app,
        [](const CommonOptions& options)
        { return RunTest("led-test", options, commands::CommandTest::Led, protocol::CMD_LedTest); });
}

Declared DeclareUartTest(CLI::App& app)
{
    return DeclareOnMachines(app,
        [](const CommonOptions& options)
        { return RunTest("uart-test", options, commands::CommandTest::Serial, protocol::CMD_UARTTest); });
}

namespace
{

int RunFlicker(const CommonOptions& options)
{
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

struct BlinkOptions : CommonOptions
{
    int seconds = 10;
};

int RunBlink(const BlinkOptions& options)
{
    const int seconds = options.seconds;
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

struct ExecOptions : CommonOptions
{
    std::vector<std::string> positional;
};

int RunExec(const ExecOptions& options)
{
    const std::vector<std::string>& positional = options.positional;
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

// Restart miner, reboot, name: sent and not waited for, but the name comes back.
int RunOneShot(
    const char* command, const CommonOptions& options, commands::OneShotCommand which, std::string_view question)
{
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

struct SetIpOptions : CommonOptions
{
    bool dhcp = false;
    std::optional<std::string> staticAddress;
    std::string gateway;
    std::string dns = "8.8.8.8";
    commands::DevSetFields fields; // read from the above by the check
};

// The settings to send, or the usage error.
std::string ReadSetIp(SetIpOptions& options)
{
    if (std::string error = ReadCommon(options); !error.empty())
    {
        return error;
    }
    if (options.dhcp == options.staticAddress.has_value())
    {
        return "give either --static ADDR/PREFIX --gateway G or --dhcp";
    }
    commands::DevSetFields& fields = options.fields;
    fields.staticAddress = options.dhcp ? 0 : 1;
    fields.dns = *net::ParseIpv4(options.dns);
    if (options.staticAddress)
    {
        std::string error;
        const auto parsed = ParseStaticAddress(*options.staticAddress, options.gateway, &error);
        if (!parsed)
        {
            return error;
        }
        fields.address = parsed->address;
        fields.mask = parsed->mask;
        fields.gateway = parsed->gateway;
    }
    return {};
}

int RunSetIp(const SetIpOptions& options)
{
    const bool dhcp = options.dhcp;
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
        commands::DevSetFields machine = options.fields;
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

} // namespace

Declared DeclareFlicker(CLI::App& app)
{
    return DeclareOnMachines(app, RunFlicker);
}

Declared DeclareBlink(CLI::App& app)
{
    auto options = std::make_shared<BlinkOptions>();
    DeclareCommon(app, *options);
    app.add_option("--seconds", options->seconds)->transform(WholeNumber(1, 86400, "--seconds takes 1 to 86400"));
    return { [options] { return ReadCommon(*options); }, [options] { return RunBlink(*options); } };
}

Declared DeclareExec(CLI::App& app)
{
    auto options = std::make_shared<ExecOptions>();
    DeclareCommon(app, *options);
    app.add_option("COMMAND", options->positional);
    return { [options]
        {
            std::string error = ReadCommon(*options);
            if (error.empty() && (options->positional.size() != 1 || options->positional[0].empty()))
            {
                error = "give the command as one argument (quote it)";
            }
            return error;
        },
        [options] { return RunExec(*options); } };
}

Declared DeclareRestartMiner(CLI::App& app)
{
    return DeclareOnMachines(app,
        [](const CommonOptions& options)
        {
            return RunOneShot("restart-miner",
                options,
                commands::OneShotCommand::RestartMiner,
                "Restart the mining program of every machine?");
        });
}

Declared DeclareReboot(CLI::App& app)
{
    return DeclareOnMachines(app,
        [](const CommonOptions& options) {
            return RunOneShot(
                "reboot", options, commands::OneShotCommand::Reboot, "Restart every machine of the network?");
        });
}

Declared DeclareName(CLI::App& app)
{
    return DeclareOnMachines(app,
        [](const CommonOptions& options) { return RunOneShot("name", options, commands::OneShotCommand::Name, {}); });
}

Declared DeclareSetIp(CLI::App& app)
{
    auto options = std::make_shared<SetIpOptions>();
    DeclareCommon(app, *options);
    app.add_flag("--dhcp", options->dhcp);
    app.add_option_function<std::string>(
        "--static", [options](const std::string& text) { options->staticAddress = text; });
    app.add_option("--gateway", options->gateway);
    app.add_option("--dns", options->dns)
        ->check(
            Checked([](const std::string& text) { return IsDottedAddress(text) ? std::optional(text) : std::nullopt; },
                "--dns takes an IPv4 address"));
    return { [options] { return ReadSetIp(*options); }, [options] { return RunSetIp(*options); } };
}

} // namespace quellis::cli
