#include "player/mp_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/exceptions.h"

namespace zentu {

namespace {

[[noreturn]] void RaiseSystemError(const std::string& what) {
    throw EStreamError(what + ": " + std::strerror(errno));
}

}  // namespace

TMPFileStream::TMPFileStream(const std::string& fileName) : name_(fileName) {
    const std::string what = "cannot open file \"" + fileName + "\"";
    // Only regular files: opening a FIFO waits for a writer, a device may never deliver an
    // end, and a socket cannot be opened at all. Looked at before opening, and again after
    // (non-blocking, so that a FIFO put in the file's place meanwhile cannot hold us).
    const auto refuse = [&](const struct stat& st) {
        if (S_ISREG(st.st_mode)) return;
        fd_.Close();
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            RaiseSystemError(what);
        }
        throw EStreamError(what + ": not a regular file");
    };
    struct stat st {};
    if (::stat(fileName.c_str(), &st) == 0) refuse(st);
    fd_ = TFd(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd_.Valid()) RaiseSystemError(what);
    if (::fstat(fd_.Get(), &st) == 0) refuse(st);
    ::fcntl(fd_.Get(), F_SETFL, ::fcntl(fd_.Get(), F_GETFL) & ~O_NONBLOCK);
}

TFd TMPFileStream::DuplicateHandle() const { return TFd(::fcntl(fd_.Get(), F_DUPFD_CLOEXEC, 0)); }

int32_t TMPFileStream::Read(void* buffer, int32_t count) {
    if (count <= 0) return 0;
    for (;;) {
        ssize_t n = ::read(fd_.Get(), buffer, static_cast<size_t>(count));
        if (n >= 0) return static_cast<int32_t>(n);
        if (errno != EINTR) RaiseSystemError("cannot read \"" + name_ + "\"");
    }
}

int64_t TMPFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                 : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                    : SEEK_END;
    off_t r = ::lseek(fd_.Get(), static_cast<off_t>(offset), whence);
    if (r < 0) RaiseSystemError("cannot seek in \"" + name_ + "\"");
    return r;
}

int64_t TMPFileStream::Size() {
    struct stat st {};
    if (::fstat(fd_.Get(), &st) != 0) RaiseSystemError("cannot read the size of \"" + name_ + "\"");
    return st.st_size;
}

TMPMemoryStream::TMPMemoryStream(const void* data, size_t size)
    : bytes_(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size) {}

int32_t TMPMemoryStream::Read(void* buffer, int32_t count) {
    if (count <= 0 || position_ >= Size()) return 0;
    auto n = static_cast<int32_t>(std::min<int64_t>(count, Size() - position_));
    std::memcpy(buffer, bytes_.data() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

int64_t TMPMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = origin == TSeekOrigin::soBeginning ? 0 : origin == TSeekOrigin::soCurrent ? position_ : Size();
    int64_t target = base + offset;
    if (target < 0) throw EStreamError("seek before the start of a memory stream");
    position_ = target;
    return position_;
}

}  // namespace zentu
