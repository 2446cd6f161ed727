// Reading a factory-default script: a stream of type numbers, each followed
// by a value that is read in one of four ways (token, integer, rest of line,
// line). A CR LF pair always reads as one LF, on every platform; a lone CR
// stays as it is. Nothing of the script is held beyond the value being read.
#pragma once

#include "settings.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

struct Script {
    std::FILE *fp;
    int back;     // a character handed back by a reader
    bool hasBack;
    bool failed;  // the stream reported a read error; nothing more is read
};

// The text of one value, NUL-terminated for the console echo.
struct Value {
    std::array<char, VALUE_MAX + 1> text;
    std::size_t len;
};

enum Script_result {
    SCRIPT_OK,
    SCRIPT_END,          // end of input where a value was due
    SCRIPT_NOT_NUMBER,   // the word where a number was due is none; of it only
                         // the sign, if any, and the digits are consumed
    SCRIPT_OUT_OF_RANGE, // a number outside the 32-bit signed range
    SCRIPT_TOO_LONG,     // a value over its limit
    SCRIPT_NUL,          // a 0x00 byte inside a value
    SCRIPT_READ_ERROR,   // the stream failed
};

void Script_init(Script &script, std::FILE *fp);

// Skips a UTF-8 byte order mark at the very start of the script.
Script_result Script_skipMark(Script &script);

// Next character, CR LF folded to LF; EOF at the end and, from then on, after
// a read error.
int Script_getc(Script &script);
void Script_ungetc(Script &script, int c);

// Decimal integer with optional sign, after blanks; its terminator stays
// unread, whatever it is (a type number "2abc" is 2, then "abc").
Script_result Script_readNumber(Script &script, std::int32_t &number);

// As Script_readNumber, but the number must be a whole word, ending at a
// blank or at the end of input; "6abc" or "0x0B" is no number.
Script_result Script_readWholeNumber(Script &script, std::int32_t &number);

// The longest run of non-blank characters, after blanks, at most limit of
// them; the blank after it stays unread.
Script_result Script_readToken(Script &script, Value &value, std::size_t limit);

// One character is thrown away, then everything up to the next newline,
// which stays unread; the text is at most limit characters and may be empty.
Script_result Script_readRestOfLine(Script &script, Value &value, std::size_t limit);

// One character is thrown away, then a line of at most limit characters that
// keeps its newline byte. A line of exactly limit characters before its
// newline is taken without it; a longer one is refused.
Script_result Script_readLine(Script &script, Value &value, std::size_t limit);

// Everything up to and including the next newline is thrown away.
Script_result Script_skipLine(Script &script);

// The rest of the word at hand (what a failed number read left of it) and
// the blanks after it are thrown away: SCRIPT_END when nothing follows them,
// SCRIPT_OK when more does.
Script_result Script_skipWord(Script &script);
