// TMMTimer: calls OnTimer periodically through the multimedia timer service, on the timer's
// own thread, after checking Interval and Resolution against what the device can do.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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
        explicit operator bool() const;
        void operator()(TMMTimer& sender, uint32_t dwTickCount) const;

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

    // Properties may be set from any thread, OnTimer's own included. Outside the handler,
    // a call that stops or restarts the timer (and destruction, and SetEnabled(false)
    // always) returns only when no handler of the stopped timer runs any more; from inside
    // the handler it does not wait for itself. Handlers of one timer never overlap: a tick
    // that comes while one still runs is dropped. A class derived from this one must switch
    // the timer off in its own destructor.
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
    // Shared with the service's event threads, which may outlive this object by the
    // moment it takes a stopped event's thread to notice.
    struct TGate;
    using TLock = std::unique_lock<std::mutex>;
    void Apply(TLock& lock);
    void Kill(TLock& lock);
    bool WaitForHandler(TLock& lock);
    static void Tick(const std::shared_ptr<TGate>& gate, TMMTimer* timer, uint64_t generation);

    TPeriodicTimerService& service_;
    std::shared_ptr<TGate> gate_;
    // The state below is guarded by the gate's lock, which is never held while a handler
    // runs or while an event is killed.
    bool enabled_ = true;
    bool closing_ = false;
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
