// The converter run as a program: console bytes, exit status, record file.
#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

using namespace std::string_literals;

namespace {

const std::string BANNER = "\nVelmar Conversion Utility ver: 2.8 \n";
const std::string USAGE = "\nMissing operand. Try\ntrosket.exe input.txt output.bin\n";
const std::string DONE = "\nScript done !";
constexpr int FAILED = 255; // the converter's -1

struct Case {
    const char *name;
    std::string script;
    std::string console; // after the banner
    int status;
    std::string file;    // the record file's bytes
};

std::string Repeat(const std::string &s, int n)
{
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}

const std::string ABC = From_hex("60 02 03 61 62 63");
const std::string CHANNEL6 = From_hex("06 03 01 06");
const std::string ACME = From_hex("2a 0a 05 41 63 6d 65 00");
const std::string NODE1 = From_hex("3b 0e 06 6e 6f 64 65 31 0a");
const std::string MAC = From_hex("16 07 00 11 22 33 44 55");
const std::string H127(127, 'h');
const std::string T255(255, 't');

const Case CASES[] = {
    // The worked examples of the format.
    {"three_records", "2 abc\n3 6\n10 Acme\n",
     "\nType: 2\nabc, 3\nType: 3\nType: 10\nAcme, 4" + DONE, 0, ABC + CHANNEL6 + ACME},
    {"host_name_keeps_newline", "14 node1\n", "\nType: 14\nnode1\n, 6" + DONE, 0, NODE1},
    {"mac_block", "1 001122334455\n", "\nType: 1\n001122334455" + DONE, 0, MAC},
    // How a script ends.
    {"empty_script", "", DONE, 0, ""},
    {"first_type_zero", "0 abc\n2 abc\n", DONE, 0, ""},
    {"later_zero_is_invalid_type", "2 abc\n0 junk\n",
     "\nType: 2\nabc, 3\nType: 0\nIn valid type" + DONE, 0, ABC},
    // A word that is no number ends the script only as its last word.
    {"end_marker_ends_script", "3 6\nEND \r\n\n", "\nType: 3" + DONE, 0, CHANNEL6},
    {"word_in_the_middle_refused", "2 my net\n3 6\n", "\nType: 2\nmy, 2\nNot a type number", FAILED,
     From_hex("14 02 02 6d 79")},
    {"comment_after_value_refused", "3 6   # channel 6\n2 abc\n", "\nType: 3\nNot a type number", FAILED,
     CHANNEL6},
    {"sign_alone_then_number_refused", "- 2 abc\n", "\nNot a type number", FAILED, ""},
    {"sixteenth_refused", Repeat("20 x\n", 15) + "2 abc\n",
     Repeat("\nType: 20\nIn valid type", 15) + "\nMore than 15 type numbers", FAILED, ""},
    {"fifteen_then_zero_refused", Repeat("3 6\n", 15) + "0\n",
     Repeat("\nType: 3", 15) + "\nMore than 15 type numbers", FAILED, Repeat(CHANNEL6, 15)},
    {"fifteen_then_blanks", Repeat("3 6\n", 15) + " \n\t\n", Repeat("\nType: 3", 15), 0, Repeat(CHANNEL6, 15)},
    {"fifteen_then_end_marker", Repeat("3 6\n", 15) + "END\n", Repeat("\nType: 3", 15), 0,
     Repeat(CHANNEL6, 15)},
    {"fifteen_then_two_words_refused", Repeat("3 6\n", 15) + "END now\n",
     Repeat("\nType: 3", 15) + "\nMore than 15 type numbers", FAILED, Repeat(CHANNEL6, 15)},
    {"type_15_past_the_table", "15 x\n2 abc\n", "\nType: 15\nIn valid type\nType: 2\nabc, 3" + DONE, 0, ABC},
    {"vertical_tab_and_form_feed_are_blanks", "2\vabc\f3\v6\f", "\nType: 2\nabc, 3\nType: 3" + DONE, 0,
     ABC + CHANNEL6},
    // A byte order mark at the start is skipped; anywhere else it is a word.
    {"byte_order_mark_skipped", "\xEF\xBB\xBF" "2 abc\r\n3 6\r\n", "\nType: 2\nabc, 3\nType: 3" + DONE, 0,
     ABC + CHANNEL6},
    {"byte_order_mark_cut_short", "\xEF\xBB" "2 abc\n", "\nNot a type number", FAILED, ""},
    {"byte_order_mark_later", "2 abc\n\xEF\xBB\xBF" "3 6\n", "\nType: 2\nabc, 3\nNot a type number", FAILED,
     ABC},
    {"same_type_twice_in_a_row", "8 bob\n8 eve\n", "\nType: 8\nbob, 3\nType: 8\neve, 3" + DONE, 0,
     From_hex("6f 08 03 62 6f 62 76 08 03 65 76 65")},
    {"invalid_type_skips_its_line", "20 whatever\n-3 2 abc\n2 abc\n",
     "\nType: 20\nIn valid type\nType: -3\nIn valid type\nType: 2\nabc, 3" + DONE, 0, ABC},
    // The MAC block stands first; the last address wins.
    {"mac_block_goes_first", "3 6\n1 001122334455\n", "\nType: 3\nType: 1\n001122334455" + DONE, 0,
     MAC + CHANNEL6},
    {"last_mac_wins", "1 001122334455\n3 6\n1 0a0B0c0D0e0F\n",
     "\nType: 1\n001122334455\nType: 3\nType: 1\n0a0B0c0D0e0F" + DONE, 0,
     From_hex("06 07 0a 0b 0c 0d 0e 0f") + CHANNEL6},
    {"mac_11_digits", "1 00112233445\n", "\nType: 1\n00112233445In valid mac\n\r", FAILED, ""},
    {"mac_13_digits", "1 0011223344556\n", "\nType: 1\n0011223344556In valid mac\n\r", FAILED, ""},
    {"mac_not_hex", "1 00112233445G\n", "\nType: 1\n00112233445GIn valid mac\n\r", FAILED, ""},
    {"invalid_mac_after_valid", "1 001122334455\n2 abc\n1 00112233445G\n",
     "\nType: 1\n001122334455\nType: 2\nabc, 3\nType: 1\n00112233445GIn valid mac\n\r", FAILED, MAC + ABC},
    // Numbers and their bounds.
    {"channel_165", "3 165\n", "\nType: 3" + DONE, 0, From_hex("a5 03 01 a5")},
    {"channel_166", "3 166\n", "\nType: 3\nIn valid channel: 166", FAILED, ""},
    {"channel_negative", "3 -1\n", "\nType: 3\nIn valid channel: -1", FAILED, ""},
    {"channel_int_min", "3 -2147483648\n", "\nType: 3\nIn valid channel: -2147483648", FAILED, ""},
    {"channel_out_of_range", "3 2147483648\n", "\nType: 3\nNumber out of range", FAILED, ""},
    {"type_out_of_range", "4294967298 x\n", "\nNumber out of range", FAILED, ""},
    {"security_0_and_128", "4 0\n4 128\n", "\nType: 4\nType: 4" + DONE, 0,
     From_hex("00 04 01 00 80 04 01 80")},
    {"security_129", "4 129\n", "\nType: 4\nIn valid security: 129", FAILED, ""},
    {"security_negative", "4 -5\n", "\nType: 4\nIn valid security: -5", FAILED, ""},
    {"wep_index_1_and_4", "5 1\n5 4\n", "\nType: 5\nType: 5" + DONE, 0,
     From_hex("01 05 01 01 04 05 01 04")},
    {"wep_index_0", "5 0\n", "\nType: 5\nIn valid wep key id: 0", FAILED, ""},
    {"wep_index_5", "5 5\n", "\nType: 5\nIn valid wep key id: 5", FAILED, ""},
    // WEP keys: 10 or 26 hex digits.
    {"wep_key_5_bytes", "6 A1B2C3D4E5\n", "\nType: 6\nA1B2C3D4E5" + DONE, 0,
     From_hex("e1 06 05 a1 b2 c3 d4 e5")},
    {"wep_key_13_bytes", "6 0102030405060708090a0b0c0d\n", "\nType: 6\n0102030405060708090a0b0c0d" + DONE,
     0, From_hex("01 06 0d 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d")},
    {"wep_key_12_digits", "6 A1B2C3D4E5F6\n", "\nType: 6\nA1B2C3D4E5F6In valid wep key\n\r", FAILED, ""},
    {"wep_key_11_digits", "6 A1B2C3D4E5F\n", "\nType: 6\nA1B2C3D4E5FIn valid wep key\n\r", FAILED, ""},
    {"wep_key_27_digits", "6 0102030405060708090a0b0c0dX\n",
     "\nType: 6\n0102030405060708090a0b0c0dXIn valid wep key\n\r", FAILED, ""},
    {"wep_key_not_hex", "6 A1B2C3D4EZ\n", "\nType: 6\nA1B2C3D4EZIn valid wep key\n\r", FAILED, ""},
    // Pass phrases: 8 to 63 characters, echoed before the test.
    {"passphrase_7", "7 abcdefg\n", "\nType: 7\nabcdefg, 7\nIn valid pass phrase", FAILED, ""},
    {"passphrase_8", "7 abcdefgh\n", "\nType: 7\nabcdefgh, 8" + DONE, 0,
     From_hex("08 07 08 61 62 63 64 65 66 67 68")},
    {"passphrase_63", "7 " + std::string(63, 'p'), "\nType: 7\n" + std::string(63, 'p') + ", 63" + DONE, 0,
     Record(7, std::string(63, 'p'))},
    {"passphrase_64", "7 " + std::string(64, 'p'), "\nType: 7\n" + std::string(64, 'p') + ", 64\nIn valid pass phrase",
     FAILED, ""},
    // Records before a refusal stay, with the MAC block first.
    {"records_before_refusal_stay", "2 abc\n1 001122334455\n3 999\n14 node1\n",
     "\nType: 2\nabc, 3\nType: 1\n001122334455\nType: 3\nIn valid channel: 999", FAILED, MAC + ABC},
    // Texts of the rest of a line, and host name lines.
    {"text_keeps_inner_blanks", "10 Velmar  Net Works\n", "\nType: 10\nVelmar  Net Works, 17" + DONE, 0,
     Record(10, "Velmar  Net Works\0"s)},
    {"text_after_two_blanks", "10  Acme\n", "\nType: 10\n Acme, 5" + DONE, 0,
     From_hex("0a 0a 06 20 41 63 6d 65 00")},
    {"text_on_next_line", "10\nAcme\n", "\nType: 10\nAcme, 4" + DONE, 0, ACME},
    {"text_empty", "10 \n2 abc\n", "\nType: 10\n, 0\nType: 2\nabc, 3" + DONE, 0, From_hex("00 0a 01 00") + ABC},
    {"host_name_empty_at_end", "14", "\nType: 14\n, 0" + DONE, 0, From_hex("00 0e 00")},
    {"host_name_without_newline", "14 node1", "\nType: 14\nnode1, 5" + DONE, 0,
     From_hex("31 0e 05 6e 6f 64 65 31")},
    {"host_name_127", "14 " + H127 + "\n3 6\n", "\nType: 14\n" + H127 + ", 127\nType: 3" + DONE, 0,
     Record(14, H127) + CHANNEL6},
    {"host_name_128", "2 abc\n14 " + H127 + "h\n", "\nType: 2\nabc, 3\nType: 14\nValue too long for type: 14",
     FAILED, ABC},
    {"crlf_reads_as_lf", "10 Acme\r\n14 node1\r\n", "\nType: 10\nAcme, 4\nType: 14\nnode1\n, 6" + DONE, 0,
     ACME + NODE1},
    {"lone_cr_stays", "10 Ac\rme\n", "\nType: 10\nAc\rme, 5" + DONE, 0, From_hex("27 0a 06 41 63 0d 6d 65 00")},
    // Values that are missing, too long or hold a NUL.
    {"missing_token", "2", "\nType: 2\nMissing value for type: 2", FAILED, ""},
    {"missing_mac", "1\n", "\nType: 1\nMissing value for type: 1", FAILED, ""},
    {"missing_wep_key", "6 ", "\nType: 6\nMissing value for type: 6", FAILED, ""},
    {"missing_passphrase", "7\r\n", "\nType: 7\nMissing value for type: 7", FAILED, ""},
    {"missing_integer", "3\n", "\nType: 3\nMissing value for type: 3", FAILED, ""},
    {"integer_not_a_number", "4 high\n", "\nType: 4\nMissing value for type: 4", FAILED, ""},
    // Numbers are whole words; a type number is not ("2abc" is type 2).
    {"integer_hex_refused", "3 0x0B\n", "\nType: 3\nMissing value for type: 3", FAILED, ""},
    {"integer_exponent_refused", "2 abc\n4 1e3\n", "\nType: 2\nabc, 3\nType: 4\nMissing value for type: 4",
     FAILED, ABC},
    {"integer_with_letters_refused", "5 1abc\n", "\nType: 5\nMissing value for type: 5", FAILED, ""},
    {"integer_with_mark_refused", "3 6#\n", "\nType: 3\nMissing value for type: 3", FAILED, ""},
    {"integer_at_end_of_input", "3 6", "\nType: 3" + DONE, 0, CHANNEL6},
    {"type_number_runs_into_value", "2abc\n", "\nType: 2\nabc, 3" + DONE, 0, ABC},
    {"token_255", "8 " + T255, "\nType: 8\n" + T255 + ", 255" + DONE, 0, Record(8, T255)},
    {"token_256", "8 " + T255 + "t", "\nType: 8\nValue too long for type: 8", FAILED, ""},
    {"text_254", "13 " + T255.substr(1), "\nType: 13\n" + T255.substr(1) + ", 254" + DONE, 0,
     Record(13, T255.substr(1) + "\0"s)},
    {"text_255", "13 " + T255, "\nType: 13\nValue too long for type: 13", FAILED, ""},
    {"nul_in_token", "2 a\0b\n"s, "\nType: 2\nIn valid character for type: 2", FAILED, ""},
    {"nul_in_text", "3 6\n11 VW\0-1\n"s, "\nType: 3\nType: 11\nIn valid character for type: 11", FAILED,
     CHANNEL6},
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

// The type numbers that a run's records should show, in file order: the MAC
// block first when the console shows an address, then every setting echoed.
std::string Echoed_types(const std::string &console)
{
    std::string types;
    bool mac = false;
    for (std::size_t at = console.find("\nType: "); at != std::string::npos;
         at = console.find("\nType: ", at + 1)) {
        int type = std::atoi(console.c_str() + at + 7);
        mac = mac || type == 1;
        if (type >= 2 && type <= 14)
            types += std::to_string(type) + " ";
    }
    return (mac ? "1 " : "") + types;
}

// The type numbers of a dump, one line per block or record.
std::string Dumped_types(const std::string &dump)
{
    std::string types;
    for (std::size_t at = 0; at < dump.size(); at = dump.find('\n', at) + 1)
        types += std::to_string(std::atoi(dump.c_str() + dump.find(' ', at))) + " ";
    return types;
}

class Trosket : public testing::TestWithParam<Case> {};

TEST_P(Trosket, ConsoleStatusAndFile)
{
    const Case &c = GetParam();
    std::string dir = Scratch_dir();
    Write_file(dir + "/script.txt", c.script);
    if (const char *corpus = std::getenv("ZOL_CORPUS_DIR")) // seeds for the fuzz target
        Write_file(std::string(corpus) + "/" + c.name + ".txt", c.script);
    Program_result run = Run_program(TROSKET, {dir + "/script.txt", dir + "/out.bin"}, dir);
    EXPECT_EQ(run.out, BANNER + c.console);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(Read_file(dir + "/out.bin"), c.file);

    // Every file the converter leaves reads back cleanly, even after a refusal.
    Program_result dump = Run_program(RECDUMP, {dir + "/out.bin"}, dir);
    EXPECT_EQ(dump.status, 0);
    EXPECT_EQ(dump.err, "");
    if (c.status == 0) {
        EXPECT_EQ(Dumped_types(dump.out), Echoed_types(c.console));
    }

    // And it converts back: the script the reader gives makes the same file.
    Program_result back = Run_program(RECDUMP, {"-s", dir + "/out.bin"}, dir);
    ASSERT_EQ(back.status, 0) << back.err;
    Write_file(dir + "/back.txt", back.out);
    EXPECT_EQ(Run_program(TROSKET, {dir + "/back.txt", dir + "/again.bin"}, dir).status, 0);
    EXPECT_EQ(Read_file(dir + "/again.bin"), c.file);
}

INSTANTIATE_TEST_SUITE_P(Scripts, Trosket, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<Case> &info) { return info.param.name; });

// Too few arguments print the converter's usage only; --help and --version
// answer as every program's do.
TEST(TrosketCommandLine, UsageHelpAndVersion)
{
    std::string dir = Scratch_dir();
    const struct {
        std::vector<std::string> args;
        std::string out;
        int status;
    } calls[] = {
        {{}, USAGE, FAILED},
        {{dir + "/script.txt"}, USAGE, FAILED},
        {{"--help"}, "usage: trosket SCRIPT OUTPUT\n", 0},
        {{"--version"}, "trosket 2.8\n", 0},
    };
    for (const auto &call : calls) {
        Program_result run = Run_program(TROSKET, call.args, dir);
        EXPECT_EQ(run.out, call.out) << testing::PrintToString(call.args);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, call.status);
    }
}

TEST(TrosketCommandLine, ExtraArgumentsAreIgnored)
{
    std::string dir = Scratch_dir();
    Write_file(dir + "/s.txt", "3 6\n");
    Program_result run = Run_program(TROSKET, {dir + "/s.txt", dir + "/o.bin", dir + "/x"}, dir);
    EXPECT_EQ(run.out, BANNER + "\nType: 3" + DONE);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(Read_file(dir + "/o.bin"), CHANNEL6);
    EXPECT_FALSE(File_exists(dir + "/x"));
}

// Files that cannot be opened, read or written.
TEST(TrosketFiles, FailuresNameThePath)
{
    std::string dir = Scratch_dir();
    Write_file(dir + "/s.txt", "2 abc\n");
    struct Fault {
        std::string script;
        std::string output;
        std::string console;
        bool outputCreated;
    };
    const Fault faults[] = {
        {dir + "/none.txt", dir + "/o1.bin", "\nError in opening file: " + dir + "/none.txt", false},
        {dir + "/s.txt", dir + "/no/o2.bin", "\nError in opening file: " + dir + "/no/o2.bin", false},
        {dir + "/s.txt", dir + "/./s.txt", "\nError in opening file: " + dir + "/./s.txt", true},
        {dir, dir + "/o3.bin", "\nError in reading file: " + dir, true},
        {dir + "/s.txt", "/dev/full", "\nType: 2\nabc, 3" + DONE + "\nError in writing file: /dev/full", true},
        {dir + "/s.txt", "/dev/stdout", "\nError in opening file: /dev/stdout", true}, // the console itself
    };
    for (const Fault &f : faults) {
        Program_result run = Run_program(TROSKET, {f.script, f.output}, dir);
        EXPECT_EQ(run.out, BANNER + f.console);
        EXPECT_EQ(run.status, FAILED) << f.console;
        EXPECT_EQ(File_exists(f.output), f.outputCreated) << f.output;
    }
    EXPECT_EQ(Read_file(dir + "/s.txt"), "2 abc\n"); // the script refused as output is intact
    EXPECT_EQ(Read_file(dir + "/o3.bin"), "");
}

// A console that cannot be written fails the run, and the file is written
// whole all the same; the null device may take both.
TEST(TrosketConsole, FailureFailsTheRunButKeepsTheFile)
{
    std::string dir = Scratch_dir();
    ASSERT_EQ(Run_program(TROSKET, {EXAMPLE_SCRIPT, dir + "/reference.bin"}, dir).status, 0);
    struct Console {
        std::string path; // empty: closed
        std::string output;
        int status;
    };
    const Console consoles[] = {
        {"/dev/full", dir + "/out.bin", FAILED},
        {"", dir + "/out.bin", FAILED},
        {"|", dir + "/out.bin", FAILED}, // a pipe whose reader has gone
        {"/dev/null", "/dev/null", 0},
    };
    for (const Console &console : consoles) {
        std::remove((dir + "/out.bin").c_str());
        SCOPED_TRACE(console.path);
        Program_result run = Run_program_to(TROSKET, {EXAMPLE_SCRIPT, console.output}, dir, console.path);
        EXPECT_EQ(run.status, console.status) << console.path;
        EXPECT_EQ(run.err, "");
        if (console.output != "/dev/null") {
            EXPECT_EQ(Read_file(console.output), Read_file(dir + "/reference.bin")) << console.path;
        }
    }
}

TEST(TrosketExample, ConvertsTheBundledScript)
{
    std::string dir = Scratch_dir();
    Program_result run = Run_program(TROSKET, {EXAMPLE_SCRIPT, dir + "/out.bin"}, dir);
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.out.ends_with(DONE));
    std::string file = Read_file(dir + "/out.bin");
    ASSERT_GE(file.size(), 8u);
    EXPECT_EQ(file.substr(0, 8), From_hex("45 07 00 50 c2 a1 b2 c3")) << "MAC block first";
    std::size_t at = 8;
    for (int type = 2; type <= 14; ++type, at += 3 + static_cast<unsigned char>(file[at + 2])) {
        ASSERT_LT(at + 2, file.size());
        EXPECT_EQ(file[at + 1], type);
    }
    EXPECT_EQ(at, file.size());
}

} // namespace

namespace {

// A script saved with CR LF line ends converts to the same bytes as with LF.
TEST(TrosketExample, CrLfAndLfGiveTheSameFile)
{
    std::string dir = Scratch_dir();
    std::string lf = Read_file(EXAMPLE_SCRIPT);
    std::string crlf;
    for (char c : lf)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    Write_file(dir + "/lf.txt", lf);
    Write_file(dir + "/crlf.txt", crlf);
    Program_result lfRun = Run_program(TROSKET, {dir + "/lf.txt", dir + "/lf.bin"}, dir);
    Program_result crlfRun = Run_program(TROSKET, {dir + "/crlf.txt", dir + "/crlf.bin"}, dir);
    EXPECT_EQ(lfRun.status, 0);
    EXPECT_EQ(crlfRun.out, lfRun.out);
    EXPECT_EQ(crlfRun.status, lfRun.status);
    EXPECT_EQ(Read_file(dir + "/crlf.bin"), Read_file(dir + "/lf.bin"));
}

} // namespace
