#include "text.h"

#include <cstdint>
#include <cstdio>

namespace {

// The length of the well-formed UTF-8 character at the start of text, and
// its code point; 0 when it is not one.
std::size_t Utf8_char(std::string_view text, std::uint32_t &point)
{
    auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    std::uint8_t lead = byte(0);
    std::size_t len = lead < 0x80 ? 1 : lead >= 0xc2 && lead <= 0xdf ? 2 : lead >= 0xe0 && lead <= 0xef ? 3
                                    : lead >= 0xf0 && lead <= 0xf4 ? 4 : 0;
    if (len == 0 || len > text.size())
        return 0;
    point = len == 1 ? lead : lead & (0x7f >> len);
    for (std::size_t i = 1; i < len; ++i) {
        if ((byte(i) & 0xc0) != 0x80)
            return 0;
        point = point << 6 | (byte(i) & 0x3f);
    }
    static constexpr std::uint32_t LEAST[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < LEAST[len] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff))
        return 0;
    return len;
}

bool Escaped(std::uint32_t point)
{
    return point < 0x20 || point == 0x7f || (point >= 0x80 && point <= 0x9f) ||
           (point >= 0x202a && point <= 0x202e) || (point >= 0x2066 && point <= 0x2069);
}

} // namespace

bool Text_isUtf8(std::string_view text)
{
    std::uint32_t point = 0;
    for (std::size_t len = 0; !text.empty(); text.remove_prefix(len))
        if ((len = Utf8_char(text, point)) == 0)
            return false;
    return true;
}

std::size_t Text_escape(std::string_view text, char *out, std::size_t size)
{
    if (size == 0)
        return 0;
    std::size_t used = 0;
    auto put = [&](const char *piece, std::size_t len) {
        if (used + len >= size)
            return false;
        for (std::size_t i = 0; i < len; ++i)
            out[used++] = piece[i];
        return true;
    };
    std::uint32_t point = 0;
    for (std::size_t len = 1; !text.empty(); text.remove_prefix(len)) {
        len = Utf8_char(text, point);
        char escape[16];
        bool fits;
        if (len == 0) {
            len = 1;
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<std::uint8_t>(text[0]));
            fits = put(escape, 4);
        } else if (!Escaped(point)) {
            fits = put(text.data(), len);
        } else if (point == '\n' || point == '\r' || point == '\t') {
            escape[0] = '\\';
            escape[1] = point == '\n' ? 'n' : point == '\r' ? 'r' : 't';
            fits = put(escape, 2);
        } else if (point < 0x80) {
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(point));
            fits = put(escape, 4);
        } else {
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(point));
            fits = put(escape, 6);
        }
        if (!fits)
            break;
    }
    out[used] = '\0';
    return used;
}
