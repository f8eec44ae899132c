// The exception family every component raises: a message and nothing else.
// Callers that must tell "an error of the family" from any other failure catch zentu::Exception.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace zentu {

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

// A call that is not allowed in the object's present state (tray icon identifiers, ...).
class EInvalidOperation : public Exception {
    using Exception::Exception;
};

// A property value outside what the object can take (multimedia timer ranges).
class EPropertyError : public Exception {
    using Exception::Exception;
};

// A system resource could not be had (no timer event).
class EOutOfResources : public Exception {
    using Exception::Exception;
};

// A text that should be a number is not one.
class EConvertError : public Exception {
    using Exception::Exception;
};

// Opening, reading or seeking a stream failed; the message is the system's error text.
class EStreamError : public Exception {
    using Exception::Exception;
};

// A broken internal contract: a programming error, never bad input.
class EAssertionFailed : public Exception {
    using Exception::Exception;
};

// The message of an error, for displays ("unknown error" for one without a message).
std::string ExceptionText(std::exception_ptr error);

// Raises EAssertionFailed naming the source file and line when ok is false.
// (clang 14 with libstdc++ 12 has no std::source_location, hence the builtins.)
void Assert(bool ok, const char* what = "Assertion failed", const char* file = __builtin_FILE(),
            int line = __builtin_LINE());

}  // namespace zentu
