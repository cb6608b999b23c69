#include "platform/ui/window_call.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace quellis::ui
{

namespace
{

struct PendingCall
{
    std::function<void()> fn;
    bool done = false;
    bool waited = false; // a caller waits for it (sent), or not (posted)
};

// One queue for the whole process: there is one UI thread.
struct CallQueue
{
    std::mutex mutex;
    std::condition_variable finished;
    std::deque<std::shared_ptr<PendingCall>> calls;
    bool closed = false;
    QThread* uiThread = nullptr;
    QObject* receiver = nullptr;
};

CallQueue& Queue()
{
    static CallQueue queue;
    return queue;
}

const QEvent::Type kCallEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// Lives on the UI thread; each event it receives drains the queue.
class CallReceiver : public QObject
{
public:
    bool event(QEvent* event) override
    {
        if (event->type() == kCallEvent)
        {
            ServePendingCalls();
            return true;
        }
        return QObject::event(event);
    }
};

void Wake(CallQueue& queue)
{
    if (queue.receiver != nullptr)
    {
        QCoreApplication::postEvent(queue.receiver, new QEvent(kCallEvent));
    }
}

} // namespace

void InitWindowCalls()
{
    CallQueue& queue = Queue();
    std::lock_guard lock(queue.mutex);
    queue.uiThread = QThread::currentThread();
    if (queue.receiver == nullptr)
    {
        queue.receiver = new CallReceiver; // lives as long as the process
    }
    queue.closed = false;
}

bool OnUiThread()
{
    const QThread* ui = Queue().uiThread;
    return ui == nullptr || QThread::currentThread() == ui;
}

bool CallOnUiThread(const std::function<void()>& fn)
{
    if (OnUiThread())
    {
        // The UI thread owns the windows; closing only concerns other threads.
        fn();
        return true;
    }
    CallQueue& queue = Queue();
    auto call = std::make_shared<PendingCall>();
    call->fn = fn;
    call->waited = true;
    std::unique_lock lock(queue.mutex);
    if (queue.closed)
    {
        return false;
    }
    queue.calls.push_back(call);
    Wake(queue);
    queue.finished.wait(lock, [&] { return call->done || queue.closed; });
    return call->done;
}

bool PostToUiThread(std::function<void()> fn)
{
    CallQueue& queue = Queue();
    auto call = std::make_shared<PendingCall>();
    call->fn = std::move(fn);
    std::lock_guard lock(queue.mutex);
    if (queue.closed)
    {
        return false;
    }
    queue.calls.push_back(std::move(call));
    Wake(queue);
    return true;
}

void ServePendingCalls()
{
    CallQueue& queue = Queue();
    // Only the calls waiting now: a call that queues another (work done in
    // slices) lets the event loop run before the next slice.
    std::size_t waiting = 0;
    {
        std::lock_guard lock(queue.mutex);
        waiting = queue.calls.size();
    }
    for (; waiting > 0; --waiting)
    {
        std::shared_ptr<PendingCall> call;
        {
            std::lock_guard lock(queue.mutex);
            if (queue.calls.empty() || queue.closed)
            {
                return;
            }
            call = std::move(queue.calls.front());
            queue.calls.pop_front();
        }
        // Outside the lock: the call may show a message box whose event loop
        // serves further calls, or make window calls of its own.
        call->fn();
        {
            std::lock_guard lock(queue.mutex);
            call->done = true;
        }
        queue.finished.notify_all();
    }
}

void WaitServingCalls(const std::function<bool()>& done)
{
    while (!done())
    {
        if (OnUiThread())
        {
            ServePendingCalls();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void JoinServingCalls(sync::Thread& thread)
{
    WaitServingCalls([&] { return thread.Finished(); });
    thread.Join();
}

void CloseWindowCalls()
{
    CallQueue& queue = Queue();
    {
        std::lock_guard lock(queue.mutex);
        queue.closed = true;
        queue.calls.clear();
    }
    queue.finished.notify_all();
}

void ReopenWindowCalls()
{
    CallQueue& queue = Queue();
    std::lock_guard lock(queue.mutex);
    queue.closed = false;
}

bool WindowCallsClosed()
{
    CallQueue& queue = Queue();
    std::lock_guard lock(queue.mutex);
    return queue.closed;
}

} // namespace quellis::ui
