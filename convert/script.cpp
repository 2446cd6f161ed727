#include "script.h"

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
    if (script.failed)
        return EOF;
    int c = getc_unlocked(script.fp);
    if (c == EOF && std::ferror(script.fp))
        script.failed = true;
    return c;
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
    script.back = EOF;
    script.hasBack = false;
    script.failed = false;
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
        std::ungetc(second, script.fp);
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
    std::ungetc(next, script.fp); // one character of push-back is guaranteed
    return c;
}

void Script_ungetc(Script &script, int c)
{
    script.back = c;
    script.hasBack = true;
}

Script_result Script_readNumber(Script &script, std::int32_t &number)
{
    int c = Skip_blanks(script);
    if (c == EOF)
        return End_or_error(script);
    bool negative = c == '-';
    if (c == '-' || c == '+')
        c = Script_getc(script);
    if (!Is_digit(c))
        return Finish(script, c, SCRIPT_NOT_NUMBER);

    // The magnitude of INT32_MIN is one more than INT32_MAX; past it nothing
    // more is added, but every digit is still consumed.
    constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    for (; Is_digit(c); c = Script_getc(script))
        if (magnitude <= limit)
            magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit || (!negative && magnitude == limit))
        return Finish(script, c, SCRIPT_OUT_OF_RANGE);
    number = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
    return Finish(script, c, SCRIPT_OK);
}

Script_result Script_readWholeNumber(Script &script, std::int32_t &number)
{
    Script_result result = Script_readNumber(script, number);
    if (result != SCRIPT_OK && result != SCRIPT_OUT_OF_RANGE)
        return result;
    int c = Script_getc(script);
    if (c != EOF && !Script_isBlank(c))
        result = SCRIPT_NOT_NUMBER;
    return Finish(script, c, result);
}

Script_result Script_readToken(Script &script, Value &value, std::size_t limit)
{
    Clear(value);
    int c = Skip_blanks(script);
    if (c == EOF)
        return End_or_error(script);
    bool nul = false;
    for (; c != EOF && !Script_isBlank(c); c = Script_getc(script)) {
        if (value.len == limit)
            return SCRIPT_TOO_LONG;
        Store(value, c, nul);
    }
    return Finish(script, c, nul ? SCRIPT_NUL : SCRIPT_OK);
}

Script_result Script_readRestOfLine(Script &script, Value &value, std::size_t limit)
{
    Clear(value);
    bool nul = false;
    int c = Drop_one(script);
    for (; c != EOF && c != '\n'; c = Script_getc(script)) {
        if (value.len == limit)
            return SCRIPT_TOO_LONG;
        Store(value, c, nul);
    }
    return Finish(script, c, nul ? SCRIPT_NUL : SCRIPT_OK);
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
