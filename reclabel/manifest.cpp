#include "manifest.h"

#include "csv.h"
#include "mac.h"

#include <algorithm>
#include <cerrno>

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

void Add_fault(Manifest &manifest, long line, std::string_view column, std::string_view why)
{
    Manifest_fault(manifest.faults.emplace_back(), manifest.path, line, column, why);
}

// The columns that a row is read by; NONE for one the manifest lacks.
struct Columns {
    std::size_t wifi, mac, serial, ssid, passphrase, wepKey;
};

struct Wifi_field {
    std::string name, value; // the letter before the colon; the value unescaped
};

// The fields of a Wi-Fi network text, WIFI:T:WPA;S:<ssid>;P:<key>;; with
// \ escapes; false when it is not one, or is cut short.
bool Wifi_fields(std::string_view text, std::vector<Wifi_field> &fields)
{
    if (!text.starts_with("WIFI:"))
        return false;
    std::size_t at = 5;
    while (at < text.size() && text[at] != ';') {
        std::size_t colon = text.find(':', at);
        if (colon == std::string_view::npos)
            return false;
        Wifi_field &field = fields.emplace_back(Wifi_field{std::string(text.substr(at, colon - at)), {}});
        for (at = colon + 1; at < text.size() && text[at] != ';'; ++at) {
            if (text[at] == '\\' && ++at == text.size())
                return false;
            field.value += text[at];
        }
        if (at++ == text.size())
            return false;
    }
    return at + 1 == text.size(); // the ;; that ends it, and nothing after
}

const std::string *Field(const std::vector<Wifi_field> &fields, std::string_view name)
{
    for (const Wifi_field &field : fields)
        if (field.name == name)
            return &field.value;
    return nullptr;
}

// A row's wifi text says the network of its ssid cell and the key of its
// passphrase cell (or, with that empty, its wep-key cell), where it has
// them: a QR code that disagrees with the text beside it would join
// another network, or none.
void Check_wifi(Manifest &manifest, const Columns &at, const Row &row)
{
    auto cell = [&](std::size_t column) { return column != NONE ? &row.cells[column] : nullptr; };
    const std::string *ssid = cell(at.ssid), *key = cell(at.passphrase);
    const char *keyColumn = "passphrase";
    if (key == nullptr || key->empty()) {
        key = cell(at.wepKey);
        keyColumn = "wep-key";
    }
    if (key != nullptr && key->empty())
        key = nullptr;
    std::vector<Wifi_field> fields;
    if (ssid == nullptr && key == nullptr)
        return;
    if (!Wifi_fields(row.cells[at.wifi], fields))
        return Add_fault(manifest, row.line, "wifi", "not a whole Wi-Fi network text (WIFI:...;;)");
    const std::string *name = Field(fields, "S"), *password = Field(fields, "P");
    if (ssid != nullptr && (name == nullptr || *name != *ssid))
        Add_fault(manifest, row.line, "wifi", "its network name is not the ssid cell's");
    if (key != nullptr && (password == nullptr || *password != *key))
        Add_fault(manifest, row.line, "wifi", std::string("its key is not the ") + keyColumn + " cell's");
}

// Each row after the header, checked; false with the one fault of a
// stream that failed.
bool Read_rows(Manifest &manifest, Csv_reader &reader, std::size_t fields, const Columns &at, std::vector<Row> &rows)
{
    Row row{};
    const char *why = nullptr;
    Csv_result result = CSV_ROW;
    while ((result = Csv_readRow(reader, row.cells, &why)) == CSV_ROW) {
        row.line = reader.rowLine;
        if (row.cells.size() != fields) {
            Add_fault(manifest, row.line, "row",
                      std::to_string(row.cells.size()) + " fields, expected " + std::to_string(fields));
            continue;
        }
        if (row.cells[at.wifi].empty())
            Add_fault(manifest, row.line, "wifi", "empty");
        else
            Check_wifi(manifest, at, row);
        if (!Mac_parseTyped(row.cells[at.mac], row.mac))
            Add_fault(manifest, row.line, "mac",
                      "\"" + row.cells[at.mac] + "\", expected an address such as 00:50:c2:a1:b2:c3");
        rows.push_back(row);
    }
    if (result == CSV_BAD)
        Add_fault(manifest, reader.rowLine, "csv", why);
    if (result != CSV_READ_ERROR)
        return true;
    int error = errno;
    manifest.faults.clear();
    return Fault_system(manifest.faults.emplace_back(), manifest.path, error);
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
            Add_fault(manifest, 0, "-u " + unit, "no such unit in the manifest");
        else if (found.size() > 1)
            Add_fault(manifest, 0, "-u " + unit,
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

// The header's columns that the labels need: wifi and mac, and each -c.
bool Check_header(Manifest &manifest, const std::vector<std::string> &header)
{
    for (std::size_t i = 0; i < header.size(); ++i)
        if (Column_at(header, header[i]) != i)
            Add_fault(manifest, 1, header[i], "a second column of that name");
    std::vector<std::string> needed{"wifi", "mac"};
    needed.insert(needed.end(), manifest.columns.begin(), manifest.columns.end());
    for (const std::string &name : needed)
        if (Column_at(header, name) == NONE)
            Add_fault(manifest, 1, name, "no such column in the manifest");
    return manifest.faults.empty();
}

} // namespace

void Manifest_fault(Fault &fault, const char *path, long line, std::string_view column, std::string_view why)
{
    std::string where = path;
    if (line > 0)
        where.append(1, ':').append(std::to_string(line));
    Fault_refuse(fault, where.c_str(), "%.*s: %.*s", static_cast<int>(column.size()), column.data(),
                 static_cast<int>(why.size()), why.data());
}

bool Manifest_read(Manifest &manifest, std::FILE *fp)
{
    Csv_reader reader{};
    Csv_init(reader, fp);
    std::vector<std::string> header;
    const char *why = nullptr;
    Csv_result result = Csv_readRow(reader, header, &why);
    if (result == CSV_READ_ERROR)
        return Fault_system(manifest.faults.emplace_back(), manifest.path, errno);
    if (result != CSV_ROW) {
        Add_fault(manifest, reader.rowLine, "csv", result == CSV_END ? "no header row" : why);
        return false;
    }
    if (!Check_header(manifest, header))
        return false;
    const Columns at{Column_at(header, "wifi"),       Column_at(header, "mac"),
                     Column_at(header, "serial"),     Column_at(header, "ssid"),
                     Column_at(header, "passphrase"), Column_at(header, "wep-key")};
    std::vector<Row> rows;
    if (!Read_rows(manifest, reader, header.size(), at, rows) || !manifest.faults.empty())
        return false;
    if (rows.empty()) {
        Add_fault(manifest, 0, "manifest", "no units");
        return false;
    }

    std::vector<std::size_t> shown;
    for (const std::string &name : manifest.columns)
        shown.push_back(Column_at(header, name));
    for (const Row *chosen : Select(manifest, header, rows)) {
        Label label{chosen->line, chosen->cells[at.wifi], chosen->cells[at.mac], Mac_hex(chosen->mac).data(),
                    at.serial != NONE ? chosen->cells[at.serial] : std::string(), {}};
        Add_texts(header, manifest.columns.empty() ? Default_columns(header, *chosen) : shown, *chosen, label);
        manifest.labels.push_back(std::move(label));
    }
    return manifest.faults.empty();
}
