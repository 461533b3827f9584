#pragma once

// UTF-8 text helpers. Every function that takes text expects valid UTF-8
// unless it says otherwise.

#include <cstddef>
#include <string>
#include <string_view>

namespace burrowlink::text {

// True when `bytes` is well-formed UTF-8 (no surrogates, no overlongs).
bool is_valid_utf8(std::string_view bytes);

// Appends the UTF-8 bytes of code point `c`, which must be below U+110000.
// A surrogate gets the three bytes of its form, which is no valid UTF-8:
// the caller decides whether one may come.
void append_utf8(std::string& out, char32_t c);

// Number of Unicode scalar values in `text`.
std::size_t scalar_count(std::string_view text);

// The first `count` scalar values of `text` (all of it when shorter).
std::string_view first_scalars(std::string_view text, std::size_t count);

// `text` without leading and trailing White_Space characters.
std::string_view trim_white_space(std::string_view text);

// True for a code point with the Unicode White_Space property.
bool is_white_space(char32_t c);

// `text` under the full Unicode lowercase mapping, context rules included
// (final sigma, dotted capital I).
std::string to_lower(std::string_view text);

// The byte length of the bidirectional control character (Bidi_Control:
// U+061C, U+200E, U+200F, U+202A-U+202E, U+2066-U+2069) that `text`
// starts with; 0 when it starts with none.
std::size_t bidi_control_length(std::string_view text);

// `text` with every C0 and C1 control character other than line feed and tab,
// and every bidirectional control, shown in a visible escaped form ("\x1b",
// "\u{9b}", "\u{202e}"), for terminals.
std::string escape_controls(std::string_view text);

// The columns `text` takes on a terminal (wide characters count two,
// combining marks none).
std::size_t display_width(std::string_view text);

// The longest start of `text`, cut between characters, that takes at most
// `columns` columns on a terminal.
std::string leading_columns(std::string_view text, std::size_t columns);

// Replaces each ill-formed sequence with U+FFFD.
std::string to_valid_utf8(std::string_view bytes);

}  // namespace burrowlink::text
