// The main-thread loop of command-line tools and tests: one queue of window messages,
// handled by whoever calls ProcessMessages / RunFor / RunUntil (the "main" thread).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/exceptions.h"
#include "platform/main_thread.h"

namespace zentu {

class TPlainMainLoop final : public TMainLoop {
public:
    TPlainMainLoop();
    ~TPlainMainLoop() override;

    std::unique_ptr<TMessageWindow> CreateWindow(std::function<void(TMessage&)> handler) override;
    void ProcessMessages() override;
    // Prints the error's message to stderr, or hands it to the sink when one is set.
    void ShowException(std::exception_ptr error) override;

    // Handles messages as they arrive for `milliseconds`.
    void RunFor(int64_t milliseconds);
    // Handles messages until `done` holds (checked after every message and at the start), or
    // the time-out; returns whether `done` held.
    bool RunUntil(const std::function<bool()>& done, int64_t timeoutMilliseconds);
    // Replaces the stderr display (tests count errors this way); empty restores it.
    void SetExceptionSink(std::function<void(std::exception_ptr)> sink);

private:
    class TWindow;
    struct TQueued {
        uint64_t window;
        TMessage message;
    };
    // Handles one waiting message; false when none waits.
    bool HandleOne();
    void Enqueue(uint64_t window, const TMessage& message, bool unique);
    void RemoveWindow(uint64_t window);
    bool IsPending(uint64_t window, uint32_t msg);
    void RemovePending(uint64_t window, uint32_t msg);

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<TQueued> queue_;
    std::map<uint64_t, std::shared_ptr<std::function<void(TMessage&)>>> handlers_;
    uint64_t nextWindow_ = 1;
    std::function<void(std::exception_ptr)> sink_;
};

// The plain loop that MainLoop() answers until another is installed.
TPlainMainLoop& DefaultMainLoop();


}  // namespace zentu
