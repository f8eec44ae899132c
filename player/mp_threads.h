// Locks, events and the loop thread of the player engine: a worker that runs its own
// message loop, wakes on an event or a time-out and hands every message to its owner.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/messages.h"

namespace zentu {

inline constexpr uint32_t LTM_QUIT = WM_USER + 30;
inline constexpr uint32_t LTM_STEP = WM_USER + 31;
inline constexpr uint32_t LTM_SYNC = WM_USER + 32;
inline constexpr uint32_t LTM_TIMEOUT = WM_USER + 33;

inline constexpr uint32_t kInfinite = 0xFFFFFFFF;
inline constexpr uint32_t kWaitObject0 = 0;
inline constexpr uint32_t kWaitTimeout = 258;

class TMPAbstractMutex {
public:
    virtual ~TMPAbstractMutex() = default;
    virtual void Acquire() = 0;
    virtual void Release() = 0;
    // std::lock_guard / std::scoped_lock support
    void lock() { Acquire(); }
    void unlock() { Release(); }
};

// A recursive lock: the same thread may acquire it again and must release it as often.
class TMPSimpleMutex final : public TMPAbstractMutex {
public:
    void Acquire() override { mutex_.lock(); }
    void Release() override { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

// An event object: manual or automatic reset. Waiters are also the loop threads' waits
// (see TMPLoopThread), which end when their wake event is signalled.
class TMPEvent {
public:
    TMPEvent(bool manualReset, bool initialState);
    virtual ~TMPEvent();
    TMPEvent(const TMPEvent&) = delete;
    TMPEvent& operator=(const TMPEvent&) = delete;

    void SetEvent();
    void ResetEvent();
    // kWaitObject0 when signalled within `milliseconds` (kInfinite: no time-out), else
    // kWaitTimeout.
    uint32_t WaitFor(uint32_t milliseconds);
    bool IsSignalled();

    // Whether `candidate` is a live event (messages carry events as plain numbers).
    static bool IsLiveEvent(uintptr_t candidate);
    // Signals the event `candidate` names if it is a live event; the check and the signal
    // are one step, so an event destroyed meanwhile is never touched. False when not live.
    static bool SignalIfLive(uintptr_t candidate);

private:
    friend class TMPLoopThread;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Manual reset, not signalled.
class TMPSimpleEvent final : public TMPEvent {
public:
    TMPSimpleEvent() : TMPEvent(true, false) {}
};

enum class TThreadPriority : uint8_t { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TMPLoopThread;
// Called on the loop thread when handling a message raised an error of the exception
// family; set `handled` to keep the error from the application's error display.
using TLoopExceptionEvent = std::function<void(TMPLoopThread& sender, std::exception_ptr error, bool& handled)>;

class TMPLoopThread {
public:
    // The thread is created suspended: set OnException, then Resume. `name` (at most 15
    // characters) is what the system shows for the thread.
    explicit TMPLoopThread(TMessageHandler* owner, const char* name = "zentu-loop");
    ~TMPLoopThread();  // Terminate, then release everything
    TMPLoopThread(const TMPLoopThread&) = delete;
    TMPLoopThread& operator=(const TMPLoopThread&) = delete;

    void Resume();
    // Win32-style priority -15 .. 15, mapped to what the platform allows.
    void SetPriority(int priority);
    // Posts a message to the thread's queue (nothing once the thread has ended).
    void Post(uint32_t msg, uintptr_t wParam = 0, intptr_t lParam = 0);
    // Returns when everything posted before has been handled, or the thread has ended.
    void Sync();
    // Posts LTM_QUIT and waits for the thread to end.
    void Terminate();
    // Waits until `event` is signalled or the thread has ended (kInfinite: no time-out);
    // kWaitObject0 when either happened, else kWaitTimeout.
    uint32_t WaitForEventOrEnd(TMPEvent& event, uint32_t milliseconds = kInfinite);
    // Whether the thread has ended (after LTM_QUIT, or an error outside the exception family).
    bool Ended() const;

    // While signalled, the loop dispatches LTM_STEP to the owner on every pass.
    TMPSimpleEvent& WakeEvent();
    // The wait time-out in ms, -1 for none; on time-out the loop dispatches LTM_TIMEOUT. A new
    // value also ends a wait in progress, so it holds at once.
    int32_t Timeout() const;
    void SetTimeout(int32_t milliseconds);
    void SetOnException(TLoopExceptionEvent handler);
    bool OnLoopThread() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zentu
