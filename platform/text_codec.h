// Tag texts and file names as UTF-8 for display. Tags written on the desktops this program
// came from hold the Japanese code page (CP932); newer ones UTF-8 or UTF-16 with a BOM.
#pragma once

#include <string>
#include <string_view>

namespace zentu {

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

// `bytes` up to its first NUL as UTF-8: valid UTF-8 as it is; after a UTF-16 BOM (FF FE or
// FE FF) decoded as UTF-16 of that order; anything else as CP932. Bytes that cannot be
// decoded become U+FFFD; a character cut off at the end (a fixed-size field) is dropped.
std::string ToDisplayText(std::string_view bytes);

}  // namespace zentu
