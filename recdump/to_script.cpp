// The script: every entry checked first, by what a script line can carry and
// by the converter's own rules, then written only when all of them pass.
#include "dump.h"

#include "convert.h"
#include "writer.h"

#include <array>

namespace {

// The text of an entry's value, as a script gives it.
using Value_text = std::array<char, 2 * RECORD_DATA_MAX + 1>;

Convert_value Value_of(const Read_entry &entry, Value_text &text)
{
    auto type = static_cast<std::int32_t>(entry.type);
    switch (Setting_of(entry.type).kind) {
    case DATA_NUMBER: { // one byte, as No_script_gives has found, but past the last setting
        int len = entry.data.size() == 1 ? std::snprintf(text.data(), text.size(), "%u", entry.data[0]) : 0;
        return {type, {text.data(), static_cast<std::size_t>(len)}};
    }
    case DATA_KEY:
    case DATA_MAC:
        for (std::size_t i = 0; i < entry.data.size(); ++i)
            std::snprintf(text.data() + 2 * i, 3, "%02x", entry.data[i]);
        return {type, {text.data(), 2 * entry.data.size()}};
    default:
        return {type, Read_text(entry)};
    }
}

// Whether no script can give the entry, the index-th of the file, and why,
// in why: the converter's rule, or that no script line can carry it. For
// numbers and keys, the converter's rule is named first.
bool No_script_gives(Image &image, std::size_t index, const Read_entry &entry, char *why, std::size_t size)
{
    const Setting &setting = Setting_of(entry.type);
    bool number = setting.kind == DATA_NUMBER;
    if (number && entry.data.size() != 1 && index < SCRIPT_TYPES_MAX) {
        std::snprintf(why, size, "%zu bytes, expected 1", entry.data.size());
        return true;
    }
    Value_text text{};
    Convert_value value = Value_of(entry, text);
    Convert_result result = Convert_setting(image, index, value);
    bool hex = setting.kind == DATA_KEY || setting.kind == DATA_MAC;
    bool misfit = Script_misfitOf(value, entry.last) != MISFIT_NONE;
    if (misfit && result.rule != RULE_TOO_MANY && !(Convert_refused(result) && (hex || number))) {
        std::snprintf(why, size, "no script line can carry this value");
        return true;
    }
    Convert_why(result, why, size);
    return Convert_refused(result);
}

} // namespace

bool Dump_script(const Recfile &file, std::FILE *out, Fault &fault)
{
    Image image{};
    Image_init(image);
    Read_entry entry{};
    std::size_t index = 0;
    for (std::size_t at = 0; Recfile_next(file, at, entry); ++index) {
        char why[96];
        if (No_script_gives(image, index, entry, why, sizeof why)) {
            char where[32];
            std::snprintf(where, sizeof where, "offset %zu", entry.offset);
            return Fault_refuse(fault, where, "%s: %s", Setting_of(entry.type).name, why);
        }
    }
    if (file.fault.rule != MALFORMED_NONE)
        return Recfile_refuse(file, fault);
    for (std::size_t at = 0; Recfile_next(file, at, entry);) {
        Value_text text{};
        Script_writeSetting(out, Value_of(entry, text));
    }
    return true;
}
