#include "components/mm_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/exceptions.h"

namespace zentu {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

template <class Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds limit = 3000ms) {
    auto until = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EPropertyError& e) {
        return e.what();
    }
    return "(no EPropertyError)";
}

TEST(MMTimer, FirstEventComesOneIntervalAfterTheHandlerIsSet) {
    TPeriodicTimerService service;
    TMMTimer timer(service);
    timer.SetInterval(100);
    std::atomic<int> calls{0};
    std::atomic<uint32_t> tick{0};
    std::atomic<bool> onTimerThread{false};
    const auto mainThread = std::this_thread::get_id();
    auto start = Clock::now();
    std::atomic<int64_t> firstAfterMs{-1};
    timer.OnTimer = [&](TMMTimer& sender, uint32_t dwTickCount) {
        if (calls++ == 0) {
            firstAfterMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            tick = dwTickCount;
            onTimerThread = std::this_thread::get_id() != mainThread && &sender == &timer;
        }
    };
    ASSERT_TRUE(timer.Running());  // enabled from creation
    ASSERT_TRUE(WaitFor([&] { return calls >= 3; }));
    EXPECT_GE(firstAfterMs, 95);
    EXPECT_LT(firstAfterMs, 2000);  // late only on a very loaded machine
    EXPECT_TRUE(onTimerThread);
    EXPECT_LE(static_cast<uint32_t>(GetTickCount() - tick), 3000u);
    timer.SetEnabled(false);  // before the counters go out of scope
}

TEST(MMTimer, RangeChecksUseTheDeviceLimitsAndChangeNothing) {
    TPeriodicTimerService service;
    TMMTimer timer(service);
    EXPECT_EQ(timer.Interval(), 1000u);
    EXPECT_EQ(timer.Resolution(), 1000u);
    EXPECT_TRUE(timer.Enabled());

    EXPECT_EQ(MessageOf([&] { timer.SetInterval(0); }),
              "Intervalの値がタイマ・デバイスの能力を超えています　（1 ～ 1000000）");
    EXPECT_EQ(MessageOf([&] { timer.SetInterval(1000001); }),
              "Intervalの値がタイマ・デバイスの能力を超えています　（1 ～ 1000000）");
    EXPECT_EQ(MessageOf([&] { timer.SetResolution(0); }),
              "Resolutionの値がタイマ・デバイスの能力を超えています　（1 ～ 1000000）");
    EXPECT_EQ(MessageOf([&] { timer.SetResolution(2000); }), "Resolutionの値がIntervalの値を超えています　（1000）");
    EXPECT_EQ(timer.Interval(), 1000u);
    EXPECT_EQ(timer.Resolution(), 1000u);

    timer.SetResolution(10);
    timer.SetInterval(500);
    EXPECT_EQ(timer.Interval(), 500u);
    EXPECT_EQ(timer.Resolution(), 500u);  // Interval always brings Resolution along
    timer.SetInterval(500);
    timer.SetResolution(20);
    EXPECT_EQ(timer.Resolution(), 20u);
}

TEST(MMTimer, DisablingKillsAndPeriodRequestsStayBalancedAcrossRestarts) {
    TPeriodicTimerService service;
    std::atomic<int> calls{0};
    {
        TMMTimer timer(service);
        EXPECT_EQ(service.OpenPeriodRequests(), 0);  // no handler: idle
        timer.OnTimer = [&](TMMTimer&, uint32_t) { ++calls; };
        timer.SetInterval(20);
        timer.SetResolution(5);
        timer.SetInterval(30);
        timer.OnTimer = [&](TMMTimer&, uint32_t) { ++calls; };
        EXPECT_TRUE(timer.Running());
        EXPECT_EQ(service.OpenPeriodRequests(), 1);
        EXPECT_EQ(service.RunningEvents(), 1);
        ASSERT_TRUE(WaitFor([&] { return calls >= 2; }));

        timer.SetEnabled(false);
        EXPECT_FALSE(timer.Running());
        EXPECT_EQ(service.OpenPeriodRequests(), 0);
        EXPECT_EQ(service.RunningEvents(), 0);
        int frozen = calls;
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(calls, frozen);

        timer.SetEnabled(true);
        EXPECT_TRUE(timer.Running());
        EXPECT_EQ(service.OpenPeriodRequests(), 1);
        ASSERT_TRUE(WaitFor([&] { return calls > frozen; }));
        timer.OnTimer = nullptr;
        EXPECT_FALSE(timer.Running());
        EXPECT_EQ(service.OpenPeriodRequests(), 0);
        timer.OnTimer = [&](TMMTimer&, uint32_t) { ++calls; };
    }
    EXPECT_EQ(service.OpenPeriodRequests(), 0);  // destruction stops it
    EXPECT_EQ(service.RunningEvents(), 0);
}

TEST(MMTimer, StopWaitsForARunningHandlerAndWorksFromInsideIt) {
    TPeriodicTimerService service;
    TMMTimer timer(service);
    timer.SetInterval(10);
    std::atomic<bool> inside{false}, finished{false};
    std::atomic<int> calls{0};
    timer.OnTimer = [&](TMMTimer&, uint32_t) {
        ++calls;
        inside = true;
        std::this_thread::sleep_for(80ms);
        finished = true;
    };
    ASSERT_TRUE(WaitFor([&] { return inside.load(); }));
    timer.SetEnabled(false);
    EXPECT_TRUE(finished);  // not returned while the handler ran
    int frozen = calls;
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(calls, frozen);

    // A handler that switches its own timer off, and one that replaces itself.
    calls = 0;
    timer.OnTimer = [&](TMMTimer& sender, uint32_t) {
        if (++calls == 2) sender.SetEnabled(false);
    };
    timer.SetEnabled(true);
    ASSERT_TRUE(WaitFor([&] { return !timer.Running(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(service.OpenPeriodRequests(), 0);

    std::atomic<int> second{0};
    timer.SetEnabled(true);
    timer.OnTimer = [&](TMMTimer& sender, uint32_t) {
        sender.OnTimer = [&](TMMTimer&, uint32_t) { ++second; };
    };
    ASSERT_TRUE(WaitFor([&] { return second >= 2; }));
    timer.SetEnabled(false);
    EXPECT_EQ(service.OpenPeriodRequests(), 0);
    EXPECT_EQ(service.RunningEvents(), 0);

    // A handler that destroys its own timer: nothing of the timer is touched afterwards.
    std::atomic<bool> destroyed{false};
    auto doomed = std::make_unique<TMMTimer>(service);
    doomed->SetInterval(5);
    doomed->OnTimer = [&](TMMTimer& sender, uint32_t) {
        if (&sender != doomed.get()) return;
        doomed.reset();
        destroyed = true;
    };
    ASSERT_TRUE(WaitFor([&] { return destroyed.load(); }));
    EXPECT_EQ(service.OpenPeriodRequests(), 0);
    EXPECT_EQ(service.RunningEvents(), 0);
}

TEST(MMTimer, OwnerAndHandlerChangingItTogetherLeaveNoStrayTimer) {
    // The owner and the handler restart and stop the timer together, and the owner destroys
    // it while the handler may be restarting it: once the owner's call returns no handler
    // runs, handlers never overlap, and the period requests stay balanced.
    TPeriodicTimerService service;
    std::atomic<int> calls{0}, inside{0}, overlaps{0}, whileStopped{0};
    std::atomic<bool> stopped{false};
    for (int round = 0; round < 10; ++round) {
        auto timer = std::make_unique<TMMTimer>(service);
        timer->SetInterval(1);
        timer->OnTimer = [&](TMMTimer& sender, uint32_t) {
            if (inside++ != 0) ++overlaps;
            if (stopped) ++whileStopped;
            int n = ++calls;
            sender.SetInterval(1 + n % 3);
            if (n % 5 == 0) sender.SetEnabled(false);
            if (n % 11 == 0) sender.SetResolution(1);
            --inside;
        };
        for (int i = 0; i < 25; ++i) {
            stopped = false;
            timer->SetEnabled(true);
            timer->SetInterval(1 + i % 2);
            if (i % 4 == 3) timer->SetResolution(1);
            if (i % 7 == 0) {
                timer->SetEnabled(false);
                stopped = true;
                EXPECT_EQ(inside, 0);
                EXPECT_EQ(service.RunningEvents(), 0);
                EXPECT_EQ(service.OpenPeriodRequests(), 0);
            }
            // let a tick or two through (or not, on a loaded machine: the churn is the point)
            const int seen = calls;
            for (auto until = Clock::now() + 1ms; calls < seen + 2 && Clock::now() < until;)
                std::this_thread::sleep_for(100us);
        }
        stopped = false;
        timer->SetEnabled(true);
        if (round == 0) {
            ASSERT_TRUE(WaitFor([&] { return calls > 0; }));  // at least one, however loaded
        }
        if (round % 2 == 0) WaitFor([&] { return calls % 5 != 4; }, 2ms);
        timer.reset();  // the handler may be running, and restarting it
        stopped = true;
        EXPECT_EQ(inside, 0);
        EXPECT_EQ(service.RunningEvents(), 0);
        EXPECT_EQ(service.OpenPeriodRequests(), 0);
    }
    std::this_thread::sleep_for(5ms);  // a stale tick would come now
    EXPECT_GT(calls, 0);
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(whileStopped, 0);
}

class TRefusingService : public TPeriodicTimerService {
public:
    uint32_t SetEvent(uint32_t, uint32_t, TCallback) override { return 0; }
};

TEST(MMTimer, AFailedStartRaisesOutOfResourcesAndEndsItsPeriodRequest) {
    TRefusingService service;
    TMMTimer timer(service);
    try {
        timer.OnTimer = [](TMMTimer&, uint32_t) {};
        FAIL() << "no error";
    } catch (const EOutOfResources& e) {
        EXPECT_STREQ(e.what(), "timeSetEvent関数の戻り値が０です。タイマ・イベントＩＤを取得できません");
    }
    EXPECT_FALSE(timer.Running());
    EXPECT_EQ(service.OpenPeriodRequests(), 0);
}

TEST(PeriodicTimerService, ReportsItsRangeAndRefusesDelaysOutsideIt) {
    TPeriodicTimerService service;
    TTimeCaps caps = service.GetDevCaps();
    EXPECT_EQ(caps.periodMin, 1u);
    EXPECT_EQ(caps.periodMax, 1000000u);
    EXPECT_EQ(service.SetEvent(0, 1, [](uint32_t) {}), 0u);
    EXPECT_EQ(service.SetEvent(1000001, 1, [](uint32_t) {}), 0u);
    uint32_t a = service.SetEvent(1000, 1, [](uint32_t) {});
    uint32_t b = service.SetEvent(1000, 1, [](uint32_t) {});
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(a, b);
    service.KillEvent(a);
    service.KillEvent(a);  // twice: ignored
    EXPECT_EQ(service.RunningEvents(), 1);
}  // the destructor kills b

}  // namespace
}  // namespace zentu
