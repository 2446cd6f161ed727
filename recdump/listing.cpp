// The listing: a line per MAC block or record.
#include "dump.h"

namespace {

void Print_quoted(std::FILE *out, std::string_view text)
{
    std::fputc('"', out);
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '\n')
            std::fputs("\\n", out);
        else if (c == '\r')
            std::fputs("\\r", out);
        else if (c == '\t')
            std::fputs("\\t", out);
        else if (c == '"' || c == '\\')
            std::fprintf(out, "\\%c", c);
        else if (c < 0x20 || c > 0x7e)
            std::fprintf(out, "\\%03o", c);
        else
            std::fputc(c, out);
    }
    std::fputc('"', out);
}

void Print_line(std::FILE *out, const Read_entry &entry)
{
    const Setting &setting = Setting_of(entry.type);
    std::fprintf(out, "%zu %u %s %u", entry.offset, entry.type, setting.name, entry.len);
    if (!entry.data.empty() || setting.kind == DATA_TEXT || setting.kind == DATA_TEXT_Z)
        std::fputc(' ', out);
    switch (setting.kind) {
    case DATA_NUMBER:
        Dump_bytes(out, entry.data, "%u", " ");
        break;
    case DATA_KEY:
        Dump_bytes(out, entry.data, "%02x", "");
        break;
    case DATA_MAC:
        Dump_bytes(out, entry.data, "%02x", ":");
        break;
    default: // the texts; a reading gives records of the table only
        Print_quoted(out, Read_text(entry));
        break;
    }
    std::fputc('\n', out);
}

} // namespace

void Dump_bytes(std::FILE *out, std::span<const std::uint8_t> bytes, const char *format, const char *separator)
{
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            std::fputs(separator, out);
        std::fprintf(out, format, bytes[i]);
    }
}

void Dump_listing(const Recfile &file, std::FILE *out)
{
    Read_entry entry{};
    for (std::size_t at = 0; Recfile_next(file, at, entry);)
        Print_line(out, entry);
}
