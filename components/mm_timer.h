// TMMTimer: calls OnTimer periodically through the multimedia timer service, on the timer's
// own thread, after checking Interval and Resolution against what the device can do.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/periodic_timer.h"

namespace zentu {

class TMMTimer;
using TNotifyTimeEvent = std::function<void(TMMTimer& sender, uint32_t dwTickCount)>;

class TMMTimer {
public:
    // The OnTimer property: assigning a handler stores it and starts, restarts or stops the
    // timer to match.
    class TOnTimerProperty {
    public:
        TOnTimerProperty& operator=(TNotifyTimeEvent handler);
        TOnTimerProperty& operator=(std::nullptr_t) { return *this = TNotifyTimeEvent(); }
        explicit operator bool() const { return static_cast<bool>(handler_); }
        void operator()(TMMTimer& sender, uint32_t dwTickCount) const { handler_(sender, dwTickCount); }

    private:
        friend class TMMTimer;
        explicit TOnTimerProperty(TMMTimer& owner) : owner_(owner) {}
        TMMTimer& owner_;
        TNotifyTimeEvent handler_;
    };

    explicit TMMTimer(TPeriodicTimerService& service = TPeriodicTimerService::Default());
    virtual ~TMMTimer();
    TMMTimer(const TMMTimer&) = delete;
    TMMTimer& operator=(const TMMTimer&) = delete;

    // Properties may be set from any thread, OnTimer's own included. A class derived from
    // this one must switch the timer off in its own destructor.
    bool Enabled() const;
    void SetEnabled(bool enabled);
    uint32_t Interval() const;
    void SetInterval(uint32_t ms);  // also sets Resolution; EPropertyError when out of range
    uint32_t Resolution() const;
    void SetResolution(uint32_t ms);  // EPropertyError when out of range or above Interval
    bool Running() const;

    TOnTimerProperty OnTimer{*this};

protected:
    // Raised on the timer's thread: calls OnTimer with the tick count of the moment.
    virtual void Timer();

private:
    using TLock = std::unique_lock<std::mutex>;
    void Apply(TLock& lock);
    void Kill(TLock& lock);

    TPeriodicTimerService& service_;
    // Guards the state below. Never held while waiting for a running handler, which may be
    // setting a property itself.
    mutable std::mutex lock_;
    bool enabled_ = true;
    uint32_t interval_ = 1000;
    uint32_t resolution_ = 1000;
    uint32_t timerID_ = 0;
    // The resolution the running timer's period request was begun with; ended with the
    // same value whenever that timer stops, so requests never pile up across restarts.
    uint32_t periodResolution_ = 0;
    uint32_t periodMin_ = 0;
    uint32_t periodMax_ = 0;
};

}  // namespace zentu
