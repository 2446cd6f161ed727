#include "writer.h"

#include "settings.h"

namespace {

const Setting &Setting_for(const Convert_value &value)
{
    return Setting_of(value.type < 0 ? 0u : static_cast<unsigned>(value.type));
}

// Whether a line end is written after the value: after every value but a
// text that ends in CR, which would join it, and a host name line, which
// carries its own, or ends the script without one. A host name line of the
// longest length is read without its line end, so one follows it always.
bool Needs_line_end(const Setting &setting, std::string_view text)
{
    if (text.ends_with('\r'))
        return false;
    return setting.reading != READ_LINE || (!text.ends_with('\n') && text.size() >= setting.longest);
}

} // namespace

Script_misfit Script_misfitOf(const Convert_value &value, bool last)
{
    const Setting &setting = Setting_for(value);
    bool word = setting.reading == READ_TOKEN || setting.reading == READ_INTEGER;
    std::string_view text = Script_lineText(value);
    if (word && text.empty())
        return MISFIT_EMPTY;
    for (char c : text) {
        if (c == '\0')
            return MISFIT_NUL;
        if (word && Script_isBlank(static_cast<unsigned char>(c)))
            return MISFIT_BLANK;
        if (!word && c == '\n')
            return MISFIT_LINE_END;
    }
    if (word)
        return MISFIT_NONE;
    // A CR before a line end would join it: the host name's own, or the one
    // written after a text that does not end the script.
    bool line = setting.reading == READ_LINE;
    bool ownLineEnd = text.size() < value.text.size();
    if (text.ends_with('\r') && (ownLineEnd || (!line && !last)))
        return MISFIT_CR_END;
    if (line && !ownLineEnd && !Needs_line_end(setting, text) && !last)
        return MISFIT_NOT_LAST;
    return MISFIT_NONE;
}

const char *Script_misfitWords(Script_misfit misfit)
{
    switch (misfit) {
    case MISFIT_EMPTY:
        return "is empty";
    case MISFIT_NUL:
        return "holds a 0x00 byte";
    case MISFIT_BLANK:
        return "holds a blank";
    case MISFIT_LINE_END:
        return "holds a line end";
    case MISFIT_CR_END:
        return "ends in a carriage return";
    case MISFIT_NOT_LAST:
        return "without its line end must end the script";
    default:
        return "";
    }
}

std::string_view Script_lineText(const Convert_value &value)
{
    std::string_view text = value.text;
    if (Setting_for(value).reading == READ_LINE && text.ends_with('\n'))
        text.remove_suffix(1);
    return text;
}

void Script_writeSetting(std::FILE *out, const Convert_value &value)
{
    std::fprintf(out, "%d ", value.type);
    std::fwrite(value.text.data(), 1, value.text.size(), out);
    if (Needs_line_end(Setting_for(value), value.text))
        std::fputc('\n', out);
}
