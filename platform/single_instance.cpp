#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace zentu {

std::string TSingleInstanceLock::LockPath(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/" + name + ".lock";
    return "/tmp/" + name + "-" + std::to_string(getuid()) + ".lock";
}

TSingleInstanceLock::TSingleInstanceLock(const std::string& name) : path_(LockPath(name)) {
    // O_NOFOLLOW: in the shared /tmp another user could plant a link under our name.
    int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        anotherCopy_ = errno == EWOULDBLOCK;
        close(fd);
        return;
    }
    fd_ = fd;
}

TSingleInstanceLock::~TSingleInstanceLock() {
    if (fd_ >= 0) close(fd_);  // the file stays: removing it would race with a starting copy
}

}  // namespace zentu
