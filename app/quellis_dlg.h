#pragma once

#include "app/log_colour.h"
#include "discovery/device_packet.h"
#include "discovery/reply_queue.h"
#include "platform/net/socket.h"
#include "platform/sync/event.h"
#include "platform/sync/shared_text.h"
#include "platform/sync/thread.h"
#include "platform/ui/dialog.h"
#include "platform/ui/window_class.h"

#include <QTextCharFormat>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace quellis::monitor
{
class CDlgMonitor;
class CWave;
} // namespace quellis::monitor

namespace quellis::controls
{
class CPictureEx;
} // namespace quellis::controls

namespace quellis::discovery
{
class DeviceList;
} // namespace quellis::discovery

namespace quellis::app
{

class CRichEditEx;

// The window class other instances look for.
inline constexpr const char* kMainWindowClass = "TovenkQuellis";

// Window messages of the main dialog.
inline constexpr std::uint32_t kWmDevSettingFailed = ui::kWmUser + 100; // 1124
inline constexpr std::uint32_t kWmTcpSocket = ui::kWmUser + 101; // 1125

// Tool types of [COMMON] TOOLTYPE.
inline constexpr int kToolTypeBare = 0;
inline constexpr int kToolTypeListening = 2;

inline constexpr std::uint16_t kPackagePort = 2425;

// The one main window: the device list, the log pane, the side panel and the
// command buttons. It owns the sockets, the reply queue and the state that the
// worker threads share; workers reach it through TheMainDialog().
class CQuellisDlg : public ui::Dialog
{
    Q_OBJECT

public:
    explicit CQuellisDlg(std::filesystem::path configPath, QWidget* parent = nullptr);
    ~CQuellisDlg() override;

    [[nodiscard]] const std::filesystem::path& ConfigPath() const { return configPath_; }

    // ---- Captions and language ----
    // Writes LANG, reads it back and applies the captions of that language.
    void SwitchLanguage(int value);
    [[nodiscard]] int Language() const { return language_.load(); }
    [[nodiscard]] int ToolType() const { return toolType_; }

    // ---- Log pane (any thread) ----
    // The pane's part of WriteLog: colour the selection, caret to the end,
    // insert, show the selection.
    void AppendLog(LogColour colour, std::string_view text);
    [[nodiscard]] const QTextCharFormat& DefaultLogFormat() const { return defaultLogFormat_; }

    // The side panel's language box, as the About box and the package line read
    // it: unticked (English) when the panel has no window (tool type 0).
    [[nodiscard]] bool LanguageBoxTicked() const;
    // The panel object exists for the dialog's whole life, since the receive
    // filter reads its settings in every layout; its window is made only by
    // the layouts with a side panel.
    [[nodiscard]] monitor::CDlgMonitor* SidePanel() const { return sidePanel_.get(); }

    // ---- State shared with the worker threads ----
    net::Socket sendSocket;
    net::Socket receiveSocket;
    net::Socket listeningSocket;
    std::atomic<int> running { 0 };
    std::atomic<int> successCount { 0 };
    std::atomic<int> failureCount { 0 };
    std::atomic<int> updating { 0 };
    std::atomic<int> monitoring { 0 };
    std::atomic<int> blinking { 0 };
    std::atomic<int> batchOperation { 0 };
    sync::SharedText<32> currentTarget;
    sync::SharedText<32> currentTargetIp;
    std::unique_ptr<sync::Event> commandDone;
    discovery::ReplyQueue replyQueue;

    // ---- Discovery ----
    // The records of replies, applied to the device list in order (UI thread).
    void ApplyDeviceRecords(const std::vector<discovery::DeviceRecord>& records);
    // The reply thread hands records over without waiting for the UI thread,
    // which applies them in slices short enough to keep the window
    // responsive; a burst from thousands of machines is thus taken from the
    // queue as fast as it arrives. FlushDeviceRecords waits until everything
    // handed over is applied (before the effects of a later reply).
    void EnqueueDeviceRecords(std::vector<discovery::DeviceRecord> records);
    void FlushDeviceRecords();
    [[nodiscard]] discovery::DeviceList& Devices() { return *deviceList_; }
    // A request to 255.255.255.255:6667 on the send socket; false when the
    // send reported nothing sent or an error.
    bool SendBroadcast(std::span<const std::uint8_t> datagram);
    // The identify packet for a row: its machine's network LED flickers.
    int FlickerRow(int row);

    // ---- The busy animation (any thread) ----
    void StartBusyAnimation();
    void StopBusyAnimation();
    [[nodiscard]] controls::CPictureEx* BusyPicture() const { return busyPicture_; }

    // Entry points of the work behind the buttons, filled by their subsystems.
    // Virtual so that a test can see a caller reach them (the scanner's Enter,
    // the read-back after a confirmed write, a double click on a row).
    virtual void OnWriteE2();
    virtual void OnReadE2();
    virtual int OpenNetworkSettings(int row);

protected:
    bool OnInitDialog() override;
    void OnCommand(int id, int code) override;
    void OnNotify(int id, const ui::Notification& notification) override;
    void OnTimer(int id) override;
    bool OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;
    void OnSize(int cx, int cy) override;
    bool PreTranslateMessage(const ui::InputMessage& message) override;
    void OnSysCommand(int id) override;
    void DestroyWindow() override;
    QWidget* CreateControl(const ui::ControlTemplate& control, QWidget* parent) override;

    // Debug traces of the moments a developer (and the start-up benchmark and
    // the single-instance tests) looks for: the first paint, and being
    // brought to the front by another instance.
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void ApplyCaptions(bool atStartup);
    void OpenListeningSocket();
    void BindSendSocketToDefaultRoute();
    // Entry points of later subsystems, called at their step of the start-up.
    bool StartReplyThread();
    bool StartLisServ();
    bool LoadBusyAnimation();
    void StopThreads();
    void OnSearch();
    void OnFixedAccountSearch();
    void OnDeviceListNotify(const ui::Notification& notification);
    void ShowSettingFailure(int result);
    // UI thread: applies waiting records for a few milliseconds at most.
    void ApplyPendingRecords(bool all);

    std::filesystem::path configPath_;
    int toolType_ = 0;
    std::atomic<int> language_ { 1 };
    QTextCharFormat defaultLogFormat_;
    // After configPath_: the panel reads its settings when it is constructed.
    std::unique_ptr<monitor::CDlgMonitor> sidePanel_;
    std::unique_ptr<monitor::CWave> alarm_;
    ui::WindowClassServer windowClass_;
    std::unique_ptr<discovery::DeviceList> deviceList_;
    std::mutex pendingLock_;
    std::vector<discovery::DeviceRecord> pendingRecords_;
    std::size_t pendingFirst_ = 0;
    bool applyPosted_ = false;
    controls::CPictureEx* busyPicture_ = nullptr;
    sync::Thread replyThread_;
    sync::Thread receiveThread_;
    bool painted_ = false;
};

// The process-wide pointer to the one main dialog, set during its
// initialisation; worker threads reach the dialog's members through it.
[[nodiscard]] CQuellisDlg* TheMainDialog();

} // namespace quellis::app
