#include "mac.h"

#include "hex.h"

bool Mac_parse(std::string_view text, Mac_address &mac)
{
    std::array<std::uint8_t, MAC_ADDR_LEN> bytes{};
    if (!Hex_decode({text.data(), text.size()}, bytes))
        return false;
    mac = Mac_fromBytes(bytes);
    return true;
}

bool Mac_parseTyped(std::string_view text, Mac_address &mac)
{
    if (text.size() != 3 * MAC_ADDR_LEN - 1)
        return Mac_parse(text, mac);
    std::array<char, 2 * MAC_ADDR_LEN> digits{};
    for (std::size_t i = 0; i < MAC_ADDR_LEN; ++i) {
        if (i > 0 && text[3 * i - 1] != ':')
            return false;
        digits[2 * i] = text[3 * i];
        digits[2 * i + 1] = text[3 * i + 1];
    }
    return Mac_parse({digits.data(), digits.size()}, mac);
}

bool Mac_parseAny(std::string_view text, Mac_address &mac)
{
    // Each form: its length, its separator, and how many digits each group has.
    struct Form {
        std::size_t size;
        char separator;
        std::size_t group;
    };
    static constexpr Form FORMS[] = {{17, ':', 2}, {17, '-', 2}, {14, '.', 4}};
    for (const Form &form : FORMS) {
        if (text.size() != form.size)
            continue;
        std::array<char, 2 * MAC_ADDR_LEN> digits{};
        std::size_t n = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            bool separatorPlace = i % (form.group + 1) == form.group;
            if (separatorPlace != (text[i] == form.separator))
                break;
            if (!separatorPlace)
                digits[n++] = text[i];
        }
        if (n == digits.size() && Mac_parse({digits.data(), digits.size()}, mac))
            return true;
    }
    return Mac_parse(text, mac);
}

Mac_address Mac_fromBytes(std::span<const std::uint8_t, MAC_ADDR_LEN> bytes)
{
    std::uint64_t bits = 0;
    for (std::uint8_t byte : bytes)
        bits = bits << 8 | byte;
    return {bits};
}

void Mac_toBytes(Mac_address mac, std::span<std::uint8_t, MAC_ADDR_LEN> bytes)
{
    for (std::size_t i = 0; i < MAC_ADDR_LEN; ++i)
        bytes[i] = static_cast<std::uint8_t>(mac.bits >> (8 * (MAC_ADDR_LEN - 1 - i)));
}

namespace {

constexpr char DIGITS[] = "0123456789abcdef";

} // namespace

Mac_hexText Mac_hex(Mac_address mac)
{
    Mac_hexText text{};
    for (std::size_t i = 0; i < 2 * MAC_ADDR_LEN; ++i)
        text[i] = DIGITS[mac.bits >> (44 - 4 * i) & 0x0f];
    return text;
}

Mac_colonText Mac_colons(Mac_address mac)
{
    Mac_hexText hex = Mac_hex(mac);
    Mac_colonText text{};
    for (std::size_t i = 0; i < MAC_ADDR_LEN; ++i) {
        text[3 * i] = hex[2 * i];
        text[3 * i + 1] = hex[2 * i + 1];
        if (i + 1 < MAC_ADDR_LEN)
            text[3 * i + 2] = ':';
    }
    return text;
}

const char *Mac_misfit(Mac_address mac)
{
    if (mac.bits == 0)
        return "an address of all zeros";
    if (mac.bits >> 40 & 0x01)
        return "the group bit (0x01 of the first byte) is set";
    return nullptr;
}

const char *Mac_parseRange(std::string_view text, Mac_range &range)
{
    std::size_t dash = text.find('-');
    if (dash == std::string_view::npos || !Mac_parseTyped(text.substr(0, dash), range.first) ||
        !Mac_parseTyped(text.substr(dash + 1), range.last))
        return "expected FIRST-LAST, each 12 hex digits or the colon form";
    if (range.first > range.last)
        return "FIRST is above LAST";
    if (range.first.bits >> 24 != range.last.bits >> 24)
        return "FIRST and LAST must share their first three bytes";
    if (const char *why = Mac_misfit(range.first))
        return why;
    return Mac_misfit(range.last);
}
