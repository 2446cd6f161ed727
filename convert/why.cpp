// The one wording of each rule of a value, outside trosket's console.
#include "convert.h"

#include "script.h"
#include "writer.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace {

// The most of a value that a refusal repeats.
constexpr std::size_t SHOWN_MAX = 40;

// Why a value of a number, the MAC address or a WEP key is refused.
void Value_why(const Convert_result &result, const Setting &setting, char *out, std::size_t size)
{
    int shown = static_cast<int>(std::min(result.text.size(), SHOWN_MAX));
    const char *text = result.text.data();
    if (setting.kind == DATA_NUMBER)
        std::snprintf(out, size, "\"%.*s\", expected a whole number from %d to %d", shown, text, setting.min,
                      setting.max);
    else if (setting.kind == DATA_MAC)
        std::snprintf(out, size, "\"%.*s\", expected %d hex digits", shown, text, 2 * setting.min);
    else if (result.rule == RULE_NOT_HEX)
        std::snprintf(out, size, "\"%.*s\", expected %d or %d hex digits", shown, text, 2 * setting.min,
                      2 * setting.max);
    else
        std::snprintf(out, size, "%zu characters, expected %d or %d hex digits", result.text.size(),
                      2 * setting.min, 2 * setting.max);
}

} // namespace

void Convert_why(const Convert_result &result, char *out, std::size_t size)
{
    const Setting &setting = Setting_of(result.type < 0 ? 0u : static_cast<unsigned>(result.type));
    switch (result.rule) {
    case RULE_NONE:
        std::snprintf(out, size, "%s", "");
        return;
    case RULE_UNKNOWN_TYPE:
        std::snprintf(out, size, "type %d, expected 1 to %u", result.type, RECORD_TYPE_LAST);
        return;
    case RULE_TOO_MANY:
        std::snprintf(out, size, "setting %zu of a script, expected at most %zu", result.index + 1,
                      SCRIPT_TYPES_MAX);
        return;
    case RULE_MISSING:
        std::snprintf(out, size, "%s", Script_misfitWords(MISFIT_EMPTY));
        return;
    case RULE_NUL:
        std::snprintf(out, size, "%s", Script_misfitWords(MISFIT_NUL));
        return;
    default:
        break;
    }
    // A script's reader keeps no more of a value than its longest, so a
    // value cut short there is told as more than the most.
    bool cut = result.rule == RULE_TOO_LONG && result.text.size() <= static_cast<std::size_t>(setting.max);
    if ((setting.kind == DATA_TEXT || setting.kind == DATA_TEXT_Z) && cut)
        std::snprintf(out, size, "more than %d bytes, expected %d to %d", setting.max, setting.min, setting.max);
    else if (setting.kind == DATA_TEXT || setting.kind == DATA_TEXT_Z)
        std::snprintf(out, size, "%zu bytes, expected %d to %d", result.text.size(), setting.min, setting.max);
    else
        Value_why(result, setting, out, size);
}

void Script_endingWhy(const Script_given &given, char *out, std::size_t size)
{
    switch (given.ending) {
    case ENDING_VALUE:
        Convert_why(given.refusal, out, size);
        return;
    case ENDING_TOO_MANY:
        Convert_why({.rule = RULE_TOO_MANY, .index = SCRIPT_TYPES_MAX, .type = 0, .text = {}, .number = 0}, out, size);
        return;
    case ENDING_NOT_TYPE:
        std::snprintf(out, size, "a word where a type number is due, expected a whole number");
        return;
    case ENDING_TYPE_RANGE:
        std::snprintf(out, size, "a type number, expected a whole number from %d to %d",
                      std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
        return;
    default: // read whole, or the stream failed, which the program reports
        std::snprintf(out, size, "%s", "");
        return;
    }
}
