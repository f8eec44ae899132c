#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/exceptions.h"
#include "platform/plain_main_loop.h"
#include "player/mp_threads.h"

namespace zentu {
namespace {

// Records every dispatched message; optional actions per number.
class TRecorder final : public TMessageHandler {
public:
    void Dispatch(TMessage& message) override {
        std::function<void(TMessage&)> action;
        {
            std::lock_guard lock(mutex_);
            log_.push_back(message.Msg);
            if (auto found = actions_.find(message.Msg); found != actions_.end()) action = found->second;
        }
        if (action) action(message);
    }
    void On(uint32_t msg, std::function<void(TMessage&)> action) {
        std::lock_guard lock(mutex_);
        actions_[msg] = std::move(action);
    }
    std::vector<uint32_t> Log() {
        std::lock_guard lock(mutex_);
        return log_;
    }
    size_t Count(uint32_t msg) {
        std::lock_guard lock(mutex_);
        return std::count(log_.begin(), log_.end(), msg);
    }

private:
    std::mutex mutex_;
    std::vector<uint32_t> log_;
    std::map<uint32_t, std::function<void(TMessage&)>> actions_;
};

constexpr uint32_t kMsgA = WM_USER + 1;
constexpr uint32_t kMsgB = WM_USER + 2;

// Collects what reaches the application's error display during a test.
class ErrorSink {
public:
    ErrorSink() {
        DefaultMainLoop().SetExceptionSink([this](std::exception_ptr e) {
            std::lock_guard lock(mutex_);
            texts_.push_back(ExceptionText(e));
        });
    }
    ~ErrorSink() { DefaultMainLoop().SetExceptionSink(nullptr); }
    std::vector<std::string> Texts() {
        std::lock_guard lock(mutex_);
        return texts_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> texts_;
};

TEST(LoopThread, MessagesReachTheOwnerInOrderAfterResume) {
    TRecorder owner;
    TMPLoopThread thread(&owner);
    EXPECT_FALSE(thread.OnLoopThread());
    EXPECT_EQ(thread.Timeout(), -1);
    thread.Post(kMsgA, 5, 6);
    thread.Post(kMsgB);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(owner.Log().empty());  // created suspended
    std::atomic<bool> onLoop{false};
    owner.On(kMsgA, [&](TMessage& m) {
        onLoop = thread.OnLoopThread();
        EXPECT_EQ(m.WParam, 5u);
        EXPECT_EQ(m.LParam, 6);
    });
    thread.Resume();
    thread.Sync();
    EXPECT_EQ(owner.Log(), (std::vector<uint32_t>{kMsgA, kMsgB}));
    EXPECT_TRUE(onLoop);
}

TEST(LoopThread, QuitEndsTheLoopAndLeavesLaterMessages) {
    TRecorder owner;
    TMPLoopThread thread(&owner);
    thread.Post(kMsgA);
    thread.Post(LTM_QUIT);
    thread.Post(kMsgB);
    thread.Resume();
    thread.Terminate();
    EXPECT_TRUE(thread.Ended());
    EXPECT_EQ(owner.Log(), std::vector<uint32_t>{kMsgA});

    // Sync and Post on an ended thread return at once and do nothing.
    auto start = std::chrono::steady_clock::now();
    thread.Sync();
    thread.Post(kMsgA);
    thread.Terminate();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(owner.Log(), std::vector<uint32_t>{kMsgA});
}

TEST(LoopThread, NeverResumedThreadEndsOnDestruction) {
    TRecorder owner;
    {
        TMPLoopThread thread(&owner);
        thread.WakeEvent().SetEvent();
        thread.Post(kMsgA);
    }
    EXPECT_TRUE(owner.Log().empty());
}

TEST(LoopThread, WakeEventAlternatesOneStepWithEveryWaitingMessage) {
    TRecorder owner;
    TMPLoopThread thread(&owner);
    std::atomic<int> steps{0};
    owner.On(LTM_STEP, [&](TMessage& m) {
        EXPECT_EQ(m.WParam, 0u);
        // The second step posts two messages: both are handled before the third step.
        if (++steps == 2) {
            thread.Post(kMsgA);
            thread.Post(kMsgB);
        }
        if (steps == 4) thread.WakeEvent().ResetEvent();
    });
    thread.Resume();
    thread.WakeEvent().SetEvent();
    for (int i = 0; i < 200 && steps < 4; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    thread.Sync();
    EXPECT_EQ(owner.Log(), (std::vector<uint32_t>{LTM_STEP, LTM_STEP, kMsgA, kMsgB, LTM_STEP, LTM_STEP}));
}

TEST(LoopThread, TimeoutDispatchesAndIsReadAnewEachPass) {
    TRecorder owner;
    TMPLoopThread thread(&owner);
    thread.Resume();
    std::atomic<int> timeouts{0};
    owner.On(LTM_TIMEOUT, [&](TMessage&) {
        if (++timeouts == 3) thread.SetTimeout(-1);  // the next wait has no limit
    });
    thread.SetTimeout(10);
    thread.Post(kMsgA);  // ends the present wait so the new time-out is seen
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    thread.Sync();
    EXPECT_EQ(timeouts.load(), 3);
}

TEST(LoopThread, IdleThreadUsesNoTime) {
    TRecorder owner;
    TMPLoopThread thread(&owner);
    thread.Resume();
    thread.Sync();
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    getrusage(RUSAGE_SELF, &after);
    auto us = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000LL + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
    };
    EXPECT_LT(us(after) - us(before), 20000);
    EXPECT_TRUE(owner.Log().empty());
}

TEST(LoopThread, SyncSignalsOnlyLiveEvents) {
    TRecorder owner;
    TMPLoopThread thread(&owner);
    thread.Resume();
    TMPSimpleEvent event;
    int notAnEvent = 0;
    EXPECT_TRUE(TMPEvent::IsLiveEvent(reinterpret_cast<uintptr_t>(static_cast<TMPEvent*>(&event))));
    EXPECT_FALSE(TMPEvent::IsLiveEvent(reinterpret_cast<uintptr_t>(&notAnEvent)));
    EXPECT_FALSE(TMPEvent::IsLiveEvent(0));
    uintptr_t stale;
    {
        TMPSimpleEvent gone;
        stale = reinterpret_cast<uintptr_t>(static_cast<TMPEvent*>(&gone));
    }
    EXPECT_FALSE(TMPEvent::IsLiveEvent(stale));
    thread.Post(LTM_SYNC, reinterpret_cast<uintptr_t>(&notAnEvent));
    thread.Post(LTM_SYNC, 0);
    thread.Post(LTM_SYNC, stale);
    thread.Post(LTM_SYNC, reinterpret_cast<uintptr_t>(static_cast<TMPEvent*>(&event)));
    EXPECT_EQ(event.WaitFor(5000), kWaitObject0);
    EXPECT_EQ(notAnEvent, 0);
    EXPECT_TRUE(owner.Log().empty());  // LTM_SYNC is never dispatched
}

TEST(LoopThread, FamilyErrorsGoToOnExceptionThenTheErrorDisplay) {
    ErrorSink sink;
    TRecorder owner;
    TMPLoopThread thread(&owner);
    std::vector<std::string> offered;
    std::atomic<bool> handle{true};
    thread.SetOnException([&](TMPLoopThread& sender, std::exception_ptr e, bool& handled) {
        EXPECT_EQ(&sender, &thread);
        offered.push_back(ExceptionText(e));
        handled = handle;
    });
    owner.On(kMsgA, [](TMessage&) { throw EStreamError("read failed"); });
    owner.On(kMsgB, [](TMessage&) { throw std::out_of_range("index"); });
    thread.Resume();
    thread.Post(kMsgA);
    thread.Sync();
    handle = false;
    thread.Post(kMsgB);
    thread.Post(kMsgB + 1);  // the loop goes on after an error
    thread.Sync();
    EXPECT_EQ(offered, (std::vector<std::string>{"read failed", "index"}));
    EXPECT_EQ(sink.Texts(), std::vector<std::string>{"index"});
    EXPECT_EQ(owner.Log().back(), kMsgB + 1);
    EXPECT_FALSE(thread.Ended());
}

TEST(LoopThread, ForeignErrorsEndTheThreadAndReleaseWaiters) {
    ErrorSink sink;
    TRecorder owner;
    TMPLoopThread thread(&owner);
    std::atomic<int> offered{0};
    thread.SetOnException([&](TMPLoopThread&, std::exception_ptr, bool& handled) {
        ++offered;
        handled = true;
    });
    owner.On(kMsgA, [](TMessage&) { throw 42; });
    thread.Resume();
    thread.Post(kMsgA);
    thread.Post(kMsgB);
    TMPSimpleEvent never;
    EXPECT_EQ(thread.WaitForEventOrEnd(never, 5000), kWaitObject0);
    EXPECT_TRUE(thread.Ended());
    thread.Sync();
    EXPECT_EQ(offered.load(), 0);
    EXPECT_EQ(sink.Texts().size(), 1u);
    EXPECT_EQ(owner.Log(), std::vector<uint32_t>{kMsgA});
}

TEST(LoopThread, SyncFromManyThreads) {
    TRecorder owner;
    TMPLoopThread thread(&owner);
    thread.Resume();
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t)
        posters.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                thread.Post(kMsgA);
                if (i % 50 == 0) thread.Sync();
            }
            thread.Sync();
        });
    for (auto& p : posters) p.join();
    EXPECT_EQ(owner.Count(kMsgA), 800u);
}

TEST(LoopThread, PriorityLoweringIsAppliedToTheThread) {
    TRecorder owner;
    TMPLoopThread thread(&owner);
    thread.Resume();
    int seen = 0;
    owner.On(kMsgA, [&](TMessage&) { seen = getpriority(PRIO_PROCESS, 0); });
    // On Linux the nice value is per thread: PRIO_PROCESS with 0 asks about the caller.
    thread.SetPriority(-2);
    thread.Post(kMsgA);
    thread.Sync();
    EXPECT_EQ(seen, 10);
    thread.SetPriority(15);  // raising needs privileges; failing is silent
    thread.SetPriority(-15);
    thread.Post(kMsgA);
    thread.Sync();
    EXPECT_EQ(seen, 19);
}

TEST(Event, AutoAndManualReset) {
    TMPEvent automatic(false, true);
    EXPECT_TRUE(automatic.IsSignalled());
    EXPECT_EQ(automatic.WaitFor(0), kWaitObject0);
    EXPECT_EQ(automatic.WaitFor(10), kWaitTimeout);
    TMPSimpleEvent manual;
    EXPECT_EQ(manual.WaitFor(0), kWaitTimeout);
    manual.SetEvent();
    EXPECT_EQ(manual.WaitFor(kInfinite), kWaitObject0);
    EXPECT_EQ(manual.WaitFor(0), kWaitObject0);
    manual.ResetEvent();
    EXPECT_FALSE(manual.IsSignalled());
}

}  // namespace
}  // namespace zentu
