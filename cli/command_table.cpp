// The commands of quellis-cli: their names, summaries and help texts, and
// the declarations of their options.
#include "cli/commands.h"

#include <cstdio>
#include <string>

namespace quellis::cli
{

namespace
{

constexpr std::string_view kSearchHelp = R"(usage: quellis-cli search [--wait SECONDS] [--format table|csv|json]
                          [--filter NETMASK,IPBEGIN,IPEND] [--range RANGES [--rate N]]

Broadcasts a search and lists every machine that answers within the wait
(3 seconds unless given), sorted by address: index, address, mask, gateway,
MAC, run time (also in seconds in csv and json), temperature, version, host
name. --filter keeps the replies whose address has NETMASK as its third
number and a fourth number from IPBEGIN to IPEND (-1 switches a test off), as
config.ini's keys of the same names do.

--range also asks every address of RANGES (10.1.0.0/24, 10.2.0.10-10.2.0.99,
comma-separated, at most 65536 addresses) one by one, at N addresses per second
(--rate, 2000): machines behind routers, that a broadcast does not reach. The
wait starts when the scan is done. A Segment column then names where each
machine was found: local, or the range. A machine that answers a search by
broadcast cannot be found from beyond its router.
)";

#define QUELLIS_SELECTION_HELP                                                                                         \
    "\nMachines: --mac MAC (also a comma-separated list; a1:b2:... or A1B2...), --ip ADDRESS (also a\n"                \
    "list, and ranges: 10.77.128.1-10.77.128.50 or 10.77.128.1-50),\n"                                                 \
    "--from FILE (a CSV or JSON written by search, or one address or MAC per line), or --all.\n"                       \
    "One of them is needed; nothing is ever sent to every machine by default.\n"                                       \
    "Options: --wait SECONDS (the search before, and the wait for answers; 3), --format table|csv|json,\n"             \
    "--verbose (the log lines on standard error), --yes (no question before an operation on --all),\n"                 \
    "--range RANGES [--rate N] (the search also scans these ranges behind routers; see search).\n"                     \
    "Output: one line per machine with its MAC, address, result, outcome and detail.\n"

constexpr std::string_view kFlickerHelp
    = "usage: quellis-cli flicker MACHINES\n\n"
      "Makes the network LED of each machine flicker once.\n" QUELLIS_SELECTION_HELP;
constexpr std::string_view kBlinkHelp = "usage: quellis-cli blink MACHINES [--seconds N]\n\n"
                                        "Keeps the network LEDs flickering for N seconds (10): with --all every\n"
                                        "machine once a second, otherwise the named ones in turn, 600 ms each.\n"
                                        "Each datagram goes to the machine's own address.\n" QUELLIS_SELECTION_HELP;
constexpr std::string_view kLedTestHelp
    = "usage: quellis-cli led-test MACHINES\n\n"
      "Runs the LED test on each machine in turn (5 s each at most).\n" QUELLIS_SELECTION_HELP;
constexpr std::string_view kUartTestHelp = "usage: quellis-cli uart-test MACHINES\n\n"
                                           "Tests the five serial ports of each machine in turn (6 s each at most);\n"
                                           "the detail lists the ports that work.\n" QUELLIS_SELECTION_HELP;
constexpr std::string_view kExecHelp
    = "usage: quellis-cli exec MACHINES COMMAND\n\n"
      "Runs COMMAND in each machine's shell (at most 463 bytes) and shows its exit\n"
      "status and output. With --all one request goes to every machine and the\n"
      "answers of --wait seconds are listed; it asks first unless --yes.\n" QUELLIS_SELECTION_HELP;
constexpr std::string_view kRestartMinerHelp
    = "usage: quellis-cli restart-miner MACHINES\n\n"
      "Restarts the mining program; --all sends one request to every machine\n"
      "after a question (or --yes). Nothing is answered.\n" QUELLIS_SELECTION_HELP;
constexpr std::string_view kRebootHelp = "usage: quellis-cli reboot MACHINES\n\n"
                                         "Restarts the machines' systems; --all sends one request to every machine\n"
                                         "after a question (or --yes). Nothing is answered.\n" QUELLIS_SELECTION_HELP;
constexpr std::string_view kSetIpHelp
    = "usage: quellis-cli set-ip MACHINES (--static ADDR/PREFIX --gateway G [--dns D] | --dhcp)\n\n"
      "Gives the machines new network settings (DNS 8.8.8.8 unless given); a static\n"
      "address (10.77.130.8/17 or 10.77.130.8/255.255.128.0) goes to one machine\n"
      "only; its address and gateway must be hosts of its network. Each MAC is\n"
      "appended to changeMac.txt in the current directory. The machine's\n"
      "acknowledgement or refusal is shown.\n" QUELLIS_SELECTION_HELP;
constexpr std::string_view kNameHelp = "usage: quellis-cli name MACHINES\n\n"
                                       "Asks each machine for its name.\n" QUELLIS_SELECTION_HELP;

constexpr std::string_view kHashRateHelp
    = "usage: quellis-cli hashrate MACHINES\n\n"
      "Reads each miner's average hash rate (\"MHS av\") over TCP 4029, one machine\n"
      "after the other.\n" QUELLIS_SELECTION_HELP;
constexpr std::string_view kFirstMinerHelp
    = "usage: quellis-cli first-miner MACHINES\n\n"
      "Reads the pool each miner works for and its worker.\n" QUELLIS_SELECTION_HELP;
constexpr std::string_view kTemperatureHelp = "usage: quellis-cli temperature MACHINES LOW HIGH\n\n"
                                              "Sets the miners' temperature limits.\n" QUELLIS_SELECTION_HELP;
constexpr std::string_view kMinerCmdHelp
    = "usage: quellis-cli miner-cmd MACHINES COMMAND [PARAMETER]\n\n"
      "Sends {\"command\": COMMAND, \"parameter\": PARAMETER} to each miner and shows\n"
      "its reply.\n" QUELLIS_SELECTION_HELP;
constexpr std::string_view kPoolsHelp
    = "usage: quellis-cli pools set MACHINES --pool URL,WORKER,PASSWORD[,ip|none] ...\n"
      "       quellis-cli pools show MACHINES\n\n"
      "set gives the machines up to four pools (the worker gets the machine's address\n"
      "as .AxBxCxD unless none), one machine after the other, each confirming; the\n"
      "run stops at the first machine that does not answer. --all asks first unless\n"
      "--yes. show lists every pool of each miner: priority, URL and worker.\n" QUELLIS_SELECTION_HELP;
constexpr std::string_view kE2Help
    = "usage: quellis-cli e2 write QR ONED --mac MAC | --ip ADDRESS\n"
      "       quellis-cli e2 read --mac MAC | --ip ADDRESS\n\n"
      "Writes the label codes into one machine's EEPROM and reads them back, or reads\n"
      "them. The codes must contain config.ini's [PRODUCE] markers.\n" QUELLIS_SELECTION_HELP;
constexpr std::string_view kMonitorHelp
    = "usage: quellis-cli monitor MACHINES [--interval MS] [--alarm] [--seconds N]\n"
      "       quellis-cli monitor MACHINES --concurrency N [--period SECONDS] [--grace K]\n\n"
      "Polls the machines one after the other (an interval before each, 2000 ms, at\n"
      "least 100) as the window's monitor does, and prints every event as a line\n"
      "with its time and the machine's address and MAC (--format json: one object\n"
      "per line; csv: one record per line); --alarm plays devDown.wav of the current\n"
      "directory on a failure. Ends on Ctrl-C, SIGTERM or after --seconds.\n"
      "With --concurrency the machines are polled all at once instead, at most N at a\n"
      "time, each every --period seconds (10); a machine is down after K failed polls\n"
      "in a row (2), up after one good one, and each change is a line.\n"
      "Machines asked for but not found by the search are reported as lines too. The\n"
      "exit status is 1 when any machine was not found or failed (went down).\n" QUELLIS_SELECTION_HELP;

constexpr std::string_view kExporterHelp
    = "usage: quellis-cli exporter [--from FILE | --ip ADDRESSES] [--listen ADDRESS:PORT]\n"
      "           [--concurrency N] [--period SECONDS] [--grace K] [--api-port PORT]\n"
      "           [--search-every SECONDS] [--wait SECONDS] [--range RANGES [--rate R]]\n\n"
      "Serves the machines' state and hash rates for Prometheus at\n"
      "http://ADDRESS:PORT/metrics (127.0.0.1:9469). The machines come from a file\n"
      "written by `search --format csv` or `--format json` (or one address per line)\n"
      "and from --ip addresses and ranges (10.77.128.1-10.77.131.254); these bind no\n"
      "UDP port, so the exporter runs beside the window and the other commands.\n"
      "Without either, a search of the local segment every --search-every seconds\n"
      "(60) finds them (each search holds UDP 6667 for its --wait, 3 s): new machines\n"
      "join, and machines no longer found stay polled. --range adds to each search a\n"
      "scan of RANGES behind routers, R addresses a second (2000; see search). Each\n"
      "machine's miner API is polled every --period seconds (10), at most N at a time\n"
      "(256); a machine is down after K failed polls in a row (2) and up again after\n"
      "one good one. Every change is a line on standard error. Ends on SIGTERM or\n"
      "Ctrl-C.\n";

constexpr std::string_view kInventoryHelp
    = "usage: quellis-cli inventory [--format table|csv|json] [--down] [--file PATH]\n\n"
      "Lists every machine the window's farm view has seen, from its inventory\n"
      "(inventory.db in the current directory, or --file): MAC, address, state and\n"
      "since when, first and last seen, version. --down lists only the machines\n"
      "down or not answering. Only reads: it runs beside the window.\n";
constexpr std::string_view kEventsHelp
    = "usage: quellis-cli events [--since TIME] [--format table|csv|json] [--file PATH]\n\n"
      "Lists the machines' state changes kept in the inventory, oldest first: time,\n"
      "MAC, from, to and the reason. TIME is local (2026-12-07 or 2026-12-07 17:45),\n"
      "a span back from now (90s, 30m, 2h, 7d) or Unix seconds; without it every\n"
      "change kept (the newest 65,536) is listed.\n";

constexpr std::string_view kUpdateHelp
    = "usage: quellis-cli update MACHINES PACKAGE [--concurrency N] [--timeout SECONDS]\n\n"
      "Serves PACKAGE on TCP 2425 and offers it to the machines, at most N at a time\n"
      "(1: one after the other, as the window does); each machine downloads it,\n"
      "installs it and reports. A machine that has not reported after --timeout\n"
      "seconds (30) counts as failed. On a terminal a progress line shows the\n"
      "machines done, failed and waiting. --all asks first unless --yes.\n" QUELLIS_SELECTION_HELP;

constexpr Command kCommands[] = {
    { "search", "find the machines and list them", kSearchHelp, DeclareSearch },
    { "flicker", "make a machine's network LED flicker once", kFlickerHelp, DeclareFlicker },
    { "blink", "keep network LEDs flickering for a while", kBlinkHelp, DeclareBlink },
    { "led-test", "run the LED test", kLedTestHelp, DeclareLedTest },
    { "uart-test", "test the serial ports", kUartTestHelp, DeclareUartTest },
    { "exec", "run a shell command on machines", kExecHelp, DeclareExec },
    { "restart-miner", "restart the mining program", kRestartMinerHelp, DeclareRestartMiner },
    { "reboot", "restart the machines' systems", kRebootHelp, DeclareReboot },
    { "set-ip", "change network settings (static or DHCP)", kSetIpHelp, DeclareSetIp },
    { "name", "read the machines' names", kNameHelp, DeclareName },
    { "hashrate", "read the miners' hash rates", kHashRateHelp, DeclareHashRate },
    { "first-miner", "read the pool each miner works for", kFirstMinerHelp, DeclareFirstMiner },
    { "temperature", "set the miners' temperature limits", kTemperatureHelp, DeclareTemperature },
    { "miner-cmd", "send a command to the miners' API", kMinerCmdHelp, DeclareMinerCommand },
    { "pools", "set or show the mining pools", kPoolsHelp, DeclarePools },
    { "e2", "write or read the EEPROM label codes", kE2Help, DeclareE2 },
    { "update", "update the machines' firmware", kUpdateHelp, DeclareUpdate },
    { "monitor", "watch the machines and report failures", kMonitorHelp, DeclareMonitor },
    { "exporter", "serve the machines' state to Prometheus", kExporterHelp, DeclareExporter },
    { "inventory", "list every machine the farm view has seen", kInventoryHelp, DeclareInventory },
    { "events", "list the machines' state changes", kEventsHelp, DeclareEvents },
};

} // namespace

std::span<const Command> Commands()
{
    return kCommands;
}

std::string UsageText()
{
    std::string text = "usage: quellis-cli COMMAND [OPTIONS]\n\ncommands:\n";
    for (const Command& command : kCommands)
    {
        char line[160];
        std::snprintf(line,
            sizeof line,
            "  %-14.*s %.*s\n",
            static_cast<int>(command.name.size()),
            command.name.data(),
            static_cast<int>(command.summary.size()),
            command.summary.data());
        text += line;
    }
    return text
        + "\n`quellis-cli COMMAND --help` tells more. Exit status: 0 when every machine succeeded,\n"
          "1 when some failed, 2 for a usage error. `quellis-cli --version` prints the version.\n";
}

} // namespace quellis::cli
