#include "platform/text_codec.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

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

    // `replaced` tells whether a byte was replaced (one that starts no character).
    std::string Convert(std::string_view bytes, bool& replaced) {
        std::string out;
        replaced = false;
        if (cd_ == reinterpret_cast<iconv_t>(-1)) {
            // No converter: keep ASCII, mark the rest.
            for (char c : bytes) {
                const bool ascii = static_cast<uint8_t>(c) < 0x80;
                out += ascii ? std::string(1, c) : std::string(kReplacement);
                replaced |= !ascii;
            }
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
            replaced = true;
            ++in;
            --inLeft;
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        return out;
    }

private:
    iconv_t cd_;
};

// One step of UTF-8: the character at `i`, or the ill-formed sequence there (the longest
// start that could still have begun a character, at least one byte).
struct TUtf8Step {
    size_t length;
    bool valid;
    bool cutAtEnd;  // a well-begun character that the end of the bytes cut off
};

TUtf8Step Utf8StepAt(std::string_view bytes, size_t i) {
    const auto b = static_cast<uint8_t>(bytes[i]);
    if (b < 0x80) return {1, true, false};
    size_t need;
    uint8_t lower = 0x80, upper = 0xBF;  // the second byte's range: no overlong forms,
    if (b >= 0xC2 && b <= 0xDF) {        // surrogates or code points past U+10FFFF
        need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        if (b == 0xE0) lower = 0xA0;
        if (b == 0xED) upper = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        if (b == 0xF0) lower = 0x90;
        if (b == 0xF4) upper = 0x8F;
    } else {
        return {1, false, false};
    }
    for (size_t k = 1; k <= need; ++k) {
        if (i + k >= bytes.size()) return {k, false, true};
        const auto c = static_cast<uint8_t>(bytes[i + k]);
        if (c < lower || c > upper) return {k, false, false};
        lower = 0x80, upper = 0xBF;
    }
    return {need + 1, true, false};
}

// Windows-1252's 0x80-0x9F; its five unassigned bytes stay the C1 controls of ISO-8859-1.
constexpr uint16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string FromWindows1252(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<uint8_t>(c);
        AppendUtf8(out, b >= 0x80 && b < 0xA0 ? kWindows1252High[b - 0x80] : b);
    }
    return out;
}

// Whether `bytes` reads as CP932 of JIS characters only, with at least one double-byte
// character: lead bytes of JIS X 0208 rows (0x81-0x9F, 0xE0-0xEA), never those of the NEC
// row 13 (0x87), the NEC-selected and IBM extensions (0xED, 0xEE, 0xFA-0xFC) or user-defined
// characters (0xF0-0xF9), which Latin-1 letters such as ë, ö, ó and ü would otherwise pass
// for. Each pair's definedness is the converter's to tell. A lead byte at the very end is a
// character cut off.
bool LooksLikeJisCp932(std::string_view bytes) {
    int doubles = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        if (b < 0x80 || (b >= 0xA1 && b <= 0xDF)) continue;  // ASCII, half-width katakana
        const bool jisLead = (b >= 0x81 && b <= 0x9F && b != 0x87) || (b >= 0xE0 && b <= 0xEA);
        if (!jisLead) return false;
        if (i + 1 == bytes.size()) break;
        const auto t = static_cast<uint8_t>(bytes[++i]);
        if (t < 0x40 || t == 0x7F || t > 0xFC) return false;
        ++doubles;
    }
    return doubles > 0;
}

bool JapaneseLocale() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) return std::string_view(value).substr(0, 2) == "ja";
    }
    return false;
}

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        const TUtf8Step step = Utf8StepAt(bytes, i);
        if (!step.valid) return false;
        i += step.length;
    }
    return true;
}

std::string RepairedUtf8(std::string_view bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size();) {
        const TUtf8Step step = Utf8StepAt(bytes, i);
        if (step.valid)
            out.append(bytes.substr(i, step.length));
        else
            out += kReplacement;
        i += step.length;
    }
    return out;
}

std::string UntypedTextToUtf8(std::string_view bytes) {
    if (size_t end = bytes.find('\0'); end != std::string_view::npos) bytes = bytes.substr(0, end);
    // UTF-8, perhaps with its last character cut off: it must hold a multi-byte character
    // to tell, since plain ASCII reads the same in every encoding here.
    bool multiByte = false, utf8 = true;
    size_t utf8End = 0;
    while (utf8End < bytes.size()) {
        const TUtf8Step step = Utf8StepAt(bytes, utf8End);
        if (!step.valid) {
            utf8 = step.cutAtEnd && utf8End + step.length == bytes.size();
            break;
        }
        multiByte |= step.length > 1;
        utf8End += step.length;
    }
    if (!multiByte && utf8 && utf8End == bytes.size()) return std::string(bytes);  // ASCII
    if (utf8 && multiByte) return std::string(bytes.substr(0, utf8End));
    thread_local TCp932Converter converter;
    if (LooksLikeJisCp932(bytes) || JapaneseLocale()) {
        bool replaced = false;
        std::string text = converter.Convert(bytes, replaced);
        // Strict CP932 anywhere; in a Japanese locale any CP932, repaired where it must be.
        if (!replaced || JapaneseLocale()) return text;
    }
    return FromWindows1252(bytes);
}

std::string ToDisplayText(std::string_view bytes) {
    if (bytes.size() >= 2) {
        auto b0 = static_cast<uint8_t>(bytes[0]), b1 = static_cast<uint8_t>(bytes[1]);
        if (b0 == 0xFF && b1 == 0xFE) return FromUtf16(bytes.substr(2), false);
        if (b0 == 0xFE && b1 == 0xFF) return FromUtf16(bytes.substr(2), true);
    }
    return UntypedTextToUtf8(bytes);
}

}  // namespace zentu
