#include "settings.h"

#include <cstring>

unsigned Setting_named(const char *name)
{
    for (const Setting &setting : SETTINGS)
        if (setting.kind != DATA_NONE && std::strcmp(setting.name, name) == 0)
            return setting.type;
    return 0;
}

const char *Setting_misfit(const Setting &setting, std::string_view text, bool last)
{
    bool word = setting.reading == READ_TOKEN || setting.reading == READ_INTEGER;
    if (word && text.empty())
        return "is empty";
    for (char c : text) {
        if (c == '\0')
            return "holds a 0x00 byte";
        if (word && Script_isBlank(static_cast<unsigned char>(c)))
            return "holds a blank";
        if (!word && c == '\n')
            return "holds a line end";
    }
    if (!word && !last && !text.empty() && text.back() == '\r')
        return "ends in a carriage return";
    return nullptr;
}
