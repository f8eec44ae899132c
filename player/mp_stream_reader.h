// TMPStreamReader: a ring buffer of fixed capacity over a byte stream. Callers ask for N
// contiguous bytes at the read point (Require) and read them in place through Current; the
// ring is rotated only when a request straddles its end.
#pragma once

#include <cstdint>
#include <memory>

#include "player/mp_stream.h"

namespace zentu {

class TMPStreamReader {
public:
    static constexpr int32_t kChunk = 16384;  // largest single read from the stream

    explicit TMPStreamReader(int32_t capacity);
    ~TMPStreamReader();
    TMPStreamReader(const TMPStreamReader&) = delete;
    TMPStreamReader& operator=(const TMPStreamReader&) = delete;

    // Attaches a stream (not owned); closes first. Position counts from 0 at the stream's
    // current position. Raises what the stream raises (the reader is then closed).
    void Open(TMPStream* stream, bool seekable);
    void Close();

    // Reads until n bytes are buffered; false when the stream ends first.
    bool FillTo(int32_t n);
    // Makes n bytes contiguous at Current; false when the stream ends first.
    bool Require(int32_t n);
    // Reads one more chunk (or what fits); false when the ring is full or the stream ended.
    bool ReadAhead();
    // Advances the read point by n bytes; false when the stream ends first (a seekable
    // stream is then left at its end).
    bool Skip(int64_t n);
    // Repositions a seekable stream and empties the ring; returns the new position.
    int64_t Seek(int64_t offset, TSeekOrigin origin);
    // Rotates the ring so that the read point is at its start.
    void Linearize();

    const uint8_t* Current() const { return buffer_ + readIndex_; }
    int32_t Available() const { return available_; }
    int32_t Buffered() const { return buffered_; }
    int32_t Capacity() const { return capacity_; }
    int32_t ReadIndex() const { return readIndex_; }
    int64_t Position() const { return position_; }
    int64_t Size() const { return size_; }
    bool Seekable() const { return seekable_; }
    bool IsOpen() const { return open_; }

private:
    TMPStream* stream_ = nullptr;
    int64_t size_ = 0;
    bool seekable_ = false;
    bool open_ = false;
    uint8_t* buffer_ = nullptr;
    std::unique_ptr<uint8_t[]> storage_;
    int32_t readIndex_ = 0;
    int32_t buffered_ = 0;
    int32_t capacity_;
    int64_t position_ = 0;
    int32_t available_ = 0;
};

}  // namespace zentu
