#include "app/quellis_dlg.h"

#include "app/about_dlg.h"
#include "app/captions.h"
#include "app/farm_list.h"
#include "app/main_window_ports.h"
#include "app/rich_edit_ex.h"
#include "commands/dev_set_dlg.h"
#include "controls/picture_ex.h"
#include "core/settings.h"
#include "discovery/device_list_dlg.h"
#include "monitor/monitor_dlg.h"
#include "monitor/wave.h"
#include "platform/instance/port_note.h"
#include "platform/trace/trace.h"
#include "platform/ui/icons.h"
#include "platform/ui/list_view.h"
#include "platform/ui/message_box.h"
#include "platform/ui/window_call.h"
#include "resources/resource_ids.h"
#include "resources/templates/dialog_templates.h"
#include "resources/templates/icon_source.h"
#include "resources/templates/main_dialog_ids.h"
#include "resources/templates/monitor_panel_ids.h"

#include <QEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QShortcut>
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
// The line under the receive port's bind failure that names its holder.
constexpr const char* kPortHeldBy = "占用该端口的程序：";
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

// The window-side parts of the subsystems, which the session's controllers
// use. Adding a subsystem adds nothing to the dialog's header.
struct CQuellisDlg::Subsystems
{
    Subsystems(CQuellisDlg& dialog,
        protocol::SharedState& state,
        ui::ListViewControl* list,
        core::Alarm& alarm,
        ui::Dialog& panel,
        std::unique_ptr<FarmList> farm)
        : deviceList(list, [&state] { return state.language.load(); })
        , farmList(std::move(farm))
        , ports(dialog, ListView(), alarm)
        , panelControls(panel)
        , devSetDialogs(&dialog)
        , poolSettings(dialog, state.configPath)
    {
    }

    engine::FrontEnd FrontEnd()
    {
        discovery::DeviceRecordSink& records
            = farmList ? static_cast<discovery::DeviceRecordSink&>(*farmList) : deviceList;
        return { ports.Window(),
            records,
            panelControls,
            devSetDialogs,
            companions,
            poolSettings,
            [this]
            {
                if (farmList)
                {
                    farmList->FinishHandOff();
                }
                else
                {
                    deviceList.FinishHandOff();
                }
            } };
    }
    core::DeviceListView& ListView() { return farmList ? static_cast<core::DeviceListView&>(*farmList) : deviceList; }

    discovery::DeviceList deviceList;
    // The farm view's list in place of the plain one ([VIEW] FARM=1), with
    // the line under it; null otherwise.
    std::unique_ptr<FarmList> farmList;
    QLabel* farmStatus = nullptr;
    MainWindowPorts ports;
    DialogControls panelControls;
    commands::DevSetDialogs devSetDialogs;
    CompanionWindowPort companions;
    PoolSettingsPort poolSettings;
};

CQuellisDlg* TheMainDialog()
{
    return mainDialog.load();
}

CQuellisDlg::CQuellisDlg(std::filesystem::path configPath, QWidget* parent)
    : ui::Dialog(kMainDialog, parent)
    , session_(std::move(configPath))
    , sidePanel_(std::make_unique<monitor::CDlgMonitor>(state_.configPath, this))
    , alarm_(std::make_unique<monitor::CWave>())
{
    // The icons before the first window shows one.
    HandIconsToPlatform();
    SetWindowIcon(kIconApplication);
}

CQuellisDlg::~CQuellisDlg()
{
    // A dialog destroyed without its window being closed ends its threads
    // here, with the controls they may be waiting on still whole.
    Teardown();
    session_.Close();
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
    std::unique_ptr<FarmList> farm;
    const farm::FarmViewSettings farmSettings = farm::ReadFarmViewSettings(ConfigPath());
    if (farmSettings.on)
    {
        farm::FarmViewOptions options;
        options.poller = farmSettings.poller;
        farm::FarmView::Sinks sinks;
        // Any thread (the inventory's writer too): posted, so that no thread
        // waits for the UI thread while it stops them.
        sinks.log = BatchedLogSink(
            [this](const std::string& lines) { Window().log.WriteLog(core::LogColour::Default, lines, true); });
        sinks.alarm = [this] { alarm_->Play(); };
        farm = std::make_unique<FarmList>(
            ListView(kIdDeviceList),
            [this] { return state_.language.load(); },
            std::move(options),
            std::move(sinks),
            std::chrono::milliseconds(3000));
    }
    subsystems_
        = std::make_unique<Subsystems>(*this, state_, ListView(kIdDeviceList), *alarm_, *sidePanel_, std::move(farm));
    session_.Open(subsystems_->FrontEnd());
    if (FarmList* farmList = subsystems_->farmList.get())
    {
        MakeFarmView(*farmList);
    }
    sidePanel_->SetCommandHandler([this](int id) { session_.Monitor().OnPanelCommand(id); });
}

void CQuellisDlg::MakeFarmView(FarmList& farmList)
{
    auto* status = new QLabel(this);
    status->setObjectName(QStringLiteral("farmStatus"));
    status->show();
    subsystems_->farmStatus = status;
    farmList.SetStatusHandler([status](const std::string& text) { status->setText(QString::fromStdString(text)); });
    farmList.Start();
    ui::ListViewControl* list = ListView(kIdDeviceList);
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(list,
        &QWidget::customContextMenuRequested,
        this,
        [this, list, &farmList](const QPoint& at)
        {
            const bool chinese = state_.language.load() == kLanguageChinese;
            QMenu menu(list);
            QAction* remove = menu.addAction(QString::fromUtf8(chinese ? "删除所选" : "Remove selected"));
            remove->setEnabled(list->SelectedCount() > 0);
            QAction* exported = menu.addAction(QString::fromUtf8(chinese ? "导出 CSV" : "Export CSV"));
            exported->setShortcut(QKeySequence::Save);
            QAction* chosen = menu.exec(list->viewport()->mapToGlobal(at));
            if (chosen == remove)
            {
                farmList.RemoveSelected();
            }
            else if (chosen == exported)
            {
                [[maybe_unused]] const auto path = farmList.Export();
            }
        });
    auto* save = new QShortcut(QKeySequence::Save, this);
    QObject::connect(
        save, &QShortcut::activated, this, [&farmList] { [[maybe_unused]] const auto path = farmList.Export(); });
    OnSize(width(), height());
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

    mainDialog = this;
    engine::StartOptions options;
    const int listen = core::ReadSetting(core::settings::kListen, ConfigPath());
    if (state_.toolType == core::kToolTypeListening || listen != 0)
    {
        // The side panel holds the filter values in every layout.
        options.receive
            = discovery::ReceiveFilter { sidePanel_->Netmask(), sidePanel_->IpBegin(), sidePanel_->IpEnd() };
    }
    if (!session_.Start(options, [this](engine::StartFailure failure) { return OnStartFailure(failure); }))
    {
        return false;
    }
    if (options.receive && state_.toolType != core::kToolTypeListening)
    {
        ShowItem(kIdUpdateAll, false);
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

bool CQuellisDlg::OnStartFailure(engine::StartFailure failure)
{
    using engine::StartFailure;
    std::string_view text;
    switch (failure)
    {
    case StartFailure::SocketLayer:
        text = kSocketLayerFailed;
        break;
    case StartFailure::SendSocket:
        text = kUdpSocketFailed;
        break;
    case StartFailure::PackageSocket:
        text = kTcpSocketFailed;
        break;
    case StartFailure::PackageBind:
        text = kTcpBindFailed;
        break;
    case StartFailure::PackageReuse:
        text = kTcpReuseFailed;
        break;
    case StartFailure::PackageListen:
        text = kTcpListenFailed;
        break;
    case StartFailure::PackageWatch:
        text = kTcpSelectFailed;
        break;
    case StartFailure::ReceiveSocket:
        text = discovery::discoverytext::kReceiveSocketFailed;
        break;
    case StartFailure::ReceiveBind:
        // The box names the program of this host that holds the port, when
        // it left its note.
        if (const auto holder = instance::PortHolder(state_.replyPort))
        {
            ui::ShowMessageBox(
                this, std::string(discovery::discoverytext::kReceiveBindFailed) + "\n" + kPortHeldBy + *holder);
            return true;
        }
        text = discovery::discoverytext::kReceiveBindFailed;
        break;
    case StartFailure::Broadcast:
    case StartFailure::ReplyQueue:
    case StartFailure::ReplyThread:
    case StartFailure::ReceiveThread:
        // Traced by the session; the window goes on without them.
        return true;
    }
    ui::ShowMessageBox(this, text);
    // Without the socket layer or the send socket nothing works.
    return failure != StartFailure::SocketLayer && failure != StartFailure::SendSocket;
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
    if (!atStartup && subsystems_ && subsystems_->farmList)
    {
        subsystems_->farmList->SetHeaders(language);
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
    session_.RouteCommand(id);
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
    session_.RouteListNotify(code, notification.row, notification.column);
}

void CQuellisDlg::OnTimer(int id)
{
    session_.RouteTimer(id);
}

bool CQuellisDlg::OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    return session_.RouteMessage(message, wParam, lParam);
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

    int below = list.bottom() + 1;
    if (QLabel* status = subsystems_ ? subsystems_->farmStatus : nullptr)
    {
        // The farm view's line under the list, in the gap above the log pane.
        const int height = status->sizeHint().height();
        list.setHeight(list.height() - height - 4);
        MoveItem(kIdDeviceList, list);
        status->setGeometry(list.left(), list.bottom() + 3, list.width(), height);
        below = list.bottom() + 1 + height + 4;
    }

    QRect log = ItemRect(kIdLogPane);
    log.moveTop(below + 10);
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
    if (subsystems_ && subsystems_->farmList)
    {
        // Its poller and its writer first: they wait for nothing of the window.
        subsystems_->farmList->Stop();
    }
    session_.Stop();
    windowClass_.Unregister();
    CQuellisDlg* self = this;
    mainDialog.compare_exchange_strong(self, nullptr);
}

void CQuellisDlg::DestroyWindow()
{
    Teardown();
}

} // namespace quellis::app
