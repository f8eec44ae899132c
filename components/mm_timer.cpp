#include "components/mm_timer.h"

#include <cstdio>
#include <string>

#include "platform/exceptions.h"

namespace zentu {

namespace {

constexpr const char* kNoTimerEvent = "timeSetEvent関数の戻り値が０です。タイマ・イベントＩＤを取得できません";
constexpr const char* kIntervalOutOfRange = "Intervalの値がタイマ・デバイスの能力を超えています　（%d ～ %d）";
constexpr const char* kResolutionOutOfRange = "Resolutionの値がタイマ・デバイスの能力を超えています　（%d ～ %d）";
constexpr const char* kResolutionAboveInterval = "Resolutionの値がIntervalの値を超えています　（%d）";

std::string Format(const char* pattern, long long a, long long b = 0) {
    std::string out;
    int argument = 0;
    for (const char* p = pattern; *p; ++p) {
        if (p[0] == '%' && p[1] == 'd') {
            out += std::to_string(argument++ == 0 ? a : b);
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

}  // namespace

TMMTimer::TOnTimerProperty& TMMTimer::TOnTimerProperty::operator=(TNotifyTimeEvent handler) {
    TLock lock(owner_.lock_);
    handler_ = std::move(handler);
    owner_.Apply(lock);
    return *this;
}

TMMTimer::TMMTimer(TPeriodicTimerService& service) : service_(service) {
    TTimeCaps caps = service_.GetDevCaps();
    periodMin_ = caps.periodMin;
    periodMax_ = caps.periodMax;
}

TMMTimer::~TMMTimer() {
    TLock lock(lock_);
    enabled_ = false;
    Apply(lock);
}

bool TMMTimer::Enabled() const {
    std::scoped_lock guard(lock_);
    return enabled_;
}

uint32_t TMMTimer::Interval() const {
    std::scoped_lock guard(lock_);
    return interval_;
}

uint32_t TMMTimer::Resolution() const {
    std::scoped_lock guard(lock_);
    return resolution_;
}

bool TMMTimer::Running() const {
    std::scoped_lock guard(lock_);
    return timerID_ != 0;
}

void TMMTimer::SetEnabled(bool enabled) {
    TLock lock(lock_);
    if (enabled == enabled_) return;
    enabled_ = enabled;
    Apply(lock);
}

void TMMTimer::SetInterval(uint32_t ms) {
    if (ms > periodMax_ || ms < periodMin_)
        throw EPropertyError(Format(kIntervalOutOfRange, periodMin_, periodMax_));
    TLock lock(lock_);
    resolution_ = ms;
    if (ms != interval_) {
        interval_ = ms;
        if (timerID_ != 0) Apply(lock);
    }
}

void TMMTimer::SetResolution(uint32_t ms) {
    if (ms > periodMax_ || ms < periodMin_)
        throw EPropertyError(Format(kResolutionOutOfRange, periodMin_, periodMax_));
    TLock lock(lock_);
    if (ms > interval_) throw EPropertyError(Format(kResolutionAboveInterval, interval_));
    if (ms == resolution_) return;
    resolution_ = ms;
    if (timerID_ != 0) Apply(lock);
}

void TMMTimer::Timer() {
    // A copy: the handler may replace OnTimer, or destroy this timer, while it runs.
    TNotifyTimeEvent handler;
    {
        std::scoped_lock guard(lock_);
        handler = OnTimer.handler_;
    }
    if (handler) handler(*this, GetTickCount());
}

void TMMTimer::Kill(TLock& lock) {
    // A handler running meanwhile may start a timer of its own: loop until none runs.
    while (timerID_ != 0) {
        uint32_t id = timerID_;
        uint32_t resolution = periodResolution_;
        timerID_ = 0;
        lock.unlock();
        service_.KillEvent(id);
        service_.EndPeriod(resolution);
        lock.lock();
    }
}

void TMMTimer::Apply(TLock& lock) {
    Kill(lock);
    if (!enabled_ || interval_ == 0 || !OnTimer.handler_) return;
    service_.BeginPeriod(resolution_);
    uint32_t id = service_.SetEvent(interval_, resolution_, [this](uint32_t) { Timer(); });
    if (id == 0) {
        service_.EndPeriod(resolution_);
        throw EOutOfResources(kNoTimerEvent);
    }
    timerID_ = id;
    periodResolution_ = resolution_;
}

}  // namespace zentu
