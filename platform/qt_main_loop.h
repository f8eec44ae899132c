// The main-thread receivers on Qt's event loop (QtCore only): each window is a QObject on the
// main thread; posts become events of one custom type, so worker threads may post freely.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/main_thread.h"

namespace zentu {

class TQtMainLoop final : public TMainLoop {
public:
    // Call on the thread of the QCoreApplication, after it exists.
    TQtMainLoop();
    ~TQtMainLoop() override;

    std::unique_ptr<TMessageWindow> CreateWindow(std::function<void(TMessage&)> handler) override;
    // QCoreApplication::processEvents for the events waiting now.
    void ProcessMessages() override;
    // Hands the error to the display set by the application (a message box); stderr without.
    void ShowException(std::exception_ptr error) override;
    void SetExceptionDisplay(std::function<void(std::exception_ptr)> display);

private:
    std::mutex mutex_;
    std::function<void(std::exception_ptr)> display_;
};

}  // namespace zentu
