// One copy of the program per user: an exclusive lock on a file in the user's runtime
// folder (or, where that cannot hold it, in the shared temporary folder), held as long as
// this object lives and released by the kernel on any death.
#pragma once

#include <string>

#include "platform/file_descriptor.h"

namespace zentu {

class TSingleInstanceLock {
public:
    // Tries to take the lock `name`.lock in the runtime folder at once, never waiting: in
    // $XDG_RUNTIME_DIR, or without it in `loginFolders`/<uid> where that is the user's own
    // private folder. Without a runtime folder, or where the file cannot be made there
    // (read-only, full, missing), it takes `sharedFolder`/`name`-<uid>.lock instead.
    explicit TSingleInstanceLock(const std::string& name = "zentu", const std::string& sharedFolder = "/tmp",
                                 const std::string& loginFolders = "/run/user");
    TSingleInstanceLock(const TSingleInstanceLock&) = delete;
    TSingleInstanceLock& operator=(const TSingleInstanceLock&) = delete;

    // Whether this copy holds the lock.
    bool Acquired() const { return fd_.Valid(); }
    // Whether another copy holds it. Neither is true when no lock file could be opened in
    // either place: the program then does not start (two copies would play at once).
    bool AnotherCopyRuns() const { return anotherCopy_; }
    // The lock file taken or found held; the last one tried when neither.
    const std::string& Path() const { return path_; }

private:
    // False when the file cannot serve as a lock at all (the next place is tried).
    bool TryLock(const std::string& path);

    std::string path_;
    // Closed when this object goes; the file stays (removing it would race with a starting copy).
    TFd fd_;
    bool anotherCopy_ = false;
};

}  // namespace zentu
