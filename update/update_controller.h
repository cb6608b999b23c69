#pragma once

#include "core/controller.h"
#include "core/window.h"
#include "platform/sync/event.h"
#include "platform/sync/thread.h"
#include "protocol/shared_state.h"
#include "update/package_server.h"
#include "update/update_replies.h"
#include "update/update_run.h"

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <variant>

// The firmware update: the package choice, the update run that offers the
// package to the machines (the window's one after the other, the command
// line's up to N at once), and the package server on TCP 2425 from which
// they download it.

namespace quellis::update
{

struct UpdateTiming
{
    // How long a run waits for each machine's result.
    std::chrono::milliseconds resultWait { 30000 };
    PackageServerLimits server;
};

class UpdateController : public core::Controller
{
public:
    // `panel`: the side panel's controls (its language box picks the language
    // of the package line).
    UpdateController(
        protocol::SharedState& state, core::Window& window, core::Controls& panel, UpdateTiming timing = {});
    ~UpdateController() override;

    // Start-up, once the listening socket is open.
    void StartPackageServer();
    // Start-up: the machines' results count for the run and wake it.
    void RegisterReplies(protocol::ReplyDispatcher& dispatcher);

    // Button 7: the open-file dialog, then UsePackage.
    void ChoosePackage();
    // The package of the runs and the server: its line in the log, the
    // update buttons enabled.
    void UsePackage(const std::string& path);
    // Buttons 8 and 5: start a run over the selected rows or all rows, or,
    // during a run, ask whether to stop it.
    void UpdateSelected();
    void UpdateAll();

    // The typed run (caller's thread; the UI thread in the window). Refused
    // while a run is in progress (also one stopped that still waits for its
    // machines in hand), without a package, or without machines. The run
    // offers to up to `options.concurrency` machines at once and tells
    // `observer` each one's outcome; it writes the log lines of the window's
    // run and keeps the shared counters.
    using Started = std::variant<UpdateRefusal, std::shared_ptr<UpdateRun>>;
    [[nodiscard]] Started StartUpdate(
        std::unique_ptr<UpdateTargets> targets, UpdateOptions options, std::shared_ptr<UpdateObserver> observer);
    // The refusal StartUpdate would give now.
    [[nodiscard]] std::optional<UpdateRefusal> CheckUpdate(UpdateTargets& targets);

    bool OnCommand(int id) override;
    bool OnTimer(int id) override;
    bool OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;
    void Stop() override;

    [[nodiscard]] PackageServer& Server() { return server_; }

private:
    class WindowRun;
    class RunReplies;
    // A machine offered and not yet given up: its address, and its result
    // once the reply thread has one.
    struct Awaited
    {
        std::string ip;
        bool answered = false;
        bool ok = false;
    };
    struct RunArguments
    {
        std::shared_ptr<UpdateRun> run;
        std::shared_ptr<UpdateTargets> targets;
        UpdateOptions options;
        std::shared_ptr<UpdateObserver> observer;
    };

    // The side panel's language box: ticked is Chinese. Any thread.
    [[nodiscard]] bool LanguageBoxTicked();
    void PressUpdate(int button);
    void AskToStop(int button);
    void UpdateWorker(const RunArguments& run);
    void EndRun(const RunArguments& run);

    protocol::SharedState& state_;
    core::Window& window_;
    core::Controls& panel_;
    const UpdateTiming timing_;
    PackageServer server_;
    sync::Thread worker_;
    // From a run's start to its end, also after `updating` was cleared to stop it.
    std::atomic<bool> runActive_ { false };
    // Teardown: the run's worker leaves its wait and shows no more boxes.
    std::atomic<bool> stopping_ { false };
    std::unique_ptr<UpdateReplyEffects> replyEffects_;
    // The machines the run waits for, by target as sent (run and reply threads).
    std::mutex awaitedLock_;
    std::map<std::string, Awaited> awaited_;
    // Set by a result that ends a wait.
    sync::Event resultCame_ { sync::EventReset::Auto };
};

// The texts of the update (UTF-8).
namespace updatetext
{
inline constexpr std::string_view kOpenFileTitle = "Open File";
inline constexpr std::string_view kOpenFileFilter = "update files (*.tar.gz)|*.tar.gz;|All Files (*.*)|*.*||";
inline constexpr const char* kPackageChosen = "已选择升级包[%s]\r\n";
inline constexpr const char* kPackageChosenEnglish = "Select update package[%s]\r\n";
inline constexpr std::string_view kStopQuestion = "停止当前升级流程？";
inline constexpr std::string_view kQuestionCaption = "Question";
inline constexpr std::string_view kChooseFirst = "请先选择升级文件！";
inline constexpr std::string_view kSelectMachines = "请在设备列表中选择设备！";
inline constexpr std::string_view kListEmpty = "设备列表为空，请重新搜索设备！";
inline constexpr std::string_view kConfirmAll = "确认升级所有设备？";
inline constexpr std::string_view kQueryCaption = "Query";
inline constexpr std::string_view kUpdateSelectedCaption = "升级所选设备";
inline constexpr std::string_view kUpdateAllCaption = "升级所有设备";
inline constexpr std::string_view kUpdateSelectedCaptionEnglish = "Update Selected Dev";
inline constexpr std::string_view kUpdateAllCaptionEnglish = "Update All Devs";
inline constexpr std::string_view kStopCaption = "终止升级";
inline constexpr std::string_view kPackageUnreadable = "请检查升级包是否存在或可读\r\n";
inline constexpr std::string_view kPackageEmpty = "请检查升级包是否为空\r\n";
inline constexpr const char* kPackageSize = "升级包大小[%llu]\r\n";
inline constexpr const char* kWillUpdate = "将会对设备%s进行升级\r\n";
inline constexpr const char* kTimedOut = "升级%s等待超时";
inline constexpr const char* kSummary = "升级成功%d台，升级失败%d台\r\n";
} // namespace updatetext

} // namespace quellis::update
