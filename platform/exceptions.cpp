#include "platform/exceptions.h"

#include <string>

namespace zentu {

void Assert(bool ok, const char* what, TSourceLocation where) {
    if (ok) return;
    std::string file = where.file_name();
    if (auto slash = file.find_last_of('/'); slash != std::string::npos) file.erase(0, slash + 1);
    throw EAssertionFailed(std::string(what) + " (" + file + ", line " + std::to_string(where.line()) + ")");
}

}  // namespace zentu
