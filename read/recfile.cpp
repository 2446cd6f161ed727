#include "recfile.h"

#include <cerrno>

namespace {

// How far one reading of the file gets: its end, or the record at fault.
struct Walk {
    std::size_t end;
    Read_fault fault;
};

Walk Stop(std::size_t offset, Read_rule rule, std::size_t got = 0)
{
    return {offset, {rule, offset, 0, 0, got, 0, 0}};
}

// The fault of the record at offset, if any; a file longer than any record
// file has bytes past RECORD_FILE_MAX, and a record that reaches them is
// refused for that, not as cut short.
Read_fault Record_fault(const Recfile &file, std::size_t offset)
{
    const std::uint8_t *record = file.bytes.data() + offset;
    bool longer = file.size > RECORD_FILE_MAX;
    if (offset + RECORD_HEADER_LEN > file.size || (longer && offset + RECORD_HEADER_LEN > RECORD_FILE_MAX))
        return Stop(offset, longer ? MALFORMED_TOO_LONG : MALFORMED_HEADER_SHORT, file.size - offset).fault;
    Read_fault fault{MALFORMED_NONE, offset, record[RECORD_OFF_TYPE], record[RECORD_OFF_LEN], 0, 0, 0};
    std::size_t end = offset + RECORD_HEADER_LEN + fault.len;
    if (!Setting_isRecord(fault.type))
        fault.rule = MALFORMED_TYPE;
    else if (end > file.size || end > RECORD_FILE_MAX) {
        fault.rule = longer ? MALFORMED_TOO_LONG : MALFORMED_DATA_SHORT;
        fault.got = file.size - offset - RECORD_HEADER_LEN;
    } else {
        fault.stored = record[RECORD_OFF_CHKSUM];
        fault.computed = Chksum_calculate(record + RECORD_HEADER_LEN, fault.len);
        if (fault.stored != fault.computed)
            fault.rule = MALFORMED_CHECKSUM;
        else if (Setting_of(fault.type).kind == DATA_TEXT_Z && (fault.len == 0 || file.bytes[end - 1] != 0))
            fault.rule = MALFORMED_NO_ZERO;
    }
    return fault;
}

// Walks the records from start to the end of the file or the first fault.
Walk Walk_records(const Recfile &file, std::size_t start)
{
    std::size_t offset = start;
    while (offset < file.size) {
        Read_fault fault = Record_fault(file, offset);
        if (fault.rule != MALFORMED_NONE)
            return {offset, fault};
        offset += RECORD_HEADER_LEN + fault.len;
    }
    return Stop(offset, MALFORMED_NONE);
}

} // namespace

bool Read_bounded(std::FILE *fp, const char *path, std::span<std::uint8_t> into, std::size_t &got, Fault &fault)
{
    std::setvbuf(fp, nullptr, _IONBF, 0);
    errno = 0;
    got = std::fread(into.data(), 1, into.size(), fp);
    if (std::ferror(fp))
        return Fault_system(fault, path, errno);
    return true;
}

bool Recfile_read(std::FILE *fp, const char *path, Recfile &file, Fault &fault)
{
    if (!Read_bounded(fp, path, file.bytes, file.size, fault))
        return false;
    Recfile_judge(file);
    return true;
}

void Recfile_judge(Recfile &file)
{
    Walk chosen = Walk_records(file, 0);
    file.hasBlock = false;
    if (Mac_block_valid(Recfile_bytes(file))) {
        Walk afterBlock = Walk_records(file, MAC_BLOCK_LEN);
        bool clean = afterBlock.fault.rule == MALFORMED_NONE;
        file.hasBlock = clean || (chosen.fault.rule != MALFORMED_NONE && afterBlock.end > chosen.end);
        if (file.hasBlock)
            chosen = afterBlock;
    }
    file.end = chosen.end;
    file.fault = chosen.fault;
}

std::span<const std::uint8_t> Recfile_bytes(const Recfile &file)
{
    return std::span(file.bytes).first(file.size);
}

bool Recfile_next(const Recfile &file, std::size_t &at, Read_entry &entry)
{
    bool whole = file.fault.rule == MALFORMED_NONE;
    if (at == 0 && file.hasBlock) {
        entry = {0, ZOL_FACT_DFLT_MAC_ID, file.bytes[1], std::span(file.bytes).subspan(2, MAC_ADDR_LEN),
                 whole && file.size == MAC_BLOCK_LEN};
        at = MAC_BLOCK_LEN;
        return true;
    }
    if (at >= file.end)
        return false;
    const std::uint8_t *record = file.bytes.data() + at;
    unsigned len = record[RECORD_OFF_LEN];
    std::size_t next = at + RECORD_HEADER_LEN + len;
    entry = {at, record[RECORD_OFF_TYPE], len, {record + RECORD_HEADER_LEN, len}, whole && next == file.size};
    at = next;
    return true;
}

std::string_view Read_text(const Read_entry &entry)
{
    std::size_t len = entry.data.size();
    if (Setting_of(entry.type).kind == DATA_TEXT_Z && len > 0)
        --len;
    return {reinterpret_cast<const char *>(entry.data.data()), len};
}

void Read_faultWords(const Read_fault &fault, char *out, std::size_t size)
{
    switch (fault.rule) {
    case MALFORMED_HEADER_SHORT:
        std::snprintf(out, size, "header cut short, %zu of %zu bytes", fault.got, RECORD_HEADER_LEN);
        break;
    case MALFORMED_TYPE:
        std::snprintf(out, size, "type %u, expected %u to %u", fault.type, RECORD_TYPE_FIRST, RECORD_TYPE_LAST);
        break;
    case MALFORMED_DATA_SHORT:
        std::snprintf(out, size, "data cut short, %zu of %u bytes", fault.got, fault.len);
        break;
    case MALFORMED_CHECKSUM:
        std::snprintf(out, size, "checksum 0x%02x, expected 0x%02x", fault.stored, fault.computed);
        break;
    case MALFORMED_NO_ZERO:
        std::snprintf(out, size, "text does not end in 0x00");
        break;
    case MALFORMED_TOO_LONG:
        std::snprintf(out, size, "past the %zu bytes of the longest record file", RECORD_FILE_MAX);
        break;
    case MALFORMED_NONE:
        std::snprintf(out, size, "well formed");
        break;
    }
}

bool Recfile_refuse(const Recfile &file, Fault &fault)
{
    char where[32];
    char why[64];
    std::snprintf(where, sizeof where, "offset %zu", file.fault.offset);
    Read_faultWords(file.fault, why, sizeof why);
    return Fault_refuse(fault, where, "%s", why);
}
