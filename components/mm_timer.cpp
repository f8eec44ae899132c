#include "components/mm_timer.h"

#include <condition_variable>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>

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

struct TMMTimer::TGate {
    std::mutex lock;
    std::condition_variable handlerDone;
    // The running system timer's generation, 0 when none: a tick of an older timer, whose
    // thread may still be on its way out, finds it changed and leaves the timer alone.
    uint64_t activeGeneration = 0;
    uint64_t lastGeneration = 0;
    // The thread that runs the handler now (none when idle), and how many runs have begun.
    std::thread::id handlerThread;
    uint64_t handlerRuns = 0;
};

TMMTimer::TOnTimerProperty& TMMTimer::TOnTimerProperty::operator=(TNotifyTimeEvent handler) {
    // The old handler is destroyed outside the lock: what it owns may call back here.
    TNotifyTimeEvent old;
    TLock lock(owner_.gate_->lock);
    old = std::exchange(handler_, std::move(handler));
    owner_.Apply(lock);
    return *this;
}

TMMTimer::TOnTimerProperty::operator bool() const {
    std::scoped_lock guard(owner_.gate_->lock);
    return static_cast<bool>(handler_);
}

void TMMTimer::TOnTimerProperty::operator()(TMMTimer& sender, uint32_t dwTickCount) const {
    TNotifyTimeEvent handler;
    {
        std::scoped_lock guard(owner_.gate_->lock);
        handler = handler_;
    }
    if (handler) handler(sender, dwTickCount);
}

TMMTimer::TMMTimer(TPeriodicTimerService& service) : service_(service), gate_(std::make_shared<TGate>()) {
    TTimeCaps caps = service_.GetDevCaps();
    periodMin_ = caps.periodMin;
    periodMax_ = caps.periodMax;
}

TMMTimer::~TMMTimer() {
    TLock lock(gate_->lock);
    // closing_ keeps a handler running meanwhile from starting the timer again.
    closing_ = true;
    enabled_ = false;
    Apply(lock);
}

bool TMMTimer::Enabled() const {
    std::scoped_lock guard(gate_->lock);
    return enabled_;
}

uint32_t TMMTimer::Interval() const {
    std::scoped_lock guard(gate_->lock);
    return interval_;
}

uint32_t TMMTimer::Resolution() const {
    std::scoped_lock guard(gate_->lock);
    return resolution_;
}

bool TMMTimer::Running() const {
    std::scoped_lock guard(gate_->lock);
    return timerID_ != 0;
}

void TMMTimer::SetEnabled(bool enabled) {
    TLock lock(gate_->lock);
    if (enabled != enabled_) {
        enabled_ = enabled;
        Apply(lock);
    } else if (!enabled) {
        // Already off (perhaps by the handler itself, which may still be running).
        WaitForHandler(lock);
    }
}

void TMMTimer::SetInterval(uint32_t ms) {
    if (ms > periodMax_ || ms < periodMin_)
        throw EPropertyError(Format(kIntervalOutOfRange, periodMin_, periodMax_));
    TLock lock(gate_->lock);
    resolution_ = ms;
    if (ms != interval_) {
        interval_ = ms;
        if (timerID_ != 0) Apply(lock);
    }
}

void TMMTimer::SetResolution(uint32_t ms) {
    if (ms > periodMax_ || ms < periodMin_)
        throw EPropertyError(Format(kResolutionOutOfRange, periodMin_, periodMax_));
    TLock lock(gate_->lock);
    if (ms > interval_) throw EPropertyError(Format(kResolutionAboveInterval, interval_));
    if (ms == resolution_) return;
    resolution_ = ms;
    if (timerID_ != 0) Apply(lock);
}

void TMMTimer::Timer() {
    // Nothing of this object is touched after the handler returns: it may have destroyed it.
    OnTimer(*this, GetTickCount());
}

void TMMTimer::Tick(const std::shared_ptr<TGate>& gate, TMMTimer* timer, uint64_t generation) {
    {
        std::scoped_lock guard(gate->lock);
        // A stopped timer, or a tick behind a handler that still runs (the handler restarted
        // its timer, whose first tick came before it returned): dropped.
        if (gate->activeGeneration != generation || gate->handlerThread != std::thread::id()) return;
        gate->handlerThread = std::this_thread::get_id();
        ++gate->handlerRuns;
    }
    struct TDone {
        TGate& gate;
        ~TDone() {
            {
                std::scoped_lock guard(gate.lock);
                gate.handlerThread = std::thread::id();
            }
            gate.handlerDone.notify_all();
        }
    } done{*gate};
    timer->Timer();
}

bool TMMTimer::WaitForHandler(TLock& lock) {
    const std::thread::id running = gate_->handlerThread;
    if (running == std::thread::id() || running == std::this_thread::get_id()) return false;
    const uint64_t run = gate_->handlerRuns;
    gate_->handlerDone.wait(lock, [&] {
        return gate_->handlerThread == std::thread::id() || gate_->handlerRuns != run;
    });
    return true;
}

void TMMTimer::Kill(TLock& lock) {
    const uint32_t id = timerID_;
    const uint32_t resolution = periodResolution_;
    timerID_ = 0;
    gate_->activeGeneration = 0;
    // Unlocked: the event's thread may be waiting for the lock to find its tick stale, and
    // KillEvent waits for that thread.
    lock.unlock();
    service_.KillEvent(id);
    service_.EndPeriod(resolution);
    lock.lock();
}

void TMMTimer::Apply(TLock& lock) {
    // Stop the running timer and wait until its handler has returned. While the lock was
    // let go, that handler may have started a timer of its own: repeat until neither runs.
    for (;;) {
        if (timerID_ != 0)
            Kill(lock);
        else if (!WaitForHandler(lock))
            break;
    }
    if (closing_ || !enabled_ || interval_ == 0 || !OnTimer.handler_) return;
    service_.BeginPeriod(resolution_);
    const uint64_t generation = ++gate_->lastGeneration;
    uint32_t id = service_.SetEvent(interval_, resolution_,
                                    [gate = gate_, this, generation](uint32_t) { Tick(gate, this, generation); });
    if (id == 0) {
        service_.EndPeriod(resolution_);
        throw EOutOfResources(kNoTimerEvent);
    }
    timerID_ = id;
    periodResolution_ = resolution_;
    gate_->activeGeneration = generation;
}

}  // namespace zentu
