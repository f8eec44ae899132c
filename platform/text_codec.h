// Tag texts and file names as UTF-8 for display. Texts that do not say their encoding were
// written on the desktops this program came from in the Japanese code page (CP932), on others
// in ISO-8859-1 as Windows writes it (Windows-1252); newer tags say UTF-8 or UTF-16.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zentu {

enum class TTextEncoding : uint8_t { Windows1252, Cp932, Utf8, Utf16LE, Utf16BE };

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

// `bytes` as UTF-8 with each ill-formed sequence (its longest start that could begin a
// character) replaced by one U+FFFD.
std::string RepairedUtf8(std::string_view bytes);

// The one encoding to read texts in that do not say theirs and were written by one program
// (the fields of one tag). UTF-8 when each is UTF-8 (its last character perhaps cut off) and
// one has a multi-byte character; otherwise CP932 or Windows-1252, whichever reading looks
// more like text of its script: kana, runs of double-byte characters and of half-width
// katakana speak for CP932; an accented letter beside ASCII letters and typographic
// punctuation between words for Windows-1252; each byte that the reading cannot decode
// (CP932's user-defined characters included) against it. On equal evidence the user's locale
// decides: CP932 where it is Japanese (LC_ALL, LC_CTYPE or LANG starting "ja").
TTextEncoding UntypedEncoding(std::span<const std::string_view> texts);

// `bytes` in `encoding`, up to its end mark (a zero byte; in UTF-16 a zero unit), as UTF-8.
// A byte-order mark in front is dropped, and so is a character cut off at the end (a field
// of fixed size); whatever cannot be decoded becomes U+FFFD.
std::string TextToUtf8(std::string_view bytes, TTextEncoding encoding);

// A lone text that does not say its encoding (a file name), read in its UntypedEncoding.
std::string UntypedTextToUtf8(std::string_view bytes);

}  // namespace zentu
