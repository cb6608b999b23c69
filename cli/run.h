#pragma once

#include "cli/commands.h"
#include "cli/output.h"
#include "cli/selection.h"
#include "cli/session.h"
#include "discovery/discovery_controller.h"

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// What every command on machines shares: the selection and output options,
// the confirmation of an operation on every machine, finding the selected
// machines, and one result line per machine.

namespace quellis::cli
{

struct CommonOptions
{
    Selection selection;
    std::chrono::milliseconds wait { 3000 }; // of the search, and for answers
    Format format = Format::Table;
    bool yes = false;
    bool verbose = false;
    // --range and --rate: the search before also scans these ranges.
    std::optional<discovery::ScanSettings> scan;

    // The selection and the ranges as given, read by ReadCommon.
    std::vector<std::string> macs;
    std::vector<std::string> ips;
    std::vector<std::string> files;
    std::vector<std::string> ranges;
    std::optional<std::string> rate;
    double waitSeconds = 3;
};

// --range RANGES (also given more than once) and --rate N; --rate alone is an
// error. Nothing in `scan` when there are no ranges.
bool ParseScan(const std::vector<std::string>& ranges,
    const std::optional<std::string>& rate,
    std::optional<discovery::ScanSettings>& scan,
    std::string* error);

// Declares --range and --rate into `options`.
void DeclareScan(CLI::App& app, CommonOptions& options);

// Declares --mac, --ip, --from, --all, --wait, --format, --yes, --verbose,
// --range and --rate.
void DeclareCommon(CLI::App& app, CommonOptions& options);

// Reads the machines and ranges given into `options`: "" or the usage error;
// a missing selection is one.
[[nodiscard]] std::string ReadCommon(CommonOptions& options);

// A command on machines with the common options only.
[[nodiscard]] Declared DeclareOnMachines(CLI::App& app, std::function<int(const CommonOptions&)> run);

// An operation on every machine: asks on a terminal unless --yes; without a
// terminal it needs --yes.
bool Confirm(std::string_view question, bool yes);

// One machine the command works on: its row in the session's list.
struct Target
{
    int row = -1;
    std::string ip;
    std::string mac;
};

// The outcome per machine, keyed by MAC, in the order the machines came.
class ResultTable : public core::ResultObserver
{
public:
    // A controller's report of one machine (any thread).
    void OnResult(const core::MachineResult& result) override
    {
        Set(result.mac, result.ip, result.ok, result.outcome, result.detail);
    }
    void Set(const std::string& mac, const std::string& ip, bool ok, std::string outcome, std::string detail = {});
    [[nodiscard]] bool Has(const std::string& mac) const;
    [[nodiscard]] bool AllOk() const;
    [[nodiscard]] bool Empty() const;
    // The machines that failed so far, in the order they came.
    [[nodiscard]] std::vector<core::MachineResult> Failures() const;
    void Print(Format format) const;

private:
    struct Row
    {
        std::string mac;
        std::string ip;
        bool ok = false;
        std::string outcome;
        std::string detail;
    };
    mutable std::mutex lock_;
    std::vector<std::string> order_;
    std::map<std::string, Row> rows_;
};

// The session's answers of the machines, gathered by MAC (reply thread in,
// the loop's thread out).
class Replies : public discovery::ReplyObserver
{
public:
    void OnCommandReply(const protocol::CommandPacket& reply, std::span<const std::uint8_t> datagram) override;
    void OnSettingReply(const protocol::DeviceRecord& reply) override;
    [[nodiscard]] std::vector<protocol::CommandPacket> Commands(std::uint16_t code) const;
    [[nodiscard]] std::optional<protocol::CommandPacket> Command(std::uint16_t code, const std::string& mac) const;
    [[nodiscard]] std::optional<protocol::DeviceRecord> Setting(const std::string& mac) const;
    // The datagram of a command's answer from a machine, as received.
    [[nodiscard]] std::vector<std::uint8_t> Datagram(std::uint16_t code, const std::string& mac) const;

private:
    mutable std::mutex lock_;
    std::vector<protocol::CommandPacket> commands_;
    std::vector<std::vector<std::uint8_t>> datagrams_; // beside commands_
    std::vector<protocol::DeviceRecord> settings_;
};

// A session opened for a command on machines, with its answers observed,
// its questions answered yes (the command line asked already) and its log
// on standard error when verbose.
class MachineRun
{
public:
    MachineRun(const char* command, const CommonOptions& options);
    // False (with the message printed) when the machines cannot be reached,
    // or the package cannot be served when asked.
    bool Open(bool packageServer = false);
    // The selected machines: found by a search unless every one is named by
    // its MAC and the command needs no address. Machines named but not
    // found get their failure in the results.
    std::vector<Target> Resolve(bool needAddress);
    // Selects exactly these rows, as the operator would.
    void SelectOnly(const std::vector<int>& rows);

    [[nodiscard]] Session& Run() { return session_; }
    [[nodiscard]] Replies& Answers() { return replies_; }
    [[nodiscard]] ResultTable& Results() { return results_; }
    // Prints the results and gives the exit status.
    int Finish();

private:
    const char* command_;
    const CommonOptions& options_;
    Session session_;
    Replies replies_;
    ResultTable results_;
};

int UsageError(const char* command, const std::string& message);

} // namespace quellis::cli
