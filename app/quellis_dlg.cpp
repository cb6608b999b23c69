#include "app/quellis_dlg.h"

#include "app/about_dlg.h"
#include "app/captions.h"
#include "app/rich_edit_ex.h"
#include "controls/picture_ex.h"
#include "discovery/device_list_dlg.h"
#include "monitor/monitor_dlg.h"
#include "monitor/wave.h"
#include "platform/net/default_route.h"
#include "platform/profile/profile.h"
#include "platform/trace/trace.h"
#include "platform/ui/async_select.h"
#include "platform/ui/icons.h"
#include "platform/ui/list_view.h"
#include "platform/ui/message_box.h"
#include "platform/ui/window_call.h"
#include "resources/resource_ids.h"
#include "resources/templates/dialog_templates.h"
#include "resources/templates/main_dialog_ids.h"
#include "resources/templates/monitor_panel_ids.h"

#include <QEvent>
#include <QLabel>
#include <QTextCursor>

#include <cstdio>

namespace quellis::app
{

using namespace quellis::resources;

namespace
{

std::atomic<CQuellisDlg*> mainDialog { nullptr };

// Start-up failures shown to the operator.
constexpr std::string_view kSocketLayerFailed = "Winsock初始化异常，请检查!";
constexpr std::string_view kUdpSocketFailed = "UDP套接字创建失败，请检查！";
constexpr std::string_view kTcpSocketFailed = "TCP套接字创建失败，请检查！";
constexpr std::string_view kTcpBindFailed = "Bind TCP套接字失败，请检查！";
constexpr std::string_view kTcpReuseFailed = "设置TCP套接字复用失败，请检查！";
constexpr std::string_view kTcpListenFailed = "监听TCP套接字失败，请检查！";
constexpr std::string_view kTcpSelectFailed = "TCP套接字WSAAsyncSelect失败，请检查！";

// Lists of control ids, in the order the layouts give them.
// clang-format off
// Controls hidden by the layout without the side panel (TOOLTYPE 0) ...
constexpr int kHiddenWithoutPanel[] = { kIdSetIp, kIdSelectPackage, kIdUpdateSelected, kIdUpdateAll,
    kIdExecuteSystemCommand, kIdSystemCommandEdit, kIdRestartMiner, kIdRestartSystem, kIdFlashMachines, kIdSetPools,
    kIdGetFirstMiner, kIdExecuteMinerCommand, kIdMinerCommandLabel, kIdMinerCommandEdit, kIdMinerParameterLabel,
    kIdMinerParameterEdit, kIdSetTemperature, kIdLowTemperatureLabel, kIdLowTemperatureEdit, kIdHighTemperatureLabel,
    kIdHighTemperatureEdit, kIdLedTest, kIdSerialLabel4, kIdSerialLamp4, kIdSerialLabel5, kIdSerialLamp5 };
// ... by the layout with it ...
constexpr int kHiddenWithPanel[] = { kIdLedTest, kIdSerialGroup, kIdSerialTest, kIdSerialLabel1, kIdSerialLabel2,
    kIdSerialLabel3, kIdSerialLabel4, kIdSerialLabel5, kIdSerialLamp1, kIdSerialLamp2, kIdSerialLamp3,
    kIdSerialLamp4, kIdSerialLamp5 };
// ... and by both.
constexpr int kHiddenAlways[] = { kIdSetIp, kIdExecuteSystemCommand, kIdSystemCommandEdit, kIdLedTest,
    kIdSerialGroup, kIdSerialTest, kIdSerialLabel1, kIdSerialLabel2, kIdSerialLabel3, kIdSerialLabel4,
    kIdSerialLabel5, kIdSerialLamp1, kIdSerialLamp2, kIdSerialLamp3, kIdSerialLamp4, kIdSerialLamp5,
    kIdGetFirstMiner, kIdExecuteMinerCommand, kIdMinerCommandLabel, kIdMinerCommandEdit, kIdMinerParameterLabel,
    kIdMinerParameterEdit, kIdQrCodeLabel, kIdQrCodeEdit, kIdOneDCodeLabel, kIdOneDCodeEdit, kIdWriteE2,
    kIdReadE2 };

// The rows the size handler stacks from the bottom up: each row's controls in
// placing order, the control whose top sets the next row's base line, and how
// far above that top the next base line lies.
struct SizeRow
{
    std::initializer_list<int> controls;
    int reference;
    int gapAbove;
};

const SizeRow kSizeRows[] = {
    { { kIdExecuteMinerCommand, kIdMinerCommandLabel, kIdMinerCommandEdit, kIdMinerParameterLabel,
        kIdMinerParameterEdit }, kIdExecuteMinerCommand, 5 },
    { { kIdRestartMiner, kIdRestartSystem, kIdSetPools, kIdFlashMachines, kIdGetFirstMiner, kIdSetTemperature,
        kIdLowTemperatureLabel, kIdLowTemperatureEdit, kIdHighTemperatureLabel, kIdHighTemperatureEdit },
        kIdHighTemperatureEdit, 5 },
    { { kIdTest, kIdExecuteSystemCommand, kIdSystemCommandEdit, kIdGetHashRate }, kIdGetHashRate, 5 },
    { { kIdQrCodeLabel, kIdQrCodeEdit, kIdOneDCodeLabel, kIdOneDCodeEdit, kIdWriteE2, kIdReadE2, kIdUpdateAll },
        kIdUpdateAll, 5 },
    { { kIdUpdateSelected }, kIdUpdateSelected, 5 },
    { { kIdSelectPackage }, kIdSelectPackage, 5 },
    { { kIdSetIp }, kIdSetIp, 10 }, // the picture keeps a wider gap
    { { kIdBusyPicture }, kIdBusyPicture, 0 },
};
// clang-format on

} // namespace

CQuellisDlg* TheMainDialog()
{
    return mainDialog.load();
}

CQuellisDlg::CQuellisDlg(std::filesystem::path configPath, QWidget* parent)
    : ui::Dialog(kMainDialog, parent)
    , configPath_(std::move(configPath))
    , sidePanel_(std::make_unique<monitor::CDlgMonitor>(configPath_, this))
    , alarm_(std::make_unique<monitor::CWave>())
{
    SetWindowIcon(kIconApplication);
}

CQuellisDlg::~CQuellisDlg()
{
    // A dialog destroyed without its window being closed still ends its threads.
    StopThreads();
    if (replyQueue.IsInitialised())
    {
        replyQueue.Release();
    }
    CQuellisDlg* self = this;
    mainDialog.compare_exchange_strong(self, nullptr);
    // The panel is a child window of this one: it goes while this dialog is
    // still whole, not from the member destructors.
    sidePanel_.reset();
}

QWidget* CQuellisDlg::CreateControl(const ui::ControlTemplate& control, QWidget* parent)
{
    if (control.id == kIdLogPane)
    {
        return new CRichEditEx(parent);
    }
    if (control.id == kIdBusyPicture)
    {
        busyPicture_ = new controls::CPictureEx(parent);
        busyPicture_->setAccessibleName(QString::fromUtf8(control.caption));
        return busyPicture_;
    }
    return ui::Dialog::CreateControl(control, parent);
}

bool CQuellisDlg::OnInitDialog()
{
    ui::Dialog::OnInitDialog();
    // Another instance finds this window by its class from now on.
    windowClass_.Register(kMainWindowClass, this);

    AppendSystemMenuItem(kIdmAbout, kAboutMenuText);
    SetWindowIcon(kIconApplication);
    toolType_ = profile::ReadProfileInt("COMMON", "TOOLTYPE", kToolTypeListening, configPath_);
    defaultLogFormat_ = RichEdit(kIdLogPane)->DefaultCharFormat();

    for (const int id : { kIdLedTest, kIdSerialTest, kIdUpdateSelected, kIdUpdateAll })
    {
        EnableItem(id, false);
    }
    if (toolType_ == kToolTypeBare)
    {
        for (const int id : kHiddenWithoutPanel)
        {
            ShowItem(id, false);
        }
    }
    else
    {
        for (const int id : kHiddenWithPanel)
        {
            ShowItem(id, false);
        }
        // The panel sits where the (hidden) LED test button is, widened and
        // reaching far down the left column.
        sidePanel_->Create(this);
        sidePanel_->SetParentDialog(this);
        const QRect led = ItemRect(kIdLedTest);
        sidePanel_->setGeometry(led.left() - 10, led.top(), led.width() + 25, led.height() + 300);
        sidePanel_->show();
    }
    for (const int id : kHiddenAlways)
    {
        ShowItem(id, false);
    }

    // Without a panel window (tool type 0) the box does not exist, and these
    // two calls change nothing.
    language_ = profile::ReadProfileInt("COMMON", "LANG", kLanguageChinese, configPath_);
    trace::OutputDebugStringF("%s: TOOLTYPE %d, LANG %d\n", configPath_.string().c_str(), toolType_, language_.load());
    sidePanel_->CheckButton(kIdLanguageCheck, language_.load() != 0 ? ui::kChecked : ui::kUnchecked);
    ApplyCaptions(true);
    deviceList_ = std::make_unique<discovery::DeviceList>(ListView(kIdDeviceList), [this] { return Language(); });
    sidePanel_->SetItemText(kIdLanguageCheck, kLanguageBoxCaption);

    if (!net::StartSocketLayer())
    {
        ui::ShowMessageBox(this, kSocketLayerFailed);
        return false;
    }
    sendSocket = net::Socket::Create(net::SocketKind::Udp);
    if (!sendSocket.IsValid())
    {
        ui::ShowMessageBox(this, kUdpSocketFailed);
        return false;
    }
    OpenListeningSocket();

    mainDialog = this;
    if (!replyQueue.Initialise(discovery::kReplySlotCount, discovery::kReplySlotSize))
    {
        trace::OutputDebugString("reply queue could not be allocated\n");
    }
    BindSendSocketToDefaultRoute();

    running = 1;
    if (!StartReplyThread())
    {
        running = 0;
    }
    const int listen = profile::ReadProfileInt("COMMON", "LISTEN", 0, configPath_);
    if (toolType_ == kToolTypeListening || listen != 0)
    {
        StartLisServ();
        if (toolType_ != kToolTypeListening && listen != 0)
        {
            ShowItem(kIdUpdateAll, false);
        }
    }
    LoadBusyAnimation();
    commandDone = std::make_unique<sync::Event>(sync::EventReset::Auto);
    // A sound that did not load leaves Play silent.
    [[maybe_unused]] const bool loaded = alarm_->Load("devDown.wav");
    alarm_->Play();
    SetFocusItem(kIdDeviceList);
    SetItemText(kIdLowTemperatureEdit, "67");
    SetItemText(kIdHighTemperatureEdit, "72");
    return true;
}

void CQuellisDlg::OpenListeningSocket()
{
    listeningSocket = net::Socket::Create(net::SocketKind::Tcp);
    if (!listeningSocket.IsValid())
    {
        ui::ShowMessageBox(this, kTcpSocketFailed);
        return;
    }
    // Windows binds a port whose last connections are still in TIME_WAIT;
    // Linux does so only with address reuse set before the bind. Without it a
    // restart within a minute of an update run would fail to bind. A port
    // another program listens on still refuses the bind.
    [[maybe_unused]] const bool reuseBeforeBind = listeningSocket.SetReuseAddress(true);
    if (!listeningSocket.Bind({ net::kInaddrAny, kPackagePort }))
    {
        listeningSocket.Close();
        ui::ShowMessageBox(this, kTcpBindFailed);
        return;
    }
    if (!listeningSocket.SetReuseAddress(true))
    {
        ui::ShowMessageBox(this, kTcpReuseFailed);
    }
    if (!listeningSocket.Listen(5))
    {
        ui::ShowMessageBox(this, kTcpListenFailed);
    }
    if (!ui::AsyncSelect(listeningSocket.Handle(), this, kWmTcpSocket, ui::kFdAccept | ui::kFdClose))
    {
        ui::ShowMessageBox(this, kTcpSelectFailed);
    }
}

void CQuellisDlg::BindSendSocketToDefaultRoute()
{
    if (!sendSocket.SetBroadcast(true))
    {
        trace::OutputDebugString("setsockopt SO_BROADCAST failed\n");
    }
    // Broadcasts leave with the address the machines answer to; without a
    // default route the system picks the source address at each send.
    const std::string local = net::DefaultRouteAddress();
    const auto address = net::ParseIpv4(local);
    if (!address || !sendSocket.Bind({ *address, 0 }))
    {
        trace::OutputDebugString("bind broadcast socket failed!!!!!!");
    }
}

void CQuellisDlg::ApplyCaptions(bool atStartup)
{
    const LanguageTexts& texts = TextsFor(language_.load());
    ui::ListViewControl* list = ListView(kIdDeviceList);
    ui::WindowCall(
        [&]
        {
            for (std::size_t column = 0; column < kColumnCount; ++column)
            {
                std::string_view header = texts.headers[column];
                if (atStartup && column == kHostNameColumn && language_.load() != kLanguageChinese)
                {
                    header = kHostNameAtStartup;
                }
                if (atStartup)
                {
                    list->InsertColumn(static_cast<int>(column), header, kColumnWidths[column]);
                }
                else
                {
                    list->SetColumnText(static_cast<int>(column), header);
                }
            }
            return true;
        });
    for (const auto& [id, caption] : texts.captions)
    {
        SetItemText(id, caption);
    }
}

void CQuellisDlg::SwitchLanguage(int value)
{
    // A failed write is not detected: the value read back decides.
    [[maybe_unused]] const bool written
        = profile::WriteProfileString("COMMON", "LANG", std::to_string(value), configPath_);
    language_ = profile::ReadProfileInt("COMMON", "LANG", kLanguageChinese, configPath_);
    trace::OutputDebugStringF("%s: TOOLTYPE %d, LANG %d\n", configPath_.string().c_str(), toolType_, language_.load());
    ApplyCaptions(false);
    sidePanel_->SetItemText(kIdLanguageCheck, kLanguageBoxCaption);
}

bool CQuellisDlg::LanguageBoxTicked() const
{
    return sidePanel_->IsButtonChecked(kIdLanguageCheck) == ui::kChecked;
}

void CQuellisDlg::AppendLog(LogColour colour, std::string_view text)
{
    ui::WindowCall(
        [&]
        {
            ui::RichEditControl* pane = RichEdit(kIdLogPane);
            QTextCharFormat format = defaultLogFormat_;
            if (colour != LogColour::Default)
            {
                format = QTextCharFormat();
                format.setForeground(colour == LogColour::Red ? QColor(255, 0, 0) : QColor(0, 200, 0));
            }
            // The format goes to the selection first: normally the caret at the
            // end, where the previous append left it.
            pane->SetSelectionCharFormat(format);
            const int end = pane->TextLength();
            pane->SetSel(end, end);
            pane->ReplaceSel(text);
            pane->HideSelection(false);
            pane->ensureCursorVisible();
            return true;
        });
}

void CQuellisDlg::OnCommand(int id, int code)
{
    if (code != ui::kBnClicked)
    {
        return;
    }
    switch (id)
    {
    case kIdSearch:
        OnSearch();
        break;
    case kIdFixedAccountSearch:
        OnFixedAccountSearch();
        break;
    case kIdCancel:
        OnCancel();
        break;
    case kIdWriteE2:
        OnWriteE2();
        break;
    default:
        break;
    }
}

void CQuellisDlg::OnWriteE2()
{
}

void CQuellisDlg::OnReadE2()
{
}

int CQuellisDlg::OpenNetworkSettings(int row)
{
    return row < 0 ? 0 : 1;
}

void CQuellisDlg::OnNotify(int id, const ui::Notification& notification)
{
    if (id == kIdDeviceList)
    {
        OnDeviceListNotify(notification);
    }
}

void CQuellisDlg::OnTimer(int)
{
}

bool CQuellisDlg::OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t)
{
    if (message == kWmDevSettingFailed)
    {
        ShowSettingFailure(static_cast<int>(wParam));
        return true;
    }
    return false;
}

void CQuellisDlg::ShowSettingFailure(int result)
{
    const std::string target = currentTarget.Get();
    const char* format = nullptr;
    switch (result)
    {
    case 1:
        format = "设置终端%s IP失败：用户名不存在";
        break;
    case 2:
        format = "设置终端%s IP失败：密码错误";
        break;
    case 3:
        format = "设置终端%s IP失败：未知错误";
        break;
    default:
        // The machine named a reason of its own; it is shown with its number.
        format = nullptr;
        break;
    }
    char text[160];
    if (format != nullptr)
    {
        std::snprintf(text, sizeof text, format, target.c_str());
    }
    else
    {
        std::snprintf(text, sizeof text, "设置终端%s IP失败：未知错误(%d)", target.c_str(), result);
    }
    ui::ShowMessageBox(this, text);
}

void CQuellisDlg::OnSysCommand(int id)
{
    if (id == kIdmAbout)
    {
        CAboutDlg about(this);
        about.DoModal();
    }
}

void CQuellisDlg::OnSize(int cx, int cy)
{
    if (!HasItem(kIdExecuteMinerCommand))
    {
        return;
    }
    const int rowHeight = ItemRect(kIdWriteE2).height();

    QRect list = ItemRect(kIdDeviceList);
    list.setRight(cx - 10 - 1);
    list.setHeight((cy - 6 * rowHeight) / 2);
    MoveItem(kIdDeviceList, list);

    QRect log = ItemRect(kIdLogPane);
    log.moveTop(list.bottom() + 1 + 10);
    log.setRight(cx - 10 - 1);
    log.setHeight(list.height());
    MoveItem(kIdLogPane, log);

    // Rows from the bottom up: each control keeps its left edge and size and
    // moves so that its bottom lies on the row's base line.
    int baseLine = cy - 5;
    for (const SizeRow& row : kSizeRows)
    {
        for (const int id : row.controls)
        {
            QRect rect = ItemRect(id);
            // QRect's bottom is the last pixel row; the base line is one below.
            rect.moveBottom(baseLine - 1);
            MoveItem(id, rect);
        }
        baseLine = ItemRect(row.reference).top() - row.gapAbove;
    }
}

bool CQuellisDlg::PreTranslateMessage(const ui::InputMessage& message)
{
    const bool codeEdit = message.controlId == kIdQrCodeEdit || message.controlId == kIdOneDCodeEdit;
    if (!codeEdit)
    {
        return false;
    }
    if (message.kind == ui::InputMessage::Kind::LeftButtonUp)
    {
        SelectItemText(message.controlId, 0, -1);
        return false;
    }
    if (message.key != Qt::Key_Return && message.key != Qt::Key_Enter)
    {
        return false;
    }
    // A scanner ends each code with Enter: from the QR code on to the one-D
    // code, and from the one-D code to writing both and back to the QR code.
    if (message.controlId == kIdQrCodeEdit)
    {
        SelectItemText(kIdOneDCodeEdit, 0, -1);
        SetFocusItem(kIdOneDCodeEdit);
    }
    else
    {
        OnWriteE2();
        SelectItemText(kIdQrCodeEdit, 0, -1);
        SetFocusItem(kIdQrCodeEdit);
    }
    return true;
}

bool CQuellisDlg::LoadBusyAnimation()
{
    return busyPicture_ != nullptr && busyPicture_->LoadFromResource();
}

void CQuellisDlg::StartBusyAnimation()
{
    if (busyPicture_ != nullptr)
    {
        busyPicture_->StartAnimation();
    }
}

void CQuellisDlg::StopBusyAnimation()
{
    if (busyPicture_ != nullptr)
    {
        busyPicture_->StopAnimation();
    }
}

bool CQuellisDlg::event(QEvent* event)
{
    // Only a raise sends this to a top-level window, and nothing in the
    // program raises its own main window: it is another instance asking.
    if (event->type() == QEvent::ZOrderChange && isWindow())
    {
        trace::OutputDebugString("main window brought to the front\n");
    }
    return ui::Dialog::event(event);
}

void CQuellisDlg::paintEvent(QPaintEvent* event)
{
    ui::Dialog::paintEvent(event);
    if (!painted_)
    {
        painted_ = true;
        trace::OutputDebugString("main window shown\n");
    }
}

void CQuellisDlg::StopThreads()
{
    ui::JoinServingCalls(receiveThread_);
    ui::JoinServingCalls(replyThread_);
    // Records the reply thread handed over are applied now, while the dialog
    // is whole: the slice it posted names this dialog.
    if (ui::OnUiThread())
    {
        for (;;)
        {
            {
                std::lock_guard lock(pendingLock_);
                if (!applyPosted_ || ui::WindowCallsClosed())
                {
                    break;
                }
            }
            ui::ServePendingCalls();
        }
    }
}

void CQuellisDlg::DestroyWindow()
{
    // Closing the receive socket ends the receive thread's blocking read;
    // clearing the run flags ends the other loops.
    receiveSocket.Shutdown();
    running = 0;
    monitoring = 0;
    replyQueue.WakeWaiters();
    // The threads leave their loops before what they use goes: the event
    // they signal and the queue they read.
    StopThreads();
    commandDone.reset();
    receiveSocket.Close();
    replyQueue.Release();
    if (listeningSocket.IsValid())
    {
        ui::AsyncSelect(listeningSocket.Handle(), nullptr, 0, 0);
    }
    listeningSocket.Close();
    sendSocket.Close();
    windowClass_.Unregister();
    CQuellisDlg* self = this;
    mainDialog.compare_exchange_strong(self, nullptr);
}

} // namespace quellis::app
