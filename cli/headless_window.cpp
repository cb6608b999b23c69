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

void PlainControls::EnableItem(int id, bool enable)
{
    std::lock_guard lock(lock_);
    enabled_[id] = enable;
}

bool PlainControls::IsItemEnabled(int id)
{
    std::lock_guard lock(lock_);
    const auto found = enabled_.find(id);
    return found == enabled_.end() || found->second;
}

void PlainControls::SetItemText(int id, std::string_view text)
{
    std::lock_guard lock(lock_);
    texts_[id] = std::string(text);
}

std::string PlainControls::ItemText(int id)
{
    std::lock_guard lock(lock_);
    const auto found = texts_.find(id);
    return found == texts_.end() ? std::string() : found->second;
}

void PlainControls::CheckButton(int id, int state)
{
    std::lock_guard lock(lock_);
    checks_[id] = state;
}

int PlainControls::IsButtonChecked(int id)
{
    std::lock_guard lock(lock_);
    const auto found = checks_.find(id);
    return found == checks_.end() ? core::kUnchecked : found->second;
}

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

void HeadlessWindow::Enqueue(std::vector<discovery::DeviceRecord> records)
{
    std::string versionLines;
    {
        std::lock_guard lock(lock_);
        for (const discovery::DeviceRecord& record : records)
        {
            const std::string mac = text::DeviceTextToUtf8(record.mac);
            std::optional<int> row = index_.Find(mac);
            if (!row && rows_.size() >= static_cast<std::size_t>(discovery::kMaxDeviceRows))
            {
                // Full: a new MAC gets no row, and the list says so once.
                if (!ceilingLogged_)
                {
                    ceilingLogged_ = true;
                    versionLines += discovery::RowCeilingLine();
                }
                continue;
            }
            const discovery::RowCells cells = discovery::RecordCells(record, language_());
            if (!row)
            {
                rows_.emplace_back();
                runSeconds_.push_back(-1);
                row = static_cast<int>(rows_.size()) - 1;
                rows_.back()[discovery::kColumnIndex] = std::to_string(rows_.size());
                index_.Add(mac, *row);
                if (discovery::RunTimeKnown(record))
                {
                    versionLines += discovery::VersionLine(*row + 1, record.ip, record.versionNumber);
                }
            }
            for (const auto& [column, text] : cells)
            {
                rows_[static_cast<std::size_t>(*row)][static_cast<std::size_t>(column)] = text;
            }
            if (discovery::RunTimeKnown(record))
            {
                runSeconds_[static_cast<std::size_t>(*row)] = record.runSeconds;
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
