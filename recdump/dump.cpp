#include "dump.h"

#include "settings.h"

#include <array>
#include <cstdint>

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

// How far one reading of the file got.
struct Walk {
    bool clean;         // it ended exactly at the end of the file
    bool readError;
    std::size_t offset; // where it ended, or the record at fault
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
    Data_kind kind = Setting_of(record.header[RECORD_OFF_TYPE]).kind;
    std::uint8_t len = record.header[RECORD_OFF_LEN];
    record.got = std::fread(record.data.data(), 1, len, fp);
    if (record.got < len)
        return std::ferror(fp) ? FAULT_READ : FAULT_DATA_SHORT;
    if (Chksum_calculate(record.data.data(), len) != record.header[RECORD_OFF_CHKSUM])
        return FAULT_CHECKSUM;
    if (kind == DATA_TEXT_Z && (len == 0 || record.data[len - 1] != 0))
        return FAULT_NO_ZERO;
    return FAULT_NONE;
}

void Print_text(std::FILE *out, const std::uint8_t *bytes, std::size_t len)
{
    std::fputc('"', out);
    for (std::size_t i = 0; i < len; ++i) {
        std::uint8_t c = bytes[i];
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

void Print_value(std::FILE *out, Data_kind kind, const std::uint8_t *bytes, std::size_t len)
{
    switch (kind) {
    case DATA_TEXT:
        Print_text(out, bytes, len);
        break;
    case DATA_TEXT_Z:
        Print_text(out, bytes, len - 1); // the 0x00 ending is not part of the text
        break;
    case DATA_NUMBER:
        Print_bytes(out, bytes, len, "%u", " ");
        break;
    case DATA_KEY:
        Print_bytes(out, bytes, len, "%02x", "");
        break;
    case DATA_MAC:
        Print_bytes(out, bytes, len, "%02x", ":");
        break;
    case DATA_NONE:
        break;
    }
    std::fputc('\n', out);
}

void Print_line(std::FILE *out, std::size_t offset, unsigned type, unsigned len,
                const std::uint8_t *bytes, std::size_t count)
{
    Setting setting = Setting_of(type);
    std::fprintf(out, "%zu %u %s %u ", offset, type, setting.name, len);
    Print_value(out, setting.kind, bytes, count);
}

void Report(std::FILE *err, std::size_t offset, Fault fault, const Record &record)
{
    std::fprintf(err, "recdump: offset %zu: ", offset);
    switch (fault) {
    case FAULT_HEADER_SHORT:
        std::fprintf(err, "header cut short, %zu of %zu bytes\n", record.got, RECORD_HEADER_LEN);
        break;
    case FAULT_TYPE:
        std::fprintf(err, "type %u, expected %u to %u\n", record.header[RECORD_OFF_TYPE], RECORD_TYPE_FIRST,
                     RECORD_TYPE_LAST);
        break;
    case FAULT_DATA_SHORT:
        std::fprintf(err, "data cut short, %zu of %u bytes\n", record.got, record.header[RECORD_OFF_LEN]);
        break;
    case FAULT_CHECKSUM:
        std::fprintf(err, "checksum 0x%02x, expected 0x%02x\n", record.header[RECORD_OFF_CHKSUM],
                     Chksum_calculate(record.data.data(), record.header[RECORD_OFF_LEN]));
        break;
    default: // FAULT_NO_ZERO; the others end a walk without a message
        std::fputs("text does not end in 0x00\n", err);
        break;
    }
}

// Walks the records from offset start to the end of the file; with out, it
// prints each record and reports the fault that stops it on err.
Walk Walk_records(std::FILE *fp, std::size_t start, std::FILE *out, std::FILE *err)
{
    Walk walk{false, false, start};
    if (std::fseek(fp, static_cast<long>(start), SEEK_SET) != 0) {
        walk.readError = true;
        return walk;
    }
    static Record record;
    for (;;) {
        Fault fault = Read_record(fp, record);
        if (fault == FAULT_NONE) {
            std::uint8_t len = record.header[RECORD_OFF_LEN];
            if (out != nullptr)
                Print_line(out, walk.offset, record.header[RECORD_OFF_TYPE], len, record.data.data(), len);
            walk.offset += RECORD_HEADER_LEN + len;
            continue;
        }
        walk.clean = fault == FAULT_END;
        walk.readError = fault == FAULT_READ;
        if (out != nullptr && !walk.clean && !walk.readError)
            Report(err, walk.offset, fault, record);
        return walk;
    }
}

} // namespace

Dump_status Dump_file(std::FILE *fp, std::FILE *out, std::FILE *err)
{
    std::array<std::uint8_t, MAC_BLOCK_LEN> block{};
    if (std::fseek(fp, 0, SEEK_SET) != 0)
        return DUMP_READ_ERROR;
    std::size_t got = std::fread(block.data(), 1, block.size(), fp);
    if (std::ferror(fp))
        return DUMP_READ_ERROR;

    // The block counts when it is valid and the records after it walk to the
    // end; when neither reading does, the one that gets further is reported,
    // so that the fault named is the one that broke the file.
    Walk fromZero = Walk_records(fp, 0, nullptr, nullptr);
    bool withBlock = false;
    if (Mac_block_valid(std::span(block).first(got))) {
        Walk afterBlock = Walk_records(fp, MAC_BLOCK_LEN, nullptr, nullptr);
        if (afterBlock.readError)
            return DUMP_READ_ERROR;
        withBlock = afterBlock.clean || (!fromZero.clean && afterBlock.offset > fromZero.offset);
    }
    if (fromZero.readError)
        return DUMP_READ_ERROR;

    std::size_t start = 0;
    if (withBlock) {
        Print_line(out, 0, ZOL_FACT_DFLT_MAC_ID, block[1], block.data() + 2, MAC_ADDR_LEN);
        start = MAC_BLOCK_LEN;
    }
    Walk walk = Walk_records(fp, start, out, err);
    if (walk.readError)
        return DUMP_READ_ERROR;
    return walk.clean ? DUMP_OK : DUMP_MALFORMED;
}
