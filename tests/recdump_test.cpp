// The reader run as a program on record files: lines, message and status.
#include "harness.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <sstream>
#include <string>

using namespace std::string_literals;

namespace {

const std::string EXAMPLE_DUMP = R"(0 1 mac 7 00:50:c2:a1:b2:c3
8 2 ssid 12 "Velmar-Setup"
23 3 channel 1 6
27 4 security 1 3
31 5 wep-index 1 1
35 6 wep-key 5 a1b2c3d4e5
43 7 passphrase 23 "factory-passphrase-2400"
69 8 user-name 5 "admin"
77 9 password 9 "Vm2400adm"
89 10 manufacturer 16 "Velmar Networks"
108 11 model-number 9 "VW-2400N"
120 12 model-type 21 "802.11n Access Point"
144 13 device-name 15 "Velmar AP 2400"
162 14 host-name 10 "velmar-ap\n"
)";

struct Case {
    const char *name;
    std::string file;
    std::string out;
    std::string err;
    int status;
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

const std::string BLOCK = From_hex("16 07 00 11 22 33 44 55");
const std::string BLOCK_LINE = "0 1 mac 7 00:11:22:33:44:55\n";

const Case CASES[] = {
    {"empty_file", "", "", "", 0},
    {"block_alone", BLOCK, BLOCK_LINE, "", 0},
    {"escapes", Record(2, "a\"b\\c\td\r\x01\xff"), "0 2 ssid 10 \"a\\\"b\\\\c\\td\\r\\001\\377\"\n", "", 0},
    {"text_zero_not_shown", Record(10, "Acme\0"s), "0 10 manufacturer 5 \"Acme\"\n", "", 0},
    {"empty_texts", Record(13, "\0"s) + Record(14, ""), "0 13 device-name 1 \"\"\n4 14 host-name 0 \"\"\n", "", 0},
    {"numbers_and_key", Record(3, "\xa5") + Record(6, "\x01\xab\xcd\xef\x10"),
     "0 3 channel 1 165\n4 6 wep-key 5 01abcdef10\n", "", 0},
    {"checksum", BLOCK + Record(2, "abc") + From_hex("5a 0e 06 6e 6f 64 65 31 0a"),
     BLOCK_LINE + "8 2 ssid 3 \"abc\"\n", "recdump: offset 14: checksum 0x5a, expected 0x3b\n", 1},
    {"type_unknown", Record(15, "x"), "", "recdump: offset 0: type 15, expected 2 to 14\n", 1},
    {"type_mac_as_record", Record(2, "ab") + Record(1, "x"), "0 2 ssid 2 \"ab\"\n",
     "recdump: offset 5: type 1, expected 2 to 14\n", 1},
    {"header_cut_short", Record(2, "ab") + "\x00\x02"s, "0 2 ssid 2 \"ab\"\n",
     "recdump: offset 5: header cut short, 2 of 3 bytes\n", 1},
    {"data_cut_short", Record(8, "admin").substr(0, 6), "", "recdump: offset 0: data cut short, 3 of 5 bytes\n", 1},
    {"text_without_zero", Record(11, "VW"), "", "recdump: offset 0: text does not end in 0x00\n", 1},
    {"text_of_no_bytes", Record(12, ""), "", "recdump: offset 0: text does not end in 0x00\n", 1},
    {"short_file_is_no_block", From_hex("07 07"), "", "recdump: offset 0: header cut short, 2 of 3 bytes\n", 1},
    // A valid block followed by a broken record: the fault named is the record's.
    {"block_then_broken_record", BLOCK + Record(20, ""), BLOCK_LINE,
     "recdump: offset 8: type 20, expected 2 to 14\n", 1},
    // Both readings fit: a pass phrase record of 8 bytes and a channel, or a
    // MAC block and a password. The block wins.
    {"both_readings_fit", From_hex("6e 07 08 61 62 63 64 65 02 09 04 06 03 01 06"),
     "0 1 mac 7 08:61:62:63:64:65\n8 9 password 4 \"\\006\\003\\001\\006\"\n", "", 0},
};

class Recdump : public testing::TestWithParam<Case> {};

TEST_P(Recdump, LinesMessageAndStatus)
{
    const Case &c = GetParam();
    std::string dir = Scratch_dir();
    Program_result run = Run_on_bytes(RECDUMP, c.file, dir);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(Files, Recdump, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<Case> &info) { return info.param.name; });

std::string Example_file(const std::string &dir)
{
    EXPECT_EQ(Run_program(TROSKET, {EXAMPLE_SCRIPT, dir + "/example.bin"}, dir).status, 0);
    return Read_file(dir + "/example.bin");
}

TEST(RecdumpExample, ShowsEveryValueInOrder)
{
    std::string dir = Scratch_dir();
    Example_file(dir);
    Program_result run = Run_program(RECDUMP, {dir + "/example.bin"}, dir);
    EXPECT_EQ(run.out, EXAMPLE_DUMP);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

TEST(RecdumpExample, ReadsStandardInputFromAPipe)
{
    std::string dir = Scratch_dir();
    Example_file(dir);
    std::string command = "cat '" + dir + "/example.bin' | '" RECDUMP "' - > '" + dir + "/dump.txt'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(Read_file(dir + "/dump.txt"), EXAMPLE_DUMP);
}

// A flipped checksum or data byte is found, and named by its record's offset;
// a flip anywhere else never crashes the reader or makes it hang.
TEST(RecdumpExample, EveryFlippedByteIsHandled)
{
    std::string dir = Scratch_dir();
    std::string file = Example_file(dir);
    std::istringstream lines(EXAMPLE_DUMP);
    std::string line;
    std::getline(lines, line); // the MAC block
    std::size_t checked = 0;
    for (std::size_t at = 8; at < file.size(); at += 3 + static_cast<unsigned char>(file[at + 2])) {
        std::size_t end = at + 3 + static_cast<unsigned char>(file[at + 2]);
        for (std::size_t pos = at; pos < end; pos = pos == at ? at + 3 : pos + 1) {
            std::string broken = file;
            broken[pos] = static_cast<char>(broken[pos] ^ 0x01);
            Program_result run = Run_on_bytes(RECDUMP, broken, dir);
            EXPECT_EQ(run.status, 1) << pos;
            EXPECT_TRUE(run.err.starts_with("recdump: offset " + std::to_string(at) + ": ")) << pos << run.err;
            ++checked;
        }
    }
    EXPECT_EQ(checked, file.size() - 8 - 2 * 13); // all but the type and length bytes
    for (std::size_t pos = 0; pos < file.size(); ++pos) {
        for (unsigned char flip : {0x01, 0x80, 0xff}) {
            std::string broken = file;
            broken[pos] = static_cast<char>(broken[pos] ^ flip);
            int status = Run_on_bytes(RECDUMP, broken, dir).status;
            EXPECT_TRUE(status == 0 || status == 1) << pos << " ^ " << +flip << ": " << status;
        }
    }
}

TEST(RecdumpCommandLine, UsageAndUnreadableFiles)
{
    std::string dir = Scratch_dir();
    struct Call {
        std::vector<std::string> args;
        std::string err;
        int status;
    };
    const Call calls[] = {
        {{}, "usage: recdump FILE\n", 2},
        {{dir + "/none.bin"}, "recdump: " + dir + "/none.bin: No such file or directory\n", 2},
        {{dir}, "recdump: " + dir + ": Is a directory\n", 2},
    };
    for (const Call &call : calls) {
        Program_result run = Run_program(RECDUMP, call.args, dir);
        EXPECT_EQ(run.err, call.err);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.status, call.status);
    }
}

} // namespace
