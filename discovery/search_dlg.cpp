#include "app/quellis_dlg.h"
#include "discovery/device_list_dlg.h"
#include "platform/text/codepage.h"
#include "platform/trace/trace.h"
#include "platform/ui/icons.h"
#include "platform/ui/list_view.h"
#include "platform/ui/message_box.h"
#include "resources/resource_ids.h"
#include "resources/templates/main_dialog_ids.h"

namespace quellis::app
{

namespace
{

using namespace quellis::resources;

constexpr std::string_view kAccountMissing = "请输入终端账号";
constexpr int kLamps[] = { kIdSerialLamp1, kIdSerialLamp2, kIdSerialLamp3, kIdSerialLamp4, kIdSerialLamp5 };

// Text the program sends: the code page 936 bytes of what the list or an edit shows.
std::string Wire(std::string_view shown)
{
    return text::Utf8ToCp936(shown);
}

} // namespace

bool CQuellisDlg::SendBroadcast(std::span<const std::uint8_t> datagram)
{
    const int sent = sendSocket.SendTo(
        datagram.data(), datagram.size(), { net::kInaddrBroadcast, discovery::kDevicePort });
    return sent > 0;
}

void CQuellisDlg::OnSearch()
{
    deviceList_->Clear();
    std::vector<std::uint8_t> search(discovery::kRequestBufferSize);
    search.resize(discovery::BuildSearch(search, discovery::kSearchOrdinary));
    if (!SendBroadcast(search))
    {
        trace::OutputDebugString("send search package failed\n");
    }
    SetFocusItem(kIdDeviceList);
    if (ToolType() == kToolTypeBare)
    {
        EnableItem(kIdLedTest, false);
        EnableItem(kIdSerialTest, false);
        for (const int lamp : kLamps)
        {
            SetItemIcon(lamp, kIconLampOff, ui::kSystemIconSize);
        }
    }
}

void CQuellisDlg::OnFixedAccountSearch()
{
    deviceList_->Clear();
    // The account as a 32-byte buffer holds it: at most 31 bytes.
    const std::string account(text::Cp936Prefix(Wire(ItemText(kIdAccountEdit)), 31));
    if (account.empty())
    {
        ui::ShowMessageBox(this, kAccountMissing);
        return;
    }
    std::vector<std::uint8_t> search(discovery::kRequestBufferSize);
    search.resize(discovery::BuildSearch(search, discovery::kSearchFixedAccount, account));
    if (!SendBroadcast(search))
    {
        trace::OutputDebugString("send search package failed\n");
    }
}

int CQuellisDlg::FlickerRow(int row)
{
    if (row < 0)
    {
        return 0;
    }
    std::vector<std::uint8_t> flicker(discovery::kRequestBufferSize);
    flicker.resize(discovery::BuildNetLedFlicker(flicker, Wire(deviceList_->Text(row, discovery::kColumnMac))));
    if (!SendBroadcast(flicker))
    {
        trace::OutputDebugString("send net led flicker package failed\n");
    }
    SetFocusItem(kIdDeviceList);
    ListView(kIdDeviceList)->SetItemState(row, ui::kItemSelected | ui::kItemFocused, ui::kItemSelected | ui::kItemFocused);
    return 1;
}

void CQuellisDlg::OnDeviceListNotify(const ui::Notification& notification)
{
    switch (notification.code)
    {
    case ui::NotifyCode::ColumnClick:
        deviceList_->SortByColumn(notification.column);
        break;
    case ui::NotifyCode::Click:
        if (notification.row >= 0)
        {
            FlickerRow(notification.row);
        }
        break;
    case ui::NotifyCode::DoubleClick:
        if (notification.row >= 0)
        {
            OpenNetworkSettings(notification.row);
        }
        break;
    }
}

} // namespace quellis::app
