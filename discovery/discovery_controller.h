#pragma once

#include "core/controller.h"
#include "core/window.h"
#include "discovery/range_scan.h"
#include "discovery/receive_filter.h"
#include "platform/sync/thread.h"
#include "protocol/device_packet.h"
#include "protocol/reply_dispatch.h"
#include "protocol/shared_state.h"

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

// Discovery: the search buttons, the receive socket and its thread, the reply
// thread that turns every answer of a machine into its effect, and the
// device list's clicks.

namespace quellis::discovery
{

// The device list as discovery fills it.
class DeviceRecordSink
{
public:
    virtual ~DeviceRecordSink() = default;
    // Reply thread: records in arrival order. They may be applied later (on
    // the UI thread), but before the effects of any later reply: Flush waits
    // until everything handed over is applied.
    virtual void Enqueue(std::vector<protocol::DeviceRecord> records) = 0;
    virtual void Flush() = 0;
    // UI thread: deletes every row, and the records handed over and not yet
    // applied with them.
    virtual void Clear() = 0;
    // UI thread: a click on a column header.
    virtual void SortByColumn(int column) = 0;
    // The sink calls this on the UI thread after applying records, with the
    // version lines of the rows it added.
    using AppliedHandler = std::function<void(const std::string& versionLines)>;
    virtual void SetAppliedHandler(AppliedHandler handler) = 0;
};

// The answers of the machines as they arrive, for a front end that reports
// per machine (the command line). Called on the reply thread.
class ReplyObserver
{
public:
    virtual ~ReplyObserver() = default;
    // The datagram as received (for the EEPROM block of a read).
    virtual void OnCommandReply(const protocol::CommandPacket& reply, std::span<const std::uint8_t> datagram) = 0;
    virtual void OnSettingReply(const protocol::DeviceRecord& reply) = 0;
};

// How the start of the receive socket and its thread went; the front end
// tells the operator (discoverytext below).
enum class ReceiveStart
{
    Started,
    SocketFailed,
    BindFailed,
    ThreadFailed,
};

class DiscoveryController : public core::Controller
{
public:
    DiscoveryController(protocol::SharedState& state, core::Window& window, DeviceRecordSink& records);
    ~DiscoveryController() override;

    // Start-up: the reply thread, then the receive socket and its thread with
    // the address filter of the side panel or config.ini.
    [[nodiscard]] bool StartReplyThread();
    [[nodiscard]] ReceiveStart StartLisServ(const ReceiveFilter& filter);

    // Where the other subsystems register their answers' handlers, before
    // the reply thread starts.
    [[nodiscard]] protocol::ReplyDispatcher& Replies() { return dispatcher_; }
    // Before the reply thread starts.
    void SetReplyObserver(ReplyObserver* observer) { observer_ = observer; }

    // A front end that gives the ranges itself (the command line): each
    // search scans these instead of reading config.ini [SCAN].
    void SetScan(std::optional<ScanSettings> scan) { scanOverride_ = std::move(scan); }

    void OnSearch();
    void OnFixedAccountSearch();
    // The identify packet for a row; 0 for a negative row, else 1.
    int FlickerRow(int row);

    bool OnCommand(int id) override;
    bool OnListNotify(core::ListNotify code, int row, int column) override;
    void Stop() override;

private:
    class Effects;

    void ServThdFunc(ReceiveFilter filter);
    void HandleDatagram(const ReceiveFilter& filter, std::uint8_t* bytes, std::size_t length, net::Endpoint from);
    void ReplyThread();
    void OnRecordsApplied(const std::string& versionLines);
    // The language box: LANG 1 is Chinese, anything else English (the
    // command line's).
    [[nodiscard]] bool Chinese() const { return state_.language.load() == 1; }
    // The ranges of the next search (nothing: none), or false after the
    // operator was told why they cannot be scanned.
    [[nodiscard]] bool PrepareScan(std::optional<ScanSettings>& scan);
    // After the broadcast: the same request to every address of the ranges.
    void StartScan(std::span<const std::uint8_t> search, std::optional<ScanSettings> scan);

    protocol::SharedState& state_;
    core::Window& window_;
    DeviceRecordSink& records_;
    ReplyObserver* observer_ = nullptr;
    std::optional<ScanSettings> scanOverride_;
    // Used by the reply thread only, once it runs.
    std::unique_ptr<Effects> effects_;
    protocol::ReplyDispatcher dispatcher_;
    sync::Thread replyThread_;
    sync::Thread receiveThread_;
};

// Log and message texts.
namespace discoverytext
{
inline constexpr std::string_view kAccountMissing = "请输入终端账号";
inline constexpr std::string_view kReceiveSocketFailed = "Server socket error in StartLisServ";
inline constexpr std::string_view kReceiveBindFailed = "监听端口绑定失败，请确认该应用程序是否已启用!";
} // namespace discoverytext

} // namespace quellis::discovery
