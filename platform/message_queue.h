// A thread's message queue: posting from any thread, non-blocking removal, and a wait that
// ends on an event, on a message or on a time-out (what a loop thread idles in).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "platform/messages.h"
#include "platform/sync_event.h"

namespace zentu {

enum class TQueueWait : uint8_t { qwEvent, qwInput, qwTimeout };

class TMessageQueue final : public TEventWaiter {
public:
    TMessageQueue() = default;
    TMessageQueue(const TMessageQueue&) = delete;
    TMessageQueue& operator=(const TMessageQueue&) = delete;

    // False (and nothing queued) once the queue is closed.
    bool Post(const TMessage& message);
    // Takes the oldest waiting message, if any.
    bool TryPop(TMessage& message);
    bool IsEmpty();
    // Waits for `event` (may be null), a waiting message, or `milliseconds` (negative: no
    // limit). The event wins over messages; an auto-reset event is consumed by the wait.
    TQueueWait Wait(TSyncEvent* event, int64_t milliseconds);
    // Refuses later posts; messages already waiting stay until removed or the queue dies.
    void Close();

    void Wake() override;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<TMessage> messages_;
    bool woken_ = false;
    bool closed_ = false;
};

}  // namespace zentu
