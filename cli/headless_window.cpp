#include "cli/headless_window.h"

#include "platform/text/codepage.h"

namespace quellis::cli
{

HeadlessWindow::HeadlessWindow(EventLoop& loop, std::function<int()> language)
    : loop_(loop)
    , language_(std::move(language))
    , window_ { *this, *this, *this, *this, *this, *this, *this, *this }
{
}

std::vector<HeadlessWindow::Cells> HeadlessWindow::Rows() const
{
    std::lock_guard lock(lock_);
    return rows_;
}

std::int32_t HeadlessWindow::RunSeconds(int row) const
{
    std::lock_guard lock(lock_);
    return row >= 0 && row < static_cast<int>(runSeconds_.size()) ? runSeconds_[static_cast<std::size_t>(row)] : -1;
}

void HeadlessWindow::Select(const std::set<int>& rows)
{
    std::lock_guard lock(lock_);
    selected_ = rows;
}

int HeadlessWindow::AddRow(const Cells& cells)
{
    std::lock_guard lock(lock_);
    rows_.push_back(cells);
    runSeconds_.push_back(-1);
    rows_.back()[discovery::kColumnIndex] = std::to_string(rows_.size());
    index_.Add(cells[discovery::kColumnMac], static_cast<int>(rows_.size()) - 1);
    return static_cast<int>(rows_.size()) - 1;
}

// ---- core::Controls ----

// ---- core::DeviceListView ----

int HeadlessWindow::RowCount()
{
    std::lock_guard lock(lock_);
    return static_cast<int>(rows_.size());
}

std::vector<int> HeadlessWindow::SelectedRows()
{
    std::lock_guard lock(lock_);
    return { selected_.begin(), selected_.end() };
}

std::string HeadlessWindow::CellText(int row, int column)
{
    std::lock_guard lock(lock_);
    if (row < 0 || row >= static_cast<int>(rows_.size()) || column < 0 || column >= 9)
    {
        return {};
    }
    return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
}

std::vector<core::RowTarget> HeadlessWindow::Targets(bool selectedOnly)
{
    std::lock_guard lock(lock_);
    std::vector<core::RowTarget> targets;
    for (std::size_t row = 0; row < rows_.size(); ++row)
    {
        if (!selectedOnly || selected_.contains(static_cast<int>(row)))
        {
            targets.push_back(
                { static_cast<int>(row), rows_[row][discovery::kColumnIp], rows_[row][discovery::kColumnMac] });
        }
    }
    return targets;
}

void HeadlessWindow::SelectAndFocusRow(int row)
{
    std::lock_guard lock(lock_);
    if (row >= 0 && row < static_cast<int>(rows_.size()))
    {
        selected_.insert(row);
    }
}

// ---- core::LogSink ----

void HeadlessWindow::WriteLog(core::LogColour colour, std::string_view text, bool)
{
    // Held while the line is written, so that lines of two threads do not mix.
    const std::lock_guard guard(logLock_);
    if (log_)
    {
        log_(colour, text);
    }
}

// ---- core::MessageBoxes ----

int HeadlessWindow::MessageBox(std::string_view text, std::string_view caption, unsigned type)
{
    if (box_)
    {
        return box_(text, caption, type);
    }
    return (type & 0x0F) == core::kMbYesNo ? core::kAnswerNo : core::kAnswerOk;
}

std::optional<std::string> HeadlessWindow::OpenFile(std::string_view, std::string_view)
{
    return openFile_;
}

// ---- core::WindowMessages ----

bool HeadlessWindow::SelectSocket(int socket, std::uint32_t message, std::intptr_t events)
{
    if (!loop_.IsCurrent())
    {
        // The window's socket notifications belong to its UI thread, too.
        return socket >= 0
            && loop_.Post([this, socket, message, events] { loop_.SelectSocket(socket, message, events); });
    }
    return loop_.SelectSocket(socket, message, events);
}

void HeadlessWindow::ReenableSocketEvent(int socket, std::intptr_t)
{
    if (loop_.IsCurrent())
    {
        loop_.ReenableSocket(socket);
    }
    else
    {
        loop_.Post([this, socket] { loop_.ReenableSocket(socket); });
    }
}

// ---- core::Alarm ----

void HeadlessWindow::Play()
{
    if (alarm_)
    {
        alarm_();
    }
}

// ---- discovery::DeviceRecordSink ----

void HeadlessWindow::Enqueue(std::vector<protocol::DeviceRecord> records)
{
    std::string versionLines;
    {
        std::lock_guard lock(lock_);
        for (const protocol::DeviceRecord& record : records)
        {
            const auto placed = discovery::PlaceRecord(
                record, language_(), static_cast<int>(rows_.size()), index_, ceilingLogged_, versionLines);
            if (!placed)
            {
                continue;
            }
            if (placed->added)
            {
                rows_.emplace_back();
                runSeconds_.push_back(-1);
            }
            const auto row = static_cast<std::size_t>(placed->row);
            for (const auto& [column, text] : placed->cells)
            {
                rows_[row][static_cast<std::size_t>(column)] = text;
            }
            if (discovery::RunTimeKnown(record))
            {
                runSeconds_[row] = record.runSeconds;
            }
        }
    }
    if (applied_)
    {
        applied_(versionLines);
    }
}

void HeadlessWindow::Clear()
{
    std::lock_guard lock(lock_);
    rows_.clear();
    runSeconds_.clear();
    selected_.clear();
    index_.Clear();
    ceilingLogged_ = false;
}

void HeadlessWindow::SetAppliedHandler(AppliedHandler handler)
{
    applied_ = std::move(handler);
}

} // namespace quellis::cli
