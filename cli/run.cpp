#include "cli/run.h"

#include "cli/option_checks.h"
#include "discovery/device_table.h"
#include "platform/files/terminal.h"

#include <cstdio>
#include <iostream>

namespace quellis::cli
{

int UsageError(const char* command, const std::string& message)
{
    std::fprintf(stderr, "quellis-cli %s: %s\n", command, message.c_str());
    return kExitUsage;
}

bool ParseScan(const std::vector<std::string>& values,
    const std::optional<std::string>& rate,
    std::optional<discovery::ScanSettings>& scan,
    std::string* error)
{
    scan.reset();
    if (values.empty())
    {
        if (rate)
        {
            *error = "--rate needs --range";
        }
        return !rate;
    }
    std::string ranges;
    for (const std::string& value : values)
    {
        ranges += (ranges.empty() ? "" : ",") + value;
    }
    protocol::RangesParse parsed = protocol::ParseScanRanges(ranges, discovery::OwnSegment());
    if (!parsed.error.empty())
    {
        *error = "--range " + parsed.error;
        return false;
    }
    const auto parsedRate = rate ? protocol::ParseScanRate(*rate) : protocol::kDefaultScanRate;
    if (!parsedRate)
    {
        *error = "--rate " + protocol::ScanRateError(*rate);
        return false;
    }
    scan = discovery::ScanSettings { std::move(parsed.ranges), *parsedRate };
    return true;
}

void DeclareScan(CLI::App& app, CommonOptions& options)
{
    app.add_option("--range", options.ranges)->allow_extra_args(false);
    app.add_option_function<std::string>("--rate", [&options](const std::string& rate) { options.rate = rate; });
}

void DeclareCommon(CLI::App& app, CommonOptions& options)
{
    DeclareScan(app, options);
    app.add_option("--mac", options.macs)->allow_extra_args(false);
    app.add_option("--ip", options.ips)->allow_extra_args(false);
    app.add_option("--from", options.files)->allow_extra_args(false);
    app.add_flag("--all", options.selection.all);
    app.add_flag("--yes", options.yes);
    app.add_flag("--verbose", options.verbose);
    app.add_option("--wait", options.waitSeconds)->check(Seconds(0, 3600, "--wait takes seconds (0 to 3600)"));
    app.add_option("--format", options.format)->transform(FormatName());
}

std::string ReadCommon(CommonOptions& options)
{
    std::string error;
    if (!ParseScan(options.ranges, options.rate, options.scan, &error))
    {
        return error;
    }
    for (const std::string& value : options.macs)
    {
        if (!AddMacs(value, options.selection, &error))
        {
            return error;
        }
    }
    for (const std::string& value : options.ips)
    {
        if (!AddIps(value, options.selection, &error))
        {
            return error;
        }
    }
    for (const std::string& file : options.files)
    {
        if (!AddFromFile(file, options.selection, &error))
        {
            return error;
        }
    }
    options.wait = std::chrono::milliseconds(static_cast<long long>(options.waitSeconds * 1000));
    if (options.selection.Empty())
    {
        return "no machines selected: give --mac, --ip, --from or --all";
    }
    if (options.selection.all && (!options.selection.macs.empty() || !options.selection.ips.empty()))
    {
        return "--all together with named machines";
    }
    return {};
}

Declared DeclareOnMachines(CLI::App& app, std::function<int(const CommonOptions&)> run)
{
    auto options = std::make_shared<CommonOptions>();
    DeclareCommon(app, *options);
    return { [options] { return ReadCommon(*options); }, [options, run = std::move(run)] { return run(*options); } };
}

bool Confirm(std::string_view question, bool yes)
{
    if (yes)
    {
        return true;
    }
    if (!files::IsTerminal(files::StandardStream::Input))
    {
        std::fprintf(stderr,
            "%.*s Refused without --yes when standard input is not a terminal.\n",
            static_cast<int>(question.size()),
            question.data());
        return false;
    }
    std::fprintf(stderr, "%.*s [y/N] ", static_cast<int>(question.size()), question.data());
    std::string answer;
    std::getline(std::cin, answer);
    return answer == "y" || answer == "Y" || answer == "yes";
}

// ---- ResultTable ----

void ResultTable::Set(const std::string& mac, const std::string& ip, bool ok, std::string outcome, std::string detail)
{
    std::lock_guard lock(lock_);
    // A machine named by an address that no search found has no MAC.
    const std::string key = mac.empty() ? ip : mac;
    if (!rows_.contains(key))
    {
        order_.push_back(key);
    }
    rows_[key] = { mac, ip, ok, std::move(outcome), std::move(detail) };
}

bool ResultTable::Has(const std::string& mac) const
{
    std::lock_guard lock(lock_);
    return rows_.contains(mac);
}

bool ResultTable::AllOk() const
{
    std::lock_guard lock(lock_);
    for (const auto& [mac, row] : rows_)
    {
        if (!row.ok)
        {
            return false;
        }
    }
    return true;
}

bool ResultTable::Empty() const
{
    std::lock_guard lock(lock_);
    return rows_.empty();
}

std::vector<core::MachineResult> ResultTable::Failures() const
{
    std::lock_guard lock(lock_);
    std::vector<core::MachineResult> failed;
    for (const std::string& key : order_)
    {
        const Row& row = rows_.at(key);
        if (!row.ok)
        {
            failed.push_back({ row.mac, row.ip, row.ok, row.outcome, row.detail });
        }
    }
    return failed;
}

void ResultTable::Print(Format format) const
{
    std::lock_guard lock(lock_);
    Results results;
    results.columns = {
        { "MAC", "mac" }, { "IP", "ip" }, { "Result", "result" }, { "Outcome", "outcome" }, { "Detail", "detail" }
    };
    for (const std::string& key : order_)
    {
        const Row& row = rows_.at(key);
        results.rows.push_back({ row.mac, row.ip, row.ok ? "ok" : "failed", row.outcome, row.detail });
    }
    cli::Print(results, format, stdout);
}

// ---- Replies ----

void Replies::OnCommandReply(const protocol::CommandPacket& reply, std::span<const std::uint8_t> datagram)
{
    std::lock_guard lock(lock_);
    protocol::CommandPacket kept = reply;
    kept.payload = {}; // points into the reply thread's buffer
    commands_.push_back(std::move(kept));
    datagrams_.emplace_back(datagram.begin(), datagram.end());
}

std::vector<std::uint8_t> Replies::Datagram(std::uint16_t code, const std::string& mac) const
{
    std::lock_guard lock(lock_);
    for (std::size_t i = 0; i < commands_.size(); ++i)
    {
        if (commands_[i].cmdCode == code && commands_[i].target == mac)
        {
            return datagrams_[i];
        }
    }
    return {};
}

void Replies::OnSettingReply(const protocol::DeviceRecord& reply)
{
    std::lock_guard lock(lock_);
    settings_.push_back(reply);
}

std::vector<protocol::CommandPacket> Replies::Commands(std::uint16_t code) const
{
    std::lock_guard lock(lock_);
    std::vector<protocol::CommandPacket> found;
    for (const auto& reply : commands_)
    {
        if (reply.cmdCode == code)
        {
            found.push_back(reply);
        }
    }
    return found;
}

std::optional<protocol::CommandPacket> Replies::Command(std::uint16_t code, const std::string& mac) const
{
    std::lock_guard lock(lock_);
    for (const auto& reply : commands_)
    {
        if (reply.cmdCode == code && reply.target == mac)
        {
            return reply;
        }
    }
    return std::nullopt;
}

std::optional<protocol::DeviceRecord> Replies::Setting(const std::string& mac) const
{
    std::lock_guard lock(lock_);
    for (const auto& reply : settings_)
    {
        if (reply.mac == mac)
        {
            return reply;
        }
    }
    return std::nullopt;
}

// ---- MachineRun ----

MachineRun::MachineRun(const char* command, const CommonOptions& options)
    : command_(command)
    , options_(options)
    , session_(DefaultConfigPath())
{
}

bool MachineRun::Open(bool packageServer)
{
    session_.Discovery().SetReplyObserver(&replies_);
    session_.Discovery().SetScan(options_.scan);
    std::string error;
    if (!session_.Open({}, packageServer, &error))
    {
        std::fprintf(stderr, "quellis-cli %s: %s\n", command_, error.c_str());
        return false;
    }
    HeadlessWindow& window = session_.Window();
    // A question was asked on the command line before the session opened;
    // what a box tells, the command reports from the operation's outcome.
    window.SetBoxFunction([](std::string_view, std::string_view, unsigned type)
        { return (type & 0x0F) == core::kMbYesNo ? core::kAnswerYes : core::kAnswerOk; });
    if (options_.verbose)
    {
        window.SetLogFunction(
            [](core::LogColour, std::string_view text) { std::fwrite(text.data(), 1, text.size(), stderr); });
    }
    return true;
}

std::vector<Target> MachineRun::Resolve(bool needAddress)
{
    HeadlessWindow& window = session_.Window();
    const Selection& selection = options_.selection;
    // Machines behind routers are reached by their address, which only the
    // search's scan tells.
    if (!needAddress && !selection.all && selection.ips.empty() && !options_.scan)
    {
        // MACs are enough to address these machines: no search needed.
        std::vector<Target> targets;
        for (const std::string& mac : selection.macs)
        {
            HeadlessWindow::Cells cells;
            cells[discovery::kColumnMac] = mac;
            targets.push_back({ window.AddRow(cells), "", mac });
        }
        return targets;
    }
    session_.Search(options_.wait);
    std::vector<Target> targets;
    std::set<std::string> foundMacs;
    std::set<std::string> foundIps;
    const auto rows = window.Rows();
    for (std::size_t row = 0; row < rows.size(); ++row)
    {
        const std::string& ip = rows[row][discovery::kColumnIp];
        const std::string& mac = rows[row][discovery::kColumnMac];
        if (selection.Matches(ip, mac))
        {
            targets.push_back({ static_cast<int>(row), ip, mac });
            foundMacs.insert(mac);
            foundIps.insert(ip);
        }
    }
    for (const std::string& mac : selection.macs)
    {
        if (!foundMacs.contains(mac))
        {
            results_.Set(mac, "", false, "not found", "no answer to the search");
        }
    }
    for (const std::string& ip : selection.ips)
    {
        if (!foundIps.contains(ip))
        {
            results_.Set("", ip, false, "not found", "no answer to the search");
        }
    }
    return targets;
}

void MachineRun::SelectOnly(const std::vector<int>& rows)
{
    session_.Window().Select(std::set<int>(rows.begin(), rows.end()));
}

int MachineRun::Finish()
{
    session_.Close();
    results_.Print(options_.format);
    return results_.AllOk() ? kExitOk : kExitSomeFailed;
}

} // namespace quellis::cli
