// The conversion core: settings given as values into a record file image,
// and what became of each value, as data. Whoever gives the values, a script
// read by the readers of script.h or a batch's table, the image is the same.
#pragma once

#include "image.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// One setting given as a value: its type number and the text of its value
// as a script gives it: a number in decimal, the MAC address and a WEP key
// in hex digits, a text as it is, a host name line with its newline when it
// has one.
struct Convert_value {
    std::int32_t type;
    std::string_view text;
};

// Why a value is refused.
enum Convert_rule : std::uint8_t {
    RULE_NONE,            // accepted
    RULE_UNKNOWN_TYPE,    // no setting has the type number; passed over
    RULE_TOO_MANY,        // past the 15 settings of a script
    RULE_MISSING,         // no value where one was due (an empty word)
    RULE_NUL,             // a 0x00 byte in the value
    RULE_TOO_LONG,        // more characters than the setting's reading takes
    RULE_NOT_NUMBER,      // not a whole decimal number
    RULE_NUMBER_OVERFLOW, // a number outside the 32-bit signed range
    RULE_OUT_OF_RANGE,    // a number outside the setting's range
    RULE_WRONG_LENGTH,    // a text or hex value of a length the setting refuses
    RULE_NOT_HEX,         // a character of a hex value that is no hex digit
};

struct Convert_result {
    Convert_rule rule;
    std::size_t index;     // the value's place in its list
    std::int32_t type;
    std::string_view text; // the value as given
    std::int32_t number;   // a number setting's value, once it is read as one
};

// True when the value was refused; a type number outside the table is not,
// as a script passes it over.
constexpr bool Convert_refused(const Convert_result &result)
{
    return result.rule != RULE_NONE && result.rule != RULE_UNKNOWN_TYPE;
}

// Tests value, the index-th of its list, by its setting's rules and adds it
// to image, which must be initialised: a record, or the MAC block, where a
// later address replaces an earlier one. A refused value adds nothing, and
// the caller may go on with the next one.
Convert_result Convert_setting(Image &image, std::size_t index, const Convert_value &value);

// Why a value was refused, in the one wording of each rule outside
// trosket's console, made from the rule and its setting's row, into out
// (NUL-ended, cut to fit): "7 bytes, expected 8 to 63", "\"0x0B\", expected
// a whole number from 0 to 165", "is empty". Lengths are counted in bytes of
// the value as given; a value repeated is cut to its first 40 bytes. Empty
// for RULE_NONE.
void Convert_why(const Convert_result &result, char *out, std::size_t size);

// Converts the values in order into image, which must be initialised, up to
// the first refusal, which is returned; else a result of RULE_NONE. What was
// accepted before a refusal stays in the image.
Convert_result Convert_settings(Image &image, std::span<const Convert_value> values);
