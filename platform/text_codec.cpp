#include "platform/text_codec.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>

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

// UTF-16 in the given byte order, a byte-order mark of that order in front dropped.
std::string FromUtf16(std::string_view bytes, bool bigEndian) {
    std::string out;
    auto unitAt = [&](size_t i) -> uint32_t {
        auto b0 = static_cast<uint8_t>(bytes[i]), b1 = static_cast<uint8_t>(bytes[i + 1]);
        return bigEndian ? (b0 << 8 | b1) : (b1 << 8 | b0);
    };
    size_t i = bytes.size() >= 2 && unitAt(0) == 0xFEFF ? 2 : 0;
    // An odd last byte is half a character: dropped.
    for (; i + 1 < bytes.size(); i += 2) {
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

    // `replaced` counts the bytes replaced (each one that starts no character).
    std::string Convert(std::string_view bytes, int& replaced) {
        std::string out;
        replaced = 0;
        if (cd_ == reinterpret_cast<iconv_t>(-1)) {
            // No converter: keep ASCII, mark the rest.
            for (char c : bytes) {
                const bool ascii = static_cast<uint8_t>(c) < 0x80;
                out += ascii ? std::string(1, c) : std::string(kReplacement);
                replaced += !ascii;
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
            ++replaced;
            ++in;
            --inLeft;
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        return out;
    }

private:
    iconv_t cd_;
};

TCp932Converter& Cp932() {
    thread_local TCp932Converter converter;
    return converter;
}

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

// `bytes` without a last character that the end cut off, when that is all that keeps it
// from being UTF-8; nullopt when it is not UTF-8.
std::optional<std::string_view> Utf8Body(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        const TUtf8Step step = Utf8StepAt(bytes, i);
        if (!step.valid) {
            if (step.cutAtEnd && i + step.length == bytes.size()) return bytes.substr(0, i);
            return std::nullopt;
        }
        i += step.length;
    }
    return bytes;
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

// What a reading loses for each byte it cannot decode: more than any text's evidence for it
// outweighs, so that a reading that decodes everything wins over one that does not.
constexpr int kUndecodable = 10;

bool IsAsciiLetter(uint8_t b) { return (b | 0x20) >= 'a' && (b | 0x20) <= 'z'; }

// How much the bytes look like Japanese text read as CP932. Kana and the JIS level 1 kanji
// are what such text is mostly made of; characters of the JIS rows count a little, and so
// does each neighbour of a double-byte character or a half-width katakana that is one of
// them, and a half-width katakana with neither an ASCII letter nor a space beside it (Latin-1
// read as CP932 gives lone characters beside ASCII letters); user-defined characters,
// undecodable bytes and a character cut off at the end count against. The NEC and IBM
// extensions (①, 髙) count neither way.
int Cp932Evidence(std::string_view bytes) {
    auto wordAt = [&](size_t i) {
        if (i >= bytes.size()) return false;
        const auto b = static_cast<uint8_t>(bytes[i]);
        return b == ' ' || IsAsciiLetter(b);
    };
    int score = 0;
    bool afterJapanese = false;  // the character before was double-byte or half-width katakana
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        const bool halfWidthKana = b >= 0xA1 && b <= 0xDF;
        const bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
        if (b < 0x80 || !(halfWidthKana || lead)) {
            if (b >= 0x80) score -= kUndecodable;  // 0x80, 0xA0, 0xFD-0xFF: no character of CP932
            afterJapanese = false;
            continue;
        }
        if (halfWidthKana) {
            score += !(i > 0 && wordAt(i - 1)) && !wordAt(i + 1);
        } else {
            if (i + 1 == bytes.size()) return score - 1;
            const auto t = static_cast<uint8_t>(bytes[i + 1]);
            if (t < 0x40 || t == 0x7F || t > 0xFC) {
                afterJapanese = false;  // the converter counts the bad lead byte
                continue;
            }
            ++i;
            if (b >= 0xF0 && b <= 0xF9) {
                score -= kUndecodable;
                afterJapanese = false;
                continue;
            }
            const auto code = static_cast<uint16_t>(b << 8 | t);
            const bool kana = (b == 0x82 && t >= 0x9F) || (b == 0x83 && t <= 0x96);
            const bool level1Kanji = code >= 0x889F && code <= 0x9872;
            const bool jisRow = b <= 0x84 || (b >= 0x88 && b <= 0x9F) || (b >= 0xE0 && b <= 0xEA);
            score += kana ? 3 : level1Kanji ? 2 : jisRow ? 1 : 0;
        }
        if (afterJapanese) ++score;
        afterJapanese = true;
    }
    return score;
}

// How much the bytes look like Western text read as Windows-1252: an accented letter counts
// for each ASCII letter beside it, once more when it stands among ASCII, and once more as a
// capital before a small ASCII letter (CP932 read as Windows-1252 gives runs of symbols and
// letters); quotes, dashes and the ellipsis between words count, more between two ASCII
// letters (an apostrophe); two symbols side by side count against, and so does each byte
// Windows-1252 leaves undefined.
int Windows1252Evidence(std::string_view bytes) {
    enum TKind { kBoundary, kAscii, kLetter, kPunctuation, kSymbol, kUndefined };
    auto kindAt = [&](size_t i) {
        if (i >= bytes.size()) return kBoundary;
        const auto b = static_cast<uint8_t>(bytes[i]);
        if (b < 0x80) return kAscii;
        switch (b) {
        case 0x81: case 0x8D: case 0x8F: case 0x90: case 0x9D: return kUndefined;
        case 0x85: case 0x91: case 0x92: case 0x93: case 0x94: case 0x96: case 0x97:
        case 0xA1: case 0xAB: case 0xBB: case 0xBF: return kPunctuation;
        case 0x8A: case 0x8C: case 0x8E: case 0x9A: case 0x9C: case 0x9E: case 0x9F: return kLetter;
        default: return b >= 0xC0 && b != 0xD7 && b != 0xF7 ? kLetter : kSymbol;
        }
    };
    auto letterAt = [&](size_t i) { return i < bytes.size() && IsAsciiLetter(static_cast<uint8_t>(bytes[i])); };
    int score = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        const TKind kind = kindAt(i);
        const TKind before = i == 0 ? kBoundary : kindAt(i - 1), after = kindAt(i + 1);
        const bool letterBefore = i > 0 && letterAt(i - 1), letterAfter = letterAt(i + 1);
        if (kind == kUndefined) {
            score -= kUndecodable;
        } else if (kind == kLetter) {
            const bool capital = b == 0x8A || b == 0x8C || b == 0x8E || b == 0x9F || (b >= 0xC0 && b <= 0xDE);
            score += letterBefore + letterAfter + (before <= kAscii && after <= kAscii);
            score += capital && letterAfter && bytes[i + 1] >= 'a';
        } else if (kind == kPunctuation && before <= kLetter && after <= kLetter && (before == kAscii || after == kAscii)) {
            score += 2 + (letterBefore && letterAfter);
        }
        if (kind >= kPunctuation && kind != kUndefined && after >= kPunctuation && after != kUndefined) --score;
    }
    return score;
}

bool JapaneseLocale() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) return std::string_view(value).substr(0, 2) == "ja";
    }
    return false;
}

std::string_view BeforeZeroByte(std::string_view bytes) { return bytes.substr(0, bytes.find('\0')); }

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

TTextEncoding UntypedEncoding(std::span<const std::string_view> texts) {
    auto nonAscii = [](std::string_view text) { return std::any_of(text.begin(), text.end(), [](char c) { return c & 0x80; }); };
    bool utf8 = true, multiByte = false;
    for (std::string_view text : texts) {
        const auto body = Utf8Body(BeforeZeroByte(text));
        utf8 = utf8 && body;
        multiByte |= body && nonAscii(*body);
    }
    if (utf8 && multiByte) return TTextEncoding::Utf8;
    int cp932 = 0, windows1252 = 0;
    for (std::string_view text : texts) {
        text = BeforeZeroByte(text);
        if (!nonAscii(text)) continue;  // ASCII reads the same either way
        int replaced = 0;
        Cp932().Convert(text, replaced);
        cp932 += Cp932Evidence(text) - kUndecodable * replaced;
        windows1252 += Windows1252Evidence(text);
    }
    if (cp932 != windows1252) return cp932 > windows1252 ? TTextEncoding::Cp932 : TTextEncoding::Windows1252;
    return JapaneseLocale() ? TTextEncoding::Cp932 : TTextEncoding::Windows1252;
}

std::string TextToUtf8(std::string_view bytes, TTextEncoding encoding) {
    switch (encoding) {
    case TTextEncoding::Utf16LE:
    case TTextEncoding::Utf16BE:
        return FromUtf16(bytes, encoding == TTextEncoding::Utf16BE);
    case TTextEncoding::Utf8: {
        bytes = BeforeZeroByte(bytes);
        if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
        // A character cut off at the end goes; one broken inside is marked.
        size_t end = 0;
        while (end < bytes.size()) {
            const TUtf8Step step = Utf8StepAt(bytes, end);
            if (step.cutAtEnd && end + step.length == bytes.size()) break;
            end += step.length;
        }
        return RepairedUtf8(bytes.substr(0, end));
    }
    case TTextEncoding::Cp932: {
        int replaced = 0;
        return Cp932().Convert(BeforeZeroByte(bytes), replaced);
    }
    case TTextEncoding::Windows1252:
        break;
    }
    return FromWindows1252(BeforeZeroByte(bytes));
}

std::string UntypedTextToUtf8(std::string_view bytes) {
    const std::string_view texts[] = {bytes};
    return TextToUtf8(bytes, UntypedEncoding(texts));
}

}  // namespace zentu
