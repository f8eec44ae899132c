// The directory walker's names: the wildcard match against a plain dynamic-programming
// match (quadratic, so inputs stay short), and the path expansion's shape and fixed point.
// The first byte splits the rest into pattern and name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/dir_lister.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool ReferenceMatch(const std::string& pattern, const std::string& name) {
    if (pattern == "*.*") return true;  // every name, with or without a dot
    // matched[j]: pattern[0, i) matches name[0, j)
    std::vector<char> matched(name.size() + 1, 0), next(name.size() + 1);
    matched[0] = 1;
    for (char p : pattern) {
        next.assign(name.size() + 1, 0);
        if (p == '*') {
            char any = 0;
            for (size_t j = 0; j <= name.size(); ++j) next[j] = any = any || matched[j];
        } else {
            for (size_t j = 1; j <= name.size(); ++j)
                next[j] = matched[j - 1] && (p == '?' || Fold(p) == Fold(name[j - 1]));
        }
        matched.swap(next);
    }
    return matched[name.size()];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 512) return 0;
    const size_t split = data[0] % size;
    const std::string pattern(reinterpret_cast<const char*>(data + 1), split);
    const std::string name(reinterpret_cast<const char*>(data + 1 + split), size - 1 - split);
    Check(zentu::MatchWildcard(pattern, name) == ReferenceMatch(pattern, name));

    // An absolute path (no look at the current folder): one '/' between names, no "." or
    // "..", no '/' at the end but for the root, and expanding again changes nothing.
    const std::string full = zentu::ExpandPath("/" + name);
    Check(!full.empty() && full[0] == '/');
    Check(full == "/" || full.back() != '/');
    Check(full.find("//") == std::string::npos);
    Check((full + "/").find("/./") == std::string::npos && (full + "/").find("/../") == std::string::npos);
    Check(zentu::ExpandPath(full) == full);
    return 0;
}
