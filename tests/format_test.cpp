#include "json.h"
#include "mac.h"
#include "number.h"
#include "record.h"
#include "text.h"

#include <array>
#include <cstdio>
#include <cstdlib>
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

// The ranges that -m takes, a range of one address among them; its
// refusals are recbatch's end to end.
TEST(MacRange, TakenWithBothEnds)
{
    const struct {
        const char *text;
        std::uint64_t first;
        std::uint64_t last;
    } cases[] = {
        {"0050c2000005-0050c2000005", 0x0050c2000005, 0x0050c2000005},
        {"00:50:c2:00:00:05-0050C20000FF", 0x0050c2000005, 0x0050c20000ff},
    };
    for (const auto &c : cases) {
        Mac_range range{};
        EXPECT_EQ(Mac_parseRange(c.text, range), nullptr) << c.text;
        EXPECT_EQ(range.first.bits, c.first) << c.text;
        EXPECT_EQ(range.last.bits, c.last) << c.text;
    }
}

TEST(Number, WholeWordsInRange)
{
    struct Case {
        std::string text;
        std::int64_t min, max;
        const char *why; // nullptr: read as value
        std::int64_t value;
    };
    const Case cases[] = {
        {"0", 0, 10, nullptr, 0},
        {"10", 0, 10, nullptr, 10},
        {"11", 0, 10, "too large", 0},
        {"0", 1, 10, "too small", 0},
        {"007", 0, 10, nullptr, 7},
        {"-5", -10, 10, nullptr, -5},
        {"-5", 0, 10, "invalid", 0}, // no sign where none can be
        {"-11", -10, 10, "too small", 0},
        {"", 0, 10, "invalid", 0},
        {"-", -10, 10, "invalid", 0},
        {"+5", 0, 10, "invalid", 0},
        {" 5", 0, 10, "invalid", 0},
        {"5 ", 0, 10, "invalid", 0},
        {"5x", 0, 10, "invalid", 0},
        {"0x10", 0, 100, "invalid", 0},
        {"2147483647", INT32_MIN, INT32_MAX, nullptr, INT32_MAX},
        {"-2147483648", INT32_MIN, INT32_MAX, nullptr, INT32_MIN},
        {"2147483648", INT32_MIN, INT32_MAX, "too large", 0},
        {"99999999999999999999999", 0, 10, "too large", 0}, // past 64 bits
        {"9223372036854775807", 0, INT64_MAX, nullptr, INT64_MAX},
        {"-9223372036854775808", INT64_MIN, 0, nullptr, INT64_MIN},
        {"99999999999999999999x", 0, 10, "invalid", 0}, // not a number, however long
    };
    for (const Case &c : cases) {
        std::int64_t value = -1;
        const char *why = Number_parse(c.text, c.min, c.max, value);
        EXPECT_STREQ(why, c.why) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(Text, EscapesWhatMovesATerminal)
{
    struct Case {
        std::string text;
        std::string escaped;
        bool utf8;
    };
    const Case cases[] = {
        {"SN-1001", "SN-1001", true},
        {"a\nb\rc\td", "a\\nb\\rc\\td", true},
        {"\x1b[31m", "\\x1b[31m", true},
        {std::string("\x00\x7f", 2), "\\x00\\x7f", true},
        {"\xc2\x85\xc2\x9b", "\\u0085\\u009b", true},              // C1 characters
        {"\xe2\x80\xae" "abc\xe2\x81\xa6", "\\u202eabc\\u2066", true}, // bidi controls
        {"\xe2\x80\xa9", "\xe2\x80\xa9", true},                     // other marks stay
        {"caf\xc3\xa9 \xe4\xb8\xad", "caf\xc3\xa9 \xe4\xb8\xad", true},
        {"\x9b" "2J", "\\x9b2J", false},                            // a lone C1 byte
        {"\xc0\xaf", "\\xc0\\xaf", false},                          // overlong
        {"\xed\xa0\x80", "\\xed\\xa0\\x80", false},                 // surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80", false},        // past U+10FFFF
        {"\xe2\x80", "\\xe2\\x80", false},                          // cut short
    };
    for (const Case &c : cases) {
        char out[64];
        EXPECT_EQ(Text_escape(c.text, out, sizeof out), c.escaped.size()) << c.escaped;
        EXPECT_EQ(std::string(out), c.escaped);
        EXPECT_EQ(Text_isUtf8(c.text), c.utf8) << c.escaped;
    }
    char small[5];
    EXPECT_EQ(Text_escape("ab\ncd", small, sizeof small), 4u); // cut at a whole escape
    EXPECT_STREQ(small, "ab\\n");
}

TEST(Mac, ReadAsLabelsPrintIt)
{
    struct Case {
        std::string text;
        std::uint64_t bits; // 0: not an address in any form
    };
    const Case cases[] = {
        {"0050c2100001", 0x0050c2100001},
        {"0050C2A1B2C3", 0x0050c2a1b2c3},
        {"00:50:c2:10:00:01", 0x0050c2100001},
        {"00-50-C2-10-00-01", 0x0050c2100001},
        {"0050.c210.0001", 0x0050c2100001},
        {"0050.C2A1.b2C3", 0x0050c2a1b2c3},
        {"ff:ff:ff:ff:ff:ff", 0xffffffffffff},
        {"00:50-c2:10:00:01", 0},  // separators mixed
        {"00:50:c2:10:00:0g", 0},  // not a hex digit
        {"0:50:c2:10:00:01", 0},   // a pair cut short
        {"00:50:c2:10:00:01:", 0}, // one too many
        {"00:50:c2:10:00", 0},
        {"00.50.c2.10.00.01", 0},  // dots join groups of four
        {"005.0c21.00001", 0},
        {"0050:c210:0001", 0},     // colons join pairs
        {"0050c210000", 0},
        {"0050c21000011", 0},
        {"SN-000017", 0},
        {"00 50 c2 10 00 01", 0},
        {"", 0},
    };
    for (const Case &c : cases) {
        Mac_address mac{0};
        EXPECT_EQ(Mac_parseAny(c.text, mac), c.bits != 0) << c.text;
        EXPECT_EQ(mac.bits, c.bits) << c.text;
    }
}

TEST(Json, StringsAsRecdumpWritesThem)
{
    struct Case {
        std::string text;
        std::string json;
    };
    const Case cases[] = {
        {"line2-st4", "\"line2-st4\""},
        {"say \"hi\" \\ back", "\"say \\\"hi\\\" \\\\ back\""},
        {"a\nb\tc\x1b\x7f", "\"a\\u000ab\\u0009c\\u001b\\u007f\""},
        {std::string("\0", 1), "\"\\u0000\""},
        {"caf\xc3\xa9 \xe4\xb8\xad", "\"caf\xc3\xa9 \xe4\xb8\xad\""},      // UTF-8 stays text
        {"caf\xc3\xa9\xff", "\"caf\\u00c3\\u00a9\\u00ff\""},                // else every byte from 0x80
        {"\xc2\x85", "\"\xc2\x85\""},                                    // a C1 character is UTF-8
        {"", "\"\""},
    };
    for (const Case &c : cases) {
        char *bytes = nullptr;
        std::size_t size = 0;
        std::FILE *out = open_memstream(&bytes, &size);
        ASSERT_NE(out, nullptr);
        Json_string(out, c.text);
        std::fclose(out);
        EXPECT_EQ(std::string(bytes, size), c.json) << c.json;
        std::free(bytes);
    }
}

} // namespace
