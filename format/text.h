// Texts that messages repeat, and the UTF-8 rule.
#pragma once

#include <cstddef>
#include <string_view>

// Whether text is wholly well-formed UTF-8 (no overlong form, no surrogate,
// nothing above U+10FFFF).
bool Text_isUtf8(std::string_view text);

// Writes text into out (NUL-ended, cut to fit size) with every character
// that could move or restyle a terminal written as an escape, the same way
// in every program: \n, \r and \t; other C0 bytes, DEL, and bytes that are
// not part of a UTF-8 character as \xNN; C1 characters (U+0080 to U+009F)
// and the bidirectional controls U+202A to U+202E and U+2066 to U+2069 as
// \uNNNN. Everything else is copied as it is. Returns the length written.
std::size_t Text_escape(std::string_view text, char *out, std::size_t size);
