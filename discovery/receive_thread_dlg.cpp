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

// Runs on its own thread while `running` is set. Owns its datagram buffer;
// shares the receive socket (read only here, closed by the teardown) and
// the reply queue (it is the one producer).
void ServThdFunc(CQuellisDlg& dialog, discovery::ReceiveFilter filter)
{
    trace::OutputDebugString("ServThdFunc started\n");
    std::vector<std::uint8_t> buffer(discovery::kMaxDatagramSize);
    while (dialog.running.load() != 0)
    {
        // No slot free: the next datagram waits in the socket's buffer instead
        // of being read only to be dropped.
        if (!dialog.replyQueue.WaitForFreeSlot(std::chrono::milliseconds(100)))
        {
            continue;
        }
        net::Endpoint from;
        const int received = dialog.receiveSocket.ReceiveFrom(buffer.data(), buffer.size(), &from);
        if (received < 0)
        {
            trace::OutputDebugString("recvfrom error in ServThdFunc\n");
            continue;
        }
        std::size_t length = static_cast<std::size_t>(received);
        const std::span<std::uint8_t> datagram(buffer.data(), length);
        const auto header = discovery::ReadHeader(datagram);
        if (!header)
        {
            trace::OutputDebugString("ServThdFunc: not a device packet, dropped\n");
            continue;
        }
        // Requests, the program's own broadcasts among them.
        if (header->type == discovery::PKT_SEARCH || header->type == discovery::PKT_DEV_SETTING
            || header->type == discovery::PKT_CMD)
        {
            trace::OutputDebugStringF("ServThdFunc: request of type %u dropped\n", header->type);
            continue;
        }
        const std::string_view ip = discovery::TextField(datagram, discovery::kIpOffset, discovery::kTextFieldWidth);
        if (!discovery::PassesAddressFilter(ip, filter))
        {
            trace::OutputDebugStringF("ServThdFunc: %.*s filtered out\n", static_cast<int>(ip.size()), ip.data());
            continue;
        }
        if (ip == discovery::kAllDevices)
        {
            // The machine asks to be shown with the address its datagram came from.
            const std::string sender = net::FormatIpv4(from.address);
            std::memset(buffer.data() + discovery::kIpOffset, 0, discovery::kTextFieldWidth);
            std::memcpy(buffer.data() + discovery::kIpOffset, sender.data(), sender.size());
            length = std::max(length, discovery::kIpOffset + sender.size() + 1);
        }
        if (trace::Enabled())
        {
            const std::string_view shown = discovery::TextField({ buffer.data(), length }, discovery::kIpOffset, 32);
            trace::OutputDebugStringF("ServThdFunc: %.*s\n", static_cast<int>(shown.size()), shown.data());
        }
        if (!dialog.replyQueue.Put({ buffer.data(), length }))
        {
            trace::OutputDebugString("ServThdFunc: reply queue full, datagram lost\n");
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
