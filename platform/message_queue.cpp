#include "platform/message_queue.h"

#include <chrono>

namespace zentu {

bool TMessageQueue::Post(const TMessage& message) {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    messages_.push_back(message);
    cv_.notify_one();
    return true;
}

bool TMessageQueue::TryPop(TMessage& message) {
    std::lock_guard lock(mutex_);
    if (messages_.empty()) return false;
    message = messages_.front();
    messages_.pop_front();
    return true;
}

bool TMessageQueue::IsEmpty() {
    std::lock_guard lock(mutex_);
    return messages_.empty();
}

void TMessageQueue::Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
}

void TMessageQueue::Wake() {
    std::lock_guard lock(mutex_);
    woken_ = true;
    cv_.notify_one();
}

TQueueWait TMessageQueue::Wait(TSyncEvent* event, int64_t milliseconds) {
    {
        std::lock_guard lock(mutex_);
        woken_ = false;
    }
    if (event && event->Register(this)) {
        if (event->TryConsume()) return TQueueWait::qwEvent;
    } else {
        std::unique_lock lock(mutex_);
        auto ready = [this] { return woken_ || !messages_.empty(); };
        bool any = true;
        if (milliseconds < 0)
            cv_.wait(lock, ready);
        else
            any = cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
        lock.unlock();
        if (event) event->Unregister(this);
        if (event && event->TryConsume()) return TQueueWait::qwEvent;
        if (!any) return TQueueWait::qwTimeout;
    }
    return TQueueWait::qwInput;
}

}  // namespace zentu
