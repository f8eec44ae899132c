// The event core under the engine's event objects and loop threads: a manual- or auto-reset
// flag that wakes plain waiters and registered waiters (message queues waiting for "an event
// or a message"), so one wait can end on whichever comes first.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <vector>

namespace zentu {

// Something blocked on one or more events; Wake is called with the event's lock held, so it
// must only note the wake-up and notify (lock order: event, then waiter).
class TEventWaiter {
public:
    virtual void Wake() = 0;

protected:
    ~TEventWaiter() = default;
};

class TSyncEvent {
public:
    TSyncEvent(bool manualReset, bool initialState);
    ~TSyncEvent();
    TSyncEvent(const TSyncEvent&) = delete;
    TSyncEvent& operator=(const TSyncEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet();
    // True when signalled within `milliseconds` (negative: no limit); an auto-reset event is
    // reset by the successful wait.
    bool Wait(int64_t milliseconds);

    // Registration for multi-object waits. Register returns true (and does not register) when
    // the event is already signalled.
    bool Register(TEventWaiter* waiter);
    void Unregister(TEventWaiter* waiter);
    // True when signalled; an auto-reset event is reset by it.
    bool TryConsume();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<TEventWaiter*> waiters_;
    bool manualReset_;
    bool signalled_;
};

// Waits until one of `events` is signalled or the time has passed (negative: no limit).
// Returns the index of the first signalled event (consumed when auto-reset), or -1 on time-out.
int WaitForAny(std::initializer_list<TSyncEvent*> events, int64_t milliseconds);

}  // namespace zentu
