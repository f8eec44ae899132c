#include "platform/text_codec.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace zentu {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::string FromUtf16(std::string_view bytes, bool bigEndian) {
    std::string out;
    auto unitAt = [&](size_t i) -> uint32_t {
        auto b0 = static_cast<uint8_t>(bytes[i]), b1 = static_cast<uint8_t>(bytes[i + 1]);
        return bigEndian ? (b0 << 8 | b1) : (b1 << 8 | b0);
    };
    // An odd last byte is half a character: dropped.
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t unit = unitAt(i);
        if (unit == 0) break;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 3 >= bytes.size()) break;  // a pair cut off at the end
            uint32_t low = unitAt(i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
            } else {
                out += kReplacement;
            }
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            out += kReplacement;
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}

// One converter per thread, reset before each text so that no state carries over.
class TCp932Converter {
public:
    TCp932Converter() : cd_(iconv_open("UTF-8", "CP932")) {}
    ~TCp932Converter() {
        if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
    }
    TCp932Converter(const TCp932Converter&) = delete;
    TCp932Converter& operator=(const TCp932Converter&) = delete;

    std::string Convert(std::string_view bytes) {
        std::string out;
        if (cd_ == reinterpret_cast<iconv_t>(-1)) {
            // No converter: keep ASCII, mark the rest.
            for (char c : bytes) out += (static_cast<uint8_t>(c) < 0x80) ? std::string(1, c) : std::string(kReplacement);
            return out;
        }
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char* in = const_cast<char*>(bytes.data());
        size_t inLeft = bytes.size();
        char buffer[256];
        while (inLeft > 0) {
            char* outPtr = buffer;
            size_t outLeft = sizeof buffer;
            size_t result = iconv(cd_, &in, &inLeft, &outPtr, &outLeft);
            out.append(buffer, outPtr - buffer);
            if (result != static_cast<size_t>(-1)) break;
            if (errno == E2BIG) continue;
            if (errno == EINVAL) break;  // a character cut off at the end
            out += kReplacement;         // EILSEQ: one byte that starts no character
            ++in;
            --inLeft;
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        return out;
    }

private:
    iconv_t cd_;
};

}  // namespace

// The length of the well-formed UTF-8 that `bytes` starts with; `cutAtEnd` tells whether
// what follows is only the beginning of a character that the end of the bytes cut off.
static size_t Utf8PrefixLength(std::string_view bytes, bool& cutAtEnd) {
    cutAtEnd = false;
    size_t i = 0;
    while (i < bytes.size()) {
        auto b = static_cast<uint8_t>(bytes[i]);
        if (b < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        uint32_t code, minimum;
        if ((b & 0xE0) == 0xC0) {
            length = 2, code = b & 0x1F, minimum = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            length = 3, code = b & 0x0F, minimum = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            length = 4, code = b & 0x07, minimum = 0x10000;
        } else {
            return i;
        }
        size_t available = std::min(length, bytes.size() - i);
        for (size_t k = 1; k < available; ++k) {
            auto c = static_cast<uint8_t>(bytes[i + k]);
            if ((c & 0xC0) != 0x80) return i;
            code = code << 6 | (c & 0x3F);
        }
        if (available < length) {
            cutAtEnd = true;
            return i;
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return i;
        i += length;
    }
    return i;
}

bool IsValidUtf8(std::string_view bytes) {
    bool cutAtEnd;
    return Utf8PrefixLength(bytes, cutAtEnd) == bytes.size();
}

std::string ToDisplayText(std::string_view bytes) {
    if (bytes.size() >= 2) {
        auto b0 = static_cast<uint8_t>(bytes[0]), b1 = static_cast<uint8_t>(bytes[1]);
        if (b0 == 0xFF && b1 == 0xFE) return FromUtf16(bytes.substr(2), false);
        if (b0 == 0xFE && b1 == 0xFF) return FromUtf16(bytes.substr(2), true);
    }
    if (size_t end = bytes.find('\0'); end != std::string_view::npos) bytes = bytes.substr(0, end);
    bool cutAtEnd;
    size_t valid = Utf8PrefixLength(bytes, cutAtEnd);
    if (valid == bytes.size()) return std::string(bytes);
    // UTF-8 with its last character cut off; the prefix must hold some non-ASCII to tell.
    if (cutAtEnd) {
        std::string_view prefix = bytes.substr(0, valid);
        for (char c : prefix)
            if (static_cast<uint8_t>(c) >= 0x80) return std::string(prefix);
    }
    thread_local TCp932Converter converter;
    return converter.Convert(bytes);
}

}  // namespace zentu
