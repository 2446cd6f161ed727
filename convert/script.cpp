#include "script.h"

#include "number.h"

#include <algorithm>
#include <limits>

namespace {

bool Is_digit(int c)
{
    return c >= '0' && c <= '9';
}

// The script stream belongs to one thread for the whole run, so it is read
// without the per-character lock of getc. Every EOF is checked for an error,
// and after one the stream is not read again: a read that failed once is
// never taken for the end of a value.
int Stream_getc(Script &script)
{
    if (script.fp == nullptr)
        return script.at < script.bytes.size() ? static_cast<unsigned char>(script.bytes[script.at++]) : EOF;
    if (script.failed)
        return EOF;
    int c = getc_unlocked(script.fp);
    if (c == EOF && std::ferror(script.fp))
        script.failed = true;
    return c;
}

// Hands back c, the character that Stream_getc returned last.
void Stream_unget(Script &script, int c)
{
    if (script.fp == nullptr)
        --script.at;
    else
        std::ungetc(c, script.fp); // one character of push-back is guaranteed
}

// What an EOF from Script_getc means.
Script_result End_or_error(const Script &script)
{
    return script.failed ? SCRIPT_READ_ERROR : SCRIPT_END;
}

int Skip_blanks(Script &script)
{
    int c = Script_getc(script);
    while (Script_isBlank(c))
        c = Script_getc(script);
    return c;
}

// Hands back the character that ended a value; at EOF there is none.
Script_result Finish(Script &script, int c, Script_result result)
{
    if (c != EOF)
        Script_ungetc(script, c);
    return script.failed ? SCRIPT_READ_ERROR : result;
}

void Store(Value &value, int c, bool &nul)
{
    nul = nul || c == 0;
    value.text[value.len++] = static_cast<char>(c);
    value.text[value.len] = '\0';
}

void Clear(Value &value)
{
    value.len = 0;
    value.text[0] = '\0';
}

// The character after the type number of a text or line value is dropped.
int Drop_one(Script &script)
{
    int c = Script_getc(script);
    return c == EOF ? EOF : Script_getc(script);
}

} // namespace

void Script_init(Script &script, std::FILE *fp)
{
    script.fp = fp;
    script.bytes = {};
    script.at = 0;
    script.back = EOF;
    script.hasBack = false;
    script.failed = false;
}

void Script_initBytes(Script &script, std::string_view bytes)
{
    Script_init(script, nullptr);
    script.bytes = bytes;
}

Script_result Script_skipMark(Script &script)
{
    int first = Stream_getc(script);
    int second = first == 0xEF ? Stream_getc(script) : EOF;
    int third = second == 0xBB ? Stream_getc(script) : EOF;
    if (third == 0xBF)
        return SCRIPT_OK;
    // What is not a mark is handed back, at most two bytes: the stream takes
    // the last one read, the slot the one before it. Of EF BB x, the 0xEF is
    // dropped: 0xEF and 0xBB are neither blank nor digit, so the first word
    // stays what it was, no number, ending where it ended.
    if (second == 0xBB) {
        first = second;
        second = third;
    }
    if (second != EOF)
        Stream_unget(script, second);
    return Finish(script, first, SCRIPT_OK);
}

int Script_getc(Script &script)
{
    if (script.hasBack) {
        script.hasBack = false;
        return script.back;
    }
    int c = Stream_getc(script);
    if (c != '\r')
        return c;
    int next = Stream_getc(script);
    if (next == '\n')
        return '\n';
    if (next == EOF)
        return script.failed ? EOF : c;
    Stream_unget(script, next);
    return c;
}

void Script_ungetc(Script &script, int c)
{
    script.back = c;
    script.hasBack = true;
}

namespace {

// The text of a number as a script writes it, as Number_parse reads it:
// '-' for a negative sign, then the digits without their leading zeros (one
// 0 for zero, unsigned), the first 15 of them, past which a number is far
// out of the 32-bit range.
struct Number_text {
    std::array<char, 16> text;
    std::size_t len;
};

// After blanks, an optional sign, then digits, into number; the character
// after them stays unread.
Script_result Read_digits(Script &script, Number_text &number)
{
    int c = Skip_blanks(script);
    if (c == EOF)
        return End_or_error(script);
    number.len = 0;
    if (c == '-')
        number.text[number.len++] = '-';
    if (c == '-' || c == '+')
        c = Script_getc(script);
    if (!Is_digit(c))
        return Finish(script, c, SCRIPT_NOT_NUMBER);
    std::size_t sign = number.len;
    for (; Is_digit(c); c = Script_getc(script))
        if ((number.len > sign || c != '0') && number.len < number.text.size())
            number.text[number.len++] = static_cast<char>(c);
    if (number.len == sign) {
        number.text[0] = '0';
        number.len = 1;
    }
    return Finish(script, c, SCRIPT_OK);
}

Script_result Parse(const Number_text &text, std::int32_t &number)
{
    std::int64_t value = 0;
    if (Number_parse({text.text.data(), text.len}, std::numeric_limits<std::int32_t>::min(),
                     std::numeric_limits<std::int32_t>::max(), value) != nullptr)
        return SCRIPT_OUT_OF_RANGE;
    number = static_cast<std::int32_t>(value);
    return SCRIPT_OK;
}

// A number that is a whole word, its text in text.
Script_result Read_whole(Script &script, Number_text &text, std::int32_t &number)
{
    Script_result result = Read_digits(script, text);
    if (result == SCRIPT_OK)
        result = Parse(text, number);
    if (result != SCRIPT_OK && result != SCRIPT_OUT_OF_RANGE)
        return result;
    int c = Script_getc(script);
    if (c != EOF && !Script_isBlank(c))
        result = SCRIPT_NOT_NUMBER;
    return Finish(script, c, result);
}

bool Is_line_end(int c)
{
    return c == '\n';
}

// Stores c and what follows it into value up to the first character that ends
// holds for, which stays unread, or to the end of the script.
Script_result Store_until(Script &script, Value &value, std::size_t limit, int c, bool (*ends)(int))
{
    bool nul = false;
    for (; c != EOF && !ends(c); c = Script_getc(script)) {
        if (value.len == limit)
            return SCRIPT_TOO_LONG;
        Store(value, c, nul);
    }
    return Finish(script, c, nul ? SCRIPT_NUL : SCRIPT_OK);
}

} // namespace

Script_result Script_readNumber(Script &script, std::int32_t &number)
{
    Number_text text{};
    Script_result result = Read_digits(script, text);
    return result == SCRIPT_OK ? Parse(text, number) : result;
}

Script_result Script_readWholeNumber(Script &script, std::int32_t &number)
{
    Number_text text{};
    return Read_whole(script, text, number);
}

Script_result Script_readToken(Script &script, Value &value, std::size_t limit)
{
    Clear(value);
    int c = Skip_blanks(script);
    if (c == EOF)
        return End_or_error(script);
    return Store_until(script, value, limit, c, Script_isBlank);
}

Script_result Script_readRestOfLine(Script &script, Value &value, std::size_t limit)
{
    Clear(value);
    return Store_until(script, value, limit, Drop_one(script), Is_line_end);
}

Script_result Script_readLine(Script &script, Value &value, std::size_t limit)
{
    Clear(value);
    bool nul = false;
    int c = Drop_one(script);
    for (; c != EOF; c = Script_getc(script)) {
        if (value.len == limit)
            return c == '\n' ? Finish(script, c, nul ? SCRIPT_NUL : SCRIPT_OK) : SCRIPT_TOO_LONG;
        Store(value, c, nul);
        if (c == '\n')
            break;
    }
    return Finish(script, EOF, nul ? SCRIPT_NUL : SCRIPT_OK);
}

Script_result Script_skipLine(Script &script)
{
    int c = Script_getc(script);
    while (c != EOF && c != '\n')
        c = Script_getc(script);
    return Finish(script, EOF, SCRIPT_OK);
}

Script_result Script_skipWord(Script &script)
{
    int c = Script_getc(script);
    while (c != EOF && !Script_isBlank(c))
        c = Script_getc(script);
    while (Script_isBlank(c))
        c = Script_getc(script);
    return Finish(script, c, c == EOF ? SCRIPT_END : SCRIPT_OK);
}

namespace {

bool End(Script_given &given, Script_ending ending)
{
    given.ending = ending;
    return false;
}

// Where a type number is due, a word that is no number ends the script when
// it is its last word; with more after it, the script is refused.
bool End_at_word(Script &script, Script_given &given, Script_ending last, Script_ending more)
{
    switch (Script_skipWord(script)) {
    case SCRIPT_END:
        return End(given, last);
    case SCRIPT_READ_ERROR:
        return End(given, ENDING_READ_ERROR);
    default:
        return End(given, more);
    }
}

// After the fifteenth type number, only blanks or one last word that is no
// number may follow.
bool End_after_last(Script &script, Script_given &given)
{
    std::int32_t type = 0;
    switch (Script_readNumber(script, type)) {
    case SCRIPT_END:
        return End(given, ENDING_FULL);
    case SCRIPT_READ_ERROR:
        return End(given, ENDING_READ_ERROR);
    case SCRIPT_NOT_NUMBER:
        return End_at_word(script, given, ENDING_FULL, ENDING_TOO_MANY);
    default:
        return End(given, ENDING_TOO_MANY);
    }
}

// A number is kept as the text of its word, as the conversion takes it.
Script_result Read_number(Script &script, Value &value)
{
    Number_text text{};
    std::int32_t number = 0;
    Script_result result = Read_whole(script, text, number);
    if (result == SCRIPT_OK) {
        std::copy_n(text.text.data(), text.len, value.text.data());
        value.len = text.len;
        value.text[value.len] = '\0';
    }
    return result;
}

Script_result Read_value(Script &script, const Setting &setting, Value &value)
{
    switch (setting.reading) {
    case READ_INTEGER:
        return Read_number(script, value);
    case READ_REST_OF_LINE:
        return Script_readRestOfLine(script, value, setting.longest);
    case READ_LINE:
        return Script_readLine(script, value, setting.longest);
    case READ_TOKEN:
        return Script_readToken(script, value, setting.longest);
    default: // no setting: its line is passed over
        return Script_skipLine(script);
    }
}

// Why a value that could not be read is refused.
Convert_rule Rule_of(Script_result result)
{
    switch (result) {
    case SCRIPT_NOT_NUMBER:
        return RULE_NOT_NUMBER;
    case SCRIPT_OUT_OF_RANGE:
        return RULE_NUMBER_OVERFLOW;
    case SCRIPT_TOO_LONG:
        return RULE_TOO_LONG;
    case SCRIPT_NUL:
        return RULE_NUL;
    default: // SCRIPT_END
        return RULE_MISSING;
    }
}

} // namespace

void Script_start(Script &script, Script_given &given)
{
    given.count = 0;
    given.ending = ENDING_NONE;
    given.refusal = {};
    if (Script_skipMark(script) == SCRIPT_READ_ERROR)
        given.ending = ENDING_READ_ERROR;
}

bool Script_next(Script &script, Script_given &given)
{
    if (given.ending != ENDING_NONE)
        return false;
    if (given.count == SCRIPT_TYPES_MAX)
        return End_after_last(script, given);
    std::int32_t type = 0;
    switch (Script_readNumber(script, type)) {
    case SCRIPT_OK:
        break;
    case SCRIPT_READ_ERROR:
        return End(given, ENDING_READ_ERROR);
    case SCRIPT_OUT_OF_RANGE:
        return End(given, ENDING_TYPE_RANGE);
    case SCRIPT_NOT_NUMBER:
        return End_at_word(script, given, ENDING_DONE, ENDING_NOT_TYPE);
    default: // SCRIPT_END
        return End(given, ENDING_DONE);
    }
    if (given.count == 0 && type == 0)
        return End(given, ENDING_DONE);

    Script_setting &item = given.items[given.count];
    item.type = type;
    Clear(item.value);
    Script_result result = Read_value(script, Setting_of(type < 0 ? 0u : static_cast<unsigned>(type)), item.value);
    if (result == SCRIPT_READ_ERROR)
        return End(given, ENDING_READ_ERROR);
    if (result != SCRIPT_OK) {
        given.refusal = {Rule_of(result), given.count, type, {item.value.text.data(), item.value.len}, 0};
        return End(given, ENDING_VALUE);
    }
    ++given.count;
    return true;
}

void Script_readAll(Script &script, Script_given &given)
{
    Script_start(script, given);
    while (Script_next(script, given)) {
    }
}

Convert_value Script_value(const Script_setting &setting)
{
    return {setting.type, {setting.value.text.data(), setting.value.len}};
}

Convert_result Script_convert(const Script_given &given, Image &image)
{
    std::array<Convert_value, SCRIPT_TYPES_MAX> values{};
    for (std::size_t i = 0; i < given.count; ++i)
        values[i] = Script_value(given.items[i]);
    return Convert_settings(image, std::span(values).first(given.count));
}
