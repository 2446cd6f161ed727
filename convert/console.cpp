#include "console.h"

#include <algorithm>
#include <cstdarg>

namespace {

// Formats into text; the longest text fits.
[[gnu::format(printf, 2, 3)]] std::string_view Format(Console_text &text, const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    int len = std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    return {text.data(), len < 0 ? 0 : std::min(static_cast<std::size_t>(len), text.size() - 1)};
}

void Put(std::FILE *out, std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), out);
}

} // namespace

std::string_view Console_refusal(const Convert_result &result, Console_text &text)
{
    const Setting &setting = Setting_of(result.type < 0 ? 0u : static_cast<unsigned>(result.type));
    switch (result.rule) {
    case RULE_NONE:
        return {};
    case RULE_UNKNOWN_TYPE:
        return "\nIn valid type";
    case RULE_TOO_MANY:
        return "\nMore than 15 type numbers";
    case RULE_MISSING:
    case RULE_NOT_NUMBER:
        return Format(text, "\nMissing value for type: %d", result.type);
    case RULE_NUL:
        return Format(text, "\nIn valid character for type: %d", result.type);
    case RULE_TOO_LONG:
        return Format(text, "\nValue too long for type: %d", result.type);
    case RULE_NUMBER_OVERFLOW:
        return "\nNumber out of range";
    case RULE_OUT_OF_RANGE:
        return Format(text, setting.refusal, result.number);
    case RULE_WRONG_LENGTH:
    case RULE_NOT_HEX:
        break;
    }
    return setting.refusal;
}

std::string_view Console_endingWords(const Script_given &given, Console_text &text)
{
    static_assert(SCRIPT_TYPES_MAX == 15, "the refusal after the last type number names it");
    switch (given.ending) {
    case ENDING_DONE:
        return "\nScript done !";
    case ENDING_VALUE:
        return Console_refusal(given.refusal, text);
    case ENDING_NOT_TYPE:
        return "\nNot a type number";
    case ENDING_TOO_MANY:
        return "\nMore than 15 type numbers";
    case ENDING_TYPE_RANGE:
        return "\nNumber out of range";
    default: // ENDING_FULL, and a read error, which the program reports
        return {};
    }
}

void Console_setting(std::FILE *out, const Convert_value &value, const Convert_result &result)
{
    std::fprintf(out, "\nType: %d", value.type);
    Data_kind kind = Setting_of(value.type < 0 ? 0u : static_cast<unsigned>(value.type)).kind;
    if (kind == DATA_MAC || kind == DATA_KEY) {
        std::fputc('\n', out);
        Put(out, value.text);
    } else if (kind == DATA_TEXT || kind == DATA_TEXT_Z) {
        std::fputc('\n', out);
        Put(out, value.text);
        std::fprintf(out, ", %d", static_cast<int>(value.text.size()));
    }
    Console_text text{};
    Put(out, Console_refusal(result, text));
}

void Console_ending(std::FILE *out, const Script_given &given)
{
    if (given.ending == ENDING_VALUE)
        std::fprintf(out, "\nType: %d", given.refusal.type);
    Console_text text{};
    Put(out, Console_endingWords(given, text));
}
