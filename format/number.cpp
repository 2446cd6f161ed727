#include "number.h"

const char *Number_parse(std::string_view text, std::int64_t min, std::int64_t max, std::int64_t &value)
{
    value = 0;
    bool negative = !text.empty() && text.front() == '-' && min < 0;
    if (negative)
        text.remove_prefix(1);
    if (text.empty())
        return "invalid";
    // Accumulated as a magnitude, stopping once it is past either bound.
    const std::uint64_t limit = negative ? 0 - static_cast<std::uint64_t>(min) : static_cast<std::uint64_t>(max);
    std::uint64_t magnitude = 0;
    bool past = false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return "invalid";
        if (!past) {
            magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
            past = magnitude > limit;
        }
    }
    if (past)
        return negative ? "too small" : "too large";
    std::int64_t number = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    if (number < min)
        return "too small";
    if (number > max)
        return "too large";
    value = number;
    return nullptr;
}
