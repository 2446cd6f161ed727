// A row of the manifest against its unit: what the ledger records of it, and
// the records of its image.
#include "manifest.h"

#include "convert.h"
#include "settings.h"

#include <algorithm>

namespace {

bool Secret(unsigned type)
{
    return type == ZOL_FACT_DFLT_PASSPHRASE_ID || type == ZOL_FACT_DFLT_PASSWORD_ID || type == ZOL_FACT_DFLT_WEP_KEY_ID;
}

// A record's value as the manifest gives it: a number in decimal, a key in
// lower-case hex digits, a text without the 0x00 that ends it, a host name
// without its line end.
std::string Record_text(const Manifest_record &record)
{
    const Setting &setting = Setting_of(record.type);
    std::string text(record.data.begin(), record.data.end());
    if (setting.kind == DATA_NUMBER)
        return record.data.empty() ? std::string() : std::to_string(record.data[0]);
    if (setting.kind == DATA_KEY) {
        std::string hex;
        for (std::uint8_t byte : record.data)
            hex.append(1, "0123456789abcdef"[byte >> 4]).append(1, "0123456789abcdef"[byte & 0x0f]);
        return hex;
    }
    if (!text.empty() && (setting.kind == DATA_TEXT_Z || (setting.reading == READ_LINE && text.back() == '\n')))
        text.pop_back();
    return text;
}

// Whether cell gives the record: a text its very bytes; a number or a key
// what the converter makes of it ("06" the channel 6, "A1B2C3D4E5" the key
// a1b2c3d4e5).
bool Gives(std::string_view cell, const Manifest_record &record)
{
    Data_kind kind = Setting_of(record.type).kind;
    if (kind != DATA_NUMBER && kind != DATA_KEY)
        return cell == Record_text(record);
    Image made{};
    Image held{};
    Image_init(made);
    Image_init(held);
    Convert_result result = Convert_setting(made, 0, {static_cast<std::int32_t>(record.type), cell});
    Image_addRecord(held, static_cast<std::uint8_t>(record.type), record.data, false);
    std::span<const std::uint8_t> a = Image_bytes(made);
    std::span<const std::uint8_t> b = Image_bytes(held);
    return !Convert_refused(result) && std::equal(a.begin(), a.end(), b.begin(), b.end());
}

// The n-th record of type (from 0), or records.size().
std::size_t Record_at(std::span<const Manifest_record> records, unsigned type, std::size_t n)
{
    for (std::size_t r = 0; r < records.size(); ++r)
        if (records[r].type == type && n-- == 0)
            return r;
    return records.size();
}

// Each value column against its record; spelled holds each record's value
// as the row spells it where a column gives it (a key in its own case).
void Check_values(Manifest_reader &reader, const Manifest_row &row, std::span<const Manifest_record> records,
                  std::vector<std::string> &spelled, std::vector<Manifest_fault> &faults)
{
    std::vector<std::size_t> seen(SETTINGS.size());
    std::vector<bool> given(records.size());
    for (std::size_t c = 0; c < reader.header.size(); ++c) {
        const std::string &name = reader.header[c];
        unsigned type = name == MANIFEST_MAC ? 0 : Setting_named(name.c_str());
        if (type == 0)
            continue;
        std::size_t r = Record_at(records, type, seen[type]++);
        const std::string &cell = row.cells[c];
        if (r == records.size() && !cell.empty())
            Manifest_add(faults, reader, row.line, name, Secret(type) ? "given, though the image holds none"
                                                                      : cell + ", expected no value");
        else if (r < records.size() && !Gives(cell, records[r]))
            Manifest_add(faults, reader, row.line, name,
                         Secret(type) ? "not the value that the image holds" : cell + ", expected " + spelled[r]);
        else if (r < records.size())
            spelled[r] = cell;
        if (r < records.size())
            given[r] = true;
    }
    for (std::size_t r = 0; r < records.size(); ++r) {
        std::uint32_t bit = 1u << records[r].type;
        if (!given[r] && (reader.unmatched & bit) == 0) {
            reader.unmatched |= bit;
            Manifest_add(faults, reader, 1, Setting_of(records[r].type).name,
                         "no such column, though the images hold that setting");
        }
    }
}

} // namespace

bool Manifest_hasColumns(const Manifest_reader &reader, bool serials, bool lasts, std::vector<Manifest_fault> &faults)
{
    std::size_t before = faults.size();
    for (const char *name : MANIFEST_OWN)
        if ((lasts || std::string_view(name) != MANIFEST_LAST_MAC) && Manifest_column(reader, name) == MANIFEST_NONE)
            Manifest_add(faults, reader, 1, name, "no such column");
    if (serials && Manifest_column(reader, MANIFEST_SERIAL) == MANIFEST_NONE)
        Manifest_add(faults, reader, 1, MANIFEST_SERIAL, "no such column");
    return faults.size() == before;
}

void Manifest_check(Manifest_reader &reader, const Manifest_row &row, const Manifest_expected &expected,
                    std::vector<Manifest_fault> &faults)
{
    const std::string number = std::to_string(expected.number);
    const std::string file = Manifest_file(expected.mac);
    const Mac_colonText mac = Mac_colons(expected.mac);
    const Mac_colonText last = Mac_colons(expected.last);
    const std::pair<const char *, std::string_view> ledger[] = {
        {MANIFEST_UNIT, number},
        {MANIFEST_MAC, mac.data()},
        {MANIFEST_LAST_MAC, last.data()},
        {MANIFEST_FILE, file},
        {MANIFEST_SHA256, expected.sha256},
        {MANIFEST_SERIAL, expected.serial},
    };
    for (const auto &[name, want] : ledger)
        if (std::size_t c = Manifest_column(reader, name); c != MANIFEST_NONE && row.cells[c] != want)
            Manifest_add(faults, reader, row.line, name, row.cells[c] + ", expected " + std::string(want));
    if (!expected.hasImage)
        return;

    std::vector<std::string> spelled;
    for (const Manifest_record &record : expected.records)
        spelled.push_back(Record_text(record));
    Check_values(reader, row, expected.records, spelled, faults);
    std::string_view wifi[3]; // the last ssid, pass phrase and WEP key
    for (std::size_t r = 0; r < expected.records.size(); ++r)
        for (unsigned type : {ZOL_FACT_DFLT_SSID_ID, ZOL_FACT_DFLT_PASSPHRASE_ID, ZOL_FACT_DFLT_WEP_KEY_ID})
            if (expected.records[r].type == type)
                wifi[type == ZOL_FACT_DFLT_SSID_ID ? 0 : type == ZOL_FACT_DFLT_PASSPHRASE_ID ? 1 : 2] = spelled[r];
    std::size_t c = Manifest_column(reader, MANIFEST_WIFI);
    if (c != MANIFEST_NONE && row.cells[c] != Manifest_wifi(wifi[0], wifi[1], wifi[2]))
        Manifest_add(faults, reader, row.line, MANIFEST_WIFI,
                     "not the Wi-Fi text of the image's ssid, passphrase and wep-key");
}
