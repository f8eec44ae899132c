#include "platform/sync_event.h"

#include <algorithm>
#include <chrono>

namespace zentu {

TSyncEvent::TSyncEvent(bool manualReset, bool initialState)
    : manualReset_(manualReset), signalled_(initialState) {}

TSyncEvent::~TSyncEvent() = default;

void TSyncEvent::Set() {
    std::lock_guard lock(mutex_);
    signalled_ = true;
    for (TEventWaiter* waiter : waiters_) waiter->Wake();
    if (manualReset_)
        changed_.notify_all();
    else
        changed_.notify_one();
}

void TSyncEvent::Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool TSyncEvent::IsSet() {
    std::lock_guard lock(mutex_);
    return signalled_;
}

bool TSyncEvent::Wait(int64_t milliseconds) {
    std::unique_lock lock(mutex_);
    if (milliseconds < 0) {
        changed_.wait(lock, [this] { return signalled_; });
    } else if (!changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return signalled_; })) {
        return false;
    }
    if (!manualReset_) signalled_ = false;
    return true;
}

bool TSyncEvent::Register(TEventWaiter* waiter) {
    std::lock_guard lock(mutex_);
    if (signalled_) return true;
    waiters_.push_back(waiter);
    return false;
}

void TSyncEvent::Unregister(TEventWaiter* waiter) {
    std::lock_guard lock(mutex_);
    std::erase(waiters_, waiter);
}

bool TSyncEvent::TryConsume() {
    std::lock_guard lock(mutex_);
    if (!signalled_) return false;
    if (!manualReset_) signalled_ = false;
    return true;
}

namespace {

class TPlainWaiter final : public TEventWaiter {
public:
    void Wake() override {
        std::lock_guard lock(mutex_);
        woken_ = true;
        cv_.notify_one();
    }
    // False on time-out.
    bool Wait(int64_t milliseconds) {
        std::unique_lock lock(mutex_);
        if (milliseconds < 0) {
            cv_.wait(lock, [this] { return woken_; });
            return true;
        }
        return cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return woken_; });
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        woken_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool woken_ = false;
};

}  // namespace

int WaitForAny(std::initializer_list<TSyncEvent*> events, int64_t milliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max<int64_t>(milliseconds, 0));
    TPlainWaiter waiter;
    for (;;) {
        waiter.Clear();
        bool early = false;
        for (TSyncEvent* event : events) early = event->Register(&waiter) || early;
        bool woken = early;
        if (!early) {
            int64_t left = milliseconds;
            if (milliseconds >= 0)
                left = std::max<int64_t>(
                    0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            woken = waiter.Wait(left);
        }
        for (TSyncEvent* event : events) event->Unregister(&waiter);
        int index = 0;
        for (TSyncEvent* event : events) {
            if (event->TryConsume()) return index;
            ++index;
        }
        // An auto-reset event taken by another waiter in between: wait again for the rest.
        if (!woken || (milliseconds >= 0 && Clock::now() >= deadline)) return -1;
    }
}

}  // namespace zentu
