#include "platform/exceptions.h"

#include <string>

namespace zentu {

void Assert(bool ok, const char* what, const char* file, int line) {
    if (ok) return;
    std::string name = file;
    if (auto slash = name.find_last_of('/'); slash != std::string::npos) name.erase(0, slash + 1);
    throw EAssertionFailed(std::string(what) + " (" + name + ", line " + std::to_string(line) + ")");
}

}  // namespace zentu
