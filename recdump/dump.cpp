#include "dump.h"

#include "convert.h"
#include "settings.h"
#include "writer.h"

#include <array>
#include <span>
#include <cstdint>
#include <limits>
#include <string_view>

namespace {

enum Fault {
    FAULT_NONE,         // a well-formed record was read
    FAULT_END,          // end of file where a record may start
    FAULT_HEADER_SHORT,
    FAULT_TYPE,
    FAULT_DATA_SHORT,
    FAULT_CHECKSUM,
    FAULT_NO_ZERO,
    FAULT_READ,
};

struct Record {
    std::array<std::uint8_t, RECORD_HEADER_LEN> header;
    std::array<std::uint8_t, RECORD_DATA_MAX> data;
    std::size_t got; // bytes of the header or data read before a fault
};

// The MAC block or a record, as it is shown.
struct Entry {
    std::size_t offset;
    unsigned type;
    unsigned len;               // N as stored; 7 for the MAC block
    const std::uint8_t *bytes;  // the address, or the data
    std::size_t count;
    bool last;                  // the file ends after it
};

// Where the entries of a walk go; a walk without one only reads.
struct Sink {
    Dump_format format;
    std::FILE *out; // nullptr: a script is checked, not printed
    std::FILE *err;
    std::size_t end; // the offset of the end of the file, when it is known
    std::size_t entries;
    Image image;     // a script's entries converted, as they are checked
};

// How far one reading of the file got.
struct Walk {
    bool clean;         // it ended exactly at the end of the file
    bool readError;
    bool refused;       // a script cannot carry an entry; reported
    std::size_t offset; // where it ended, or the record at fault
    Fault fault;
    Record record;      // the record read last: the one at fault, if any
};

Fault Read_record(std::FILE *fp, Record &record)
{
    record.got = std::fread(record.header.data(), 1, RECORD_HEADER_LEN, fp);
    if (record.got < RECORD_HEADER_LEN) {
        if (std::ferror(fp))
            return FAULT_READ;
        return record.got == 0 ? FAULT_END : FAULT_HEADER_SHORT;
    }
    if (!Setting_isRecord(record.header[RECORD_OFF_TYPE]))
        return FAULT_TYPE;
    std::uint8_t len = record.header[RECORD_OFF_LEN];
    record.got = std::fread(record.data.data(), 1, len, fp);
    if (record.got < len)
        return std::ferror(fp) ? FAULT_READ : FAULT_DATA_SHORT;
    if (Chksum_calculate(record.data.data(), len) != record.header[RECORD_OFF_CHKSUM])
        return FAULT_CHECKSUM;
    if (Setting_of(record.header[RECORD_OFF_TYPE]).kind == DATA_TEXT_Z && (len == 0 || record.data[len - 1] != 0))
        return FAULT_NO_ZERO;
    return FAULT_NONE;
}

// The words of a fault, as both the message and the JSON document give them.
void Print_fault(std::FILE *out, Fault fault, const Record &record)
{
    switch (fault) {
    case FAULT_HEADER_SHORT:
        std::fprintf(out, "header cut short, %zu of %zu bytes", record.got, RECORD_HEADER_LEN);
        break;
    case FAULT_TYPE:
        std::fprintf(out, "type %u, expected %u to %u", record.header[RECORD_OFF_TYPE], RECORD_TYPE_FIRST,
                     RECORD_TYPE_LAST);
        break;
    case FAULT_DATA_SHORT:
        std::fprintf(out, "data cut short, %zu of %u bytes", record.got, record.header[RECORD_OFF_LEN]);
        break;
    case FAULT_CHECKSUM:
        std::fprintf(out, "checksum 0x%02x, expected 0x%02x", record.header[RECORD_OFF_CHKSUM],
                     Chksum_calculate(record.data.data(), record.header[RECORD_OFF_LEN]));
        break;
    default: // FAULT_NO_ZERO; the others end a walk without a fault
        std::fputs("text does not end in 0x00", out);
        break;
    }
}

void Report(std::FILE *err, const Walk &walk)
{
    std::fprintf(err, "recdump: offset %zu: ", walk.offset);
    Print_fault(err, walk.fault, walk.record);
    std::fputc('\n', err);
}

// Each byte in format, with separator between them.
void Print_bytes(std::FILE *out, const std::uint8_t *bytes, std::size_t len, const char *format,
                 const char *separator)
{
    for (std::size_t i = 0; i < len; ++i) {
        if (i > 0)
            std::fputs(separator, out);
        std::fprintf(out, format, bytes[i]);
    }
}

// The characters of a text entry: those of types 10 to 13 without their
// 0x00 ending.
std::string_view Text_of(const Entry &entry)
{
    std::size_t len = entry.count;
    if (Setting_of(entry.type).kind == DATA_TEXT_Z)
        --len;
    return {reinterpret_cast<const char *>(entry.bytes), len};
}

// ---- the text listing

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

void Print_line(std::FILE *out, const Entry &entry)
{
    const Setting &setting = Setting_of(entry.type);
    std::fprintf(out, "%zu %u %s %u", entry.offset, entry.type, setting.name, entry.len);
    if (entry.count > 0 || setting.kind == DATA_TEXT || setting.kind == DATA_TEXT_Z)
        std::fputc(' ', out);
    switch (setting.kind) {
    case DATA_NUMBER:
        Print_bytes(out, entry.bytes, entry.count, "%u", " ");
        break;
    case DATA_KEY:
        Print_bytes(out, entry.bytes, entry.count, "%02x", "");
        break;
    case DATA_MAC:
        Print_bytes(out, entry.bytes, entry.count, "%02x", ":");
        break;
    default: // the texts; a walk hands on records of the table only
        Print_quoted(out, Text_of(entry));
        break;
    }
    std::fputc('\n', out);
}

// ---- the JSON document

// Whether text is well-formed UTF-8: no overlong form, no surrogate, no
// code point above U+10FFFF, no sequence cut short.
bool Utf8_valid(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();) {
        auto c = static_cast<unsigned char>(text[at]);
        // The bytes after the first, and the narrower range of the second
        // that rules out overlong forms, surrogates and what lies past U+10FFFF.
        std::size_t more = 0;
        unsigned low = 0x80;
        unsigned high = 0xbf;
        if (c >= 0xc2 && c <= 0xdf) {
            more = 1;
        } else if (c >= 0xe0 && c <= 0xef) {
            more = 2;
            low = c == 0xe0 ? 0xa0 : low;
            high = c == 0xed ? 0x9f : high;
        } else if (c >= 0xf0 && c <= 0xf4) {
            more = 3;
            low = c == 0xf0 ? 0x90 : low;
            high = c == 0xf4 ? 0x8f : high;
        } else if (c >= 0x80) {
            return false;
        }
        if (text.size() - at <= more)
            return false;
        for (std::size_t k = 1; k <= more; ++k) {
            auto next = static_cast<unsigned char>(text[at + k]);
            if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xbf))
                return false;
        }
        at += 1 + more;
    }
    return true;
}

// A JSON string of the bytes. A text of well-formed UTF-8 is given as that
// text; of any other text each byte outside ASCII is given as \u00XX, the
// code point of the same number. The quote and the backslash are escaped,
// control characters and DEL are given as \u00XX.
void Json_string(std::FILE *out, std::string_view text)
{
    bool utf8 = Utf8_valid(text);
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

void Json_entry(std::FILE *out, const Entry &entry, bool first)
{
    const Setting &setting = Setting_of(entry.type);
    std::fprintf(out, "%s\n    {\"offset\": %zu, \"type\": %u, \"name\": \"%s\", \"length\": %u, \"value\": ",
                 first ? "" : ",", entry.offset, entry.type, setting.name, entry.len);
    switch (setting.kind) {
    case DATA_NUMBER:
        if (entry.count == 1)
            std::fprintf(out, "%u", entry.bytes[0]);
        else
            std::fputs("null", out);
        break;
    case DATA_KEY:
    case DATA_MAC:
        std::fputc('"', out);
        Print_bytes(out, entry.bytes, entry.count, "%02x", setting.kind == DATA_MAC ? ":" : "");
        std::fputc('"', out);
        break;
    default:
        Json_string(out, Text_of(entry));
        break;
    }
    std::fputs(", \"data\": \"", out);
    Print_bytes(out, entry.bytes, entry.count, "%02x", "");
    std::fputs("\"}", out);
}

void Json_verdict(std::FILE *out, const Walk &walk)
{
    std::fprintf(out, "\n  ],\n  \"well_formed\": %s", walk.clean ? "true" : "false");
    if (!walk.clean) {
        std::fprintf(out, ",\n  \"fault\": {\"offset\": %zu, \"text\": \"", walk.offset);
        Print_fault(out, walk.fault, walk.record); // its words need no escape
        std::fputs("\"}", out);
    }
    std::fputs("\n}\n", out);
}

// ---- the script

// The text of an entry's value, as a script gives it.
using Value_text = std::array<char, 2 * RECORD_DATA_MAX + 1>;

Convert_value Value_of(const Entry &entry, Value_text &text)
{
    auto type = static_cast<std::int32_t>(entry.type);
    switch (Setting_of(entry.type).kind) {
    case DATA_NUMBER: { // one byte, as No_script_gives has found
        int len = std::snprintf(text.data(), text.size(), "%u", entry.bytes[0]);
        return {type, {text.data(), static_cast<std::size_t>(len)}};
    }
    case DATA_KEY:
    case DATA_MAC:
        for (std::size_t i = 0; i < entry.count; ++i)
            std::snprintf(text.data() + 2 * i, 3, "%02x", entry.bytes[i]);
        return {type, {text.data(), 2 * entry.count}};
    default:
        return {type, Text_of(entry)};
    }
}

// Whether no script can give the entry, and why, in why: what no script line
// can carry, or what the converter refuses. For numbers and keys, the
// converter's rule is named first.
bool No_script_gives(Sink &sink, const Entry &entry, std::span<char> why)
{
    const Setting &setting = Setting_of(entry.type);
    if (sink.entries > SCRIPT_TYPES_MAX) {
        std::snprintf(why.data(), why.size(), "is past the %zu settings of a script", SCRIPT_TYPES_MAX);
        return true;
    }
    if (setting.kind == DATA_NUMBER && entry.count != 1) {
        std::snprintf(why.data(), why.size(), "of %zu bytes, expected 1", entry.count);
        return true;
    }
    Value_text text{};
    Convert_value value = Value_of(entry, text);
    Convert_result result = Convert_setting(sink.image, sink.entries - 1, value);
    Script_misfit misfit = Script_misfitOf(value, entry.last);
    bool hex = setting.kind == DATA_KEY || setting.kind == DATA_MAC;
    if (misfit != MISFIT_NONE && !(Convert_refused(result) && (hex || setting.kind == DATA_NUMBER))) {
        std::snprintf(why.data(), why.size(), "%s",
                      misfit == MISFIT_NOT_LAST ? "without its line end is not the last record"
                                                : Script_misfitWords(misfit));
        return true;
    }
    if (!Convert_refused(result))
        return false;
    if (setting.kind == DATA_NUMBER)
        std::snprintf(why.data(), why.size(), "%d, expected %d to %d", result.number, setting.min, setting.max);
    else if (hex)
        std::snprintf(why.data(), why.size(), "of %zu bytes, expected %d or %d", entry.count, setting.min,
                      setting.max);
    else
        std::snprintf(why.data(), why.size(), "of %zu characters, expected %d to %d", value.text.size(),
                      setting.min, setting.max);
    return true;
}

// ---- walking the file

// Hands an entry to the sink; false when a script cannot carry it.
bool Emit(Sink &sink, Entry entry)
{
    entry.last = entry.offset + RECORD_HEADER_LEN + entry.len == sink.end;
    bool first = sink.entries++ == 0;
    switch (sink.format) {
    case DUMP_TEXT:
        Print_line(sink.out, entry);
        return true;
    case DUMP_JSON:
        Json_entry(sink.out, entry, first);
        return true;
    case DUMP_SCRIPT:
        break;
    }
    if (sink.out != nullptr) {
        Value_text text{};
        Script_writeSetting(sink.out, Value_of(entry, text));
        return true;
    }
    std::array<char, 96> why{};
    if (!No_script_gives(sink, entry, why))
        return true;
    std::fprintf(sink.err, "recdump: offset %zu: %s %s\n", entry.offset, Setting_of(entry.type).name, why.data());
    return false;
}

// Walks the records from offset start to the end of the file, handing each
// to sink when there is one.
Walk Walk_records(std::FILE *fp, std::size_t start, Sink *sink)
{
    Walk walk{false, false, false, start, FAULT_NONE, {}};
    if (std::fseek(fp, static_cast<long>(start), SEEK_SET) != 0) {
        walk.readError = true;
        return walk;
    }
    for (;;) {
        walk.fault = Read_record(fp, walk.record);
        if (walk.fault != FAULT_NONE) {
            walk.clean = walk.fault == FAULT_END;
            walk.readError = walk.fault == FAULT_READ;
            return walk;
        }
        const Record &record = walk.record;
        std::uint8_t len = record.header[RECORD_OFF_LEN];
        if (sink != nullptr &&
            !Emit(*sink, {walk.offset, record.header[RECORD_OFF_TYPE], len, record.data.data(), len, false})) {
            walk.refused = true;
            return walk;
        }
        walk.offset += RECORD_HEADER_LEN + len;
    }
}

// The block, when the file is read with it, then the records.
Walk Walk_entries(std::FILE *fp, const std::array<std::uint8_t, MAC_BLOCK_LEN> &block, bool withBlock,
                  Sink &sink)
{
    if (!withBlock)
        return Walk_records(fp, 0, &sink);
    if (!Emit(sink, {0, ZOL_FACT_DFLT_MAC_ID, block[1], block.data() + 2, MAC_ADDR_LEN, false}))
        return {false, false, true, 0, FAULT_NONE, {}};
    return Walk_records(fp, MAC_BLOCK_LEN, &sink);
}

// Reads the first bytes into block and chooses the reading of the file:
// the block counts when it is valid and the records after it walk to the
// end; when neither reading does, the one that gets further is reported,
// so that the fault named is the one that broke the file. False on a read
// error.
bool Choose_reading(std::FILE *fp, std::array<std::uint8_t, MAC_BLOCK_LEN> &block, Walk &chosen, bool &withBlock)
{
    if (std::fseek(fp, 0, SEEK_SET) != 0)
        return false;
    std::size_t got = std::fread(block.data(), 1, block.size(), fp);
    if (std::ferror(fp))
        return false;
    chosen = Walk_records(fp, 0, nullptr);
    withBlock = false;
    if (Mac_block_valid(std::span(block).first(got))) {
        Walk afterBlock = Walk_records(fp, MAC_BLOCK_LEN, nullptr);
        if (afterBlock.readError)
            return false;
        withBlock = afterBlock.clean || (!chosen.clean && afterBlock.offset > chosen.offset);
        if (withBlock)
            chosen = afterBlock;
    }
    return !chosen.readError;
}

} // namespace

Dump_status Dump_file(std::FILE *fp, std::FILE *out, std::FILE *err, Dump_format format)
{
    std::array<std::uint8_t, MAC_BLOCK_LEN> block{};
    Walk chosen{};
    bool withBlock = false;
    if (!Choose_reading(fp, block, chosen, withBlock))
        return DUMP_READ_ERROR;

    Sink sink{format, out, err, chosen.clean ? chosen.offset : std::numeric_limits<std::size_t>::max(), 0, {}};
    Image_init(sink.image);
    if (format == DUMP_SCRIPT) {
        // Nothing is printed unless the whole file can be a script.
        Sink check = sink;
        check.out = nullptr;
        Image_init(check.image);
        Walk walk = Walk_entries(fp, block, withBlock, check);
        if (walk.readError)
            return DUMP_READ_ERROR;
        if (!walk.clean && !walk.refused)
            Report(err, walk);
        if (!walk.clean)
            return DUMP_MALFORMED;
    }
    if (format == DUMP_JSON)
        std::fputs("{\n  \"records\": [", out);
    Walk walk = Walk_entries(fp, block, withBlock, sink);
    if (walk.readError)
        return DUMP_READ_ERROR;
    if (!walk.clean)
        Report(err, walk);
    if (format == DUMP_JSON)
        Json_verdict(out, walk);
    return walk.clean ? DUMP_OK : DUMP_MALFORMED;
}

Dump_status Dump_verdict(std::FILE *fp, std::size_t *offset, std::span<char> text)
{
    std::array<std::uint8_t, MAC_BLOCK_LEN> block{};
    Walk chosen{};
    bool withBlock = false;
    if (!Choose_reading(fp, block, chosen, withBlock))
        return DUMP_READ_ERROR;
    *offset = chosen.offset;
    if (!text.empty())
        text[0] = '\0';
    if (chosen.clean)
        return DUMP_OK;
    // The words of the message, written by the code that prints them.
    if (std::FILE *words = text.empty() ? nullptr : fmemopen(text.data(), text.size(), "w")) {
        Print_fault(words, chosen.fault, chosen.record);
        std::fclose(words);
        text.back() = '\0';
    }
    return DUMP_MALFORMED;
}
