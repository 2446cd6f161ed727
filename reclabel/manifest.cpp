#include "manifest.h"

#include "csv.h"
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
    {"user-name", "User"}, {"serial", "Serial"}, {"mac", "MAC"}, {"unit", "Unit"},
};

std::string Caption_of(const std::string &column)
{
    for (const Caption &c : CAPTIONS)
        if (column == c.column)
            return c.caption;
    return column;
}

constexpr std::size_t NONE = static_cast<std::size_t>(-1);

std::size_t Column_at(const std::vector<std::string> &header, std::string_view name)
{
    auto at = std::find(header.begin(), header.end(), name);
    return at == header.end() ? NONE : static_cast<std::size_t>(at - header.begin());
}

struct Row {
    long line;
    std::vector<std::string> cells;
    Mac_address mac;
};

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
    std::size_t number = Column_at(header, "unit");
    std::size_t serial = Column_at(header, "serial");
    Mac_address mac{};
    return (number != NONE && row.cells[number] == unit) || (serial != NONE && row.cells[serial] == unit) ||
           (Mac_parseTyped(unit, mac) && mac == row.mac);
}

// The rows to print: all, or those that -u asks for, each once.
std::vector<const Row *> Select(Manifest &manifest, const std::vector<std::string> &header,
                                const std::vector<Row> &rows)
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
            if (Matches(header, rows[r], unit))
                found.push_back(r);
        if (found.empty())
            manifest.faults.push_back(Fault_text(manifest.path, 0, "-u " + unit, "no such unit in the manifest"));
        else if (found.size() > 1)
            manifest.faults.push_back(Fault_text(manifest.path, 0, "-u " + unit,
                                                 "more than one unit: lines " + std::to_string(rows[found[0]].line) +
                                                     " and " + std::to_string(rows[found[1]].line)));
        else
            wanted[found[0]] = true;
    }
    for (std::size_t r = 0; r < rows.size(); ++r)
        if (wanted[r])
            chosen.push_back(&rows[r]);
    return chosen;
}

// The header's columns that the labels need: wifi and mac, and each -c.
bool Check_header(Manifest &manifest, const std::vector<std::string> &header)
{
    for (std::size_t i = 0; i < header.size(); ++i)
        if (Column_at(header, header[i]) != i)
            manifest.faults.push_back(Fault_text(manifest.path, 1, header[i], "a second column of that name"));
    std::vector<std::string> needed{"wifi", "mac"};
    needed.insert(needed.end(), manifest.columns.begin(), manifest.columns.end());
    for (const std::string &name : needed)
        if (Column_at(header, name) == NONE)
            manifest.faults.push_back(Fault_text(manifest.path, 1, name, "no such column in the manifest"));
    return manifest.faults.empty();
}

} // namespace

std::string Fault_text(const char *path, long line, std::string_view column, std::string_view why)
{
    std::string text = std::string("reclabel: ") + path;
    if (line > 0)
        text.append(1, ':').append(std::to_string(line));
    return text.append(": ").append(column).append(": ").append(why);
}

Manifest_result Manifest_read(Manifest &manifest, std::FILE *fp)
{
    Csv_reader reader{};
    Csv_init(reader, fp);
    std::vector<std::string> header;
    const char *why = nullptr;
    Csv_result result = Csv_readRow(reader, header, &why);
    if (result == CSV_READ_ERROR)
        return MANIFEST_READ_ERROR;
    if (result != CSV_ROW) {
        manifest.faults.push_back(
            Fault_text(manifest.path, reader.rowLine, "csv", result == CSV_END ? "no header row" : why));
        return MANIFEST_BAD;
    }
    if (!Check_header(manifest, header))
        return MANIFEST_BAD;
    std::size_t wifi = Column_at(header, "wifi");
    std::size_t mac = Column_at(header, "mac");
    std::size_t serial = Column_at(header, "serial");

    std::vector<Row> rows;
    Row row{};
    while ((result = Csv_readRow(reader, row.cells, &why)) == CSV_ROW) {
        row.line = reader.rowLine;
        auto fault = [&](std::string_view column, const std::string &text) {
            manifest.faults.push_back(Fault_text(manifest.path, row.line, column, text));
        };
        if (row.cells.size() != header.size()) {
            fault("row", std::to_string(row.cells.size()) + " fields, expected " + std::to_string(header.size()));
            continue;
        }
        if (row.cells[wifi].empty())
            fault("wifi", "empty");
        if (!Mac_parseTyped(row.cells[mac], row.mac))
            fault("mac", "\"" + row.cells[mac] + "\", expected an address such as 00:50:c2:a1:b2:c3");
        rows.push_back(row);
    }
    if (result == CSV_READ_ERROR)
        return MANIFEST_READ_ERROR;
    if (result == CSV_BAD)
        manifest.faults.push_back(Fault_text(manifest.path, reader.rowLine, "csv", why));
    if (!manifest.faults.empty())
        return MANIFEST_BAD;
    if (rows.empty()) {
        manifest.faults.push_back(Fault_text(manifest.path, 0, "manifest", "no units"));
        return MANIFEST_BAD;
    }

    std::vector<std::size_t> shown;
    for (const std::string &name : manifest.columns)
        shown.push_back(Column_at(header, name));
    for (const Row *chosen : Select(manifest, header, rows)) {
        Label label{chosen->line, chosen->cells[wifi], chosen->cells[mac],
                    serial != NONE ? chosen->cells[serial] : std::string(), {}};
        Add_texts(header, manifest.columns.empty() ? Default_columns(header, *chosen) : shown, *chosen, label);
        manifest.labels.push_back(std::move(label));
    }
    return manifest.faults.empty() ? MANIFEST_OK : MANIFEST_BAD;
}
