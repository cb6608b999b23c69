#include "discovery/discovery_controller.h"

#include "core/settings.h"
#include "discovery/device_table.h"
#include "platform/text/codepage.h"
#include "platform/trace/trace.h"
#include "protocol/reply_dispatch.h"
#include "resources/resource_ids.h"
#include "resources/templates/main_dialog_ids.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace quellis::discovery
{

using namespace quellis::protocol;

namespace
{

using namespace quellis::resources;

constexpr int kLamps[] = { kIdSerialLamp1, kIdSerialLamp2, kIdSerialLamp3, kIdSerialLamp4, kIdSerialLamp5 };

// The largest receive buffer the system allows: a search on a farm of
// thousands of machines brings their replies within milliseconds, and what
// the buffer cannot hold is lost before the thread can read it.
constexpr int kReceiveBufferBytes = 32 * 1024 * 1024;
// Datagrams taken per system call at most.
constexpr std::size_t kReceiveBatch = 64;
// All the queue's slots at once: a burst is taken and applied together.
constexpr std::size_t kReplyBatch = kReplySlotCount;

// Text the program sends: the code page 936 bytes of what the list or an edit shows.
std::string Wire(std::string_view shown)
{
    return text::Utf8ToCp936(shown);
}

} // namespace

// What the dispatcher of the machines' answers does to the window: the
// device rows and the log. Called on the reply thread; every change of a
// window is a window call.
class DiscoveryController::Effects : public ReplySink
{
public:
    explicit Effects(DiscoveryController& owner)
        : owner_(owner)
    {
    }

    void ApplyDeviceRecords(std::vector<DeviceRecord> records) override
    {
        for (const DeviceRecord& record : records)
        {
            [[maybe_unused]] const bool remote = owner_.state_.remoteRows.Note(record.ip, record.mac);
        }
        owner_.records_.Enqueue(std::move(records));
    }
    void Synchronise() override { owner_.records_.Flush(); }
    void Log(core::LogColour colour, std::string_view text, bool toFile) override
    {
        owner_.window_.log.WriteLog(colour, text, toFile);
    }
    void ObserveCommandReply(const CommandPacket& reply, std::span<const std::uint8_t> datagram) override
    {
        if (owner_.observer_ != nullptr)
        {
            owner_.observer_->OnCommandReply(reply, datagram);
        }
    }
    void ObserveSettingReply(const DeviceRecord& reply) override
    {
        if (owner_.observer_ != nullptr)
        {
            owner_.observer_->OnSettingReply(reply);
        }
    }

private:
    DiscoveryController& owner_;
};

DiscoveryController::DiscoveryController(SharedState& state, core::Window& window, DeviceRecordSink& records)
    : state_(state)
    , window_(window)
    , records_(records)
    , effects_(std::make_unique<Effects>(*this))
    , dispatcher_(*effects_, state.awaitedReplies)
{
    records_.SetAppliedHandler([this](const std::string& versionLines) { OnRecordsApplied(versionLines); });
}

DiscoveryController::~DiscoveryController()
{
    Stop();
    records_.SetAppliedHandler({});
}

bool DiscoveryController::OnCommand(int id)
{
    switch (id)
    {
    case kIdSearch:
        OnSearch();
        return true;
    case kIdFixedAccountSearch:
        OnFixedAccountSearch();
        return true;
    default:
        return false;
    }
}

bool DiscoveryController::OnListNotify(core::ListNotify code, int row, int column)
{
    switch (code)
    {
    case core::ListNotify::ColumnClick:
        records_.SortByColumn(column);
        return true;
    case core::ListNotify::Click:
        if (row >= 0)
        {
            FlickerRow(row);
        }
        return true;
    case core::ListNotify::DoubleClick:
        return false;
    }
    return false;
}

bool DiscoveryController::PrepareScan(std::optional<ScanSettings>& scan)
{
    if (scanOverride_)
    {
        scan = scanOverride_;
        return true;
    }
    const std::string ranges = core::ReadSetting(core::settings::kScanRanges, state_.configPath);
    if (ranges.empty())
    {
        scan.reset();
        return true;
    }
    const bool chinese = Chinese();
    ScanSettingsRead read = ReadScanSettings(
        ranges, core::ReadSetting(core::settings::kScanRate, state_.configPath), OwnSegment(), chinese);
    if (!read.error.empty())
    {
        window_.boxes.MessageBox(
            std::string(chinese ? "config.ini [SCAN]：" : "config.ini [SCAN]: ") + read.error, ScanCaption(chinese));
        return false;
    }
    scan = std::move(read.scan);
    return true;
}

void DiscoveryController::StartScan(std::span<const std::uint8_t> search, std::optional<ScanSettings> scan)
{
    // The rows of the search before go with their scan; a request to a
    // machine is a broadcast again until the new scan finds it.
    state_.pacedSender.CancelScans();
    if (!scan)
    {
        state_.remoteRows.Begin({}, std::nullopt, protocol::kDefaultScanRate);
        return;
    }
    state_.remoteRows.Begin(scan->ranges, OwnSegment(), scan->rate);
    window_.log.WriteLog(core::LogColour::Default, ScanStartLine(*scan, Chinese()), false);
    protocol::PacedRun run;
    run.datagram.assign(search.begin(), search.end());
    run.ranges = std::move(scan->ranges);
    run.port = state_.deviceBroadcast.port;
    run.rate = scan->rate;
    run.scan = true;
    // The last machines asked answer within a round trip or two.
    run.linger = std::chrono::milliseconds(1000);
    // On the paced sender's thread: a window call, as from any worker.
    run.done = [this](std::uint64_t sent, bool stopped)
    {
        window_.log.WriteLog(
            core::LogColour::Default, ScanEndLine(sent, state_.remoteRows.Count(), stopped, Chinese()), false);
    };
    if (!state_.pacedSender.Submit(state_.sendSocket, std::move(run)))
    {
        trace::OutputDebugString("range scan not started\n");
    }
}

void DiscoveryController::OnSearch()
{
    std::optional<ScanSettings> scan;
    if (!PrepareScan(scan))
    {
        return;
    }
    records_.Clear();
    std::vector<std::uint8_t> search(kRequestBufferSize);
    search.resize(BuildSearch(search, kSearchOrdinary));
    if (!state_.SendBroadcast(search))
    {
        trace::OutputDebugString("send search package failed\n");
    }
    StartScan(search, std::move(scan));
    window_.list.FocusList();
    if (state_.toolType == core::kToolTypeBare)
    {
        window_.controls.EnableItem(kIdLedTest, false);
        window_.controls.EnableItem(kIdSerialTest, false);
        for (const int lamp : kLamps)
        {
            window_.controls.SetItemIcon(lamp, kIconLampOff);
        }
    }
}

void DiscoveryController::OnFixedAccountSearch()
{
    std::optional<ScanSettings> scan;
    if (!PrepareScan(scan))
    {
        return;
    }
    records_.Clear();
    // The account as a 32-byte buffer holds it: at most 31 bytes.
    const std::string account(text::Cp936Prefix(Wire(window_.controls.ItemText(kIdAccountEdit)), 31));
    if (account.empty())
    {
        window_.boxes.MessageBox(discoverytext::kAccountMissing);
        return;
    }
    std::vector<std::uint8_t> search(kRequestBufferSize);
    search.resize(BuildSearch(search, kSearchFixedAccount, account));
    if (!state_.SendBroadcast(search))
    {
        trace::OutputDebugString("send search package failed\n");
    }
    StartScan(search, std::move(scan));
}

int DiscoveryController::FlickerRow(int row)
{
    if (row < 0)
    {
        return 0;
    }
    std::vector<std::uint8_t> flicker(kRequestBufferSize);
    flicker.resize(BuildNetLedFlicker(flicker, Wire(window_.list.CellText(row, kColumnMac))));
    if (!state_.SendToMachines(flicker))
    {
        trace::OutputDebugString("send net led flicker package failed\n");
    }
    window_.list.SelectAndFocusRow(row);
    return 1;
}

void DiscoveryController::OnRecordsApplied(const std::string& versionLines)
{
    if (!versionLines.empty())
    {
        // The lines of a burst go to the pane in one piece: the same text, one append.
        window_.log.WriteLog(core::LogColour::Default, versionLines, false);
    }
    if (state_.toolType == core::kToolTypeBare)
    {
        window_.list.SelectAndFocusRow(0);
        if (window_.list.RowCount() >= 1)
        {
            window_.controls.EnableItem(kIdLedTest, true);
            window_.controls.EnableItem(kIdSerialTest, true);
        }
    }
}

// ---- Receive thread -------------------------------------------------------

ReceiveStart DiscoveryController::StartLisServ(const ReceiveFilter& filter)
{
    state_.receiveSocket = net::Socket::Create(net::SocketKind::Udp);
    if (!state_.receiveSocket.IsValid())
    {
        return ReceiveStart::SocketFailed;
    }
    if (!state_.receiveSocket.Bind({ net::kInaddrAny, state_.replyPort }))
    {
        state_.receiveSocket.Close();
        return ReceiveStart::BindFailed;
    }
    const int obtained = state_.receiveSocket.SetLargeReceiveBuffer(kReceiveBufferBytes);
    trace::OutputDebugStringF("receive socket buffer: %d bytes\n", obtained);
    if (!receiveThread_.Start([this, filter] { ServThdFunc(filter); }))
    {
        state_.running = 0;
        return ReceiveStart::ThreadFailed;
    }
    return ReceiveStart::Started;
}

// One datagram as received: checked, filtered, its address filled in when the
// machine asks for that, and put into the reply queue.
void DiscoveryController::HandleDatagram(
    const ReceiveFilter& filter, std::uint8_t* bytes, std::size_t length, net::Endpoint from)
{
    ++state_.datagramsReceived;
    // Better to drop a datagram than to act on one cut short: a datagram that
    // filled the slot's extra byte was longer than any the program takes, and
    // one shorter than the header is nothing of the machines'.
    if (length > kMaxDatagramSize || length < sizeof(PacketHeader))
    {
        trace::OutputDebugStringF("ServThdFunc: datagram of %zu bytes dropped\n", length);
        return;
    }
    const std::span<std::uint8_t> datagram(bytes, length);
    const auto header = ReadHeader(datagram);
    if (!header)
    {
        trace::OutputDebugString("ServThdFunc: not a device packet, dropped\n");
        return;
    }
    // Requests, the program's own broadcasts among them.
    if (header->type == PKT_SEARCH || header->type == PKT_DEV_SETTING || header->type == PKT_CMD)
    {
        trace::OutputDebugStringF("ServThdFunc: request of type %u dropped\n", header->type);
        return;
    }
    const std::string_view ip = TextField(datagram, kIpOffset, kTextFieldWidth);
    if (!PassesAddressFilter(ip, filter))
    {
        trace::OutputDebugStringF("ServThdFunc: %.*s filtered out\n", static_cast<int>(ip.size()), ip.data());
        return;
    }
    if (ip == kAllDevices)
    {
        // The machine asks to be shown with the address its datagram came from.
        const std::string sender = net::FormatIpv4(from.address);
        std::memset(bytes + kIpOffset, 0, kTextFieldWidth);
        std::memcpy(bytes + kIpOffset, sender.data(), sender.size());
        length = std::max(length, kIpOffset + sender.size() + 1);
    }
    if (trace::Enabled())
    {
        const std::string_view shown = TextField({ bytes, length }, kIpOffset, kTextFieldWidth);
        trace::OutputDebugStringF("ServThdFunc: %.*s\n", static_cast<int>(shown.size()), shown.data());
    }
    if (!state_.replyQueue.Put({ bytes, length }))
    {
        trace::OutputDebugString("ServThdFunc: reply queue full, datagram lost\n");
        ++state_.datagramsLostQueueFull;
        return;
    }
    ++state_.datagramsQueued;
}

// Runs on its own thread while `running` is set. Owns its datagram buffers;
// shares the receive socket (read only here, shut down by the teardown) and
// the reply queue (it is the one producer, so the free slots it counts stay
// free until it fills them).
void DiscoveryController::ServThdFunc(ReceiveFilter filter)
{
    trace::OutputDebugString("ServThdFunc started\n");
    // One byte more than the largest datagram taken, so that a longer one
    // shows by filling it instead of arriving cut to size. Not zeroed: the
    // system writes each datagram before it is read, and the pages are
    // touched only as datagrams come (zeroing them slowed the first window by
    // some milliseconds on a machine of two cores).
    constexpr std::size_t kSlotBytes = kMaxDatagramSize + 1;
    const std::unique_ptr<std::uint8_t[]> storage(new std::uint8_t[kReceiveBatch * kSlotBytes]);
    std::vector<net::ReceiveSlot> batch(kReceiveBatch);
    for (std::size_t i = 0; i < kReceiveBatch; ++i)
    {
        batch[i].buffer = storage.get() + i * kSlotBytes;
        batch[i].capacity = kSlotBytes;
    }
    while (state_.running.load() != 0)
    {
        // Never more than the queue can take: what cannot be queued waits in
        // the socket's buffer instead of being read only to be dropped.
        const std::size_t free = state_.replyQueue.FreeCount();
        if (free == 0)
        {
            [[maybe_unused]] const bool freed = state_.replyQueue.WaitForFreeSlot(std::chrono::milliseconds(100));
            continue;
        }
        const int received
            = state_.receiveSocket.ReceiveFromMany(std::span(batch).first(std::min(free, kReceiveBatch)));
        if (received < 0)
        {
            trace::OutputDebugString("recvfrom error in ServThdFunc\n");
            continue;
        }
        for (int i = 0; i < received; ++i)
        {
            const net::ReceiveSlot& slot = batch[static_cast<std::size_t>(i)];
            HandleDatagram(filter, static_cast<std::uint8_t*>(slot.buffer), slot.length, slot.from);
        }
    }
}

// ---- Reply thread ---------------------------------------------------------

bool DiscoveryController::StartReplyThread()
{
    return replyThread_.Start([this] { ReplyThread(); });
}

// Runs while `running` is set. Owns its buffers and the dispatcher; shares
// the reply queue (the one consumer), the counters, the targets and
// commandDone with the window and the workers.
void DiscoveryController::ReplyThread()
{
    // Not zeroed, as the receive thread's: each reply is copied in before it is read.
    const std::unique_ptr<std::uint8_t[]> buffers(new std::uint8_t[kReplyBatch * kReplySlotSize]);
    std::vector<std::span<const std::uint8_t>> taken;
    taken.reserve(kReplyBatch);
    while (state_.running.load() != 0)
    {
        taken.clear();
        std::size_t length = 0;
        while (taken.size() < kReplyBatch)
        {
            std::uint8_t* const slot = buffers.get() + taken.size() * kReplySlotSize;
            if (!state_.replyQueue.Take({ slot, kReplySlotSize }, length))
            {
                break;
            }
            taken.emplace_back(slot, length);
        }
        if (taken.empty())
        {
            dispatcher_.Idle();
            // At most 10 ms before `running` is tested again; a datagram
            // queued meanwhile ends the wait at once.
            [[maybe_unused]] const bool queued = state_.replyQueue.WaitForDatagram(std::chrono::milliseconds(10));
            continue;
        }
        dispatcher_.Dispatch(taken);
    }
}

void DiscoveryController::Stop()
{
    // The teardown has cleared `running` and shut the receive socket down;
    // both loops leave at their next test. A range scan ends at once.
    state_.pacedSender.Stop();
    window_.uiThread.Join(state_.pacedSender.Thread());
    window_.uiThread.Join(receiveThread_);
    window_.uiThread.Join(replyThread_);
}

} // namespace quellis::discovery
