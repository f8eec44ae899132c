// One copy of the program per user: an exclusive lock on a file in the user's runtime
// folder, held as long as this object lives and released by the kernel on any death.
#pragma once

#include <string>

namespace zentu {

class TSingleInstanceLock {
public:
    // Tries to take the lock `name`.lock at once; never waits.
    explicit TSingleInstanceLock(const std::string& name = "zentu");
    ~TSingleInstanceLock();
    TSingleInstanceLock(const TSingleInstanceLock&) = delete;
    TSingleInstanceLock& operator=(const TSingleInstanceLock&) = delete;

    // Whether this copy holds the lock.
    bool Acquired() const { return fd_ >= 0; }
    // Whether another copy holds it. Neither is true when the lock file cannot be opened;
    // the program then runs unguarded rather than not at all.
    bool AnotherCopyRuns() const { return anotherCopy_; }
    const std::string& Path() const { return path_; }

    // $XDG_RUNTIME_DIR/<name>.lock, or /tmp/<name>-<uid>.lock without a runtime folder.
    static std::string LockPath(const std::string& name);

private:
    std::string path_;
    int fd_ = -1;
    bool anotherCopy_ = false;
};

}  // namespace zentu
