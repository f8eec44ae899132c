#include "platform/periodic_timer.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <system_error>
#include <thread>
#include <vector>

namespace zentu {

uint32_t GetTickCount() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

struct TPeriodicTimerService::TEvent {
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
    std::thread thread;
};

TPeriodicTimerService::~TPeriodicTimerService() {
    std::vector<uint32_t> ids;
    {
        std::scoped_lock guard(lock_);
        for (auto& [id, event] : events_) ids.push_back(id);
    }
    for (uint32_t id : ids) KillEvent(id);
}

TPeriodicTimerService& TPeriodicTimerService::Default() {
    static TPeriodicTimerService service;
    return service;
}

TTimeCaps TPeriodicTimerService::GetDevCaps() const { return {kPeriodMin, kPeriodMax}; }

void TPeriodicTimerService::BeginPeriod(uint32_t) {
    std::scoped_lock guard(lock_);
    ++periodRequests_;
}

void TPeriodicTimerService::EndPeriod(uint32_t) {
    std::scoped_lock guard(lock_);
    --periodRequests_;
}

int TPeriodicTimerService::OpenPeriodRequests() const {
    std::scoped_lock guard(lock_);
    return periodRequests_;
}

int TPeriodicTimerService::RunningEvents() const {
    std::scoped_lock guard(lock_);
    return static_cast<int>(events_.size());
}

uint32_t TPeriodicTimerService::SetEvent(uint32_t delay, uint32_t, TCallback callback) {
    if (delay < kPeriodMin || delay > kPeriodMax || !callback) return 0;
    auto event = std::make_shared<TEvent>();
    std::unique_lock guard(lock_);
    uint32_t id = ++lastID_;
    while (id == 0 || events_.contains(id)) id = ++lastID_;
    // The thread keeps its own reference, so an event killed from inside its callback
    // outlives the kill until the callback has returned.
    auto run = [event, id, period = std::chrono::milliseconds(delay), callback = std::move(callback)] {
        pthread_setname_np(pthread_self(), "zentu-timer");
        auto next = std::chrono::steady_clock::now() + period;
        std::unique_lock eventLock(event->lock);
        for (;;) {
            if (event->wake.wait_until(eventLock, next, [&] { return event->stop; })) return;
            eventLock.unlock();
            callback(id);
            eventLock.lock();
            if (event->stop) return;
            // Periodic without drift; periods missed behind a slow callback are dropped.
            auto now = std::chrono::steady_clock::now();
            next += period;
            if (next <= now) next = now + period - (now - next) % period;
        }
    };
    try {
        event->thread = std::thread(std::move(run));
    } catch (const std::system_error&) {
        return 0;
    }
    events_.emplace(id, std::move(event));
    return id;
}

void TPeriodicTimerService::KillEvent(uint32_t timerID) {
    std::shared_ptr<TEvent> event;
    {
        std::scoped_lock guard(lock_);
        auto found = events_.find(timerID);
        if (found == events_.end()) return;
        event = std::move(found->second);
        events_.erase(found);
    }
    {
        std::scoped_lock eventLock(event->lock);
        event->stop = true;
    }
    event->wake.notify_all();
    if (event->thread.get_id() == std::this_thread::get_id())
        event->thread.detach();  // the callback that called us returns, then the thread ends
    else
        event->thread.join();
}

}  // namespace zentu
