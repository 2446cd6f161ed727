#include "script.h"
#include "writer.h"

#include <gtest/gtest.h>
#include <span>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

enum Reader { NUMBER, WHOLE_NUMBER, TOKEN, REST_OF_LINE, LINE, SKIP_LINE, SKIP_WORD, MARK, GETC };

struct Case {
    Reader reader;
    std::string input;
    Script_result result;
    std::string value; // the value read, or the number in decimal
    std::string rest;  // what a plain reader finds after it
};

// Runs one reader over input, from a stream or from memory, then reads what
// is left character by character.
Case Read(Reader reader, std::string input, bool fromBytes)
{
    Case got{reader, input, SCRIPT_OK, {}, {}};
    std::FILE *fp = fmemopen(input.data(), input.size(), "r");
    if (input.empty())
        fp = std::fopen("/dev/null", "r");
    Script script{};
    Script_init(script, fp);
    if (fromBytes)
        Script_initBytes(script, input);
    Value value{};
    std::int32_t number = 0;
    switch (reader) {
    case NUMBER:
    case WHOLE_NUMBER:
        got.result = reader == NUMBER ? Script_readNumber(script, number) : Script_readWholeNumber(script, number);
        got.value = got.result == SCRIPT_OK ? std::to_string(number) : "";
        break;
    case TOKEN:
        got.result = Script_readToken(script, value, VALUE_MAX);
        break;
    case REST_OF_LINE:
        got.result = Script_readRestOfLine(script, value, 8);
        break;
    case LINE:
        got.result = Script_readLine(script, value, HOST_LINE_MAX);
        break;
    case SKIP_LINE:
        got.result = Script_skipLine(script);
        break;
    case SKIP_WORD:
        got.result = Script_skipWord(script);
        break;
    case MARK:
        got.result = Script_skipMark(script);
        break;
    case GETC:
        break;
    }
    if (reader != NUMBER && reader != WHOLE_NUMBER && got.result == SCRIPT_OK)
        got.value.assign(value.text.data(), value.len);
    for (int c = Script_getc(script); c != EOF; c = Script_getc(script))
        got.rest.push_back(static_cast<char>(c));
    std::fclose(fp);
    return got;
}

void Expect_reads(std::span<const Case> cases)
{
    for (const Case &c : cases) {
        for (bool fromBytes : {false, true}) {
            Case got = Read(c.reader, c.input, fromBytes);
            SCOPED_TRACE(testing::PrintToString(c.input) + (fromBytes ? " from memory" : ""));
            EXPECT_EQ(got.result, c.result);
            EXPECT_EQ(got.value, c.value);
            EXPECT_EQ(got.rest, c.rest);
        }
    }
}

TEST(Script, MarksAndNumbers)
{
    const Case cases[] = {
        // Line ends: CR LF folds to LF, a lone CR stays.
        {GETC, "a\r\nb\rc\r\r\nd\r", SCRIPT_OK, "", "a\nb\rc\r\nd\r"},
        // A byte order mark is skipped at the start; a mark cut short keeps
        // its first word a word that is no number.
        {MARK, "\xEF\xBB\xBF" "2 abc", SCRIPT_OK, "", "2 abc"},
        {MARK, "\xEF\xBB" "2 abc", SCRIPT_OK, "", "\xBB" "2 abc"},
        {MARK, "\xEF" "2 abc", SCRIPT_OK, "", "\xEF" "2 abc"},
        {MARK, "\xEF", SCRIPT_OK, "", "\xEF"},
        {MARK, "2 \xEF\xBB\xBF", SCRIPT_OK, "", "2 \xEF\xBB\xBF"},
        {MARK, "", SCRIPT_OK, "", ""},
        // Numbers: blanks and line ends skipped, sign, terminator left, range.
        {NUMBER, " \r\n\t42 x", SCRIPT_OK, "42", " x"},
        {NUMBER, "-7\n", SCRIPT_OK, "-7", "\n"},
        {NUMBER, "+3abc", SCRIPT_OK, "3", "abc"},
        {NUMBER, "007", SCRIPT_OK, "7", ""},
        {NUMBER, "2147483647 ", SCRIPT_OK, "2147483647", " "},
        {NUMBER, "-2147483648 ", SCRIPT_OK, "-2147483648", " "},
        {NUMBER, "2147483648 ", SCRIPT_OUT_OF_RANGE, "", " "},
        {NUMBER, "-2147483649 ", SCRIPT_OUT_OF_RANGE, "", " "},
        {NUMBER, "99999999999999999999999", SCRIPT_OUT_OF_RANGE, "", ""},
        {NUMBER, "  abc", SCRIPT_NOT_NUMBER, "", "abc"},
        {NUMBER, "- 1", SCRIPT_NOT_NUMBER, "", " 1"},
        {NUMBER, " \n ", SCRIPT_END, "", ""},
        {NUMBER, "", SCRIPT_END, "", ""},
        {NUMBER, "\v\f7", SCRIPT_OK, "7", ""},
        // Whole numbers end at a blank or the end of input.
        {WHOLE_NUMBER, " 6\n", SCRIPT_OK, "6", "\n"},
        {WHOLE_NUMBER, " -6", SCRIPT_OK, "-6", ""},
        {WHOLE_NUMBER, " 6\r\n", SCRIPT_OK, "6", "\n"},
        {WHOLE_NUMBER, " 0x0B", SCRIPT_NOT_NUMBER, "", "x0B"},
        {WHOLE_NUMBER, " 1e3", SCRIPT_NOT_NUMBER, "", "e3"},
        {WHOLE_NUMBER, " 6#", SCRIPT_NOT_NUMBER, "", "#"},
        {WHOLE_NUMBER, " 99999999999x", SCRIPT_NOT_NUMBER, "", "x"},
        {WHOLE_NUMBER, " 99999999999 ", SCRIPT_OUT_OF_RANGE, "", " "},
    };
    Expect_reads(cases);
}

TEST(Script, TextsLinesAndWords)
{
    const std::string host127(127, 'h');
    const std::string blank = " "; // a string, not a literal: g++ -O3 warns wrongly on " " + std::string

    const Case cases[] = {
        // Tokens: one word, the blank after it left unread.
        {TOKEN, "  abc def", SCRIPT_OK, "abc", " def"},
        {TOKEN, "\nabc\r\n", SCRIPT_OK, "abc", "\n"},
        {TOKEN, "a\rb", SCRIPT_OK, "a", "\rb"},
        {TOKEN, std::string(255, 't') + "\n", SCRIPT_OK, std::string(255, 't'), "\n"},
        {TOKEN, std::string(256, 't'), SCRIPT_TOO_LONG, "", ""},
        {TOKEN, "a\0b c"s, SCRIPT_NUL, "", " c"},
        {TOKEN, " \t\n", SCRIPT_END, "", ""},
        // Rest of line: one character thrown away, the newline left unread.
        {REST_OF_LINE, " Acme Co\nnext", SCRIPT_OK, "Acme Co", "\nnext"},
        {REST_OF_LINE, "  Acme\n", SCRIPT_OK, " Acme", "\n"},
        {REST_OF_LINE, "\nwhole\n", SCRIPT_OK, "whole", "\n"},
        {REST_OF_LINE, " Acme\r\n", SCRIPT_OK, "Acme", "\n"},
        {REST_OF_LINE, " Ac\rme", SCRIPT_OK, "Ac\rme", ""},
        {REST_OF_LINE, " \n", SCRIPT_OK, "", "\n"},
        {REST_OF_LINE, "", SCRIPT_OK, "", ""},
        {REST_OF_LINE, " 12345678\n", SCRIPT_OK, "12345678", "\n"},
        {REST_OF_LINE, " 123456789\n", SCRIPT_TOO_LONG, "", "\n"},
        {REST_OF_LINE, " a\0b\n"s, SCRIPT_NUL, "", "\n"},
        // Line: keeps its newline, 127 characters at most.
        {LINE, " node1\nnext", SCRIPT_OK, "node1\n", "next"},
        {LINE, " node1\r\n", SCRIPT_OK, "node1\n", ""},
        {LINE, " node1", SCRIPT_OK, "node1", ""},
        {LINE, "\nnode1\n", SCRIPT_OK, "node1\n", ""},
        {LINE, "", SCRIPT_OK, "", ""},
        {LINE, blank + host127.substr(1) + "\n", SCRIPT_OK, host127.substr(1) + "\n", ""},
        {LINE, blank + host127 + "\n5", SCRIPT_OK, host127, "\n5"},
        {LINE, blank + host127, SCRIPT_OK, host127, ""},
        {LINE, blank + host127 + "hx", SCRIPT_TOO_LONG, "", "x"},
        {LINE, " a\0\n"s, SCRIPT_NUL, "", ""},
        // Skipping a line takes its newline too.
        {SKIP_LINE, " junk here\n2 abc", SCRIPT_OK, "", "2 abc"},
        {SKIP_LINE, " junk", SCRIPT_OK, "", ""},
        // Skipping a word tells whether anything but blanks follows it.
        {SKIP_WORD, "END \r\n\t", SCRIPT_END, "", ""},
        {SKIP_WORD, "END", SCRIPT_END, "", ""},
        {SKIP_WORD, "# channel 6\n", SCRIPT_OK, "", "channel 6\n"},
        {SKIP_WORD, " 1", SCRIPT_OK, "", "1"},
    };
    Expect_reads(cases);
}

// Each value as the writer writes it, or why no script can give it; what it
// writes reads back as the same value.
TEST(Script, WriterAndWhatALineCannotCarry)
{
    const std::string h126(126, 'h');
    struct Line {
        std::int32_t type;
        std::string text;
        bool last;
        Script_misfit misfit;
        std::string line; // as written
    };
    const Line lines[] = {
        {2, "abc", false, MISFIT_NONE, "2 abc\n"},
        {3, "-6", false, MISFIT_NONE, "3 -6\n"},
        {1, "0050c2a1b2c3", false, MISFIT_NONE, "1 0050c2a1b2c3\n"},
        {8, "\xEF\xBB\xBF", false, MISFIT_NONE, "8 \xEF\xBB\xBF\n"},
        {10, " Acme\rCo", false, MISFIT_NONE, "10  Acme\rCo\n"},
        {10, "", false, MISFIT_NONE, "10 \n"},
        {10, "Acme\r", true, MISFIT_NONE, "10 Acme\r"},
        {10, "Acme\r", false, MISFIT_CR_END, ""},
        {14, "node1\n", false, MISFIT_NONE, "14 node1\n"},
        {14, "\n", false, MISFIT_NONE, "14 \n"},
        {14, "node1", true, MISFIT_NONE, "14 node1"},
        {14, "", true, MISFIT_NONE, "14 "},
        {14, "node1", false, MISFIT_NOT_LAST, ""},
        {14, h126 + "h", false, MISFIT_NONE, "14 " + h126 + "h\n"},
        {14, h126 + "\r", true, MISFIT_NONE, "14 " + h126 + "\r"},
        {14, h126 + "\r", false, MISFIT_NOT_LAST, ""},
        {14, "node1\r\n", true, MISFIT_CR_END, ""},
        {14, "a\nb\n", false, MISFIT_LINE_END, ""},
        {11, "VW\n2400", true, MISFIT_LINE_END, ""},
        {2, "", false, MISFIT_EMPTY, ""},
        {2, "my net", false, MISFIT_BLANK, ""},
        {3, "6\r", true, MISFIT_BLANK, ""},
        {9, "a\0b"s, false, MISFIT_NUL, ""},
        {12, "a\0b"s, false, MISFIT_NUL, ""},
    };
    for (const Line &l : lines) {
        Convert_value value{l.type, l.text};
        SCOPED_TRACE(testing::PrintToString(l.text));
        EXPECT_EQ(Script_misfitOf(value, l.last), l.misfit);
        if (l.misfit != MISFIT_NONE)
            continue;
        std::array<char, 512> buf{};
        std::FILE *out = fmemopen(buf.data(), buf.size(), "w");
        Script_writeSetting(out, value);
        std::fclose(out);
        EXPECT_EQ(std::string(buf.data()), l.line);

        Script script{};
        Script_initBytes(script, l.line);
        Script_given given{};
        Script_readAll(script, given);
        ASSERT_EQ(given.count, 1u);
        EXPECT_TRUE(Script_complete(given));
        EXPECT_EQ(given.items[0].type, l.type);
        EXPECT_EQ(Script_value(given.items[0]).text, l.text);
    }
}

TEST(Script, ReadErrorIsNotEndOfInput)
{
    std::FILE *fp = std::fopen(".", "r");
    ASSERT_NE(fp, nullptr);
    Script script{};
    Script_init(script, fp);
    Value value{};
    std::int32_t number = 0;
    EXPECT_EQ(Script_readNumber(script, number), SCRIPT_READ_ERROR);
    EXPECT_EQ(Script_readToken(script, value, VALUE_MAX), SCRIPT_READ_ERROR);
    EXPECT_EQ(Script_readRestOfLine(script, value, TEXT_MAX), SCRIPT_READ_ERROR);
    EXPECT_EQ(Script_readLine(script, value, HOST_LINE_MAX), SCRIPT_READ_ERROR);
    EXPECT_EQ(Script_skipLine(script), SCRIPT_READ_ERROR);
    std::fclose(fp);
}

} // namespace
