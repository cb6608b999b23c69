#pragma once

#include "platform/sync/thread.h"

#include <chrono>
#include <functional>
#include <type_traits>

// Window calls from any thread. The user-interface thread owns every window;
// another thread that changes a control hands the change to the UI thread and
// waits for it, as a sent window message does. A call made on the UI thread
// runs at once.
//
// Teardown must not deadlock against a worker that is inside a window call
// while the UI thread waits for that worker: the UI thread waits with
// JoinServingCalls (it keeps carrying out calls meanwhile), and once
// CloseWindowCalls has run, calls return at once without running.

namespace quellis::ui
{

// Once, on the UI thread, after the QApplication exists.
void InitWindowCalls();

[[nodiscard]] bool OnUiThread();

// Runs fn on the UI thread and waits for it. False (fn not run) when called
// off the UI thread while window calls are closed.
bool CallOnUiThread(const std::function<void()>& fn);

// The value fn returns on the UI thread, or fallback when calls are closed.
template <typename Fn, typename R = std::invoke_result_t<Fn>> R WindowCall(Fn&& fn, R fallback = R {})
{
    if (OnUiThread())
    {
        return fn();
    }
    R result = std::move(fallback);
    CallOnUiThread([&] { result = fn(); });
    return result;
}

// Queues fn for the UI thread and returns (a posted message). False when
// window calls are closed.
bool PostToUiThread(std::function<void()> fn);

// Carries out the calls waiting for the UI thread; called by the UI thread
// while it waits for something a worker may be stuck behind.
void ServePendingCalls();

// Waits for done() on the UI thread, serving window calls meanwhile.
void WaitServingCalls(const std::function<bool()>& done);

// Joins a thread on the UI thread, serving window calls meanwhile (from any
// other thread a plain join).
void JoinServingCalls(sync::Thread& thread);

// From now on calls return false at once and waiting callers are released.
void CloseWindowCalls();
// For a process that opens a new main window after closing one (tests).
void ReopenWindowCalls();
[[nodiscard]] bool WindowCallsClosed();

} // namespace quellis::ui
