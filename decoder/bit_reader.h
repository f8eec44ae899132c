// The bit reader shared by the layer decoders: most significant bit first, a 64-bit
// buffer refilled ahead, and a hard limit past which it delivers zero bits instead of
// reading memory, whatever the stream's lengths say.
#pragma once

#include <cstdint>
#include <cstring>

namespace zentu {

class TBitReader {
public:
    // Reads start at `data`; no byte at or after data + size is ever read.
    void Reset(const uint8_t* data, int64_t size) {
        data_ = data;
        size_ = size < 0 ? 0 : size;
        pos_ = 0;
        buffer_ = 0;
        count_ = 0;
    }
    // Positions the reader `bit` bits after `data` (the rest of the limit as above).
    void ResetAtBit(const uint8_t* data, int64_t size, int64_t bit) {
        Reset(data, size);
        pos_ = bit >> 3;
        if (bit & 7) Skip(static_cast<int>(bit & 7));
    }

    // n in 0..32.
    uint32_t Read(int n) {
        if (n == 0) return 0;
        if (count_ < n) Refill();
        count_ -= n;
        return static_cast<uint32_t>((buffer_ >> count_) & ((uint64_t{1} << n) - 1));
    }
    uint32_t ReadBit() { return Read(1); }
    // The next n (1..32) bits without removing them.
    uint32_t Peek(int n) {
        if (count_ < n) Refill();
        return static_cast<uint32_t>((buffer_ >> (count_ - n)) & ((uint64_t{1} << n) - 1));
    }
    void Skip(int n) {
        while (n > 32) {
            Read(32);
            n -= 32;
        }
        if (count_ < n) Refill();
        count_ -= n;
    }
    // The hot loops' fast path: Need(n) (n <= 56) makes n bits buffered, after which the
    // unchecked calls may take up to n bits without testing the buffer again.
    void Need(int n) {
        if (count_ < n) Refill();
    }
    uint32_t PeekUnchecked(int n) const {
        return static_cast<uint32_t>((buffer_ >> (count_ - n)) & ((uint64_t{1} << n) - 1));
    }
    void SkipUnchecked(int n) { count_ -= n; }
    uint32_t ReadUnchecked(int n) {
        count_ -= n;
        return static_cast<uint32_t>((buffer_ >> count_) & ((uint64_t{1} << n) - 1));
    }

    // Bits consumed since the reset point.
    int64_t BitsConsumed() const { return pos_ * 8 - count_; }

private:
    void Refill() {
        if (pos_ + 8 <= size_) {
            uint64_t v;
            std::memcpy(&v, data_ + pos_, 8);
            v = __builtin_bswap64(v);
            const int bytes = (63 - count_) >> 3;
            buffer_ = (buffer_ << (bytes * 8)) | (v >> (64 - bytes * 8));
            pos_ += bytes;
            count_ += bytes * 8;
            return;
        }
        while (count_ <= 56) {
            const uint8_t b = pos_ < size_ ? data_[pos_] : 0;
            buffer_ = (buffer_ << 8) | b;
            ++pos_;
            count_ += 8;
        }
    }

    const uint8_t* data_ = nullptr;
    int64_t size_ = 0;
    int64_t pos_ = 0;  // next byte to load; may pass size_ (zero bits)
    uint64_t buffer_ = 0;
    int count_ = 0;  // valid bits in the low end of buffer_
};

}  // namespace zentu
