// Reading a factory-default script: a stream of type numbers, each followed
// by a value that is read in one of four ways (token, integer, rest of line,
// line). A CR LF pair always reads as one LF, on every platform; a lone CR
// stays as it is. Nothing of the script is held beyond the values read.
#pragma once

#include "convert.h"
#include "settings.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

// A script is read from a stream, or from bytes in memory when fp is nullptr.
struct Script {
    std::FILE *fp;
    std::string_view bytes;
    std::size_t at; // the next of bytes
    int back;       // a character handed back by a reader
    bool hasBack;
    bool failed;    // the stream reported a read error; nothing more is read
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
void Script_initBytes(Script &script, std::string_view bytes);

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

// ---- a script read setting by setting

// One type number and its value as read; a number in decimal.
struct Script_setting {
    std::int32_t type;
    Value value;
};

// How the reading of a script ended.
enum Script_ending : std::uint8_t {
    ENDING_NONE,       // not yet: more settings may follow
    ENDING_DONE,       // at the end of input, at a last word that is no
                       // number, or at a first type number 0
    ENDING_FULL,       // after the fifteenth type number, with nothing after it
    ENDING_VALUE,      // the value of a type number could not be read; the
                       // refusal says why
    ENDING_NOT_TYPE,   // a word that is no number where a type number was due,
                       // with more after it
    ENDING_TOO_MANY,   // a type number after the fifteenth
    ENDING_TYPE_RANGE, // a type number outside the 32-bit signed range
    ENDING_READ_ERROR, // the stream failed
};

// What a script gave: its settings in order, and how it ended.
struct Script_given {
    std::array<Script_setting, SCRIPT_TYPES_MAX> items;
    std::size_t count;
    Script_ending ending;
    Convert_result refusal; // with ENDING_VALUE: the type number and why
};

// Starts reading script into given: a byte order mark is skipped.
void Script_start(Script &script, Script_given &given);

// Reads the next type number and its value into given: true when a setting
// was read (a type number outside the table with nothing as its value, the
// rest of its line passed over), false when the script has ended.
bool Script_next(Script &script, Script_given &given);

// Reads every setting of script.
void Script_readAll(Script &script, Script_given &given);

// A setting as the conversion takes it; it refers to the setting's text.
Convert_value Script_value(const Script_setting &setting);

// Converts the settings that given holds, in order, into image, which must
// be initialised, as Convert_settings does.
Convert_result Script_convert(const Script_given &given, Image &image);

// Why a script that ended early was refused (a type number after the
// fifteenth, a word that is no number or a number out of range where a
// type number is due, a value), in the one wording outside trosket's
// console; empty for a script read whole or one its stream failed.
void Script_endingWhy(const Script_given &given, char *out, std::size_t size);

// True when the script ended as a script may end, not refused or failed.
constexpr bool Script_complete(const Script_given &given)
{
    return given.ending == ENDING_DONE || given.ending == ENDING_FULL;
}
