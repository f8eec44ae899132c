// Window and thread messages: a number with two arguments, as the engine's threads and the
// main thread exchange them.
#pragma once

#include <cstdint>

namespace zentu {

struct TMessage {
    uint32_t Msg = 0;
    uintptr_t WParam = 0;
    intptr_t LParam = 0;
    intptr_t Result = 0;
};

inline constexpr uint32_t WM_USER = 0x400;

// Receives messages dispatched by number (the owner of a loop thread, a hidden window);
// numbers without a handler are ignored.
class TMessageHandler {
public:
    virtual ~TMessageHandler() = default;
    virtual void Dispatch(TMessage& message) = 0;
};

}  // namespace zentu
