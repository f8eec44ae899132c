#include "platform/qt_main_loop.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <iostream>
#include <map>

#include "platform/plain_main_loop.h"

namespace zentu {

namespace {

const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// A window message in flight; `generation` lets RemovePending void events already posted.
class TMessageEvent final : public QEvent {
public:
    TMessageEvent(const TMessage& message, uint64_t generation)
        : QEvent(kMessageEvent), message_(message), generation_(generation) {}
    TMessage message_;
    uint64_t generation_;
};

// What a window and its receiver share: the handler and the count of waiting messages per
// number, so that PostUnique and IsPending need not look into Qt's queue.
struct TWindowState {
    std::mutex mutex;
    bool alive = true;
    std::map<uint32_t, int> pending;
    std::map<uint32_t, uint64_t> generation;
};

class TReceiver final : public QObject {
public:
    TReceiver(std::shared_ptr<TWindowState> state, std::function<void(TMessage&)> handler)
        : state_(std::move(state)), handler_(std::move(handler)) {}

    bool event(QEvent* event) override {
        if (event->type() != kMessageEvent) return QObject::event(event);
        auto* posted = static_cast<TMessageEvent*>(event);
        {
            std::lock_guard lock(state_->mutex);
            if (posted->generation_ != state_->generation[posted->message_.Msg]) return true;  // removed
            --state_->pending[posted->message_.Msg];
        }
        try {
            handler_(posted->message_);
        } catch (...) {
            MainLoop().ShowException(std::current_exception());
        }
        return true;
    }

private:
    std::shared_ptr<TWindowState> state_;
    std::function<void(TMessage&)> handler_;
};

class TQtWindow final : public TMessageWindow {
public:
    explicit TQtWindow(std::function<void(TMessage&)> handler)
        : state_(std::make_shared<TWindowState>()), receiver_(new TReceiver(state_, std::move(handler))) {}

    ~TQtWindow() override {
        {
            std::lock_guard lock(state_->mutex);
            state_->alive = false;
        }
        delete receiver_;  // Qt drops the events still posted to it
    }

    void Post(uint32_t msg, uintptr_t wParam, intptr_t lParam) override { Send(msg, wParam, lParam, false); }
    void PostUnique(uint32_t msg, uintptr_t wParam, intptr_t lParam) override { Send(msg, wParam, lParam, true); }

    void RemovePending(uint32_t msg) override {
        std::lock_guard lock(state_->mutex);
        ++state_->generation[msg];
        state_->pending[msg] = 0;
    }

    bool IsPending(uint32_t msg) override {
        std::lock_guard lock(state_->mutex);
        auto found = state_->pending.find(msg);
        return found != state_->pending.end() && found->second > 0;
    }

private:
    void Send(uint32_t msg, uintptr_t wParam, intptr_t lParam, bool unique) {
        std::lock_guard lock(state_->mutex);
        if (!state_->alive) return;
        int& waiting = state_->pending[msg];
        if (unique && waiting > 0) return;
        ++waiting;
        QCoreApplication::postEvent(receiver_, new TMessageEvent(TMessage{msg, wParam, lParam, 0}, state_->generation[msg]));
    }

    std::shared_ptr<TWindowState> state_;
    TReceiver* receiver_;
};

}  // namespace

TQtMainLoop::TQtMainLoop() = default;
TQtMainLoop::~TQtMainLoop() = default;

std::unique_ptr<TMessageWindow> TQtMainLoop::CreateWindow(std::function<void(TMessage&)> handler) {
    return std::make_unique<TQtWindow>(std::move(handler));
}

void TQtMainLoop::ProcessMessages() {
    QCoreApplication::sendPostedEvents(nullptr, kMessageEvent);
    QCoreApplication::processEvents();
}

void TQtMainLoop::ShowException(std::exception_ptr error) {
    std::function<void(std::exception_ptr)> display;
    {
        std::lock_guard lock(mutex_);
        display = display_;
    }
    if (!display) {
        std::cerr << "zentu: " << ExceptionText(error) << '\n';
        return;
    }
    // The display is a window: from another thread (a worker whose error handler failed) it is
    // shown on the main thread, and the worker goes on.
    QCoreApplication* app = QCoreApplication::instance();
    if (app != nullptr && QThread::currentThread() != app->thread()) {
        QMetaObject::invokeMethod(app, [display, error] { display(error); }, Qt::QueuedConnection);
        return;
    }
    display(error);
}

void TQtMainLoop::SetExceptionDisplay(std::function<void(std::exception_ptr)> display) {
    std::lock_guard lock(mutex_);
    display_ = std::move(display);
}

}  // namespace zentu
