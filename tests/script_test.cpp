#include "script.h"

#include <gtest/gtest.h>
#include <string>

using namespace std::string_literals;

namespace {

enum Reader { NUMBER, TOKEN, REST_OF_LINE, LINE, SKIP_LINE, GETC };

struct Case {
    Reader reader;
    std::string input;
    Script_result result;
    std::string value; // the value read, or the number in decimal
    std::string rest;  // what a plain reader finds after it
};

// Runs one reader over input, then reads what is left character by character.
Case Read(Reader reader, std::string input)
{
    Case got{reader, input, SCRIPT_OK, {}, {}};
    std::FILE *fp = fmemopen(input.data(), input.size(), "r");
    if (input.empty())
        fp = std::fopen("/dev/null", "r");
    Script script{};
    Script_init(script, fp);
    Value value{};
    std::int32_t number = 0;
    switch (reader) {
    case NUMBER:
        got.result = Script_readNumber(script, number);
        got.value = got.result == SCRIPT_OK ? std::to_string(number) : "";
        break;
    case TOKEN:
        got.result = Script_readToken(script, value);
        break;
    case REST_OF_LINE:
        got.result = Script_readRestOfLine(script, value, 8);
        break;
    case LINE:
        got.result = Script_readLine(script, value);
        break;
    case SKIP_LINE:
        got.result = Script_skipLine(script);
        break;
    case GETC:
        break;
    }
    if (reader != NUMBER && got.result == SCRIPT_OK)
        got.value.assign(value.text.data(), value.len);
    for (int c = Script_getc(script); c != EOF; c = Script_getc(script))
        got.rest.push_back(static_cast<char>(c));
    std::fclose(fp);
    return got;
}

TEST(Script, Readers)
{
    const std::string host127(127, 'h');
    const Case cases[] = {
        // Line ends: CR LF folds to LF, a lone CR stays.
        {GETC, "a\r\nb\rc\r\r\nd\r", SCRIPT_OK, "", "a\nb\rc\r\nd\r"},
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
        {LINE, " " + host127.substr(1) + "\n", SCRIPT_OK, host127.substr(1) + "\n", ""},
        {LINE, " " + host127 + "\n5", SCRIPT_OK, host127, "\n5"},
        {LINE, " " + host127, SCRIPT_OK, host127, ""},
        {LINE, " " + host127 + "hx", SCRIPT_TOO_LONG, "", "x"},
        {LINE, " a\0\n"s, SCRIPT_NUL, "", ""},
        // Skipping a line takes its newline too.
        {SKIP_LINE, " junk here\n2 abc", SCRIPT_OK, "", "2 abc"},
        {SKIP_LINE, " junk", SCRIPT_OK, "", ""},
    };
    for (const Case &c : cases) {
        Case got = Read(c.reader, c.input);
        SCOPED_TRACE(testing::PrintToString(c.input));
        EXPECT_EQ(got.result, c.result);
        EXPECT_EQ(got.value, c.value);
        EXPECT_EQ(got.rest, c.rest);
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
    EXPECT_EQ(Script_readToken(script, value), SCRIPT_READ_ERROR);
    EXPECT_EQ(Script_readRestOfLine(script, value, TEXT_MAX), SCRIPT_READ_ERROR);
    EXPECT_EQ(Script_readLine(script, value), SCRIPT_READ_ERROR);
    EXPECT_EQ(Script_skipLine(script), SCRIPT_READ_ERROR);
    std::fclose(fp);
}

} // namespace
