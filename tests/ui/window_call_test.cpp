#include "platform/ui/window_call.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>

namespace quellis::ui
{
namespace
{

void SpinUntil(const std::function<bool()>& done)
{
    // Up to ten seconds of the UI thread's event loop.
    EXPECT_TRUE(QTest::qWaitFor(done, 10000));
}

class WindowCalls : public testing::Test
{
protected:
    void SetUp() override { ReopenWindowCalls(); }
    void TearDown() override { ReopenWindowCalls(); }
};

TEST_F(WindowCalls, WorkerCallsRunOnTheUiThreadInOrderAndReturnValues)
{
    const auto uiThread = std::this_thread::get_id();
    std::vector<int> order;
    std::atomic<bool> finished { false };
    std::atomic<bool> allOnUi { true };
    sync::Thread worker;
    ASSERT_TRUE(worker.Start(
        [&]
        {
            for (int i = 0; i < 50; ++i)
            {
                const int echoed = WindowCall(
                    [&]
                    {
                        allOnUi = allOnUi && std::this_thread::get_id() == uiThread;
                        order.push_back(i);
                        return i * 2;
                    });
                EXPECT_EQ(echoed, i * 2);
            }
            finished = true;
        }));
    SpinUntil([&] { return finished.load(); });
    worker.Join();
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i)
    {
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    }
    EXPECT_TRUE(allOnUi.load());
}

TEST_F(WindowCalls, JoiningAWorkerInsideACallServesTheCallInsteadOfDeadlocking)
{
    std::atomic<bool> ran { false };
    sync::Thread worker;
    ASSERT_TRUE(worker.Start([&] { CallOnUiThread([&] { ran = true; }); }));
    // No event loop runs here: only the serving join can carry the call out.
    JoinServingCalls(worker);
    EXPECT_TRUE(ran.load());
}

TEST_F(WindowCalls, ClosingReleasesAWaitingWorkerAndRefusesLaterCalls)
{
    std::atomic<bool> started { false };
    std::atomic<int> result { -1 };
    sync::Thread worker;
    ASSERT_TRUE(worker.Start(
        [&]
        {
            started = true;
            result = CallOnUiThread([] {}) ? 1 : 0;
        }));
    while (!started)
    {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CloseWindowCalls();
    worker.Join(); // a plain join: the worker must have been released
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(PostToUiThread([] {}));
    int fromWorker = 0;
    std::thread later([&] { fromWorker = WindowCall([] { return 5; }, 7); });
    later.join();
    EXPECT_EQ(fromWorker, 7);
    // The UI thread itself still reaches its windows during teardown.
    EXPECT_EQ(WindowCall([] { return 5; }, 7), 5);
}

TEST_F(WindowCalls, PostedCallsRunLaterOnTheUiThread)
{
    int value = 0;
    ASSERT_TRUE(PostToUiThread([&] { value = 3; }));
    EXPECT_EQ(value, 0);
    SpinUntil([&] { return value == 3; });
    EXPECT_EQ(value, 3);
}

} // namespace
} // namespace quellis::ui
