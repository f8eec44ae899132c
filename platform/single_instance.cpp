#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace zentu {

namespace {

// $XDG_RUNTIME_DIR; where a copy is started without it (through su, from cron), the folder the
// login manager made for the user, so that every copy of a user looks in the same place.
std::string RuntimeFolder(const std::string& loginFolders) {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR")) return runtime[0] == '/' ? runtime : "";
    const std::string own = loginFolders + "/" + std::to_string(getuid());
    struct stat st {};
    const bool ours = lstat(own.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
                      (st.st_mode & 077) == 0;
    return ours ? own : "";
}

}  // namespace

TSingleInstanceLock::TSingleInstanceLock(const std::string& name, const std::string& sharedFolder,
                                         const std::string& loginFolders) {
    const std::string runtime = RuntimeFolder(loginFolders);
    if (!runtime.empty() && TryLock(runtime + "/" + name + ".lock")) return;
    TryLock(sharedFolder + "/" + name + "-" + std::to_string(getuid()) + ".lock");
}

bool TSingleInstanceLock::TryLock(const std::string& path) {
    path_ = path;
    // O_NOFOLLOW: in the shared folder another user could plant a link under our name.
    // Read-only: a lock needs no writing, and so an existing file serves on a read-only disc.
    TFd fd(open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.Valid()) return false;
    // Another user's file there is no lock of ours: they could hold it for ever.
    struct stat st {};
    if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) return false;
    while (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        anotherCopy_ = errno == EWOULDBLOCK;
        return anotherCopy_;
    }
    fd_ = std::move(fd);
    return true;
}

}  // namespace zentu
