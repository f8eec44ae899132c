// SIGTERM (a logout, `kill`), SIGHUP (the terminal gone) and SIGINT (Ctrl+C) end the program
// through its event loop, as its exit does, so that the sound stops and nothing is left
// behind. The handler only writes a byte to a pipe; the main thread reads it.
#pragma once

#include <signal.h>

#include <QSocketNotifier>
#include <array>
#include <functional>
#include <memory>

namespace zentu {

class TQuitSignals {
public:
    // `quit` runs on the main thread at the first of the signals; from then on they have
    // their former effect again (a second one ends the program at once). A signal that was
    // ignored at the start (nohup) stays ignored. One object at a time.
    explicit TQuitSignals(std::function<void()> quit);
    ~TQuitSignals();
    TQuitSignals(const TQuitSignals&) = delete;
    TQuitSignals& operator=(const TQuitSignals&) = delete;

private:
    void Restore();

    static constexpr std::array<int, 3> kSignals{SIGTERM, SIGHUP, SIGINT};
    std::function<void()> quit_;
    int pipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
    std::array<struct sigaction, kSignals.size()> former_{};
    std::array<bool, kSignals.size()> caught_{};
};

}  // namespace zentu
