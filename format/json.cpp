#include "json.h"

#include "text.h"

void Json_string(std::FILE *out, std::string_view text)
{
    bool utf8 = Text_isUtf8(text);
    std::fputc('"', out);
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\')
            std::fprintf(out, "\\%c", c);
        else if (c < 0x20 || c == 0x7f || (c > 0x7f && !utf8))
            std::fprintf(out, "\\u%04x", c);
        else
            std::fputc(c, out);
    }
    std::fputc('"', out);
}
