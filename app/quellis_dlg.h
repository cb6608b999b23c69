#pragma once

#include "app/log_colour.h"
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
#include <string>

namespace quellis::monitor
{
class CDlgMonitor;
class CWave;
} // namespace quellis::monitor

namespace quellis::app
{

class CRichEditEx;

// The window class other instances look for.
inline constexpr const char* kMainWindowClass = "TovenkQuellis";

// Window messages of the main dialog.
inline constexpr std::uint32_t kWmDevSettingFailed = ui::kWmUser + 100; // 1124
inline constexpr std::uint32_t kWmTcpSocket = ui::kWmUser + 101;        // 1125

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
    // it: unticked (English) when there is no side panel.
    [[nodiscard]] bool LanguageBoxTicked() const;
    [[nodiscard]] monitor::CDlgMonitor* SidePanel() const { return sidePanel_; }

    // ---- State shared with the worker threads ----
    net::Socket sendSocket;
    net::Socket receiveSocket;
    net::Socket listeningSocket;
    std::atomic<int> running{ 0 };
    std::atomic<int> successCount{ 0 };
    std::atomic<int> failureCount{ 0 };
    std::atomic<int> updating{ 0 };
    std::atomic<int> monitoring{ 0 };
    std::atomic<int> blinking{ 0 };
    std::atomic<int> batchOperation{ 0 };
    sync::SharedText<32> currentTarget;
    sync::SharedText<32> currentTargetIp;
    std::unique_ptr<sync::Event> commandDone;
    discovery::ReplyQueue replyQueue;

    // Entry points of the work behind the buttons, filled by their subsystems.
    void OnWriteE2();

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

private:
    void ApplyCaptions(bool atStartup);
    void OpenListeningSocket();
    void BindSendSocketToDefaultRoute();
    // Entry points of later subsystems, called at their step of the start-up.
    bool StartReplyThread();
    bool StartLisServ();
    void StopThreads();

    std::filesystem::path configPath_;
    int toolType_ = 0;
    std::atomic<int> language_{ 1 };
    QTextCharFormat defaultLogFormat_;
    monitor::CDlgMonitor* sidePanel_ = nullptr;
    std::unique_ptr<monitor::CWave> alarm_;
    ui::WindowClassServer windowClass_;
    sync::Thread replyThread_;
    sync::Thread receiveThread_;
};

// The process-wide pointer to the one main dialog, set during its
// initialisation; worker threads reach the dialog's members through it.
[[nodiscard]] CQuellisDlg* TheMainDialog();

} // namespace quellis::app
