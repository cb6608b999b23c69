#include "tests/support/fake_window.h"

#include "platform/net/readiness.h"
#include "platform/sync/thread.h"

#include <poll.h>

#include <cerrno>
#include <chrono>

namespace quellis::test
{

FakeWindow::FakeWindow()
    : uiThread_(std::this_thread::get_id())
    , window_ { *this, *this, *this, *this, *this, *this, *this, *this }
{
}

void FakeWindow::Changed()
{
    changed_.notify_all();
}

bool FakeWindow::WaitFor(const std::function<bool()>& done, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;)
    {
        RunPosted();
        if (done())
        {
            return true;
        }
        std::unique_lock lock(lock_);
        if (changed_.wait_until(
                lock, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(10)))
                == std::cv_status::timeout
            && std::chrono::steady_clock::now() >= deadline)
        {
            lock.unlock();
            RunPosted();
            return done();
        }
    }
}

int FakeWindow::AddRow(const std::string& ip, const std::string& mac)
{
    Cells cells;
    cells[1] = ip;
    cells[4] = mac;
    return AddRow(cells);
}

int FakeWindow::AddRow(const Cells& cells)
{
    std::lock_guard lock(lock_);
    rows_.push_back(cells);
    if (rows_.back()[0].empty())
    {
        rows_.back()[0] = std::to_string(rows_.size());
    }
    return static_cast<int>(rows_.size()) - 1;
}

void FakeWindow::Select(const std::vector<int>& rows)
{
    std::lock_guard lock(lock_);
    selected_ = std::set<int>(rows.begin(), rows.end());
}

std::vector<FakeWindow::Cells> FakeWindow::Rows() const
{
    std::lock_guard lock(lock_);
    return rows_;
}

int FakeWindow::FocusedRow() const
{
    std::lock_guard lock(lock_);
    return focusedRow_;
}

std::vector<FakeWindow::LogLine> FakeWindow::LogLines() const
{
    std::lock_guard lock(lock_);
    return log_;
}

std::string FakeWindow::LogText() const
{
    std::lock_guard lock(lock_);
    std::string text;
    for (const LogLine& line : log_)
    {
        text += line.text;
    }
    return text;
}

std::vector<FakeWindow::Box> FakeWindow::Boxes() const
{
    std::lock_guard lock(lock_);
    return boxes_;
}

void FakeWindow::AnswerNextBox(int answer)
{
    std::lock_guard lock(lock_);
    answers_.push_back(answer);
}

void FakeWindow::AnswerNextOpenFile(std::optional<std::string> path)
{
    std::lock_guard lock(lock_);
    fileAnswers_.push_back(std::move(path));
}

std::set<int> FakeWindow::Timers() const
{
    std::lock_guard lock(lock_);
    std::set<int> ids;
    for (const auto& [id, period] : timers_)
    {
        ids.insert(id);
    }
    return ids;
}

std::optional<int> FakeWindow::TimerPeriod(int id) const
{
    std::lock_guard lock(lock_);
    const auto found = timers_.find(id);
    return found == timers_.end() ? std::nullopt : std::optional<int>(found->second);
}

std::vector<FakeWindow::Posted> FakeWindow::PostedMessages() const
{
    std::lock_guard lock(lock_);
    return posted_;
}

bool FakeWindow::Busy() const
{
    std::lock_guard lock(lock_);
    return busy_;
}

int FakeWindow::BusyStarts() const
{
    std::lock_guard lock(lock_);
    return busyStarts_;
}

int FakeWindow::RunPosted()
{
    int ran = 0;
    for (;;)
    {
        std::function<void()> work;
        {
            std::lock_guard lock(lock_);
            if (postedWork_.empty())
            {
                break;
            }
            work = std::move(postedWork_.front());
            postedWork_.pop_front();
        }
        work();
        ++ran;
    }
    return ran + DeliverMessages();
}

void FakeWindow::SetMessageHandler(MessageHandler handler)
{
    std::lock_guard lock(lock_);
    handler_ = std::move(handler);
}

int FakeWindow::DeliverMessages()
{
    std::vector<Posted> messages;
    MessageHandler handler;
    {
        std::lock_guard lock(lock_);
        if (!handler_)
        {
            return 0;
        }
        handler = handler_;
        messages.assign(undelivered_.begin(), undelivered_.end());
        undelivered_.clear();
        // The armed sockets that are readable now, as the dialog's notifier
        // sees them: a listening socket's accept; else a read, or a close when
        // there is nothing to read.
        std::vector<pollfd> ready;
        for (const auto& [socket, watch] : watched_)
        {
            if (watch.armed)
            {
                ready.push_back({ socket, POLLIN, 0 });
            }
        }
        if (!ready.empty() && poll(ready.data(), ready.size(), 0) > 0)
        {
            for (const pollfd& entry : ready)
            {
                if (entry.revents == 0)
                {
                    continue;
                }
                Watch& watch = watched_[entry.fd];
                watch.armed = false;
                std::intptr_t event = core::kFdAccept;
                if (!watch.listening)
                {
                    event = net::PeerHasClosed(entry.fd) ? core::kFdClose : core::kFdRead;
                }
                if ((watch.events & event) != 0)
                {
                    messages.push_back({ watch.message, static_cast<std::uintptr_t>(entry.fd), event });
                }
                if (event == core::kFdClose)
                {
                    watched_.erase(entry.fd);
                }
            }
        }
    }
    for (const Posted& message : messages)
    {
        handler(message.message, message.wParam, message.lParam);
    }
    return static_cast<int>(messages.size());
}

// ---- core::DeviceListView ----

int FakeWindow::RowCount()
{
    std::lock_guard lock(lock_);
    return static_cast<int>(rows_.size());
}

std::vector<int> FakeWindow::SelectedRows()
{
    std::lock_guard lock(lock_);
    return { selected_.begin(), selected_.end() };
}

std::string FakeWindow::CellText(int row, int column)
{
    std::lock_guard lock(lock_);
    if (row < 0 || row >= static_cast<int>(rows_.size()) || column < 0 || column >= 9)
    {
        return {};
    }
    return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
}

std::vector<core::RowTarget> FakeWindow::Targets(bool selectedOnly)
{
    std::lock_guard lock(lock_);
    std::vector<core::RowTarget> targets;
    for (std::size_t row = 0; row < rows_.size(); ++row)
    {
        if (!selectedOnly || selected_.contains(static_cast<int>(row)))
        {
            targets.push_back({ static_cast<int>(row), rows_[row][1], rows_[row][4] });
        }
    }
    return targets;
}

void FakeWindow::SelectAndFocusRow(int row)
{
    {
        std::lock_guard lock(lock_);
        if (row >= 0 && row < static_cast<int>(rows_.size()))
        {
            selected_.insert(row);
            focusedRow_ = row;
        }
    }
    SetFocusItem(kListFocus);
    Changed();
}

void FakeWindow::FocusList()
{
    SetFocusItem(kListFocus);
}

// ---- core::LogSink ----

void FakeWindow::WriteLog(core::LogColour colour, std::string_view text, bool toLogFile)
{
    std::lock_guard lock(lock_);
    log_.push_back({ colour, std::string(text), toLogFile });
    Changed();
}

// ---- core::MessageBoxes ----

int FakeWindow::MessageBox(std::string_view text, std::string_view caption, unsigned type)
{
    std::lock_guard lock(lock_);
    boxes_.push_back({ std::string(text), std::string(caption), type });
    Changed();
    if (!answers_.empty())
    {
        const int answer = answers_.front();
        answers_.pop_front();
        return answer;
    }
    switch (type & 0x0F)
    {
    case core::kMbYesNo:
        return core::kAnswerNo;
    case core::kMbOkCancel:
        return core::kAnswerCancel;
    default:
        return core::kAnswerOk;
    }
}

std::optional<std::string> FakeWindow::OpenFile(std::string_view title, std::string_view)
{
    std::lock_guard lock(lock_);
    boxes_.push_back({ std::string(title), "open file", 0 });
    if (fileAnswers_.empty())
    {
        return std::nullopt;
    }
    std::optional<std::string> answer = std::move(fileAnswers_.front());
    fileAnswers_.pop_front();
    return answer;
}

// ---- core::WindowMessages ----

void FakeWindow::SetTimer(int id, int milliseconds)
{
    std::lock_guard lock(lock_);
    timers_[id] = milliseconds;
    Changed();
}

void FakeWindow::KillTimer(int id)
{
    std::lock_guard lock(lock_);
    timers_.erase(id);
    Changed();
}

void FakeWindow::PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    std::lock_guard lock(lock_);
    posted_.push_back({ message, wParam, lParam });
    if (handler_)
    {
        undelivered_.push_back({ message, wParam, lParam });
    }
    Changed();
}

bool FakeWindow::SelectSocket(int socket, std::uint32_t message, std::intptr_t events)
{
    std::lock_guard lock(lock_);
    watched_.erase(socket);
    if (events == 0)
    {
        selectedSockets_.erase(socket);
        return true;
    }
    selectedSockets_[socket] = events;
    watched_[socket] = Watch { message, events, true, net::IsListening(socket) };
    return socket >= 0;
}

void FakeWindow::ReenableSocketEvent(int socket, std::intptr_t)
{
    std::lock_guard lock(lock_);
    const auto found = watched_.find(socket);
    if (found != watched_.end())
    {
        found->second.armed = true;
    }
}

std::map<int, std::intptr_t> FakeWindow::SelectedSockets() const
{
    std::lock_guard lock(lock_);
    return selectedSockets_;
}

// ---- core::Alarm ----

void FakeWindow::Play()
{
    std::lock_guard lock(lock_);
    ++alarmPlays_;
    Changed();
}

int FakeWindow::AlarmPlays() const
{
    std::lock_guard lock(lock_);
    return alarmPlays_;
}

// ---- core::BusyAnimation ----

void FakeWindow::Start()
{
    std::lock_guard lock(lock_);
    busy_ = true;
    ++busyStarts_;
    Changed();
}

void FakeWindow::Stop()
{
    std::lock_guard lock(lock_);
    busy_ = false;
    Changed();
}

// ---- core::UiThread ----

bool FakeWindow::IsCurrent()
{
    return std::this_thread::get_id() == uiThread_;
}

bool FakeWindow::Post(std::function<void()> fn)
{
    std::lock_guard lock(lock_);
    postedWork_.push_back(std::move(fn));
    Changed();
    return true;
}

void FakeWindow::Join(sync::Thread& thread)
{
    thread.Join();
}

} // namespace quellis::test
