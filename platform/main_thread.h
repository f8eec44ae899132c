// The main thread's message receivers ("hidden windows"): worker threads post a message
// number with two arguments, and the main thread's loop hands it to the receiver's handler.
// Two loops implement it: a plain one for command-line tools and tests, and Qt's event loop
// for the desktop program (platform/qt_main_loop.h, QtCore only).
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

#include "platform/messages.h"

namespace zentu {

class TMessageWindow {
public:
    virtual ~TMessageWindow() = default;
    // A plain post, from any thread.
    virtual void Post(uint32_t msg, uintptr_t wParam = 0, intptr_t lParam = 0) = 0;
    // Main thread only: skipped when a message of this number for this window is waiting.
    virtual void PostUnique(uint32_t msg, uintptr_t wParam = 0, intptr_t lParam = 0) = 0;
    // Main thread only: removes every waiting message of this number for this window.
    virtual void RemovePending(uint32_t msg) = 0;
    // Main thread only: whether a message of this number for this window is waiting.
    virtual bool IsPending(uint32_t msg) = 0;
};

class TMainLoop {
public:
    virtual ~TMainLoop() = default;
    // A receiver whose messages are handled on the main thread by `handler`. Messages still
    // waiting when the receiver is destroyed are dropped.
    virtual std::unique_ptr<TMessageWindow> CreateWindow(std::function<void(TMessage&)> handler) = 0;
    // Handles every message waiting now (the application's "process messages").
    virtual void ProcessMessages() = 0;
    // The application's standard error display, for errors that escape a handler or a worker.
    virtual void ShowException(std::exception_ptr error) = 0;
};

// The loop of this process; a plain loop until the application installs another.
TMainLoop& MainLoop();
void SetMainLoop(TMainLoop* loop);

}  // namespace zentu
