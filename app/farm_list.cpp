#include "app/farm_list.h"

#include "discovery/device_table.h"
#include "farm/time_text.h"
#include "platform/ui/list_view.h"
#include "platform/ui/window_call.h"

#include <ctime>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace quellis::app
{

namespace
{

// How often the poller's verdicts reach the list: well inside the period,
// and each time only the rows that changed are touched.
constexpr int kDrainMilliseconds = 500;
// A slice of search replies stops after this long, as the plain list's do.
constexpr auto kSliceTime = std::chrono::milliseconds(4);
constexpr int kFarmColumnWidths[] = { 110, 230, 260, 150 };
// The farm view's log lines reach the log pane in pieces of at most this
// many bytes, one piece per turn of the event loop: a first search of a large
// farm changes every row's state at once, and a line each, written one call
// a line, would hold the window for seconds.
constexpr std::size_t kLogPiece = 4 * 1024;

// Backgrounds of the rows that need a look; the state column says the same
// in words, for operators who do not see the colour.
constexpr QRgb kDownBackground = 0xFFF4B4B4;
constexpr QRgb kNotAnsweringBackground = 0xFFF8E0A0;

QRgb Background(farm::RowState state)
{
    switch (state)
    {
    case farm::RowState::Down:
        return kDownBackground;
    case farm::RowState::NotAnswering:
        return kNotAnsweringBackground;
    case farm::RowState::NotYetAnswering:
    case farm::RowState::Up:
        break;
    }
    return 0;
}

std::int64_t UnixNow()
{
    return static_cast<std::int64_t>(std::time(nullptr));
}

} // namespace

FarmList::FarmList(ui::ListViewControl* list,
    std::function<int()> language,
    farm::FarmViewOptions options,
    farm::FarmView::Sinks sinks,
    std::chrono::milliseconds searchWait)
    : ListRows(list)
    , language_(std::move(language))
    , view_(std::move(options), std::move(sinks))
    , searchWait_(searchWait)
    , self_(std::make_shared<std::atomic<FarmList*>>(this))
{
    drainTimer_.setInterval(kDrainMilliseconds);
    QObject::connect(&drainTimer_, &QTimer::timeout, this, [this] { Tick(); });
    searchEnd_.setSingleShot(true);
    QObject::connect(&searchEnd_,
        &QTimer::timeout,
        this,
        [this]
        {
            ApplyPending(true);
            for (const std::size_t row : view_.EndSearch(UnixNow()))
            {
                Show(row);
            }
            UpdateStatus();
        });
}

FarmList::~FarmList()
{
    self_->store(nullptr);
    Stop();
}

void FarmList::Start()
{
    const int language = language_();
    const auto headers = farm::FarmHeaders(language);
    for (std::size_t i = 0; i < headers.size(); ++i)
    {
        list_->InsertColumn(farm::kColumnHashRate + static_cast<int>(i), headers[i], kFarmColumnWidths[i]);
    }
    [[maybe_unused]] const farm::OpenResult opened = view_.Start();
    Rebuild();
    drainTimer_.start();
}

void FarmList::Stop()
{
    drainTimer_.stop();
    searchEnd_.stop();
    view_.Stop();
}

void FarmList::SetHeaders(int language)
{
    const auto headers = farm::FarmHeaders(language);
    for (std::size_t i = 0; i < headers.size(); ++i)
    {
        list_->SetColumnText(farm::kColumnHashRate + static_cast<int>(i), headers[i]);
    }
    // The state texts are in the list's language too.
    for (std::size_t row = 0; row < view_.Model().Rows().size(); ++row)
    {
        Show(row);
    }
    UpdateStatus();
}

void FarmList::SetStatusHandler(std::function<void(const std::string&)> handler)
{
    status_ = std::move(handler);
    UpdateStatus();
}

std::string FarmList::StatusText() const
{
    return farm::SummaryText(view_.Model().Summary(), language_());
}

void FarmList::UpdateStatus()
{
    if (status_)
    {
        status_(StatusText());
    }
}

std::vector<QString> FarmList::Cells(std::size_t modelRow) const
{
    const farm::FarmRow& row = view_.Model().Rows()[modelRow];
    const int language = language_();
    std::vector<QString> cells;
    cells.reserve(farm::kFarmColumns);
    for (int column = 0; column < farm::kFarmColumns; ++column)
    {
        cells.push_back(QString::fromStdString(farm::CellText(row, column, language)));
    }
    return cells;
}

// One row's thirteen cells and its colour, at its place in the list; a row
// not shown yet goes at the end.
void FarmList::Show(std::size_t modelRow)
{
    const auto& rows = view_.Model().Rows();
    if (modelRow >= rows.size())
    {
        return;
    }
    std::vector<QString> cells = Cells(modelRow);
    if (listRowOf_.size() < rows.size())
    {
        listRowOf_.resize(rows.size(), -1);
    }
    int& listRow = listRowOf_[modelRow];
    if (listRow < 0)
    {
        std::vector<std::vector<QString>> added;
        added.push_back(std::move(cells));
        listRow = list_->AppendItems(std::move(added));
        list_->SetItemData(listRow, static_cast<std::intptr_t>(modelRow));
    }
    else
    {
        std::vector<std::pair<int, QString>> changed;
        for (int column = 0; column < farm::kFarmColumns; ++column)
        {
            changed.emplace_back(column, std::move(cells[static_cast<std::size_t>(column)]));
        }
        list_->SetItemCells(listRow, changed);
    }
    list_->SetItemBackground(listRow, Background(rows[modelRow].state));
}

void FarmList::IndexRows()
{
    listRowOf_.assign(view_.Model().Rows().size(), -1);
    for (int row = 0; row < list_->ItemCount(); ++row)
    {
        const auto modelRow = static_cast<std::size_t>(list_->ItemData(row));
        if (modelRow < listRowOf_.size())
        {
            listRowOf_[modelRow] = row;
        }
    }
}

void FarmList::Rebuild()
{
    list_->DeleteAllItems();
    listRowOf_.assign(view_.Model().Rows().size(), -1);
    for (std::size_t row = 0; row < view_.Model().Rows().size(); ++row)
    {
        Show(row);
    }
    if (sortColumn_ >= 0)
    {
        const auto& rows = view_.Model().Rows();
        list_->SortItems(
            [&](std::intptr_t a, std::intptr_t b)
            {
                const int order = farm::CompareRows(
                    rows[static_cast<std::size_t>(a)], rows[static_cast<std::size_t>(b)], sortColumn_);
                return sortAscending_ ? order : -order;
            });
        IndexRows();
    }
    UpdateStatus();
}

void FarmList::Tick()
{
    const std::vector<std::size_t> changed = view_.Drain(std::chrono::steady_clock::now());
    if (changed.empty())
    {
        return;
    }
    toShow_.insert(toShow_.end(), changed.begin(), changed.end());
    if (!showPosted_)
    {
        ShowChanged();
    }
}

void FarmList::ShowChanged()
{
    showPosted_ = false;
    // A round that changes every row of a large farm is shown in slices,
    // so that the window answers meanwhile.
    const auto start = std::chrono::steady_clock::now();
    while (toShowFirst_ < toShow_.size() && std::chrono::steady_clock::now() - start < kSliceTime)
    {
        Show(toShow_[toShowFirst_++]);
    }
    UpdateStatus();
    if (toShowFirst_ >= toShow_.size())
    {
        toShow_.clear();
        toShowFirst_ = 0;
        return;
    }
    showPosted_ = ui::PostToUiThread(
        [self = self_]
        {
            if (FarmList* list = self->load())
            {
                list->ShowChanged();
            }
        });
}

std::function<void(const std::string&)> BatchedLogSink(std::function<void(const std::string&)> write)
{
    struct Pending
    {
        std::mutex lock;
        std::string text;
        bool posted = false;
    };
    auto pending = std::make_shared<Pending>();
    // Runs on the UI thread: writes one piece of whole lines and queues
    // itself again for the rest.
    auto writePiece = std::make_shared<std::function<void()>>();
    *writePiece = [pending, write = std::move(write), weak = std::weak_ptr(writePiece)]
    {
        std::string piece;
        bool more = false;
        {
            const std::lock_guard guard(pending->lock);
            std::size_t end = pending->text.size();
            if (end > kLogPiece)
            {
                const std::size_t lineEnd = pending->text.rfind('\n', kLogPiece - 1);
                end = lineEnd == std::string::npos ? kLogPiece : lineEnd + 1;
            }
            piece = pending->text.substr(0, end);
            pending->text.erase(0, end);
            more = !pending->text.empty();
            pending->posted = more;
        }
        if (!piece.empty())
        {
            write(piece);
        }
        if (const auto self = weak.lock(); more && self && !ui::PostToUiThread([self] { (*self)(); }))
        {
            const std::lock_guard guard(pending->lock);
            pending->posted = false;
        }
    };
    return [pending, writePiece](const std::string& line)
    {
        {
            const std::lock_guard guard(pending->lock);
            pending->text += line;
            if (pending->posted)
            {
                return;
            }
            pending->posted = true;
        }
        if (!ui::PostToUiThread([writePiece] { (*writePiece)(); }))
        {
            const std::lock_guard guard(pending->lock);
            pending->posted = false;
        }
    };
}

void FarmList::RemoveSelected()
{
    std::vector<std::string> macs;
    for (int row = list_->NextSelected(ui::kListNone); row != ui::kListNone; row = list_->NextSelected(row))
    {
        macs.push_back(list_->ItemText(row, discovery::kColumnMac));
    }
    if (!macs.empty() && view_.Remove(macs) > 0)
    {
        Rebuild();
    }
}

std::optional<std::filesystem::path> FarmList::Export()
{
    std::vector<std::size_t> order;
    order.reserve(static_cast<std::size_t>(list_->ItemCount()));
    for (int row = 0; row < list_->ItemCount(); ++row)
    {
        order.push_back(static_cast<std::size_t>(list_->ItemData(row)));
    }
    std::string stamp = farm::LocalTimeText(UnixNow());
    for (char& c : stamp)
    {
        c = c == ' ' ? '-' : c == ':' ? '.' : c;
    }
    const std::filesystem::path path = "farm-" + stamp + ".csv";
    std::string error;
    const bool written = view_.Export(path, order, &error);
    if (status_)
    {
        status_(written ? StatusText() + " — " + std::to_string(order.size()) + " -> " + path.string() : error);
    }
    if (!written)
    {
        return std::nullopt;
    }
    return path;
}

// ---- Records ----

void FarmList::SetAppliedHandler(AppliedHandler handler)
{
    applied_ = std::move(handler);
}

void FarmList::Enqueue(std::vector<protocol::DeviceRecord> records)
{
    bool post = false;
    {
        const std::lock_guard lock(pendingLock_);
        // Replies beyond a full list's worth wait for the UI thread in the
        // reply thread (Flush), as the plain list's do.
        pending_.insert(
            pending_.end(), std::make_move_iterator(records.begin()), std::make_move_iterator(records.end()));
        post = !posted_;
        posted_ = true;
    }
    if (post)
    {
        [[maybe_unused]] const bool posted = PostApply();
    }
}

bool FarmList::PostApply()
{
    const bool posted = ui::PostToUiThread(
        [self = self_]
        {
            if (FarmList* list = self->load())
            {
                list->ApplyPending(false);
            }
        });
    if (!posted)
    {
        const std::lock_guard lock(pendingLock_);
        posted_ = false;
    }
    return posted;
}

void FarmList::ApplyPending(bool all)
{
    {
        const std::lock_guard lock(pendingLock_);
        work_.insert(work_.end(), std::make_move_iterator(pending_.begin()), std::make_move_iterator(pending_.end()));
        pending_.clear();
        posted_ = false;
    }
    if (workFirst_ >= work_.size())
    {
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    const int language = language_();
    const auto now = UnixNow();
    std::string versionLines;
    std::vector<std::vector<QString>> added;
    std::vector<std::size_t> addedRows;
    std::unordered_map<std::size_t, std::size_t> slotOf;
    while (workFirst_ < work_.size() && (all || std::chrono::steady_clock::now() - start < kSliceTime))
    {
        const protocol::DeviceRecord& record = work_[workFirst_++];
        const std::size_t before = view_.Model().Rows().size();
        const auto row = view_.ApplyReply(record, language, now);
        if (!row)
        {
            continue;
        }
        if (view_.Model().Rows().size() > before)
        {
            slotOf.emplace(*row, added.size());
            added.push_back(Cells(*row));
            addedRows.push_back(*row);
            if (discovery::RunTimeKnown(record))
            {
                versionLines
                    += discovery::VersionLine(view_.Model().Rows()[*row].number, record.ip, record.versionNumber);
            }
        }
        else if (const auto slot = slotOf.find(*row); slot != slotOf.end())
        {
            // A second reply of a machine new in this slice.
            added[slot->second] = Cells(*row);
        }
        else
        {
            Show(*row);
        }
    }
    if (!added.empty())
    {
        // The slice's new rows in one insertion.
        const int first = list_->AppendItems(std::move(added));
        listRowOf_.resize(view_.Model().Rows().size(), -1);
        for (std::size_t i = 0; i < addedRows.size() && first != ui::kListNone; ++i)
        {
            const int listRow = first + static_cast<int>(i);
            list_->SetItemData(listRow, static_cast<std::intptr_t>(addedRows[i]));
            list_->SetItemBackground(listRow, Background(view_.Model().Rows()[addedRows[i]].state));
            listRowOf_[addedRows[i]] = listRow;
        }
    }
    if (workFirst_ >= work_.size())
    {
        work_.clear();
        workFirst_ = 0;
    }
    else
    {
        bool post = false;
        {
            const std::lock_guard lock(pendingLock_);
            post = !posted_;
            posted_ = true;
        }
        if (post)
        {
            [[maybe_unused]] const bool posted = PostApply();
        }
    }
    UpdateStatus();
    if (applied_)
    {
        applied_(versionLines);
    }
}

void FarmList::Flush()
{
    if (ui::OnUiThread())
    {
        ApplyPending(true);
        return;
    }
    ui::CallOnUiThread(
        [self = self_]
        {
            if (FarmList* list = self->load())
            {
                list->ApplyPending(true);
            }
        });
}

void FarmList::Clear()
{
    // A search keeps the rows: it marks those that do not answer it once
    // its wait is over.
    ApplyPending(true);
    view_.BeginSearch();
    searchEnd_.start(static_cast<int>(searchWait_.count()));
}

void FarmList::SortByColumn(int column)
{
    if (column < 0 || column >= farm::kFarmColumns)
    {
        return;
    }
    sortAscending_ = column == sortColumn_ ? !sortAscending_ : true;
    sortColumn_ = column;
    const auto& rows = view_.Model().Rows();
    list_->SortItems(
        [&](std::intptr_t a, std::intptr_t b)
        {
            const int order
                = farm::CompareRows(rows[static_cast<std::size_t>(a)], rows[static_cast<std::size_t>(b)], column);
            return sortAscending_ ? order : -order;
        });
    IndexRows();
}

void FarmList::FinishHandOff()
{
    ApplyPending(true);
}

} // namespace quellis::app
