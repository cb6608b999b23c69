#include "commands/blink_thread.h"

#include "platform/net/socket.h"
#include "platform/text/codepage.h"
#include "platform/trace/trace.h"
#include "protocol/device_packet.h"

#include <vector>

namespace quellis::commands
{

std::optional<std::uint32_t> BlinkDestination(std::string_view ipText)
{
    std::uint32_t address = 0;
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part)
    {
        if (part > 0)
        {
            if (pos >= ipText.size() || ipText[pos] != '.')
            {
                return std::nullopt;
            }
            ++pos;
        }
        const std::size_t start = pos;
        unsigned value = 0;
        while (pos < ipText.size() && pos - start < 3 && ipText[pos] >= '0' && ipText[pos] <= '9')
        {
            value = value * 10 + static_cast<unsigned>(ipText[pos] - '0');
            ++pos;
        }
        if (pos == start || value > 255)
        {
            return std::nullopt;
        }
        address = (address << 8) | value;
    }
    const std::uint32_t first = address >> 24;
    if (pos != ipText.size() || first == 0 || first > 223)
    {
        return std::nullopt;
    }
    return address;
}

BlinkThread::BlinkThread(protocol::SharedState& state, core::Window& window)
    : state_(state)
    , window_(window)
{
}

BlinkThread::~BlinkThread()
{
    // The owner stops it first; this only makes sure nothing outlives us.
    wake_.Set();
    thread_.Join();
}

bool BlinkThread::Start()
{
    wake_.Reset();
    return thread_.Start([this] { Run(); });
}

void BlinkThread::Stop()
{
    wake_.Set();
    window_.uiThread.Join(thread_);
    wake_.Reset();
}

void BlinkThread::Wait(std::uint32_t milliseconds)
{
    if (pause_)
    {
        pause_(milliseconds);
        return;
    }
    [[maybe_unused]] const sync::WaitResult woken = wake_.Wait(milliseconds);
}

// Runs while `blinking` is set. Owns its socket and request buffer; shares
// the flag (cleared by the blink button and the teardown) and reads the
// device list through window calls, one per pass.
void BlinkThread::Run()
{
    net::Socket socket = net::Socket::Create(net::SocketKind::Udp);
    socketFailed_ = !socket.IsValid();
    if (socketFailed_)
    {
        // `blinking` stays set: the button still reads "stop" and ends it.
        window_.boxes.MessageBox(blinktext::kSocketFailed, blinktext::kSocketFailedCaption);
        return;
    }
    // Machines listen on the device port; tests aim it at loopback.
    const std::uint16_t port = state_.deviceBroadcast.port;
    std::vector<std::uint8_t> request(protocol::kRequestBufferSize);
    const bool allRows = window_.list.SelectedRows().empty();
    window_.log.WriteLog(core::LogColour::Default, allRows ? blinktext::kAllRows : blinktext::kSelectedRows, false);

    while (state_.blinking.load() != 0)
    {
        // The selection is read again at each pass, so a change takes effect
        // at the next one.
        const std::vector<core::RowTarget> targets = window_.list.Targets(!allRows);
        bool sentAny = false;
        for (const core::RowTarget& target : targets)
        {
            if (state_.blinking.load() == 0)
            {
                break;
            }
            if (!allRows && target.mac.empty())
            {
                continue;
            }
            const auto address = BlinkDestination(target.ip);
            if (!address)
            {
                trace::OutputDebugStringF("blink: row %d has no address to send to\n", target.row);
                continue;
            }
            const std::size_t length = protocol::BuildNetLedFlicker(request, text::Utf8ToCp936(target.mac));
            if (socket.SendTo(request.data(), length, { *address, port }) != static_cast<int>(length))
            {
                trace::OutputDebugString("send net led flicker package failed\n");
                continue;
            }
            sentAny = true;
            if (!allRows)
            {
                Wait(kBlinkRowPauseMs);
            }
        }
        if (allRows)
        {
            Wait(kBlinkPassPauseMs);
        }
        else if (!sentAny)
        {
            // Nothing selected that could be sent to: look again shortly
            // instead of spinning a core on the list.
            Wait(kBlinkIdlePauseMs);
        }
    }
}

} // namespace quellis::commands
