// Reading a factory-default script: a stream of type numbers, each followed
// by a value that is read in one of four ways (token, integer, rest of line,
// line). A CR LF pair always reads as one LF, on every platform; a lone CR
// stays as it is. Nothing of the script is held beyond the value being read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

inline constexpr std::size_t VALUE_MAX = 255;     // longest token or text
inline constexpr std::size_t TEXT_MAX = 254;      // text of types 10 to 13, whose N counts a 0x00
inline constexpr std::size_t HOST_LINE_MAX = 127; // host name line, its newline included

struct Script {
    std::FILE *fp;
    int back;     // a character handed back by a reader
    bool hasBack;
    int peek;     // the character read after a lone CR, not yet folded
    bool hasPeek;
};

// The text of one value, NUL-terminated for the console echo.
struct Value {
    std::array<char, VALUE_MAX + 1> text;
    std::size_t len;
};

enum Script_result {
    SCRIPT_OK,
    SCRIPT_END,          // end of input where a value was due
    SCRIPT_NOT_NUMBER,   // no decimal number where one was due; nothing consumed but blanks
    SCRIPT_OUT_OF_RANGE, // a number outside the 32-bit signed range
    SCRIPT_TOO_LONG,     // a value over its limit
    SCRIPT_NUL,          // a 0x00 byte inside a value
    SCRIPT_READ_ERROR,   // the stream failed
};

void Script_init(Script &script, std::FILE *fp);

// Next character, CR LF folded to LF; EOF at the end or on a read error.
int Script_getc(Script &script);
void Script_ungetc(Script &script, int c);

// Decimal integer with optional sign, after blanks; its terminator stays unread.
Script_result Script_readNumber(Script &script, std::int32_t &number);

// The longest run of non-blank characters, after blanks; the blank after it
// stays unread.
Script_result Script_readToken(Script &script, Value &value);

// One character is thrown away, then everything up to the next newline,
// which stays unread; the text is at most limit characters and may be empty.
Script_result Script_readRestOfLine(Script &script, Value &value, std::size_t limit);

// One character is thrown away, then a line of at most HOST_LINE_MAX
// characters that keeps its newline byte. A line of exactly HOST_LINE_MAX
// characters before its newline is taken without it; a longer one is refused.
Script_result Script_readLine(Script &script, Value &value);

// Everything up to and including the next newline is thrown away.
Script_result Script_skipLine(Script &script);
