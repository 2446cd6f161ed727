#include "hex.h"

std::uint8_t Parse_ToHex(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<std::uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f')
        return static_cast<std::uint8_t>(c - 'a' + 10);
    return 0;
}

bool Hex_isDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool Hex_decode(std::span<const char> digits, std::span<std::uint8_t> bytes)
{
    if (digits.size() != 2 * bytes.size())
        return false;
    for (char c : digits)
        if (!Hex_isDigit(c))
            return false;
    for (std::size_t k = 0; k < bytes.size(); ++k)
        bytes[k] = static_cast<std::uint8_t>(16 * Parse_ToHex(digits[2 * k]) +
                                             Parse_ToHex(digits[2 * k + 1]));
    return true;
}
