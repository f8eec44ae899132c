#include "app/quit_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

namespace zentu {

namespace {

// The pipe's write end, for the handler (a lock-free atomic is safe to read there).
std::atomic<int> gWriteEnd{-1};

void OnSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    // Non-blocking: with the pipe full, a quit is already on its way.
    (void)!::write(gWriteEnd.load(), &byte, 1);
    errno = savedErrno;
}

}  // namespace

TQuitSignals::TQuitSignals(std::function<void()> quit) : quit_(std::move(quit)) {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    gWriteEnd.store(pipe_[1]);
    notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] {
        notifier_->setEnabled(false);
        Restore();
        if (quit_) quit_();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < kSignals.size(); ++i) {
        if (::sigaction(kSignals[i], nullptr, &former_[i]) != 0 || former_[i].sa_handler == SIG_IGN) continue;
        caught_[i] = ::sigaction(kSignals[i], &action, nullptr) == 0;
    }
}

TQuitSignals::~TQuitSignals() {
    Restore();
    notifier_.reset();
    gWriteEnd.store(-1);
    for (int fd : pipe_)
        if (fd >= 0) ::close(fd);
}

void TQuitSignals::Restore() {
    for (size_t i = 0; i < kSignals.size(); ++i)
        if (std::exchange(caught_[i], false)) ::sigaction(kSignals[i], &former_[i], nullptr);
}

}  // namespace zentu
