// The bit reader shared by the layer decoders: most significant bit first, a 64-bit window
// refilled ahead eight bytes at a time, and a hard limit past which it delivers zero bits
// instead of reading memory, whatever the stream's lengths say.
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
        window_ = 0;
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
        const auto v = static_cast<uint32_t>(window_ >> (64 - n));
        Drop(n);
        return v;
    }
    uint32_t ReadBit() { return Read(1); }
    // The next n (1..32) bits without removing them.
    uint32_t Peek(int n) {
        if (count_ < n) Refill();
        return static_cast<uint32_t>(window_ >> (64 - n));
    }
    void Skip(int n) {
        while (n > 32) {
            Read(32);
            n -= 32;
        }
        if (count_ < n) Refill();
        Drop(n);
    }
    // The hot loops' fast path: Need(n) (n <= 56) makes n bits buffered, after which the
    // unchecked calls may take up to n bits without testing the buffer again.
    void Need(int n) {
        if (count_ < n) Refill();
    }
    // The next bits at the top of 64 (at least as many as the last Need asked for are
    // valid; what lies below them is further stream data or zero).
    uint64_t WindowUnchecked() const { return window_; }
    // n in 1..56.
    uint32_t PeekUnchecked(int n) const { return static_cast<uint32_t>(window_ >> (64 - n)); }
    void SkipUnchecked(int n) { Drop(n); }
    // n in 0..56; a count of 0 reads nothing and gives 0, so that optional fields (escape
    // bits, signs) need no branch.
    uint64_t ReadUnchecked(int n) {
        const uint64_t v = (window_ >> 1) >> (63 - n);
        Drop(n);
        return v;
    }
    // One bit when `take` is 1, nothing (and 0) when it is 0.
    uint32_t ReadBitIf(uint32_t take) {
        const auto v = static_cast<uint32_t>(window_ >> 63) & take;
        Drop(static_cast<int>(take));
        return v;
    }

    // Bits consumed since the reset point.
    int64_t BitsConsumed() const { return pos_ * 8 - count_; }

private:
    // The window holds the next bits at its top: count_ of them are counted, and below them
    // may lie further stream bits already loaded (never anything else), so that a reload
    // can simply OR the next eight bytes in.
    void Drop(int n) {
        window_ <<= n;
        count_ -= n;
    }
    void Refill() {
        if (pos_ + 8 <= size_) [[likely]] {
            uint64_t v;
            std::memcpy(&v, data_ + pos_, 8);
            window_ |= __builtin_bswap64(v) >> count_;
            pos_ += (63 - count_) >> 3;
            count_ |= 56;  // whole bytes added: 56..63 bits counted
            return;
        }
        while (count_ <= 56) {
            const uint64_t b = pos_ < size_ ? data_[pos_] : 0;
            window_ |= b << (56 - count_);
            ++pos_;
            count_ += 8;
        }
    }

    const uint8_t* data_ = nullptr;
    int64_t size_ = 0;
    int64_t pos_ = 0;  // next byte to count; may pass size_ (zero bits)
    uint64_t window_ = 0;
    int count_ = 0;  // bits counted at the top of window_
};

}  // namespace zentu
