// The conversion core called in process: each rule of a value, and a script
// read from a stream that fails partway, where a read error is never taken
// for the end of the script.
#include "convert.h"
#include "harness.h"
#include "script.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <sys/types.h>

using namespace std::string_literals;

namespace {

std::string Repeat15(const std::string &s)
{
    std::string out;
    for (int i = 0; i < 15; ++i)
        out += s;
    return out;
}

std::string Image_text(const Image &image)
{
    std::span<const std::uint8_t> bytes = Image_bytes(image);
    return {bytes.begin(), bytes.end()};
}

TEST(Convert, EveryRuleOfAValue)
{
    const std::string abc = Record(2, "abc");
    const std::string channel6 = Record(3, "\x06");
    struct Case {
        std::vector<std::pair<std::int32_t, std::string>> values;
        Convert_rule rule;
        std::size_t index;   // of the refusal, or the count
        std::int32_t number; // of a number refused by its range
        std::string image;   // what was accepted, the MAC block first
        std::string why;     // the refusal in words, as Convert_why gives it
    };
    std::vector<std::pair<std::int32_t, std::string>> sixteen(16, {3, "6"});
    const Case cases[] = {
        {{{2, "abc"}, {3, "6"}, {10, "Acme"}}, RULE_NONE, 3, 0, abc + channel6 + Record(10, "Acme\0"s), ""},
        {{{3, "+6"}, {3, "006"}}, RULE_NONE, 2, 0, channel6 + channel6, ""},
        {{{2, "abc"}, {3, "166"}, {2, "abc"}}, RULE_OUT_OF_RANGE, 1, 166, abc,
         "\"166\", expected a whole number from 0 to 165"},
        {{{3, "-1"}}, RULE_OUT_OF_RANGE, 0, -1, "", "\"-1\", expected a whole number from 0 to 165"},
        {{{5, "0"}}, RULE_OUT_OF_RANGE, 0, 0, "", "\"0\", expected a whole number from 1 to 4"},
        {{{3, "0x0B"}}, RULE_NOT_NUMBER, 0, 0, "", "\"0x0B\", expected a whole number from 0 to 165"},
        {{{3, "6 "}}, RULE_NOT_NUMBER, 0, 0, "", "\"6 \", expected a whole number from 0 to 165"},
        {{{3, "-"}}, RULE_NOT_NUMBER, 0, 0, "", "\"-\", expected a whole number from 0 to 165"},
        {{{4, "2147483648"}}, RULE_NUMBER_OVERFLOW, 0, 0, "", "\"2147483648\", expected a whole number from 0 to 128"},
        {{{4, "99999999999x"}}, RULE_NOT_NUMBER, 0, 0, "", "\"99999999999x\", expected a whole number from 0 to 128"},
        {{{3, ""}}, RULE_MISSING, 0, 0, "", "is empty"},
        {{{2, ""}}, RULE_MISSING, 0, 0, "", "is empty"},
        {{{10, ""}, {14, ""}}, RULE_NONE, 2, 0, Record(10, "\0"s) + Record(14, ""), ""},
        {{{2, "a\0b"s}}, RULE_NUL, 0, 0, "", "holds a 0x00 byte"},
        {{{11, "VW\0"s}}, RULE_NUL, 0, 0, "", "holds a 0x00 byte"},
        {{{2, std::string(255, 's')}}, RULE_NONE, 1, 0, Record(2, std::string(255, 's')), ""},
        {{{2, std::string(30000, 's')}}, RULE_TOO_LONG, 0, 0, "", "30000 bytes, expected 0 to 255"},
        {{{13, std::string(255, 't')}}, RULE_TOO_LONG, 0, 0, "", "255 bytes, expected 0 to 254"},
        {{{14, "node1\n"}, {14, std::string(127, 'h')}}, RULE_NONE, 2, 0,
         Record(14, "node1\n") + Record(14, std::string(127, 'h')), ""},
        {{{14, std::string(127, 'h') + "\n"}}, RULE_TOO_LONG, 0, 0, "", "128 bytes, expected 0 to 127"},
        {{{7, "abcdefg"}}, RULE_WRONG_LENGTH, 0, 0, "", "7 bytes, expected 8 to 63"},
        {{{7, std::string(64, 'p')}}, RULE_WRONG_LENGTH, 0, 0, "", "64 bytes, expected 8 to 63"},
        {{{6, "A1B2C3D4E5"}}, RULE_NONE, 1, 0, Record(6, "\xa1\xb2\xc3\xd4\xe5"), ""},
        {{{6, "A1B2C3D4EZ"}}, RULE_NOT_HEX, 0, 0, "", "\"A1B2C3D4EZ\", expected 10 or 26 hex digits"},
        {{{6, "A1B2C3D4E5F"}}, RULE_WRONG_LENGTH, 0, 0, "", "11 characters, expected 10 or 26 hex digits"},
        {{{6, std::string(300, 'a')}}, RULE_TOO_LONG, 0, 0, "", "300 characters, expected 10 or 26 hex digits"},
        {{{1, "00112233445"}}, RULE_WRONG_LENGTH, 0, 0, "", "\"00112233445\", expected 12 hex digits"},
        {{{1, "00112233445G"}}, RULE_NOT_HEX, 0, 0, "", "\"00112233445G\", expected 12 hex digits"},
        // The last address is the one of the block, which stands first.
        {{{3, "6"}, {1, "001122334455"}, {1, "0a0B0c0D0e0F"}}, RULE_NONE, 3, 0,
         From_hex("06 07 0a 0b 0c 0d 0e 0f") + channel6, ""},
        // A type number outside the table is passed over, as in a script.
        {{{20, "x"}, {-3, ""}, {0, ""}, {2, "abc"}}, RULE_NONE, 4, 0, abc, ""},
        // A refusal repeats at most 40 bytes of the value.
        {{{3, std::string(50, '9')}}, RULE_NUMBER_OVERFLOW, 0, 0, "",
         std::string(1, '"').append(40, '9').append("\", expected a whole number from 0 to 165")},
        {sixteen, RULE_TOO_MANY, 15, 0, Repeat15(channel6), "setting 16 of a script, expected at most 15"},
    };
    for (const Case &c : cases) {
        std::vector<Convert_value> values;
        for (const auto &[type, text] : c.values)
            values.push_back({type, text});
        SCOPED_TRACE(testing::PrintToString(c.values).substr(0, 80));
        Image image{};
        Image_init(image);
        Convert_result result = Convert_settings(image, values);
        EXPECT_EQ(result.rule, c.rule);
        EXPECT_EQ(result.index, c.index);
        EXPECT_EQ(Image_text(image), c.image);
        if (c.rule != RULE_NONE) {
            EXPECT_EQ(result.type, values[c.index].type);
            EXPECT_EQ(result.text, values[c.index].text);
        }
        if (c.rule == RULE_OUT_OF_RANGE) {
            EXPECT_EQ(result.number, c.number);
        }
        char why[128];
        Convert_why(result, why, sizeof why);
        EXPECT_EQ(why, c.why);
    }
}

// Serves its chunks in turn, an empty chunk as one failed read, and fails
// every read after the last.
ssize_t Read_chunks(void *cookie, char *buf, size_t size)
{
    auto *chunks = static_cast<std::vector<std::string> *>(cookie);
    if (chunks->empty() || chunks->front().empty()) {
        if (!chunks->empty())
            chunks->erase(chunks->begin());
        return -1;
    }
    std::string &text = chunks->front();
    size_t n = std::min(size, text.size());
    std::memcpy(buf, text.data(), n);
    text.erase(0, n);
    if (text.empty())
        chunks->erase(chunks->begin());
    return static_cast<ssize_t>(n);
}

TEST(Convert, ReadErrorWhereverItStrikes)
{
    struct Case {
        std::vector<std::string> chunks; // served before and after a failure
        std::size_t recordBytes;         // what the image holds by then
    };
    const Case cases[] = {
        {{""}, 0},                    // byte order mark
        {{"\xEF", ""}, 0},            // byte order mark cut by the failure
        {{"3 6\n"}, 4},               // type number after a record
        {{"1 "}, 0},                  // MAC address
        {{"2 "}, 0},                  // token
        {{"3 "}, 0},                  // integer
        {{"6 "}, 0},                  // WEP key
        {{"7 "}, 0},                  // pass phrase
        {{"10 Ac"}, 0},               // rest of line
        {{"14 node"}, 0},             // line
        {{"20 rest"}, 0},             // the skipped line of an unknown type
        {{"3 6 #"}, 4},               // a word that may end the script
        {{Repeat15("3 6\n")}, 60},    // what follows the last type number
        // One failed read, then the stream goes on: the failure is never
        // taken for the end of the value, here after a CR.
        {{"10 Acme\r", "", "\n"}, 0},
        {{"3 6\r", "", "\n"}, 0},
        {{"2 abc", "", "\n"}, 0},
    };
    for (const Case &c : cases) {
        std::vector<std::string> chunks = c.chunks;
        cookie_io_functions_t io{Read_chunks, nullptr, nullptr, nullptr};
        std::FILE *fpIn = fopencookie(&chunks, "r", io);
        ASSERT_NE(fpIn, nullptr);
        std::setvbuf(fpIn, nullptr, _IONBF, 0);
        Script script{};
        Script_init(script, fpIn);
        Script_given given{};
        Script_readAll(script, given);
        Image image{};
        Image_init(image);
        EXPECT_EQ(Script_convert(given, image).rule, RULE_NONE) << c.chunks[0];
        EXPECT_EQ(given.ending, ENDING_READ_ERROR) << c.chunks[0];
        EXPECT_EQ(Image_bytes(image).size(), c.recordBytes) << c.chunks[0];
        std::fclose(fpIn);
    }
}

} // namespace
