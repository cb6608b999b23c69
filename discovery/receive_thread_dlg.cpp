#include "app/quellis_dlg.h"
#include "discovery/device_packet.h"
#include "discovery/receive_filter.h"
#include "monitor/monitor_dlg.h"
#include "platform/profile/profile.h"
#include "platform/trace/trace.h"
#include "platform/ui/message_box.h"

#include <cstring>

namespace quellis::app
{

namespace
{

constexpr std::string_view kReceiveSocketFailed = "Server socket error in StartLisServ";
constexpr std::string_view kReceiveBindFailed = "监听端口绑定失败，请确认该应用程序是否已启用!";

// The largest receive buffer the system allows: a search on a farm of
// thousands of machines brings their replies within milliseconds, and what
// the buffer cannot hold is lost before the thread can read it.
constexpr int kReceiveBufferBytes = 32 * 1024 * 1024;

// One datagram as received: checked, filtered, its address filled in when the
// machine asks for that, and put into the reply queue.
void HandleDatagram(CQuellisDlg& dialog, const discovery::ReceiveFilter& filter, std::uint8_t* bytes,
    std::size_t length, net::Endpoint from)
{
    const std::span<std::uint8_t> datagram(bytes, length);
    const auto header = discovery::ReadHeader(datagram);
    if (!header)
    {
        trace::OutputDebugString("ServThdFunc: not a device packet, dropped\n");
        return;
    }
    // Requests, the program's own broadcasts among them.
    if (header->type == discovery::PKT_SEARCH || header->type == discovery::PKT_DEV_SETTING
        || header->type == discovery::PKT_CMD)
    {
        trace::OutputDebugStringF("ServThdFunc: request of type %u dropped\n", header->type);
        return;
    }
    const std::string_view ip = discovery::TextField(datagram, discovery::kIpOffset, discovery::kTextFieldWidth);
    if (!discovery::PassesAddressFilter(ip, filter))
    {
        trace::OutputDebugStringF("ServThdFunc: %.*s filtered out\n", static_cast<int>(ip.size()), ip.data());
        return;
    }
    if (ip == discovery::kAllDevices)
    {
        // The machine asks to be shown with the address its datagram came from.
        const std::string sender = net::FormatIpv4(from.address);
        std::memset(bytes + discovery::kIpOffset, 0, discovery::kTextFieldWidth);
        std::memcpy(bytes + discovery::kIpOffset, sender.data(), sender.size());
        length = std::max(length, discovery::kIpOffset + sender.size() + 1);
    }
    if (trace::Enabled())
    {
        const std::string_view shown = discovery::TextField({ bytes, length }, discovery::kIpOffset, 32);
        trace::OutputDebugStringF("ServThdFunc: %.*s\n", static_cast<int>(shown.size()), shown.data());
    }
    if (!dialog.replyQueue.Put({ bytes, length }))
    {
        trace::OutputDebugString("ServThdFunc: reply queue full, datagram lost\n");
    }
}

// Datagrams taken per system call at most.
constexpr std::size_t kReceiveBatch = 64;

// Runs on its own thread while `running` is set. Owns its datagram buffers;
// shares the receive socket (read only here, closed by the teardown) and the
// reply queue (it is the one producer, so the free slots it counts stay free
// until it fills them).
void ServThdFunc(CQuellisDlg& dialog, discovery::ReceiveFilter filter)
{
    trace::OutputDebugString("ServThdFunc started\n");
    std::vector<std::uint8_t> storage(kReceiveBatch * discovery::kMaxDatagramSize);
    std::vector<net::ReceiveSlot> batch(kReceiveBatch);
    for (std::size_t i = 0; i < kReceiveBatch; ++i)
    {
        batch[i].buffer = storage.data() + i * discovery::kMaxDatagramSize;
        batch[i].capacity = discovery::kMaxDatagramSize;
    }
    while (dialog.running.load() != 0)
    {
        // Never more than the queue can take: what cannot be queued waits in
        // the socket's buffer instead of being read only to be dropped.
        const std::size_t free = dialog.replyQueue.FreeCount();
        if (free == 0)
        {
            [[maybe_unused]] const bool freed = dialog.replyQueue.WaitForFreeSlot(std::chrono::milliseconds(100));
            continue;
        }
        const int received =
            dialog.receiveSocket.ReceiveFromMany(std::span(batch).first(std::min(free, kReceiveBatch)));
        if (received < 0)
        {
            trace::OutputDebugString("recvfrom error in ServThdFunc\n");
            continue;
        }
        for (int i = 0; i < received; ++i)
        {
            const net::ReceiveSlot& slot = batch[static_cast<std::size_t>(i)];
            HandleDatagram(dialog, filter, static_cast<std::uint8_t*>(slot.buffer), slot.length, slot.from);
        }
    }
}

} // namespace

bool CQuellisDlg::StartLisServ()
{
    receiveSocket = net::Socket::Create(net::SocketKind::Udp);
    if (!receiveSocket.IsValid())
    {
        ui::ShowMessageBox(this, kReceiveSocketFailed);
        return false;
    }
    if (!receiveSocket.Bind({ net::kInaddrAny, discovery::kDevicePort }))
    {
        ui::ShowMessageBox(this, kReceiveBindFailed);
        receiveSocket.Close();
        return false;
    }
    const int obtained = receiveSocket.SetLargeReceiveBuffer(kReceiveBufferBytes);
    trace::OutputDebugStringF("receive socket buffer: %d bytes\n", obtained);

    // The side panel holds the filter values; without it they come from the
    // same keys of config.ini.
    discovery::ReceiveFilter filter;
    if (SidePanel() != nullptr)
    {
        filter = { SidePanel()->Netmask(), SidePanel()->IpBegin(), SidePanel()->IpEnd() };
    }
    else
    {
        filter = { profile::ReadProfileInt("COMMON", "NETMASK", -1, ConfigPath()),
            profile::ReadProfileInt("COMMON", "IPBEGIN", -1, ConfigPath()),
            profile::ReadProfileInt("COMMON", "IPEND", -1, ConfigPath()) };
    }
    if (!receiveThread_.Start([this, filter] { ServThdFunc(*this, filter); }))
    {
        running = 0;
        return false;
    }
    return true;
}

} // namespace quellis::app
