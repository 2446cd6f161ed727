// The checker run as a program: exit status and the bytes on both streams.
#include "harness.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

const std::string BLOCK = From_hex("16 07 00 11 22 33 44 55");

struct Case {
    const char *name;
    std::string bytes;
    int status;
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

const Case CASES[] = {
    {"valid_block", BLOCK, 0},
    {"bytes_after_block_ignored", BLOCK + "\xff\x00 anything", 0},
    {"zero_address", From_hex("07 07 00 00 00 00 00 00"), 0},
    {"empty_file", "", 1},
    {"seven_bytes", BLOCK.substr(0, 7), 1},
    {"short_file_not_padded", From_hex("07 07"), 1},
    {"tag_not_7_but_sum_fits", From_hex("06 06 00 00 00 00 00 00"), 1},
    {"record_file_without_mac", From_hex("60 02 03 61 62 63"), 1},
};

class Halvik : public testing::TestWithParam<Case> {};

TEST_P(Halvik, StatusOnly)
{
    const Case &c = GetParam();
    std::string dir = Scratch_dir();
    Program_result run = Run_on_bytes(HALVIK, c.bytes, dir);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(Files, Halvik, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<Case> &info) { return info.param.name; });

TEST(HalvikBytes, AnyChangedByteOfTheBlockFails)
{
    std::string dir = Scratch_dir();
    for (std::size_t at = 0; at < BLOCK.size(); ++at) {
        for (unsigned char flip : {0x01, 0x80, 0xff}) {
            std::string bytes = BLOCK;
            bytes[at] = static_cast<char>(bytes[at] ^ flip);
            EXPECT_EQ(Run_on_bytes(HALVIK, bytes, dir).status, 1) << at << " ^ " << +flip;
        }
    }
}

TEST(HalvikCommandLine, MessagesAndStatuses)
{
    std::string dir = Scratch_dir();
    Write_file(dir + "/image.bin", BLOCK);
    struct Call {
        std::vector<std::string> args;
        int status;
        std::string err;
        std::string out = "";
    };
    const Call calls[] = {
        {{}, 1, "Usage: halvik FILE\n"},
        {{dir + "/none.bin"}, 1, "File error"},
        {{dir}, 1, "File error"}, // a folder opens but cannot be read
        {{dir + "/image.bin", dir + "/none.bin"}, 0, ""},
        {{"--help"}, 0, "", "usage: halvik FILE\n"},
        {{"--version"}, 0, "", "halvik 2.8\n"},
    };
    for (const Call &call : calls) {
        Program_result run = Run_program(HALVIK, call.args, dir);
        EXPECT_EQ(run.status, call.status) << call.err;
        EXPECT_EQ(run.err, call.err);
        EXPECT_EQ(run.out, call.out);
    }
}

// On a stream shared with the program that reads on, the checker takes the
// eight bytes of the block and not one more.
TEST(HalvikStream, LeavesTheRestOfAPipe)
{
    std::string dir = Scratch_dir();
    std::string image = BLOCK + Record(2, "abc") + std::string(5000, 'x');
    Write_file(dir + "/image.bin", image);
    std::string command = "cat '" + dir + "/image.bin' | { '" HALVIK "' /dev/stdin && cat > '" + dir + "/rest.bin'; }";
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(Read_file(dir + "/rest.bin"), image.substr(8));
}

// The two programs on a production line: convert, then check before flashing.
TEST(ConvertThenCheck, BlockOnlyWhenTheScriptGivesAnAddress)
{
    std::string dir = Scratch_dir();
    Write_file(dir + "/no-mac.txt", "2 abc\n3 6\n");
    struct Line {
        std::string script;
        int verdict;
    };
    const Line lines[] = {{EXAMPLE_SCRIPT, 0}, {dir + "/no-mac.txt", 1}};
    for (const Line &line : lines) {
        ASSERT_EQ(Run_program(TROSKET, {line.script, dir + "/out.bin"}, dir).status, 0);
        EXPECT_EQ(Run_program(HALVIK, {dir + "/out.bin"}, dir).status, line.verdict) << line.script;
    }
}

} // namespace
