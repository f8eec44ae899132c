#include "player/mp_stream_reader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/exceptions.h"

namespace zentu {

TMPStreamReader::TMPStreamReader(int32_t capacity) : capacity_(capacity) {
    Assert(capacity > 0, "reader capacity must be above 0");
}

TMPStreamReader::~TMPStreamReader() { Close(); }

void TMPStreamReader::Open(TMPStream* stream, bool seekable) {
    Assert(stream != nullptr, "reader opened without a stream");
    Close();
    try {
        open_ = true;
        stream_ = stream;
        seekable_ = seekable;
        position_ = 0;
        available_ = 0;
        readIndex_ = 0;
        buffered_ = 0;
        // 8-byte alignment comes with new[] of a byte array on every platform we build for;
        // the padding lets 64-bit loads near the end stay inside the allocation.
        storage_ = std::make_unique<uint8_t[]>(static_cast<size_t>(capacity_) + 16);
        buffer_ = storage_.get();
        if (seekable) size_ = stream->Size();
    } catch (...) {
        Close();
        throw;
    }
}

void TMPStreamReader::Close() {
    if (!open_) return;
    stream_ = nullptr;
    available_ = 0;
    size_ = 0;
    storage_.reset();
    buffer_ = nullptr;
    buffered_ = 0;
    readIndex_ = 0;
    open_ = false;
}

bool TMPStreamReader::FillTo(int32_t n) {
    Assert(stream_ != nullptr, "FillTo without a stream");
    Assert(n >= 0 && n <= capacity_, "FillTo beyond the reader's capacity");
    Assert(buffer_ != nullptr, "FillTo without a buffer");
    while (buffered_ < n) {
        int32_t chunk;
        if (n - buffered_ >= kChunk)
            chunk = n - buffered_;
        else
            chunk = std::min(kChunk, capacity_ - buffered_);
        int32_t w = static_cast<int32_t>((static_cast<int64_t>(readIndex_) + buffered_) % capacity_);
        int32_t got = stream_->Read(buffer_ + w, std::min(chunk, capacity_ - w));
        if (got <= 0) return false;
        buffered_ += got;
    }
    available_ = readIndex_ + buffered_ > capacity_ ? capacity_ - readIndex_ : buffered_;
    return true;
}

bool TMPStreamReader::Require(int32_t n) {
    if (!FillTo(n)) return false;
    if (available_ < n) Linearize();
    Assert(available_ >= n, "Require left fewer bytes than asked");
    return true;
}

bool TMPStreamReader::ReadAhead() {
    if (buffered_ == capacity_) return false;
    return FillTo(buffered_ + std::min(capacity_ - buffered_, kChunk));
}

void TMPStreamReader::Linearize() {
    int32_t tail = capacity_ - readIndex_;
    int32_t wrapped = readIndex_ + buffered_ - capacity_;
    if (wrapped <= 0) {
        std::memmove(buffer_, buffer_ + readIndex_, static_cast<size_t>(buffered_));
    } else if (readIndex_ > buffered_) {
        // room enough between the wrapped part and the tail: two overlapping moves
        std::memmove(buffer_ + tail, buffer_, static_cast<size_t>(wrapped));
        std::memmove(buffer_, buffer_ + readIndex_, static_cast<size_t>(tail));
    } else {
        std::vector<uint8_t> temp(buffer_ + readIndex_, buffer_ + capacity_);
        std::memmove(buffer_ + tail, buffer_, static_cast<size_t>(wrapped));
        std::memcpy(buffer_, temp.data(), temp.size());
    }
    readIndex_ = 0;
    available_ = buffered_;
}

bool TMPStreamReader::Skip(int64_t n) {
    Assert(stream_ != nullptr, "Skip without a stream");
    Assert(n >= 0, "Skip by a negative count");
    auto skipBuffered = [this](int32_t count) {
        buffered_ -= count;
        readIndex_ = static_cast<int32_t>((static_cast<int64_t>(readIndex_) + count) % capacity_);
        position_ += count;
        return true;
    };
    if (n <= buffered_) return skipBuffered(static_cast<int32_t>(n));
    if (seekable_) {
        if (position_ + n > size_) {
            Seek(0, TSeekOrigin::soEnd);
            return false;
        }
        Seek(position_ + n, TSeekOrigin::soBeginning);
        return true;
    }
    int64_t remaining = n;
    while (FillTo(1)) {
        FillTo(capacity_);
        if (remaining <= buffered_) return skipBuffered(static_cast<int32_t>(remaining));
        position_ += buffered_;
        remaining -= buffered_;
        buffered_ = 0;
        readIndex_ = 0;
    }
    return false;
}

int64_t TMPStreamReader::Seek(int64_t offset, TSeekOrigin origin) {
    Assert(stream_ != nullptr, "Seek without a stream");
    Assert(seekable_, "Seek on a stream that cannot seek");
    // The stream's physical position lies Buffered bytes ahead of the logical one.
    if (origin == TSeekOrigin::soCurrent) offset -= buffered_;
    position_ = stream_->Seek(offset, origin);
    readIndex_ = 0;
    buffered_ = 0;
    available_ = 0;
    return position_;
}

}  // namespace zentu
