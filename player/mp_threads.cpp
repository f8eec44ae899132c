#include "player/mp_threads.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <unordered_set>

#include "platform/exceptions.h"
#include "platform/main_thread.h"
#include "platform/message_queue.h"
#include "platform/sync_event.h"

namespace zentu {

// ---- events ----------------------------------------------------------------------------

struct TMPEvent::Impl {
    Impl(bool manualReset, bool initialState) : core(manualReset, initialState) {}
    TSyncEvent core;
};

namespace {

// Every live TMPEvent by address: LTM_SYNC carries its event as a plain number, which may be
// anything (a stale or a foreign value) and must be checked before it is used.
struct TEventRegistry {
    std::mutex mutex;
    std::unordered_set<uintptr_t> live;
};

TEventRegistry& Registry() {
    static TEventRegistry registry;
    return registry;
}

uint32_t ToWaitResult(bool signalled) { return signalled ? kWaitObject0 : kWaitTimeout; }

int64_t ToMilliseconds(uint32_t milliseconds) {
    return milliseconds == kInfinite ? -1 : static_cast<int64_t>(milliseconds);
}

}  // namespace

TMPEvent::TMPEvent(bool manualReset, bool initialState)
    : impl_(std::make_unique<Impl>(manualReset, initialState)) {
    std::lock_guard lock(Registry().mutex);
    Registry().live.insert(reinterpret_cast<uintptr_t>(this));
}

TMPEvent::~TMPEvent() {
    std::lock_guard lock(Registry().mutex);
    Registry().live.erase(reinterpret_cast<uintptr_t>(this));
}

void TMPEvent::SetEvent() { impl_->core.Set(); }
void TMPEvent::ResetEvent() { impl_->core.Reset(); }
bool TMPEvent::IsSignalled() { return impl_->core.IsSet(); }

uint32_t TMPEvent::WaitFor(uint32_t milliseconds) {
    return ToWaitResult(impl_->core.Wait(ToMilliseconds(milliseconds)));
}

bool TMPEvent::IsLiveEvent(uintptr_t candidate) {
    std::lock_guard lock(Registry().mutex);
    return Registry().live.contains(candidate);
}

bool TMPEvent::SignalIfLive(uintptr_t candidate) {
    std::lock_guard lock(Registry().mutex);
    if (!Registry().live.contains(candidate)) return false;
    reinterpret_cast<TMPEvent*>(candidate)->SetEvent();
    return true;
}

// ---- loop thread -----------------------------------------------------------------------

struct TMPLoopThread::Impl {
    TMessageHandler* owner = nullptr;
    std::atomic<TMPLoopThread*> self{nullptr};
    TMPSimpleEvent wakeEvent;
    std::atomic<int32_t> timeout{-1};
    TMessageQueue queue;
    TSyncEvent ended{true, false};

    std::mutex mutex;  // guards what follows
    std::condition_variable changed;
    bool started = false;  // the thread has published its id
    bool resumed = false;
    bool cancelled = false;  // ended before it was resumed
    pid_t tid = 0;
    TLoopExceptionEvent onException;

    std::thread thread;
    std::thread::id threadId;

    void Body();
    void Pass(bool& quit);
    void Offer(std::exception_ptr error);
};

namespace {

// Win32 thread priorities to nice values. An unprivileged process may only raise its nice
// value (lower the priority): the values above 0 here, and going back from a lowered value,
// need CAP_SYS_NICE or RLIMIT_NICE and otherwise fail, which is ignored.
int NiceForPriority(int priority) {
    if (priority <= -15) return 19;  // THREAD_PRIORITY_IDLE
    if (priority <= -2) return 10;   // LOWEST
    if (priority == -1) return 5;    // BELOW_NORMAL
    if (priority == 0) return 0;     // NORMAL
    if (priority == 1) return -5;    // ABOVE_NORMAL
    if (priority < 15) return -10;   // HIGHEST
    return -20;                      // TIME_CRITICAL
}

}  // namespace

void TMPLoopThread::Impl::Offer(std::exception_ptr error) {
    bool handled = false;
    TLoopExceptionEvent handler;
    {
        std::lock_guard lock(mutex);
        handler = onException;
    }
    TMPLoopThread* sender = self.load();
    try {
        if (handler && sender) handler(*sender, error, handled);
    } catch (...) {
        // The handler's own failure is shown in place of the error it was given.
        error = std::current_exception();
        handled = false;
    }
    if (!handled) MainLoop().ShowException(error);
}

void TMPLoopThread::Impl::Pass(bool& quit) {
    const int32_t wait = timeout.load();
    const TQueueWait result = queue.Wait(&wakeEvent.impl_->core, wait < 0 ? -1 : wait);
    TMessage message;
    if (result == TQueueWait::qwEvent) {
        message.Msg = LTM_STEP;
        owner->Dispatch(message);
    } else if (result == TQueueWait::qwTimeout) {
        message.Msg = LTM_TIMEOUT;
        owner->Dispatch(message);
    }
    while (queue.TryPop(message)) {
        if (message.Msg == LTM_QUIT) {
            quit = true;
            return;
        }
        if (message.Msg == LTM_SYNC) {
            TMPEvent::SignalIfLive(message.WParam);
            continue;
        }
        message.Result = 0;
        owner->Dispatch(message);
    }
}

void TMPLoopThread::Impl::Body() {
    {
        std::unique_lock lock(mutex);
        tid = static_cast<pid_t>(::syscall(SYS_gettid));
        started = true;
        changed.notify_all();
        changed.wait(lock, [this] { return resumed || cancelled; });
        if (cancelled) {
            lock.unlock();
            queue.Close();
            ended.Set();
            return;
        }
    }
    try {
        bool quit = false;
        while (!quit) {
            try {
                Pass(quit);
            } catch (const std::exception&) {
                // The exception family (and the standard library's errors, which the owner's
                // handler reports the same way); the loop goes on.
                Offer(std::current_exception());
            }
        }
    } catch (...) {
        // Anything else ends the thread; it is still shown rather than lost.
        try {
            MainLoop().ShowException(std::current_exception());
        } catch (...) {
        }
    }
    queue.Close();
    ended.Set();
}

TMPLoopThread::TMPLoopThread(TMessageHandler* owner, const char* name) : impl_(std::make_unique<Impl>()) {
    impl_->owner = owner;
    impl_->self = this;
    impl_->thread = std::thread([impl = impl_.get()] { impl->Body(); });
    pthread_setname_np(impl_->thread.native_handle(), name);
    impl_->threadId = impl_->thread.get_id();
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait(lock, [this] { return impl_->started; });
}

TMPLoopThread::~TMPLoopThread() {
    impl_->self = nullptr;
    Terminate();
    if (impl_->thread.joinable()) {
        if (OnLoopThread()) {
            // Destroyed by its own owner's handler: the thread ends after the handler returns,
            // but its state must outlive it.
            impl_->thread.detach();
            (void)impl_.release();
        } else {
            impl_->thread.join();
        }
    }
}

void TMPLoopThread::Resume() {
    std::lock_guard lock(impl_->mutex);
    impl_->resumed = true;
    impl_->changed.notify_all();
}

void TMPLoopThread::SetPriority(int priority) {
    pid_t tid;
    {
        std::lock_guard lock(impl_->mutex);
        tid = impl_->tid;
    }
    if (tid == 0 || Ended()) return;
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), NiceForPriority(priority));
}

void TMPLoopThread::Post(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    TMessage message;
    message.Msg = msg;
    message.WParam = wParam;
    message.LParam = lParam;
    impl_->queue.Post(message);
}

void TMPLoopThread::Sync() {
    if (OnLoopThread() || Ended()) return;  // a thread cannot wait for itself
    TMPSimpleEvent done;
    Post(LTM_SYNC, reinterpret_cast<uintptr_t>(static_cast<TMPEvent*>(&done)));
    WaitForEventOrEnd(done);
}

uint32_t TMPLoopThread::WaitForEventOrEnd(TMPEvent& event, uint32_t milliseconds) {
    return ToWaitResult(WaitForAny({&event.impl_->core, &impl_->ended}, ToMilliseconds(milliseconds)) >= 0);
}

bool TMPLoopThread::Ended() const { return impl_->ended.IsSet(); }

void TMPLoopThread::Terminate() {
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->resumed) {
            impl_->cancelled = true;
            impl_->changed.notify_all();
        }
    }
    Post(LTM_QUIT);
    if (!OnLoopThread()) impl_->ended.Wait(-1);
}

TMPSimpleEvent& TMPLoopThread::WakeEvent() { return impl_->wakeEvent; }
int32_t TMPLoopThread::Timeout() const { return impl_->timeout.load(); }
void TMPLoopThread::SetTimeout(int32_t milliseconds) {
    // A changed time-out ends the present wait (a pass with nothing to do), so that it holds
    // from now on rather than from the next message.
    if (impl_->timeout.exchange(milliseconds) != milliseconds && !OnLoopThread()) impl_->queue.Wake();
}

void TMPLoopThread::SetOnException(TLoopExceptionEvent handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->onException = std::move(handler);
}

bool TMPLoopThread::OnLoopThread() const { return std::this_thread::get_id() == impl_->threadId; }

}  // namespace zentu
