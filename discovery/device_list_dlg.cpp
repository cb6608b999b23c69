#include "discovery/device_list_dlg.h"

#include "platform/text/codepage.h"
#include "platform/ui/list_view.h"
#include "platform/ui/window_call.h"

#include <QTimer>

#include <chrono>

namespace quellis::discovery
{

using namespace quellis::protocol;

namespace
{

// Building a slice stops after this long: with its one insertion the UI
// thread stays well inside a frame while thousands of rows arrive.
constexpr auto kSliceBuildTime = std::chrono::milliseconds(4);
constexpr std::size_t kTake = 128;
// And after this many records, whatever the time: the slice's version lines
// go to the log pane in one append, which costs about as much as the build.
constexpr std::size_t kSliceMost = 2048;
// Records waiting for the UI beyond this make the reply thread wait.
constexpr std::size_t kMostWaiting = 100000;
// Records that trickle in (a range scan's answers, a few a millisecond) wait
// for the next frame after the last slice, so that the list, the log pane
// and their repaints cost one slice a frame rather than one per datagram.
constexpr auto kSliceSpacing = std::chrono::milliseconds(16);

} // namespace

// The rows a slice adds and refreshes, committed in one step: refreshed rows
// cell by cell, new rows in one insertion at the end of the list.
class DeviceList::Slice
{
public:
    explicit Slice(DeviceList& owner)
        : owner_(owner)
        , firstNew_(owner.list_->ItemCount())
    {
    }

    void Add(const DeviceRecord& record)
    {
        const int nextRow = firstNew_ + static_cast<int>(added_.size());
        const auto placed
            = PlaceRecord(record, owner_.language_(), nextRow, owner_.index_, owner_.ceilingLogged_, versionLines_);
        if (!placed)
        {
            return;
        }
        std::vector<std::pair<int, QString>> cells;
        for (const auto& [column, text] : placed->cells)
        {
            cells.emplace_back(column, QString::fromStdString(text));
        }
        if (placed->added || placed->row >= firstNew_)
        {
            // A row of this slice: staged until the one insertion.
            if (placed->added)
            {
                added_.emplace_back(9);
            }
            auto& staged = added_[static_cast<std::size_t>(placed->row - firstNew_)];
            for (auto& [column, text] : cells)
            {
                staged[static_cast<std::size_t>(column)] = std::move(text);
            }
            return;
        }
        owner_.list_->SetItemCells(placed->row, cells);
    }

    // The new rows into the list; the version lines of the rows added.
    std::string Commit()
    {
        if (!added_.empty() && owner_.list_->AppendItems(std::move(added_)) == ui::kListNone)
        {
            // A list without columns takes no rows: nothing was added.
            owner_.RebuildIndex();
            return {};
        }
        return std::move(versionLines_);
    }

private:
    DeviceList& owner_;
    const int firstNew_;
    std::vector<std::vector<QString>> added_;
    std::string versionLines_;
};

DeviceList::DeviceList(ui::ListViewControl* list, std::function<int()> language)
    : ListRows(list)
    , language_(std::move(language))
    , self_(std::make_shared<std::atomic<DeviceList*>>(this))
{
}

DeviceList::~DeviceList()
{
    self_->store(nullptr);
}

// ---- Records ----

void DeviceList::SetAppliedHandler(AppliedHandler handler)
{
    applied_ = std::move(handler);
}

std::string DeviceList::Apply(const std::vector<DeviceRecord>& records)
{
    Slice slice(*this);
    for (const DeviceRecord& record : records)
    {
        slice.Add(record);
    }
    return slice.Commit();
}

void DeviceList::Enqueue(std::vector<DeviceRecord> records)
{
    bool post = false;
    bool tooMany = false;
    {
        std::lock_guard lock(pendingLock_);
        pending_.insert(
            pending_.end(), std::make_move_iterator(records.begin()), std::make_move_iterator(records.end()));
        post = !slicePosted_;
        slicePosted_ = true;
        tooMany = pending_.size() - pendingFirst_ > kMostWaiting;
    }
    if (post)
    {
        PostSlice(false);
    }
    if (tooMany)
    {
        Flush();
    }
}

bool DeviceList::PostSlice(bool more)
{
    const bool posted = ui::PostToUiThread(
        [self = self_, more]
        {
            DeviceList* list = self->load();
            if (list == nullptr)
            {
                return;
            }
            const auto since = std::chrono::steady_clock::now() - list->lastSlice_;
            if (more || since >= kSliceSpacing)
            {
                list->ApplyPending(false);
                return;
            }
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(kSliceSpacing - since);
            // The list view is the timer's context: a list gone takes its timer along.
            QTimer::singleShot(wait,
                list->list_,
                [self]
                {
                    if (DeviceList* later = self->load())
                    {
                        later->ApplyPending(false);
                    }
                });
        });
    if (!posted)
    {
        std::lock_guard lock(pendingLock_);
        slicePosted_ = false;
    }
    return posted;
}

void DeviceList::Flush()
{
    // A slice per window call, so that the UI thread serves its other events
    // between them however many records wait (a flood of search replies can
    // leave tens of thousands).
    for (;;)
    {
        {
            std::lock_guard lock(pendingLock_);
            if (pendingFirst_ == pending_.size())
            {
                return;
            }
        }
        const bool applied = ui::WindowCall(
            [&]
            {
                ApplyPending(false);
                return true;
            },
            false);
        if (!applied)
        {
            // The window is going: the teardown applies what is left.
            return;
        }
    }
}

// UI thread: applies what is waiting, for a few milliseconds at most unless
// `all`, then leaves the rest to the next slice.
void DeviceList::ApplyPending(bool all)
{
    const auto start = std::chrono::steady_clock::now();
    lastSlice_ = start;
    Slice slice(*this);
    bool more = false;
    std::size_t built = 0;
    for (;;)
    {
        std::vector<DeviceRecord> taken;
        {
            std::lock_guard lock(pendingLock_);
            const std::size_t available = pending_.size() - pendingFirst_;
            if (available == 0)
            {
                pending_.clear();
                pendingFirst_ = 0;
                slicePosted_ = false;
                break;
            }
            const auto first = pending_.begin() + static_cast<std::ptrdiff_t>(pendingFirst_);
            const std::size_t count = std::min(available, kTake);
            taken.assign(
                std::make_move_iterator(first), std::make_move_iterator(first + static_cast<std::ptrdiff_t>(count)));
            pendingFirst_ += count;
        }
        for (const DeviceRecord& record : taken)
        {
            slice.Add(record);
        }
        built += taken.size();
        if (!all && (built >= kSliceMost || std::chrono::steady_clock::now() - start >= kSliceBuildTime))
        {
            more = true;
            break;
        }
    }
    const std::string versionLines = slice.Commit();
    if (applied_)
    {
        applied_(versionLines);
    }
    // More are waiting: the next slice after the event loop has had its turn.
    if (more)
    {
        PostSlice(true);
    }
}

void DeviceList::Clear()
{
    {
        // Records handed over before the search and not yet applied belong
        // to the list being cleared.
        std::lock_guard lock(pendingLock_);
        pending_.clear();
        pendingFirst_ = 0;
    }
    list_->DeleteAllItems();
    index_.Clear();
    ceilingLogged_ = false;
}

void DeviceList::SortByColumn(int column)
{
    bool ascending = false;
    if (!sortState_.Click(column, ascending))
    {
        return;
    }
    // Every row's sort key is its position now; the comparison reads the
    // column's texts by that key.
    const int count = list_->ItemCount();
    std::vector<std::string> texts(static_cast<std::size_t>(count));
    for (int row = 0; row < count; ++row)
    {
        list_->SetItemData(row, row);
        texts[static_cast<std::size_t>(row)] = list_->ItemText(row, column);
    }
    int (*compare)(std::string_view, std::string_view) = column == kColumnIp ? CompareAddress
        : column == kColumnRunTime                                           ? CompareRunTime
                                                                             : CompareHostName;
    list_->SortItems(
        [&](std::intptr_t a, std::intptr_t b)
        {
            const int order = compare(texts[static_cast<std::size_t>(a)], texts[static_cast<std::size_t>(b)]);
            return ascending ? order : -order;
        });
    RebuildIndex();
}

void DeviceList::RebuildIndex()
{
    index_.Clear();
    for (int row = 0; row < list_->ItemCount(); ++row)
    {
        index_.Add(list_->ItemText(row, kColumnMac), row);
    }
}

void DeviceList::FinishHandOff()
{
    ApplyPending(true);
    // Slices still posted find no list.
    self_->store(nullptr);
}

int DeviceList::RowOf(const std::string& mac) const
{
    return index_.Find(mac).value_or(-1);
}

} // namespace quellis::discovery
