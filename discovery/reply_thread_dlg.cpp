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

    void ApplyDeviceRecords(std::vector<discovery::DeviceRecord> records) override
    {
        dialog_.EnqueueDeviceRecords(std::move(records));
    }
    void Synchronise() override { dialog_.FlushDeviceRecords(); }
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
            // At most 10 ms before `running` is tested again; a datagram
            // queued meanwhile ends the wait at once.
            [[maybe_unused]] const bool queued = dialog.replyQueue.WaitForDatagram(std::chrono::milliseconds(10));
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

namespace
{

// A slice of applying records ends after this long, so that the window keeps
// painting and answering while thousands of rows arrive.
constexpr auto kSliceTime = std::chrono::milliseconds(8);
constexpr std::size_t kChunk = 64;
// Records waiting for the UI beyond this make the reply thread wait.
constexpr std::size_t kMostWaiting = 100000;

} // namespace

void CQuellisDlg::EnqueueDeviceRecords(std::vector<discovery::DeviceRecord> records)
{
    bool post = false;
    bool tooMany = false;
    {
        std::lock_guard lock(pendingLock_);
        pendingRecords_.insert(pendingRecords_.end(), std::make_move_iterator(records.begin()),
            std::make_move_iterator(records.end()));
        post = !applyPosted_;
        applyPosted_ = true;
        tooMany = pendingRecords_.size() - pendingFirst_ > kMostWaiting;
    }
    if (post && !ui::PostToUiThread([this] { ApplyPendingRecords(false); }))
    {
        std::lock_guard lock(pendingLock_);
        applyPosted_ = false;
    }
    if (tooMany)
    {
        FlushDeviceRecords();
    }
}

void CQuellisDlg::FlushDeviceRecords()
{
    {
        std::lock_guard lock(pendingLock_);
        if (pendingFirst_ == pendingRecords_.size())
        {
            return;
        }
    }
    ui::WindowCall([&] {
        ApplyPendingRecords(true);
        return true;
    });
}

void CQuellisDlg::ApplyPendingRecords(bool all)
{
    const auto start = std::chrono::steady_clock::now();
    for (;;)
    {
        std::vector<discovery::DeviceRecord> chunk;
        {
            std::lock_guard lock(pendingLock_);
            const std::size_t available = pendingRecords_.size() - pendingFirst_;
            if (available == 0)
            {
                pendingRecords_.clear();
                pendingFirst_ = 0;
                applyPosted_ = false;
                return;
            }
            const auto first = pendingRecords_.begin() + static_cast<std::ptrdiff_t>(pendingFirst_);
            const std::size_t count = std::min(available, kChunk);
            chunk.assign(std::make_move_iterator(first), std::make_move_iterator(first + static_cast<std::ptrdiff_t>(count)));
            pendingFirst_ += count;
        }
        ApplyDeviceRecords(chunk);
        if (!all && std::chrono::steady_clock::now() - start >= kSliceTime)
        {
            break;
        }
    }
    // More are waiting: the next slice after the event loop has had its turn.
    if (!ui::PostToUiThread([this] { ApplyPendingRecords(false); }))
    {
        std::lock_guard lock(pendingLock_);
        applyPosted_ = false;
    }
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
