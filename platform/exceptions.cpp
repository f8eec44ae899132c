#include "platform/exceptions.h"

#include <string>

namespace zentu {

std::string ExceptionText(std::exception_ptr error) {
    if (!error) return "unknown error";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

void Assert(bool ok, const char* what, const char* file, int line) {
    if (ok) return;
    std::string name = file;
    if (auto slash = name.find_last_of('/'); slash != std::string::npos) name.erase(0, slash + 1);
    throw EAssertionFailed(std::string(what) + " (" + name + ", line " + std::to_string(line) + ")");
}

}  // namespace zentu
