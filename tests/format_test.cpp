#include "record.h"

#include <array>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> Bytes(const std::string &s)
{
    return {s.begin(), s.end()};
}

TEST(Chksum, XorsTheFirstLenBytes)
{
    struct Case {
        std::string bytes;
        std::uint8_t len;
        std::uint8_t expected;
    };
    const Case cases[] = {
        {"", 0, 0x00},
        {"\x5a", 1, 0x5a},
        {"abc", 3, 0x60},
        {"abc", 2, 0x03},            // bytes past len do not count
        {"Acme", 4, 0x2a},
        {std::string("Acme\0", 5), 5, 0x2a}, // a 0x00 byte changes nothing
        {"node1\n", 6, 0x3b},
        {std::string(255, '\xff'), 255, 0xff},
    };
    for (const Case &c : cases) {
        std::vector<std::uint8_t> bytes = Bytes(c.bytes);
        EXPECT_EQ(Chksum_calculate(bytes.data(), c.len), c.expected) << c.bytes;
    }
}

TEST(MacBlock, FormsTheEightByteLayout)
{
    const std::array<std::uint8_t, MAC_ADDR_LEN> addr{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::array<std::uint8_t, MAC_BLOCK_LEN> block{};
    Mac_block_form(addr, block);
    const std::array<std::uint8_t, MAC_BLOCK_LEN> expected{0x16, 0x07, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(block, expected);
}

TEST(MacBlock, ValidOnlyWithTagAndChecksum)
{
    struct Case {
        std::vector<std::uint8_t> bytes;
        bool valid;
    };
    const Case cases[] = {
        {{0x16, 0x07, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, true},
        {{0x16, 0x07, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0xde, 0xad}, true}, // trailing bytes
        {{0x17, 0x07, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, false},             // checksum
        {{0x16, 0x07, 0x00, 0x11, 0x22, 0x33, 0x44, 0x54}, false},             // address
        {{0x06, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, false},             // tag, sum fits
        {{0x07, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00}, false},                   // seven bytes
        {{}, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Mac_block_valid(c.bytes), c.valid) << testing::PrintToString(c.bytes);
}

} // namespace
