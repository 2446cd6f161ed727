// Reading a manifest row by row, and the agreement of a row's Wi-Fi text
// with its own cells.
#include "manifest.h"

#include "settings.h"

#include <cerrno>

void Manifest_add(std::vector<Manifest_fault> &faults, const Manifest_reader &reader, long line, std::string_view column,
                  const std::string &why)
{
    std::string where = reader.path;
    if (line > 0)
        where.append(1, ':').append(std::to_string(line));
    faults.push_back({line, where, std::string(column) + ": " + why});
}

Fault Manifest_faultOf(const Manifest_fault &found)
{
    Fault fault{};
    Fault_refuse(fault, found.where.c_str(), "%s", found.why.c_str());
    return fault;
}

bool Manifest_start(Manifest_reader &reader, std::FILE *fp, const char *path, std::vector<Manifest_fault> &faults,
                    Fault &fault)
{
    Csv_init(reader.csv, fp);
    reader.path = path;
    reader.unmatched = 0;
    const char *why = nullptr;
    Csv_result result = Csv_readRow(reader.csv, reader.header, &why);
    if (result == CSV_READ_ERROR)
        return Fault_system(fault, path, errno);
    if (result != CSV_ROW) {
        Manifest_add(faults, reader, reader.csv.rowLine, "csv", result == CSV_END ? "no header row" : why);
        reader.header.clear();
        return true;
    }
    // A setting's column may stand twice, as a template may give it twice.
    std::size_t before = faults.size();
    for (std::size_t c = 0; c < reader.header.size(); ++c) {
        const std::string &name = reader.header[c];
        bool setting = name != MANIFEST_MAC && Setting_named(name.c_str()) != 0;
        if (!setting && Manifest_column(reader, name) != c)
            Manifest_add(faults, reader, 1, name, "a second column of that name");
    }
    if (faults.size() != before)
        reader.header.clear();
    return true;
}

bool Manifest_next(Manifest_reader &reader, Manifest_row &row, bool &more, std::vector<Manifest_fault> &faults,
                   Fault &fault)
{
    more = false;
    while (!reader.header.empty()) {
        const char *why = nullptr;
        Csv_result result = Csv_readRow(reader.csv, row.cells, &why);
        row.line = reader.csv.rowLine;
        if (result == CSV_READ_ERROR)
            return Fault_system(fault, reader.path, errno);
        if (result == CSV_END)
            return true;
        if (result == CSV_BAD) {
            Manifest_add(faults, reader, row.line, "csv", why);
            reader.header.clear(); // nothing after it can be read
        } else if (!reader.csv.rowEnded) {
            Manifest_add(faults, reader, row.line, "row", "no line end: the manifest may be cut short");
        } else if (row.cells.size() != reader.header.size()) {
            Manifest_add(faults, reader, row.line, "row",
                         std::to_string(row.cells.size()) + " fields, expected " + std::to_string(reader.header.size()));
        } else {
            more = true;
            return true;
        }
    }
    return true;
}

std::size_t Manifest_column(const Manifest_reader &reader, std::string_view name)
{
    for (std::size_t c = 0; c < reader.header.size(); ++c)
        if (reader.header[c] == name)
            return c;
    return MANIFEST_NONE;
}

namespace {

// The type, network and key of a Wi-Fi text as Manifest_wifi makes it,
// unescaped; false when text is not one.
bool Wifi_fields(std::string_view text, std::string (&fields)[3])
{
    if (!text.starts_with("WIFI:"))
        return false;
    std::size_t at = 5;
    std::size_t f = 0;
    for (; at < text.size() && text[at] != ';'; ++f) {
        if (f == 3 || at + 1 >= text.size() || text[at] != "TSP"[f] || text[at + 1] != ':')
            return false;
        for (at += 2; at < text.size() && text[at] != ';'; ++at) {
            if (text[at] == '\\' && ++at == text.size())
                return false;
            fields[f].push_back(text[at]);
        }
        if (at++ == text.size())
            return false;
    }
    return f >= 2 && at + 1 == text.size();
}

} // namespace

bool Manifest_wifiAgrees(const Manifest_reader &reader, const Manifest_row &row, Fault &fault)
{
    std::size_t wifi = Manifest_column(reader, MANIFEST_WIFI);
    if (wifi == MANIFEST_NONE)
        return true;
    // The text again from the row's cells; where the row lacks a column, the
    // Wi-Fi text's own field stands in for it. The last column of a setting
    // given twice is the one that counts.
    std::string fields[3];
    bool read = Wifi_fields(row.cells[wifi], fields);
    auto cell = [&](unsigned type, std::string_view own) {
        std::string_view text = own;
        for (std::size_t c = 0; c < reader.header.size(); ++c)
            if (reader.header[c] == Setting_of(type).name)
                text = row.cells[c];
        return text;
    };
    std::string_view ssid = cell(ZOL_FACT_DFLT_SSID_ID, fields[1]);
    const std::string_view none;
    std::string_view passphrase = cell(ZOL_FACT_DFLT_PASSPHRASE_ID, fields[0] == "WPA" ? fields[2] : none);
    std::string_view key = cell(ZOL_FACT_DFLT_WEP_KEY_ID, fields[0] == "WEP" ? fields[2] : none);
    if (read && Manifest_wifi(ssid, passphrase, key) == row.cells[wifi])
        return true;
    std::string where = std::string(reader.path) + ":" + std::to_string(row.line);
    return Fault_refuse(fault, where.c_str(), "%s: not the Wi-Fi text of the row's ssid, passphrase and wep-key",
                        MANIFEST_WIFI);
}
