#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// UTF-8 as names on disk and in requests carry it: decoded strictly (no overlong forms, no
// surrogates, nothing above U+10FFFF), with invalid bytes told apart rather than guessed at.
namespace tessel {

// The first code point a byte above the Unicode range stands for: an invalid byte b decodes as
// kInvalidCodePoint + b, so names holding such bytes still sort consistently.
inline constexpr char32_t kInvalidCodePoint = 0x110000;

// Decodes the code point at pos and advances past it; a byte that does not start a valid
// sequence decodes as kInvalidCodePoint + byte and is passed over alone. pos must lie in text.
char32_t NextCodePoint(std::string_view text, std::size_t& pos);

// Whether the whole text is valid UTF-8.
bool IsValidUtf8(std::string_view text);

// The text with each invalid byte replaced by U+FFFD.
std::string ReplaceInvalidUtf8(std::string_view text);

// A name a visitor chose, made safe to store and show: invalid bytes replaced as above, and
// control characters (C0, DEL, C1) and the bidirectional controls that make a name show as
// another (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069) each replaced by "_".
std::string SafeName(std::string_view name);

}  // namespace tessel
