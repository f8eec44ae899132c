#include "platform/message_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/sync_event.h"

namespace zentu {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(MessageQueue, PostAndRemoveInOrder) {
    TMessageQueue queue;
    TMessage m;
    EXPECT_FALSE(queue.TryPop(m));
    EXPECT_TRUE(queue.IsEmpty());
    for (uint32_t i = 1; i <= 3; ++i) queue.Post({i, i * 10, -static_cast<intptr_t>(i), 0});
    for (uint32_t i = 1; i <= 3; ++i) {
        ASSERT_TRUE(queue.TryPop(m));
        EXPECT_EQ(m.Msg, i);
        EXPECT_EQ(m.WParam, i * 10);
        EXPECT_EQ(m.LParam, -static_cast<intptr_t>(i));
    }
    EXPECT_FALSE(queue.TryPop(m));
    queue.Close();
    EXPECT_FALSE(queue.Post({7, 0, 0, 0}));
    EXPECT_TRUE(queue.IsEmpty());
}

TEST(MessageQueue, WaitEndsOnEventMessageOrTimeout) {
    TMessageQueue queue;
    TSyncEvent manual(true, false);

    auto start = Clock::now();
    EXPECT_EQ(queue.Wait(&manual, 50), TQueueWait::qwTimeout);
    EXPECT_GE(MsSince(start), 45);
    EXPECT_EQ(queue.Wait(nullptr, 0), TQueueWait::qwTimeout);

    // A message already waiting ends the wait at once; it stays in the queue.
    queue.Post({1, 0, 0, 0});
    EXPECT_EQ(queue.Wait(&manual, -1), TQueueWait::qwInput);
    EXPECT_FALSE(queue.IsEmpty());

    // The event wins over waiting messages, and a manual event stays signalled.
    manual.Set();
    EXPECT_EQ(queue.Wait(&manual, -1), TQueueWait::qwEvent);
    EXPECT_EQ(queue.Wait(&manual, -1), TQueueWait::qwEvent);
    manual.Reset();
    TMessage m;
    queue.TryPop(m);

    // Woken from another thread: by a message, then by the event.
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        queue.Post({2, 0, 0, 0});
    });
    EXPECT_EQ(queue.Wait(&manual, 5000), TQueueWait::qwInput);
    poster.join();
    queue.TryPop(m);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        manual.Set();
    });
    start = Clock::now();
    EXPECT_EQ(queue.Wait(&manual, 5000), TQueueWait::qwEvent);
    EXPECT_LT(MsSince(start), 2000);
    setter.join();
}

TEST(MessageQueue, AutoResetEventIsConsumedByTheWait) {
    TMessageQueue queue;
    TSyncEvent automatic(false, true);
    EXPECT_EQ(queue.Wait(&automatic, -1), TQueueWait::qwEvent);
    EXPECT_FALSE(automatic.IsSet());
    EXPECT_EQ(queue.Wait(&automatic, 10), TQueueWait::qwTimeout);
}

TEST(SyncEvent, WaitForAnyReportsTheSignalledOne) {
    TSyncEvent a(true, false), b(false, false);
    EXPECT_EQ(WaitForAny({&a, &b}, 20), -1);
    b.Set();
    EXPECT_EQ(WaitForAny({&a, &b}, -1), 1);
    EXPECT_FALSE(b.IsSet());  // auto-reset taken by the wait
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        a.Set();
    });
    EXPECT_EQ(WaitForAny({&a, &b}, 5000), 0);
    EXPECT_TRUE(a.IsSet());
    setter.join();
    EXPECT_TRUE(a.Wait(0));
    EXPECT_FALSE(b.Wait(10));
}

TEST(SyncEvent, AutoResetReleasesOneWaiterPerSignal) {
    TSyncEvent event(false, false);
    std::atomic<int> released{0};
    std::thread t1([&] { if (event.Wait(300)) ++released; });
    std::thread t2([&] { if (event.Wait(300)) ++released; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    event.Set();
    t1.join();
    t2.join();
    EXPECT_EQ(released.load(), 1);
}

}  // namespace
}  // namespace zentu
