#include "platform/main_thread.h"

#include <algorithm>
#include <atomic>
#include <iostream>
#include <stdexcept>

#include "platform/plain_main_loop.h"

namespace zentu {

namespace {
std::atomic<TMainLoop*> installedLoop{nullptr};
}  // namespace

TPlainMainLoop& DefaultMainLoop() {
    static TPlainMainLoop loop;
    return loop;
}

TMainLoop& MainLoop() {
    TMainLoop* loop = installedLoop.load();
    return loop ? *loop : DefaultMainLoop();
}

void SetMainLoop(TMainLoop* loop) { installedLoop.store(loop); }

class TPlainMainLoop::TWindow final : public TMessageWindow {
public:
    TWindow(TPlainMainLoop& loop, uint64_t id) : loop_(loop), id_(id) {}
    ~TWindow() override { loop_.RemoveWindow(id_); }
    void Post(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        loop_.Enqueue(id_, TMessage{msg, wParam, lParam, 0}, false);
    }
    void PostUnique(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        loop_.Enqueue(id_, TMessage{msg, wParam, lParam, 0}, true);
    }
    void RemovePending(uint32_t msg) override { loop_.RemovePending(id_, msg); }
    bool IsPending(uint32_t msg) override { return loop_.IsPending(id_, msg); }

private:
    TPlainMainLoop& loop_;
    uint64_t id_;
};

TPlainMainLoop::TPlainMainLoop() = default;
TPlainMainLoop::~TPlainMainLoop() = default;

std::unique_ptr<TMessageWindow> TPlainMainLoop::CreateWindow(std::function<void(TMessage&)> handler) {
    std::lock_guard lock(mutex_);
    const uint64_t id = nextWindow_++;
    handlers_[id] = std::make_shared<std::function<void(TMessage&)>>(std::move(handler));
    return std::make_unique<TWindow>(*this, id);
}

void TPlainMainLoop::Enqueue(uint64_t window, const TMessage& message, bool unique) {
    std::lock_guard lock(mutex_);
    if (!handlers_.contains(window)) return;
    if (unique && std::any_of(queue_.begin(), queue_.end(), [&](const TQueued& q) {
            return q.window == window && q.message.Msg == message.Msg;
        }))
        return;
    queue_.push_back({window, message});
    arrived_.notify_all();
}

void TPlainMainLoop::RemoveWindow(uint64_t window) {
    std::lock_guard lock(mutex_);
    handlers_.erase(window);
    std::erase_if(queue_, [&](const TQueued& q) { return q.window == window; });
}

bool TPlainMainLoop::IsPending(uint64_t window, uint32_t msg) {
    std::lock_guard lock(mutex_);
    return std::any_of(queue_.begin(), queue_.end(),
                       [&](const TQueued& q) { return q.window == window && q.message.Msg == msg; });
}

void TPlainMainLoop::RemovePending(uint64_t window, uint32_t msg) {
    std::lock_guard lock(mutex_);
    std::erase_if(queue_, [&](const TQueued& q) { return q.window == window && q.message.Msg == msg; });
}

bool TPlainMainLoop::HandleOne() {
    std::shared_ptr<std::function<void(TMessage&)>> handler;
    TMessage message;
    {
        std::lock_guard lock(mutex_);
        if (queue_.empty()) return false;
        TQueued next = queue_.front();
        queue_.pop_front();
        auto found = handlers_.find(next.window);
        if (found == handlers_.end()) return true;
        handler = found->second;
        message = next.message;
    }
    try {
        (*handler)(message);
    } catch (...) {
        ShowException(std::current_exception());
    }
    return true;
}

void TPlainMainLoop::ProcessMessages() {
    // Only what waits now: a handler that posts again does not keep this call going.
    size_t count;
    {
        std::lock_guard lock(mutex_);
        count = queue_.size();
    }
    while (count-- > 0 && HandleOne()) {
    }
}

bool TPlainMainLoop::RunUntil(const std::function<bool()>& done, int64_t timeoutMilliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    for (;;) {
        while (HandleOne()) {
            if (done && done()) return true;
        }
        if (done && done()) return true;
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_until(lock, deadline, [this] { return !queue_.empty(); })) {
            lock.unlock();
            return done && done();
        }
    }
}

void TPlainMainLoop::RunFor(int64_t milliseconds) { RunUntil(nullptr, milliseconds); }

void TPlainMainLoop::SetExceptionSink(std::function<void(std::exception_ptr)> sink) {
    std::lock_guard lock(mutex_);
    sink_ = std::move(sink);
}

void TPlainMainLoop::ShowException(std::exception_ptr error) {
    std::function<void(std::exception_ptr)> sink;
    {
        std::lock_guard lock(mutex_);
        sink = sink_;
    }
    if (sink) {
        sink(error);
        return;
    }
    std::cerr << "zentu: " << ExceptionText(error) << '\n';
}

}  // namespace zentu
