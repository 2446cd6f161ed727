// The reader run as a program on record files: lines, message and status.
#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <sstream>
#include <string>

using namespace std::string_literals;

namespace {

const std::string EXAMPLE_DUMP = R"(0 1 mac 7 00:50:c2:a1:b2:c3
8 2 ssid 12 "Velmar-Setup"
23 3 channel 1 6
27 4 security 1 3
31 5 wep-index 1 1
35 6 wep-key 5 7f3e9d4c68
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

// SSIDs of 255 bytes, n of them: fifteen make the longest record file there
// can be, 3870 bytes; and their lines from offset at.
std::string Ssids(int n)
{
    std::string file;
    for (int i = 0; i < n; ++i)
        file += Record(2, std::string(255, 's'));
    return file;
}

std::string Ssid_lines(std::size_t at, int n)
{
    std::string lines;
    for (int i = 0; i < n; ++i, at += 258)
        lines += std::to_string(at) + " 2 ssid 255 \"" + std::string(255, 's') + "\"\n";
    return lines;
}

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
    {"numbers_of_no_bytes", Record(3, "") + Record(6, ""), "0 3 channel 0\n3 6 wep-key 0\n", "", 0},
    {"short_file_is_no_block", From_hex("07 07"), "", "recdump: offset 0: header cut short, 2 of 3 bytes\n", 1},
    // A valid block followed by a broken record: the fault named is the record's.
    {"block_then_broken_record", BLOCK + Record(20, ""), BLOCK_LINE,
     "recdump: offset 8: type 20, expected 2 to 14\n", 1},
    // Both readings fit: a pass phrase record of 8 bytes and a channel, or a
    // MAC block and a password. The block wins.
    {"both_readings_fit", From_hex("6e 07 08 61 62 63 64 65 02 09 04 06 03 01 06"),
     "0 1 mac 7 08:61:62:63:64:65\n8 9 password 4 \"\\006\\003\\001\\006\"\n", "", 0},
    // No more than the longest record file is read: a longer file is refused
    // at the record that reaches past it.
    {"longest_file", Ssids(15), Ssid_lines(0, 15), "", 0},
    {"a_byte_past_the_longest_file", Ssids(15) + "\x01", Ssid_lines(0, 15),
     "recdump: offset 3870: past the 3870 bytes of the longest record file\n", 1},
    {"a_record_past_the_longest_file", Record(3, "\x06") + Ssids(15), "0 3 channel 1 6\n" + Ssid_lines(4, 14),
     "recdump: offset 3616: past the 3870 bytes of the longest record file\n", 1},
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
        std::string out = "";
    };
    const std::string usage = "usage: recdump [-j | -s] FILE\n       recdump --help | --version\n";
    const Call calls[] = {
        {{}, usage, 2},
        {{"-x", dir}, usage, 2},
        {{"-j", "-s", dir}, usage, 2},
        {{dir, dir}, usage, 2},
        {{dir + "/none.bin"}, "recdump: " + dir + "/none.bin: No such file or directory\n", 2},
        {{dir}, "recdump: " + dir + ": Is a directory\n", 2},
        {{"--version"}, "", 0, "recdump 2.8\n"},
        {{"--help"}, "", 0, usage},
        {{"--version", dir}, usage, 2},
    };
    for (const Call &call : calls) {
        Program_result run = Run_program(RECDUMP, call.args, dir);
        EXPECT_EQ(run.err, call.err);
        EXPECT_EQ(run.out, call.out);
        EXPECT_EQ(run.status, call.status);
    }
}

const std::string EXAMPLE_JSON = R"({
  "records": [
    {"offset": 0, "type": 1, "name": "mac", "length": 7, "value": "00:50:c2:a1:b2:c3", "data": "0050c2a1b2c3"},
    {"offset": 8, "type": 2, "name": "ssid", "length": 12, "value": "Velmar-Setup", "data": "56656c6d61722d5365747570"},
    {"offset": 23, "type": 3, "name": "channel", "length": 1, "value": 6, "data": "06"},
    {"offset": 27, "type": 4, "name": "security", "length": 1, "value": 3, "data": "03"},
    {"offset": 31, "type": 5, "name": "wep-index", "length": 1, "value": 1, "data": "01"},
    {"offset": 35, "type": 6, "name": "wep-key", "length": 5, "value": "7f3e9d4c68", "data": "7f3e9d4c68"},
    {"offset": 43, "type": 7, "name": "passphrase", "length": 23, "value": "factory-passphrase-2400", "data": "666163746f72792d706173737068726173652d32343030"},
    {"offset": 69, "type": 8, "name": "user-name", "length": 5, "value": "admin", "data": "61646d696e"},
    {"offset": 77, "type": 9, "name": "password", "length": 9, "value": "Vm2400adm", "data": "566d3234303061646d"},
    {"offset": 89, "type": 10, "name": "manufacturer", "length": 16, "value": "Velmar Networks", "data": "56656c6d6172204e6574776f726b7300"},
    {"offset": 108, "type": 11, "name": "model-number", "length": 9, "value": "VW-2400N", "data": "56572d323430304e00"},
    {"offset": 120, "type": 12, "name": "model-type", "length": 21, "value": "802.11n Access Point", "data": "3830322e31316e2041636365737320506f696e7400"},
    {"offset": 144, "type": 13, "name": "device-name", "length": 15, "value": "Velmar AP 2400", "data": "56656c6d6172204150203234303000"},
    {"offset": 162, "type": 14, "name": "host-name", "length": 10, "value": "velmar-ap\u000a", "data": "76656c6d61722d61700a"}
  ],
  "well_formed": true
}
)";

// The exit status of a shell command line.
int Shell(const std::string &command)
{
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// True when a standard JSON parser takes the text.
bool Parses_as_json(const std::string &dir, const std::string &text)
{
    Write_file(dir + "/doc.json", text);
    return Shell("jq -e . '" + dir + "/doc.json' >/dev/null 2>&1") == 0;
}

TEST(RecdumpJson, ExampleDocument)
{
    std::string dir = Scratch_dir();
    Example_file(dir);
    Program_result run = Run_program(RECDUMP, {"-j", dir + "/example.bin"}, dir);
    EXPECT_EQ(run.out, EXAMPLE_JSON);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(Parses_as_json(dir, run.out));
}

// Every file of the listing's table, well formed or not, gives a document
// that parses, with the verdict of the listing and its fault in its words.
TEST(RecdumpJson, EveryFileGivesAValidDocument)
{
    std::string dir = Scratch_dir();
    for (const Case &c : CASES) {
        Program_result run = Run_program(RECDUMP, {"-j", (Write_file(dir + "/f.bin", c.file), dir + "/f.bin")}, dir);
        EXPECT_EQ(run.status, c.status) << c.name;
        EXPECT_EQ(run.err, c.err) << c.name;
        EXPECT_TRUE(Parses_as_json(dir, run.out)) << c.name << "\n" << run.out;
        EXPECT_NE(run.out.find(c.status == 0 ? "\"well_formed\": true" : "\"well_formed\": false"),
                  std::string::npos) << c.name;
        if (c.status != 0) {
            std::string fault = c.err.substr(c.err.find(": ", 9) + 2); // after "recdump: offset N: "
            fault.pop_back();
            EXPECT_NE(run.out.find("\"text\": \"" + fault + "\""), std::string::npos) << c.name << run.out;
        }
    }
    // A text of well-formed UTF-8 is that text; in any other, each byte
    // outside ASCII is \u00XX. Quotes, backslashes and control characters
    // are escaped, the data is exact, and every document parses.
    struct Text {
        std::string bytes;
        std::string value; // as the document gives it
        std::string data;
    };
    const Text texts[] = {
        {"a\"b\\c\x01\x7f\x80\xff", R"(a\"b\\c\u0001\u007f\u0080\u00ff)", "6122625c63017f80ff"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb6", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb6",
         "636166c3a920e282ac20f09f93b6"},
        {"\xc3\xa9\t\"\\\x7f", "\xc3\xa9" R"(\u0009\"\\\u007f)", "c3a909225c7f"},
        {"\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf", "f48fbfbf"},             // U+10FFFF, the last
        {"caf\xc3\xa9\xff", R"(caf\u00c3\u00a9\u00ff)", "636166c3a9ff"}, // one stray byte
        {"\xc0\xaf", R"(\u00c0\u00af)", "c0af"},                           // overlong
        {"\xe0\x9f\xbf", R"(\u00e0\u009f\u00bf)", "e09fbf"},              // overlong
        {"\xed\xa0\x80", R"(\u00ed\u00a0\u0080)", "eda080"},              // a surrogate
        {"\xf4\x90\x80\x80", R"(\u00f4\u0090\u0080\u0080)", "f4908080"}, // past U+10FFFF
        {"\xe2\x82", R"(\u00e2\u0082)", "e282"},                           // cut short
    };
    for (const Text &t : texts) {
        Write_file(dir + "/f.bin", Record(9, t.bytes));
        Program_result run = Run_program(RECDUMP, {"-j", dir + "/f.bin"}, dir);
        EXPECT_NE(run.out.find("\"value\": \"" + t.value + "\", \"data\": \"" + t.data + "\""), std::string::npos)
            << run.out;
        EXPECT_TRUE(Parses_as_json(dir, run.out)) << run.out;
    }
}

TEST(RecdumpScript, ExampleRoundTrip)
{
    std::string dir = Scratch_dir();
    std::string file = Example_file(dir);
    ASSERT_EQ(Shell("'" RECDUMP "' -s '" + dir + "/example.bin' > '" + dir + "/back.txt'"), 0);
    EXPECT_EQ(Read_file(dir + "/back.txt"), "1 0050c2a1b2c3\n2 Velmar-Setup\n3 6\n4 3\n5 1\n6 7f3e9d4c68\n"
                                            "7 factory-passphrase-2400\n8 admin\n9 Vm2400adm\n"
                                            "10 Velmar Networks\n11 VW-2400N\n12 802.11n Access Point\n"
                                            "13 Velmar AP 2400\n14 velmar-ap\n");
    ASSERT_EQ(Run_program(TROSKET, {dir + "/back.txt", dir + "/again.bin"}, dir).status, 0);
    EXPECT_EQ(Read_file(dir + "/again.bin"), file);
}

// Files at the edges of what a script can give, each converted back.
TEST(RecdumpScript, EdgesRoundTrip)
{
    const std::string block = From_hex("16 07 00 11 22 33 44 55");
    const std::string h127(127, 'h');
    const std::string files[] = {
        "",
        block,
        Record(10, "Acme\r\0"s),                          // a CR that ends the script
        Record(14, "node\r"),                             // likewise
        Record(14, "node1"),                              // no line end, last
        Record(14, "") ,                                  // empty, last
        Record(14, "\n") + Record(3, "\x06"),             // a line end alone
        Record(14, h127) + Record(3, "\x06"),             // the longest line, read without it
        Record(14, h127.substr(1) + "\n") + block.substr(0, 0),
        Record(10, "\0"s) + Record(13, "  two  blanks \0"s) + Record(10, "a\rb\0"s),
        block + Record(2, std::string(255, 's')) + Record(7, std::string(63, 'p')) + Record(7, "12345678"),
        block + Record(3, "\xa5") + Record(4, "\x80") + Record(5, "\x04") + Record(4, "\x00"s),
        Record(6, "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d") + Record(8, "\xEF\xBB\xBF"),
        block + Record(3, "\x06") + Record(3, "\x06") + Record(3, "\x06") + Record(3, "\x06") +
            Record(3, "\x06") + Record(3, "\x06") + Record(3, "\x06") + Record(3, "\x06") + Record(3, "\x06") +
            Record(3, "\x06") + Record(3, "\x06") + Record(3, "\x06") + Record(3, "\x06") + Record(14, "x"),
    };
    std::string dir = Scratch_dir();
    for (const std::string &file : files) {
        Write_file(dir + "/f.bin", file);
        Program_result back = Run_program(RECDUMP, {"-s", dir + "/f.bin"}, dir);
        ASSERT_EQ(back.status, 0) << testing::PrintToString(file) << back.err;
        Write_file(dir + "/back.txt", back.out);
        Program_result again = Run_program(TROSKET, {dir + "/back.txt", dir + "/again.bin"}, dir);
        EXPECT_EQ(again.status, 0) << testing::PrintToString(back.out) << again.out;
        EXPECT_EQ(Read_file(dir + "/again.bin"), file) << testing::PrintToString(back.out);
    }
}

TEST(RecdumpScript, RefusesWhatNoScriptGives)
{
    const std::string block = From_hex("16 07 00 11 22 33 44 55");
    std::string sixteen;
    for (int i = 0; i < 16; ++i)
        sixteen += Record(3, "\x06");
    struct Refusal {
        std::string file;
        std::string err;
    };
    const Refusal refusals[] = {
        {sixteen, "offset 60: channel: setting 16 of a script, expected at most 15"},
        {block + sixteen.substr(4), "offset 64: channel: setting 16 of a script, expected at most 15"},
        {Record(2, "my net"), "offset 0: ssid: no script line can carry this value"},
        {Record(7, "pass phrase"), "offset 0: passphrase: no script line can carry this value"},
        {Record(9, "pass\tword"), "offset 0: password: no script line can carry this value"},
        {Record(8, ""), "offset 0: user-name: no script line can carry this value"},
        {Record(2, "a\0b"s), "offset 0: ssid: no script line can carry this value"},
        {Record(3, "\x06") + Record(11, "VW\n2400\0"s), "offset 4: model-number: no script line can carry this value"},
        {Record(12, "a\0b\0"s), "offset 0: model-type: no script line can carry this value"},
        {Record(10, "Acme\r\0"s) + Record(3, "\x06"), "offset 0: manufacturer: no script line can carry this value"},
        {Record(3, "\xa6"), "offset 0: channel: \"166\", expected a whole number from 0 to 165"},
        {Record(4, "\x81"), "offset 0: security: \"129\", expected a whole number from 0 to 128"},
        {Record(5, "\x00"s), "offset 0: wep-index: \"0\", expected a whole number from 1 to 4"},
        {Record(4, "\x01\x02"), "offset 0: security: 2 bytes, expected 1"},
        {Record(6, "\x01\x02\x03\x04\x05\x06"), "offset 0: wep-key: 12 characters, expected 10 or 26 hex digits"},
        {Record(6, ""), "offset 0: wep-key: is empty"},
        {Record(7, "1234567"), "offset 0: passphrase: 7 bytes, expected 8 to 63"},
        {Record(7, std::string(64, 'p')), "offset 0: passphrase: 64 bytes, expected 8 to 63"},
        {Record(14, "node1") + Record(3, "\x06"), "offset 0: host-name: no script line can carry this value"},
        {Record(14, "") + Record(3, "\x06"), "offset 0: host-name: no script line can carry this value"},
        {Record(14, "node1\r\n"), "offset 0: host-name: no script line can carry this value"},
        {Record(14, "a\nb\n"), "offset 0: host-name: no script line can carry this value"},
        {Record(14, std::string(128, 'h') + "\n"), "offset 0: host-name: 129 bytes, expected 0 to 127"},
        {Record(14, std::string(128, 'h')), "offset 0: host-name: 128 bytes, expected 0 to 127"},
        // A malformed file is reported as the listing reports it.
        {Record(2, "ab") + Record(15, "x"), "offset 5: type 15, expected 2 to 14"},
        {block + Record(3, "\x06").substr(0, 3), "offset 8: data cut short, 0 of 1 bytes"},
    };
    std::string dir = Scratch_dir();
    for (const Refusal &r : refusals) {
        Program_result run = Run_on_bytes(RECDUMP, r.file, dir);
        Write_file(dir + "/f.bin", r.file);
        run = Run_program(RECDUMP, {"-s", dir + "/f.bin"}, dir);
        EXPECT_EQ(run.err, "recdump: " + r.err + "\n");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.status, 1) << r.err;
    }
}

// Standard streams: output that fails, input that stands past its start,
// and closed streams never taken for files.
TEST(RecdumpStreams, OutputFailureIsAnError)
{
    std::string dir = Scratch_dir();
    Example_file(dir);
    for (const char *option : {"-j", "-s"}) {
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{dir + "/example.bin"}, {option, dir + "/example.bin"}}) {
            Program_result run = Run_program_to(RECDUMP, args, dir, "/dev/full");
            EXPECT_EQ(run.err, "recdump: stdout: No space left on device\n") << args[0];
            EXPECT_EQ(run.status, 2);
            run = Run_program_to(RECDUMP, args, dir, "");
            EXPECT_EQ(run.err, "recdump: stdout: Bad file descriptor\n") << args[0];
            EXPECT_EQ(run.status, 2);
        }
    }
    for (const char *answer : {"--help", "--version"}) {
        Program_result run = Run_program_to(RECDUMP, {answer}, dir, "");
        EXPECT_EQ(run.err, "recdump: stdout: Bad file descriptor\n") << answer;
        EXPECT_EQ(run.status, 2);
    }
}

TEST(RecdumpStreams, StandardInputFromWhereItStands)
{
    std::string dir = Scratch_dir();
    std::string file = Example_file(dir);
    Write_file(dir + "/tail.bin", file.substr(8));
    Program_result tail = Run_program(RECDUMP, {dir + "/tail.bin"}, dir);
    ASSERT_EQ(tail.status, 0);
    const std::string in = " < '" + dir + "/example.bin'";
    const std::string out = " > '" + dir + "/out.txt' 2> '" + dir + "/err.txt'";
    struct Line {
        std::string command;
        int status;
        std::string out;
        std::string err;
    };
    const Line lines[] = {
        {"(dd bs=8 count=1 of=/dev/null 2>/dev/null; '" RECDUMP "' -)" + in + out, 0, tail.out, ""},
        {"dd bs=8 skip=1 2>/dev/null" + in + " | '" RECDUMP "' -" + out, 0, tail.out, ""},
        {"'" RECDUMP "' -" + in + out, 0, EXAMPLE_DUMP, ""},
        {"cat '" + dir + "/example.bin' | '" RECDUMP "' - >&- 2> '" + dir + "/err.txt'", 2, "",
         "recdump: stdout: Bad file descriptor\n"},
        {"'" RECDUMP "' - <&-" + out, 2, "", "recdump: -: Bad file descriptor\n"},
    };
    for (const Line &line : lines) {
        Write_file(dir + "/out.txt", "");
        EXPECT_EQ(Shell(line.command), line.status) << line.command;
        EXPECT_EQ(Read_file(dir + "/out.txt"), line.out) << line.command;
        EXPECT_EQ(Read_file(dir + "/err.txt"), line.err) << line.command;
    }
}

} // namespace
