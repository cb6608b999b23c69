#include "app/quellis_dlg.h"

#include "app/about_dlg.h"
#include "app/captions.h"
#include "app/main_window_ports.h"
#include "app/rich_edit_ex.h"
#include "commands/commands_controller.h"
#include "commands/dev_set_dlg.h"
#include "controls/picture_ex.h"
#include "core/settings.h"
#include "discovery/device_list_dlg.h"
#include "discovery/discovery_controller.h"
#include "miner/miner_controller.h"
#include "monitor/monitor_controller.h"
#include "monitor/monitor_dlg.h"
#include "monitor/wave.h"
#include "platform/net/default_route.h"
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
#include "update/update_controller.h"

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

// The subsystems of the window: each controller with the window-side parts
// it works on. Adding a subsystem adds its member here and its entry in the
// routing order, and nothing to the dialog's header.
struct CQuellisDlg::Subsystems
{
    Subsystems(CQuellisDlg& dialog,
        discovery::SharedState& state,
        ui::ListViewControl* list,
        core::Alarm& alarm,
        ui::Dialog& panel)
        : deviceList(list, [&state] { return state.language.load(); })
        , ports(dialog, deviceList, alarm)
        , panelControls(panel)
        , devSetDialogs(&dialog)
        , poolSettings(dialog, state.configPath)
        , discovery(state, ports.Window(), deviceList)
        , commands(state, ports.Window(), devSetDialogs, companions)
        , update(state, ports.Window(), panelControls)
        , miner(state, ports.Window(), poolSettings)
        , monitor(state, ports.Window(), panelControls)
    {
        commands.SetLanguageBox(panelControls);
        // A confirmed E2 write: the reply thread starts the read-back run.
        discovery.SetReadBackStarter([this](std::string_view target) { miner.StartReadBack(target); });
    }

    // In routing order.
    std::vector<core::Controller*> Routing() { return { &discovery, &commands, &update, &miner, &monitor }; }

    discovery::DeviceList deviceList;
    MainWindowPorts ports;
    DialogControls panelControls;
    commands::DevSetDialogs devSetDialogs;
    CompanionWindowPort companions;
    PoolSettingsPort poolSettings;
    discovery::DiscoveryController discovery;
    commands::CommandsController commands;
    update::UpdateController update;
    miner::MinerController miner;
    monitor::MonitorController monitor;
};

CQuellisDlg* TheMainDialog()
{
    return mainDialog.load();
}

CQuellisDlg::CQuellisDlg(std::filesystem::path configPath, QWidget* parent)
    : ui::Dialog(kMainDialog, parent)
    , state_(std::move(configPath))
    , sidePanel_(std::make_unique<monitor::CDlgMonitor>(state_.configPath, this))
    , alarm_(std::make_unique<monitor::CWave>())
{
    SetWindowIcon(kIconApplication);
}

CQuellisDlg::~CQuellisDlg()
{
    // A dialog destroyed without its window being closed ends its threads
    // here, with the controls they may be waiting on still whole.
    Teardown();
    routing_.clear();
    subsystems_.reset();
    // The panel is a child window of this one: it goes while this dialog is
    // still whole, not from the member destructors.
    sidePanel_.reset();
}

core::Window& CQuellisDlg::Window()
{
    return subsystems_->ports.Window();
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

void CQuellisDlg::MakeControllers()
{
    subsystems_ = std::make_unique<Subsystems>(*this, state_, ListView(kIdDeviceList), *alarm_, *sidePanel_);
    routing_ = subsystems_->Routing();
    sidePanel_->SetCommandHandler([this](int id) { subsystems_->monitor.OnPanelCommand(id); });
}

bool CQuellisDlg::OnInitDialog()
{
    ui::Dialog::OnInitDialog();
    // Another instance finds this window by its class from now on.
    windowClass_.Register(kMainWindowClass, this);

    AppendSystemMenuItem(kIdmAbout, kAboutMenuText);
    SetWindowIcon(kIconApplication);
    state_.toolType = core::ReadSetting(core::settings::kToolType, ConfigPath());
    defaultLogFormat_ = RichEdit(kIdLogPane)->DefaultCharFormat();

    for (const int id : { kIdLedTest, kIdSerialTest, kIdUpdateSelected, kIdUpdateAll })
    {
        EnableItem(id, false);
    }
    if (state_.toolType == core::kToolTypeBare)
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
        sidePanel_->SetLanguageHandler([this](int value) { SwitchLanguage(value); });
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
    state_.language = core::ReadSetting(core::settings::kLanguage, ConfigPath());
    trace::OutputDebugStringF(
        "%s: TOOLTYPE %d, LANG %d\n", ConfigPath().string().c_str(), state_.toolType, state_.language.load());
    sidePanel_->CheckButton(kIdLanguageCheck, state_.language.load() != 0 ? ui::kChecked : ui::kUnchecked);
    ApplyCaptions(true);
    MakeControllers();
    sidePanel_->SetItemText(kIdLanguageCheck, kLanguageBoxCaption);

    if (!net::StartSocketLayer())
    {
        ui::ShowMessageBox(this, kSocketLayerFailed);
        return false;
    }
    state_.sendSocket = net::Socket::Create(net::SocketKind::Udp);
    if (!state_.sendSocket.IsValid())
    {
        ui::ShowMessageBox(this, kUdpSocketFailed);
        return false;
    }
    OpenListeningSocket();
    subsystems_->update.StartPackageServer();

    mainDialog = this;
    if (!state_.replyQueue.Initialise(discovery::kReplySlotCount, discovery::kReplySlotSize))
    {
        trace::OutputDebugString("reply queue could not be allocated\n");
    }
    BindSendSocketToDefaultRoute();

    // commandDone and everything else the threads share exist since the
    // shared state was constructed, before the first thread starts.
    state_.running = 1;
    if (!subsystems_->discovery.StartReplyThread())
    {
        state_.running = 0;
    }
    const int listen = core::ReadSetting(core::settings::kListen, ConfigPath());
    if (state_.toolType == core::kToolTypeListening || listen != 0)
    {
        // The side panel holds the filter values in every layout.
        subsystems_->discovery.StartLisServ({ sidePanel_->Netmask(), sidePanel_->IpBegin(), sidePanel_->IpEnd() });
        if (state_.toolType != core::kToolTypeListening && listen != 0)
        {
            ShowItem(kIdUpdateAll, false);
        }
    }
    if (busyPicture_ != nullptr)
    {
        [[maybe_unused]] const bool loaded = busyPicture_->LoadFromResource();
    }
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
    net::Socket& listening = state_.listeningSocket;
    listening = net::Socket::Create(net::SocketKind::Tcp);
    if (!listening.IsValid())
    {
        ui::ShowMessageBox(this, kTcpSocketFailed);
        return;
    }
    // Windows binds a port whose last connections are still in TIME_WAIT;
    // Linux does so only with address reuse set before the bind. Without it a
    // restart within a minute of an update run would fail to bind. A port
    // another program listens on still refuses the bind.
    [[maybe_unused]] const bool reuseBeforeBind = listening.SetReuseAddress(true);
    if (!listening.Bind({ net::kInaddrAny, kPackagePort }))
    {
        listening.Close();
        ui::ShowMessageBox(this, kTcpBindFailed);
        return;
    }
    if (!listening.SetReuseAddress(true))
    {
        ui::ShowMessageBox(this, kTcpReuseFailed);
    }
    if (!listening.Listen(5))
    {
        ui::ShowMessageBox(this, kTcpListenFailed);
    }
    if (!ui::AsyncSelect(listening.Handle(), this, kWmTcpSocket, ui::kFdAccept | ui::kFdClose))
    {
        ui::ShowMessageBox(this, kTcpSelectFailed);
    }
}

void CQuellisDlg::BindSendSocketToDefaultRoute()
{
    if (!state_.sendSocket.SetBroadcast(true))
    {
        trace::OutputDebugString("setsockopt SO_BROADCAST failed\n");
    }
    // Broadcasts leave with the address the machines answer to; without a
    // default route the system picks the source address at each send.
    const std::string local = net::DefaultRouteAddress();
    const auto address = net::ParseIpv4(local);
    if (!address || !state_.sendSocket.Bind({ *address, 0 }))
    {
        trace::OutputDebugString("bind broadcast socket failed!!!!!!");
    }
}

void CQuellisDlg::ApplyCaptions(bool atStartup)
{
    const int language = state_.language.load();
    const LanguageTexts& texts = TextsFor(language);
    ui::ListViewControl* list = ListView(kIdDeviceList);
    ui::WindowCall(
        [&]
        {
            for (std::size_t column = 0; column < kColumnCount; ++column)
            {
                std::string_view header = texts.headers[column];
                if (atStartup && column == kHostNameColumn && language != kLanguageChinese)
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
    [[maybe_unused]] const bool written = core::WriteSetting(core::settings::kLanguage, value, ConfigPath());
    state_.language = core::ReadSetting(core::settings::kLanguage, ConfigPath());
    trace::OutputDebugStringF(
        "%s: TOOLTYPE %d, LANG %d\n", ConfigPath().string().c_str(), state_.toolType, state_.language.load());
    ApplyCaptions(false);
    sidePanel_->SetItemText(kIdLanguageCheck, kLanguageBoxCaption);
}

bool CQuellisDlg::LanguageBoxTicked() const
{
    return sidePanel_->IsButtonChecked(kIdLanguageCheck) == ui::kChecked;
}

void CQuellisDlg::AppendLog(core::LogColour colour, std::string_view text)
{
    ui::WindowCall(
        [&]
        {
            ui::RichEditControl* pane = RichEdit(kIdLogPane);
            QTextCharFormat format = defaultLogFormat_;
            if (colour != core::LogColour::Default)
            {
                format = QTextCharFormat();
                format.setForeground(colour == core::LogColour::Red ? QColor(255, 0, 0) : QColor(0, 200, 0));
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

// ---- Routing ----------------------------------------------------------------

void CQuellisDlg::OnCommand(int id, int code)
{
    if (code == ui::kEnChange && id == kIdQrCodeEdit)
    {
        // A scanner that pastes its code with the line break, instead of
        // typing Enter, moves on to the one-D code the same way.
        const std::string text = ItemText(kIdQrCodeEdit);
        trace::OutputDebugStringF("%s\n", text.c_str());
        if (text.find("\r\n") != std::string::npos)
        {
            SetFocusItem(kIdOneDCodeEdit);
        }
        return;
    }
    if (code != ui::kBnClicked)
    {
        return;
    }
    if (id == kIdCancel)
    {
        OnCancel();
        return;
    }
    for (core::Controller* controller : routing_)
    {
        if (controller->OnCommand(id))
        {
            return;
        }
    }
}

void CQuellisDlg::OnNotify(int id, const ui::Notification& notification)
{
    if (id != kIdDeviceList)
    {
        return;
    }
    core::ListNotify code = core::ListNotify::Click;
    switch (notification.code)
    {
    case ui::NotifyCode::Click:
        code = core::ListNotify::Click;
        break;
    case ui::NotifyCode::DoubleClick:
        code = core::ListNotify::DoubleClick;
        break;
    case ui::NotifyCode::ColumnClick:
        code = core::ListNotify::ColumnClick;
        break;
    }
    for (core::Controller* controller : routing_)
    {
        if (controller->OnListNotify(code, notification.row, notification.column))
        {
            return;
        }
    }
}

void CQuellisDlg::OnTimer(int id)
{
    for (core::Controller* controller : routing_)
    {
        if (controller->OnTimer(id))
        {
            return;
        }
    }
}

bool CQuellisDlg::OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    for (core::Controller* controller : routing_)
    {
        if (controller->OnMessage(message, wParam, lParam))
        {
            return true;
        }
    }
    return false;
}

void CQuellisDlg::OnSysCommand(int id)
{
    if (id == kIdmAbout)
    {
        CAboutDlg about(this);
        about.DoModal();
    }
}

// ---- Layout and keyboard ------------------------------------------------------

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
        OnCommand(kIdWriteE2, ui::kBnClicked);
        SelectItemText(kIdQrCodeEdit, 0, -1);
        SetFocusItem(kIdQrCodeEdit);
    }
    return true;
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
        trace::LastStartupStep("main window shown");
    }
}

// ---- Teardown -----------------------------------------------------------------

void CQuellisDlg::Teardown()
{
    if (tornDown_)
    {
        return;
    }
    tornDown_ = true;
    // Shutting the receive socket down ends the receive thread's blocking
    // read; clearing the run flags ends the other loops.
    state_.receiveSocket.Shutdown();
    state_.running = 0;
    state_.monitoring = 0;
    state_.blinking = 0;
    state_.replyQueue.WakeWaiters();
    // Every thread leaves before what it uses goes: the queue it reads, the
    // sockets it sends on, the controls it calls.
    for (core::Controller* controller : routing_)
    {
        controller->Stop();
    }
    if (subsystems_)
    {
        subsystems_->deviceList.FinishHandOff();
    }
    state_.receiveSocket.Close();
    state_.replyQueue.Release();
    if (state_.listeningSocket.IsValid())
    {
        ui::AsyncSelect(state_.listeningSocket.Handle(), nullptr, 0, 0);
    }
    state_.listeningSocket.Close();
    state_.sendSocket.Close();
    windowClass_.Unregister();
    CQuellisDlg* self = this;
    mainDialog.compare_exchange_strong(self, nullptr);
}

void CQuellisDlg::DestroyWindow()
{
    Teardown();
}

} // namespace quellis::app
