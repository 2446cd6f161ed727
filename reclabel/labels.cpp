#include "labels.h"

#include "mac.h"

#include <algorithm>

namespace {

// The caption of a text line by the column it shows; other columns are
// shown under their own name.
struct Caption {
    const char *column;
    const char *caption;
};

constexpr Caption CAPTIONS[] = {
    {"ssid", "Network"}, {"passphrase", "Key"}, {"wep-key", "Key"}, {"password", "Password"},
    {"user-name", "User"}, {MANIFEST_SERIAL, "Serial"}, {MANIFEST_MAC, "MAC"}, {MANIFEST_LAST_MAC, "Last MAC"},
    {MANIFEST_UNIT, "Unit"},
};

std::string Caption_of(const std::string &column)
{
    for (const Caption &c : CAPTIONS)
        if (column == c.column)
            return c.caption;
    return column;
}

constexpr std::size_t NONE = MANIFEST_NONE;

std::size_t Column_at(const std::vector<std::string> &header, std::string_view name)
{
    auto at = std::find(header.begin(), header.end(), name);
    return at == header.end() ? NONE : static_cast<std::size_t>(at - header.begin());
}

struct Row {
    long line;
    std::vector<std::string> cells;
    Mac_address mac;
    Mac_address last; // the unit's last address: mac itself without a last-mac column
};

void Add_fault(Manifest &manifest, const Manifest_reader &reader, long line, std::string_view column,
               const std::string &why)
{
    Manifest_add(manifest.faults, reader, line, column, why);
}

// Whether the manifest has a column that a row's wifi text must agree with.
bool Has_network(const Manifest_reader &reader)
{
    for (const char *name : {"ssid", "passphrase", "wep-key"})
        if (Manifest_column(reader, name) != NONE)
            return true;
    return false;
}

// A row's wifi text, checked: a QR code that disagrees with the text beside
// it would join another network, or none.
void Check_wifi(Manifest &manifest, const Manifest_reader &reader, const Manifest_row &row, std::size_t wifi)
{
    Fault fault{};
    if (row.cells[wifi].empty())
        Add_fault(manifest, reader, row.line, MANIFEST_WIFI, "empty");
    else if (Has_network(reader) && !Manifest_wifiAgrees(reader, row, fault))
        manifest.faults.push_back({row.line, fault.where, fault.why});
}

// Each row after the header, checked; false with fault filled when the
// stream failed.
bool Read_rows(Manifest &manifest, Manifest_reader &reader, std::vector<Row> &rows, Fault &fault)
{
    const std::size_t wifi = Manifest_column(reader, MANIFEST_WIFI), mac = Manifest_column(reader, MANIFEST_MAC);
    const std::size_t last = Manifest_column(reader, MANIFEST_LAST_MAC);
    Manifest_row row{};
    for (bool more = true; more;) {
        if (!Manifest_next(reader, row, more, manifest.faults, fault))
            return false;
        if (!more)
            break;
        Check_wifi(manifest, reader, row, wifi);
        Row &read = rows.emplace_back(Row{row.line, row.cells, {}, {}});
        if (!Mac_parseTyped(row.cells[mac], read.mac))
            Add_fault(manifest, reader, row.line, MANIFEST_MAC,
                      "\"" + row.cells[mac] + "\", expected an address such as 00:50:c2:a1:b2:c3");
        read.last = read.mac;
        if (last != NONE && (!Mac_parseTyped(row.cells[last], read.last) || read.last < read.mac))
            Add_fault(manifest, reader, row.line, MANIFEST_LAST_MAC,
                      "\"" + row.cells[last] + "\", expected the unit's last address, from its " + MANIFEST_MAC + " on");
    }
    return true;
}

// The text lines of a row: the -c columns, or the network, its key (the
// pass phrase, else the WEP key) when the manifest has them.
void Add_texts(const std::vector<std::string> &header, const std::vector<std::size_t> &shown, const Row &row,
               Label &label)
{
    for (std::size_t at : shown)
        label.texts.push_back({header[at], Caption_of(header[at]) + ": " + row.cells[at]});
}

std::vector<std::size_t> Default_columns(const std::vector<std::string> &header, const Row &row)
{
    std::vector<std::size_t> shown;
    if (std::size_t at = Column_at(header, "ssid"); at != NONE)
        shown.push_back(at);
    std::size_t pass = Column_at(header, "passphrase");
    std::size_t key = Column_at(header, "wep-key");
    if (pass != NONE && !row.cells[pass].empty())
        shown.push_back(pass);
    else if (key != NONE && !row.cells[key].empty())
        shown.push_back(key);
    return shown;
}

bool Matches(const std::vector<std::string> &header, const Row &row, const std::string &unit)
{
    std::size_t number = Column_at(header, MANIFEST_UNIT);
    std::size_t serial = Column_at(header, MANIFEST_SERIAL);
    Mac_address mac{};
    return (number != NONE && row.cells[number] == unit) || (serial != NONE && row.cells[serial] == unit) ||
           (Mac_parseTyped(unit, mac) && mac >= row.mac && mac <= row.last);
}

// The rows to print: all, or those that -u asks for, each once.
std::vector<const Row *> Select(Manifest &manifest, const Manifest_reader &reader, const std::vector<Row> &rows)
{
    std::vector<const Row *> chosen;
    if (manifest.units.empty()) {
        for (const Row &row : rows)
            chosen.push_back(&row);
        return chosen;
    }
    std::vector<bool> wanted(rows.size(), false);
    for (const std::string &unit : manifest.units) {
        std::vector<std::size_t> found;
        for (std::size_t r = 0; r < rows.size(); ++r)
            if (Matches(reader.header, rows[r], unit))
                found.push_back(r);
        if (found.empty())
            Add_fault(manifest, reader, 0, "-u " + unit, "no such unit in the manifest");
        else if (found.size() > 1)
            Add_fault(manifest, reader, 0, "-u " + unit,
                      "more than one unit: lines " + std::to_string(rows[found[0]].line) + " and " +
                          std::to_string(rows[found[1]].line));
        else
            wanted[found[0]] = true;
    }
    for (std::size_t r = 0; r < rows.size(); ++r)
        if (wanted[r])
            chosen.push_back(&rows[r]);
    return chosen;
}

// The header's columns that the labels need: wifi and mac, and each -c;
// each column named once (manifest/ lets a setting's column stand twice).
bool Check_header(Manifest &manifest, const Manifest_reader &reader)
{
    const std::vector<std::string> &header = reader.header;
    for (std::size_t i = 0; i < header.size(); ++i)
        if (Column_at(header, header[i]) != i)
            Add_fault(manifest, reader, 1, header[i], "a second column of that name");
    std::vector<std::string> needed{MANIFEST_WIFI, MANIFEST_MAC};
    needed.insert(needed.end(), manifest.columns.begin(), manifest.columns.end());
    for (const std::string &name : needed)
        if (Column_at(header, name) == NONE)
            Add_fault(manifest, reader, 1, name, "no such column in the manifest");
    return manifest.faults.empty();
}

} // namespace

bool Manifest_read(Manifest &manifest, std::FILE *fp, Fault &fault)
{
    Manifest_reader reader{};
    if (!Manifest_start(reader, fp, manifest.path, manifest.faults, fault))
        return false;
    if (reader.header.empty() || !Check_header(manifest, reader))
        return false;
    std::vector<Row> rows;
    if (!Read_rows(manifest, reader, rows, fault) || !manifest.faults.empty())
        return false;
    if (rows.empty()) {
        Add_fault(manifest, reader, 0, "manifest", "no units");
        return false;
    }

    const std::vector<std::string> &header = reader.header;
    const std::size_t wifi = Column_at(header, MANIFEST_WIFI), mac = Column_at(header, MANIFEST_MAC);
    const std::size_t serial = Column_at(header, MANIFEST_SERIAL);
    std::vector<std::size_t> shown;
    for (const std::string &name : manifest.columns)
        shown.push_back(Column_at(header, name));
    for (const Row *chosen : Select(manifest, reader, rows)) {
        Label label{chosen->line, chosen->cells[wifi], chosen->cells[mac], Mac_hex(chosen->mac).data(),
                    serial != NONE ? chosen->cells[serial] : std::string(), {}};
        Add_texts(header, manifest.columns.empty() ? Default_columns(header, *chosen) : shown, *chosen, label);
        manifest.labels.push_back(std::move(label));
    }
    return manifest.faults.empty();
}
