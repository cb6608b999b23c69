#include "app/quellis_dlg.h"
#include "app/write_log.h"
#include "controls/picture_ex.h"
#include "discovery/device_list_dlg.h"
#include "discovery/reply_dispatch.h"
#include "platform/ui/icons.h"
#include "platform/ui/list_view.h"
#include "platform/ui/window_call.h"
#include "resources/resource_ids.h"
#include "resources/templates/main_dialog_ids.h"

#include <ctime>
#include <thread>

namespace quellis::app
{

namespace
{

using namespace quellis::resources;

// What the machines' answers do to the main dialog. Called on the reply
// thread; every change of a window is a window call that the UI thread
// carries out.
class MainDialogEffects : public discovery::ReplyEffects
{
public:
    explicit MainDialogEffects(CQuellisDlg& dialog)
        : dialog_(dialog)
    {
    }

    void ApplyDeviceRecords(const std::vector<discovery::DeviceRecord>& records) override
    {
        ui::WindowCall([&] {
            dialog_.ApplyDeviceRecords(records);
            return true;
        });
    }
    void PostSettingFailed(int result) override
    {
        dialog_.PostMessage(kWmDevSettingFailed, static_cast<std::uintptr_t>(result), 0);
    }
    bool IsButtonEnabled(int id) override { return dialog_.IsItemEnabled(id); }
    void EnableButton(int id) override { dialog_.EnableItem(id, true); }
    void StopBusyAnimation() override { dialog_.StopBusyAnimation(); }
    void KillTimer(int id) override { dialog_.KillTimer(id); }
    void SetLamp(int id, bool lit) override
    {
        dialog_.SetItemIcon(id, lit ? kIconLampOn : kIconLampOff, ui::kSystemIconSize);
    }
    void Log(LogColour colour, std::string_view text, bool toFile) override
    {
        WriteLog(colour, text, &dialog_, toFile ? 1 : 0);
    }
    std::string CurrentTarget() override { return dialog_.currentTarget.Get(); }
    std::string CurrentTargetIp() override { return dialog_.currentTargetIp.Get(); }
    void CountSuccess() override { ++dialog_.successCount; }
    void CountFailure() override { ++dialog_.failureCount; }
    void SignalCommandDone() override
    {
        if (dialog_.commandDone)
        {
            dialog_.commandDone->Set();
        }
    }
    std::string QrCodeText() override { return dialog_.ItemText(kIdQrCodeEdit); }
    std::string OneDCodeText() override { return dialog_.ItemText(kIdOneDCodeEdit); }
    void StartReadBack() override { dialog_.OnReadE2(); }
    std::string Timestamp() override
    {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char text[80];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
            local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        return text;
    }

private:
    CQuellisDlg& dialog_;
};

// All the queue's slots at once: a burst is taken and applied together.
constexpr std::size_t kBatch = discovery::kReplySlotCount;

// Runs while `running` is set. Owns its buffers and the dispatcher; shares
// the reply queue (the one consumer), the counters, the targets and
// commandDone with the dialog and the workers.
void ReplyThread(CQuellisDlg& dialog)
{
    std::vector<std::vector<std::uint8_t>> buffers(kBatch, std::vector<std::uint8_t>(discovery::kReplySlotSize));
    std::vector<std::span<const std::uint8_t>> taken;
    taken.reserve(kBatch);
    MainDialogEffects effects(dialog);
    discovery::ReplyDispatcher dispatcher(effects);
    while (dialog.running.load() != 0)
    {
        taken.clear();
        std::size_t length = 0;
        while (taken.size() < kBatch && dialog.replyQueue.Take(buffers[taken.size()], length))
        {
            taken.emplace_back(buffers[taken.size()].data(), length);
        }
        if (taken.empty())
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        dispatcher.Dispatch(taken);
    }
}

} // namespace

bool CQuellisDlg::StartReplyThread()
{
    return replyThread_.Start([this] { ReplyThread(*this); });
}

void CQuellisDlg::ApplyDeviceRecords(const std::vector<discovery::DeviceRecord>& records)
{
    const std::string versionLines = deviceList_->Apply(records);
    if (!versionLines.empty())
    {
        // The lines of a burst go to the pane in one piece: the same text, one append.
        WriteLog(LogColour::Default, versionLines, this, 0);
    }
    if (ToolType() == kToolTypeBare)
    {
        ui::ListViewControl* list = ListView(kIdDeviceList);
        list->SetItemState(0, ui::kItemSelected | ui::kItemFocused, ui::kItemSelected | ui::kItemFocused);
        SetFocusItem(kIdDeviceList);
        if (list->ItemCount() >= 1)
        {
            EnableItem(kIdLedTest, true);
            EnableItem(kIdSerialTest, true);
        }
    }
}

} // namespace quellis::app
