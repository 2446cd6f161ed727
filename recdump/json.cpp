// The JSON document: the entries, then the verdict.
#include "dump.h"

#include "json.h"

namespace {

void Json_entry(std::FILE *out, const Read_entry &entry, bool first)
{
    const Setting &setting = Setting_of(entry.type);
    std::fprintf(out, "%s\n    {\"offset\": %zu, \"type\": %u, \"name\": \"%s\", \"length\": %u, \"value\": ",
                 first ? "" : ",", entry.offset, entry.type, setting.name, entry.len);
    switch (setting.kind) {
    case DATA_NUMBER:
        if (entry.data.size() == 1)
            std::fprintf(out, "%u", entry.data[0]);
        else
            std::fputs("null", out);
        break;
    case DATA_KEY:
    case DATA_MAC:
        std::fputc('"', out);
        Dump_bytes(out, entry.data, "%02x", setting.kind == DATA_MAC ? ":" : "");
        std::fputc('"', out);
        break;
    default:
        Json_string(out, Read_text(entry));
        break;
    }
    std::fputs(", \"data\": \"", out);
    Dump_bytes(out, entry.data, "%02x", "");
    std::fputs("\"}", out);
}

} // namespace

void Dump_json(const Recfile &file, std::FILE *out)
{
    std::fputs("{\n  \"records\": [", out);
    Read_entry entry{};
    for (std::size_t at = 0; Recfile_next(file, at, entry);)
        Json_entry(out, entry, entry.offset == 0);
    bool whole = file.fault.rule == MALFORMED_NONE;
    std::fprintf(out, "\n  ],\n  \"well_formed\": %s", whole ? "true" : "false");
    if (!whole) {
        char words[64];
        Read_faultWords(file.fault, words, sizeof words); // its words need no escape
        std::fprintf(out, ",\n  \"fault\": {\"offset\": %zu, \"text\": \"%s\"}", file.fault.offset, words);
    }
    std::fputs("\n}\n", out);
}
