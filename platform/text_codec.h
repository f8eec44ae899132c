// Tag texts and file names as UTF-8 for display. Tags written on the desktops this program
// came from hold the Japanese code page (CP932); others ISO-8859-1 as Windows writes it
// (Windows-1252); newer ones UTF-8 or UTF-16 with a BOM.
#pragma once

#include <string>
#include <string_view>

namespace zentu {

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

// `bytes` as UTF-8 with each ill-formed sequence (its longest start that could begin a
// character) replaced by one U+FFFD.
std::string RepairedUtf8(std::string_view bytes);

// A text whose file does not say its encoding (ID3v1, ID3v2 encoding 0, Lyrics3, RIFF INFO,
// file names), up to its first NUL, as UTF-8. UTF-8 when it is valid UTF-8 with at least one
// multi-byte character; CP932 when every byte pair is a JIS character (no NEC, IBM or
// user-defined lead bytes) and there is at least one, or whatever it holds when the user's
// locale is Japanese (LC_ALL, LC_CTYPE or LANG starting "ja"); Windows-1252 otherwise. A
// character cut off at the end (a fixed-size field) is dropped.
std::string UntypedTextToUtf8(std::string_view bytes);

// `bytes` as UTF-8 for display: after a UTF-16 BOM (FF FE or FE FF) decoded as UTF-16 of that
// order, anything else as UntypedTextToUtf8. Bytes that cannot be decoded become U+FFFD.
std::string ToDisplayText(std::string_view bytes);

}  // namespace zentu
