#include "platform/exceptions.h"

#include <string>

namespace zentu {

void Assert(bool ok, const char* what, const char* sourceFile, int line) {
    if (ok) return;
    std::string file = sourceFile;
    if (auto slash = file.find_last_of('/'); slash != std::string::npos) file.erase(0, slash + 1);
    throw EAssertionFailed(std::string(what) + " (" + file + ", line " + std::to_string(line) + ")");
}

}  // namespace zentu
