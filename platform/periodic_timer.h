// A periodic timer service with the contract of the system's multimedia timer: device
// capabilities, counted period requests, periodic events on a thread of their own, and a
// kill that waits for a running callback.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace zentu {

// The smallest and largest period the timer device accepts, in ms.
struct TTimeCaps {
    uint32_t periodMin = 0;
    uint32_t periodMax = 0;
};

// Milliseconds of a monotonic clock; wraps after 49.7 days like the system's tick count.
uint32_t GetTickCount();

class TPeriodicTimerService {
public:
    using TCallback = std::function<void(uint32_t timerID)>;

    static constexpr uint32_t kPeriodMin = 1;
    static constexpr uint32_t kPeriodMax = 1000000;

    TPeriodicTimerService() = default;
    virtual ~TPeriodicTimerService();
    TPeriodicTimerService(const TPeriodicTimerService&) = delete;
    TPeriodicTimerService& operator=(const TPeriodicTimerService&) = delete;

    // The process-wide service.
    static TPeriodicTimerService& Default();

    virtual TTimeCaps GetDevCaps() const;
    // Period requests are only counted: the thread timers below are as precise as the
    // kernel makes them anyway.
    virtual void BeginPeriod(uint32_t resolution);
    virtual void EndPeriod(uint32_t resolution);
    // Requests begun and not yet ended.
    int OpenPeriodRequests() const;

    // Starts a periodic event: `callback` runs every `delay` ms on the event's own thread,
    // the first time one period from now. Returns the event's identifier (never 0), or 0
    // when the delay is out of range or no thread could be started.
    virtual uint32_t SetEvent(uint32_t delay, uint32_t resolution, TCallback callback);
    // Stops an event. When it returns, no callback of the event is running or will run;
    // called from inside the event's own callback it returns at once and the event's thread
    // ends as soon as the callback has returned. Unknown identifiers are ignored.
    virtual void KillEvent(uint32_t timerID);
    // Events started and not yet killed.
    int RunningEvents() const;

private:
    struct TEvent;
    mutable std::mutex lock_;
    std::unordered_map<uint32_t, std::shared_ptr<TEvent>> events_;
    uint32_t lastID_ = 0;
    int periodRequests_ = 0;
};

}  // namespace zentu
