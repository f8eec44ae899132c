// TMMTimer: calls OnTimer periodically through the multimedia timer service, on the timer's
// own thread, after checking Interval and Resolution against what the device can do.
#pragma once

#include <cstdint>
#include <functional>

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

    // Properties are set on one thread at a time: the owner's, or the timer's own from
    // inside OnTimer.
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    uint32_t Interval() const { return interval_; }
    void SetInterval(uint32_t ms);  // also sets Resolution; EPropertyError when out of range
    uint32_t Resolution() const { return resolution_; }
    void SetResolution(uint32_t ms);  // EPropertyError when out of range or above Interval
    bool Running() const { return timerID_ != 0; }

    TOnTimerProperty OnTimer{*this};

protected:
    // Raised on the timer's thread: calls OnTimer with the tick count of the moment.
    virtual void Timer();

private:
    void Apply();
    void Kill();

    TPeriodicTimerService& service_;
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
