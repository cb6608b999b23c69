#include "sim/simulated_shell.h"

#include <gtest/gtest.h>

namespace quellis::sim
{
namespace
{

ShellContext Context()
{
    ShellContext context;
    context.hostName = "rack03-m17";
    context.address = "10.77.128.5";
    context.mask = "255.255.128.0";
    context.mac = "02AB00C0FFEE";
    context.versionText = "2.1.5";
    context.runSeconds = 3 * 86400 + 4 * 3600 + 5 * 60;
    context.unixTime = 1700000000; // 2023-11-14 22:13:20 UTC
    context.temperature = 63;
    return context;
}

TEST(SimulatedShell, AnswersTheCommandsOfItsTable)
{
    const struct
    {
        const char* command;
        std::int32_t status;
        const char* output;
    } cases[] = {
        { "hostname", 0, "rack03-m17\n" },
        { "  hostname  ", 0, "rack03-m17\n" },
        { "echo hello world", 0, "hello world\n" },
        { "echo \"quoted  text\"", 0, "quoted  text\n" },
        { "echo", 0, "\n" },
        { "cat /etc/version", 0, "farmfw 2.1.5\n" },
        { "cat /proc/uptime", 0, "273900.00 821700.00\n" },
        { "cat /etc/shadow", 1, "cat: can't open '/etc/shadow': No such file or directory\n" },
        { "whoami", 0, "root\n" },
        { "true", 0, "" },
        { "false", 1, "" },
        { "false --anything", 1, "" },
        { "", 0, "" },
        { "sensors", 0, "board0:  +63.0 C\n" },
        { "date", 0, "Tue Nov 14 22:13:20 UTC 2023\n" },
        { "uptime", 0, " 22:13:20 up 3 days,  4:05,  load average: 0.41, 0.37, 0.35\n" },
        { "rm -rf /", kCommandNotFound, "sh: rm: not found\n" },
        { "reboot", kCommandNotFound, "sh: reboot: not found\n" },
        { "hostname -i", 1, "hostname: arguments are not supported here\n" },
    };
    const ShellContext context = Context();
    for (const auto& c : cases)
    {
        const ShellResult result = RunSimulatedCommand(c.command, context);
        EXPECT_EQ(result.status, c.status) << c.command;
        EXPECT_EQ(result.output, c.output) << c.command;
    }
}

TEST(SimulatedShell, UptimeFollowsTheRunTime)
{
    ShellContext context = Context();
    context.runSeconds = 125;
    EXPECT_EQ(RunSimulatedCommand("uptime", context).output, " 22:13:20 up 2 min,  load average: 0.41, 0.37, 0.35\n");
    context.runSeconds = 86400 + 60;
    EXPECT_EQ(
        RunSimulatedCommand("uptime", context).output, " 22:13:20 up 1 day,  0:01,  load average: 0.41, 0.37, 0.35\n");
    context.runSeconds = 7200;
    EXPECT_EQ(RunSimulatedCommand("uptime", context).output, " 22:13:20 up  2:00,  load average: 0.41, 0.37, 0.35\n");
}

TEST(SimulatedShell, IfconfigShowsTheMachinesAddress)
{
    const std::string output = RunSimulatedCommand("ifconfig", Context()).output;
    EXPECT_NE(output.find("HWaddr 02:AB:00:C0:FF:EE"), std::string::npos) << output;
    EXPECT_NE(output.find("inet addr:10.77.128.5  Mask:255.255.128.0"), std::string::npos) << output;
}

} // namespace
} // namespace quellis::sim
