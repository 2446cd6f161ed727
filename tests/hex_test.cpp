#include "hex.h"

#include <array>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

TEST(ParseToHex, MapsDigitsAndZeroesTheRest)
{
    const std::string chars = "0123456789ABCDEFabcdefGg/:@`\x7f ";
    const std::array<int, 28> expected{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13,
                                       14, 15, 10, 11, 12, 13, 14, 15, 0, 0, 0, 0, 0, 0};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(Parse_ToHex(chars[i]), expected[i]) << chars[i];
        EXPECT_EQ(Hex_isDigit(chars[i]), i < 22) << chars[i];
    }
}

TEST(HexDecode, TwoDigitsPerByteHighFirst)
{
    struct Case {
        std::string digits;
        std::size_t size;
        bool ok;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {"001122334455", 6, true, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
        {"a1B2c3D4e5", 5, true, {0xa1, 0xb2, 0xc3, 0xd4, 0xe5}},
        {"fF", 1, true, {0xff}},
        {"", 0, true, {}},
        {"a1b2c3d4e", 5, false, {}},   // one digit short
        {"a1b2c3d4e5f", 5, false, {}}, // one digit over
        {"a1b2c3d4eg", 5, false, {}},  // not a hex digit
        {"a1 2c3d4e5", 5, false, {}},
    };
    for (const Case &c : cases) {
        std::array<std::uint8_t, 16> out{};
        std::span<std::uint8_t> bytes = std::span(out).first(c.size);
        ASSERT_EQ(Hex_decode(c.digits, bytes), c.ok) << c.digits;
        if (c.ok) {
            EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), c.bytes) << c.digits;
        }
    }
}

} // namespace
