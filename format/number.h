// The one reader of numbers from text: a whole word of decimal digits, in
// a range, as OpenBSD's strtonum reads one.
#pragma once

#include <cstdint>
#include <string_view>

// Reads text as a whole decimal number from min to max into value. The text
// is digits alone, with a leading '-' where min is negative: no blank, no
// '+', nothing after the digits. Returns nullptr when it is one; otherwise,
// with value 0, "invalid" (not a number), "too small" or "too large".
const char *Number_parse(std::string_view text, std::int64_t min, std::int64_t max, std::int64_t &value);
