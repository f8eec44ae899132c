// Byte streams the reader works over: read, seek with three origins, size.
// TMPFileStream opens a regular file read-only (FIFOs, devices and sockets are refused at
// once); TMPMemoryStream serves bytes held in memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_descriptor.h"

namespace zentu {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TMPStream {
public:
    virtual ~TMPStream() = default;
    // Reads up to count bytes; returns the number read, 0 at the end. Raises EStreamError.
    virtual int32_t Read(void* buffer, int32_t count) = 0;
    // Moves the position; returns the new position from the beginning. Raises EStreamError.
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    virtual int64_t Size() = 0;
};

// A file opened for reading. On Linux there is no share-deny mode: opening read-only is
// the closest we get to "others may read but not write".
class TMPFileStream final : public TMPStream {
public:
    // Raises EStreamError with the system's error text when the file cannot be opened.
    explicit TMPFileStream(const std::string& fileName);

    int32_t Read(void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override;
    const std::string& FileName() const { return name_; }
    // A second handle on the same open file, for a reader on another thread: the name may
    // lead to another file by then. It shares the position, so it is read with pread only.
    // Invalid when the system refuses one.
    TFd DuplicateHandle() const;

private:
    TFd fd_;
    std::string name_;
};

class TMPMemoryStream final : public TMPStream {
public:
    explicit TMPMemoryStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    TMPMemoryStream(const void* data, size_t size);

    int32_t Read(void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return static_cast<int64_t>(bytes_.size()); }

private:
    std::vector<uint8_t> bytes_;
    int64_t position_ = 0;
};

}  // namespace zentu
