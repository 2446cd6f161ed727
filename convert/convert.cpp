#include "convert.h"

#include "hex.h"
#include "number.h"

#include <array>
#include <limits>

namespace {

Convert_result Refuse(Convert_result result, Convert_rule rule)
{
    result.rule = rule;
    return result;
}

// A decimal integer with an optional sign, the whole text, as a script gives
// a number: RULE_NONE with its value, else why not.
Convert_rule Read_number(std::string_view text, std::int32_t &number)
{
    if (text.size() > 1 && text[0] == '+' && text[1] >= '0' && text[1] <= '9')
        text.remove_prefix(1);
    std::int64_t value = 0;
    const char *why = Number_parse(text, std::numeric_limits<std::int32_t>::min(),
                                   std::numeric_limits<std::int32_t>::max(), value);
    if (why != nullptr)
        return std::string_view(why) == "invalid" ? RULE_NOT_NUMBER : RULE_NUMBER_OVERFLOW;
    number = static_cast<std::int32_t>(value);
    return RULE_NONE;
}

bool In_range(std::size_t n, const Setting &setting)
{
    return n >= static_cast<std::size_t>(setting.min) && n <= static_cast<std::size_t>(setting.max);
}

Convert_result Put(Image &image, Convert_result result, std::span<const std::uint8_t> data, bool terminate)
{
    // Fifteen records of the longest data always fit; nothing else is added.
    if (!Image_addRecord(image, static_cast<std::uint8_t>(result.type), data, terminate))
        return Refuse(result, RULE_TOO_LONG);
    return result;
}

Convert_result Put_number(Image &image, Convert_result result, const Setting &setting)
{
    Convert_rule rule = Read_number(result.text, result.number);
    if (rule != RULE_NONE)
        return Refuse(result, rule);
    if (result.number < setting.min || result.number > setting.max)
        return Refuse(result, RULE_OUT_OF_RANGE);
    const std::array<std::uint8_t, 1> byte{static_cast<std::uint8_t>(result.number)};
    return Put(image, result, byte, false);
}

// The MAC address and the WEP key: two hex digits a byte, as many bytes as
// the setting's min or its max.
Convert_result Put_hex(Image &image, Convert_result result, const Setting &setting)
{
    std::size_t digits = result.text.size();
    if (digits != 2 * static_cast<std::size_t>(setting.min) && digits != 2 * static_cast<std::size_t>(setting.max))
        return Refuse(result, RULE_WRONG_LENGTH);
    std::array<std::uint8_t, VALUE_MAX / 2> bytes{};
    std::span<std::uint8_t> data = std::span(bytes).first(digits / 2);
    if (!Hex_decode({result.text.data(), digits}, data))
        return Refuse(result, RULE_NOT_HEX);
    if (setting.kind == DATA_MAC) {
        Image_setMac(image, std::span(bytes).first<MAC_ADDR_LEN>());
        return result;
    }
    return Put(image, result, data, false);
}

} // namespace

Convert_result Convert_setting(Image &image, std::size_t index, const Convert_value &value)
{
    Convert_result result{RULE_NONE, index, value.type, value.text, 0};
    if (index >= SCRIPT_TYPES_MAX)
        return Refuse(result, RULE_TOO_MANY);
    const Setting &setting = Setting_of(value.type < 0 ? 0u : static_cast<unsigned>(value.type));
    if (setting.kind == DATA_NONE)
        return Refuse(result, RULE_UNKNOWN_TYPE);
    bool word = setting.reading == READ_TOKEN || setting.reading == READ_INTEGER;
    if (word && value.text.empty())
        return Refuse(result, RULE_MISSING);
    if (value.text.find('\0') != std::string_view::npos)
        return Refuse(result, RULE_NUL);
    if (setting.kind == DATA_NUMBER)
        return Put_number(image, result, setting);
    if (value.text.size() > setting.longest)
        return Refuse(result, RULE_TOO_LONG);
    if (setting.kind == DATA_MAC || setting.kind == DATA_KEY)
        return Put_hex(image, result, setting);
    if (!In_range(value.text.size(), setting))
        return Refuse(result, RULE_WRONG_LENGTH);
    std::span<const std::uint8_t> data{reinterpret_cast<const std::uint8_t *>(value.text.data()), value.text.size()};
    return Put(image, result, data, setting.kind == DATA_TEXT_Z);
}

Convert_result Convert_settings(Image &image, std::span<const Convert_value> values)
{
    for (std::size_t k = 0; k < values.size(); ++k)
        if (Convert_result result = Convert_setting(image, k, values[k]); Convert_refused(result))
            return result;
    return {RULE_NONE, values.size(), 0, {}, 0};
}
