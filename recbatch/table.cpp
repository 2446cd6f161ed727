#include "table.h"

#include "csv.h"
#include "manifest.h"
#include "values.h"
#include "writer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <unordered_set>

namespace {

// The template's bytes, read once, to its end, from standard input for "-";
// a FIFO works as a file does. Reading stops once it is over TEMPLATE_MAX.
bool Read_template(const char *path, std::string &bytes)
{
    bool useStdin = std::strcmp(path, "-") == 0;
    std::FILE *fp = useStdin ? stdin : std::fopen(path, "rb");
    if (fp == nullptr)
        return false;
    std::array<char, 65536> buf;
    std::size_t n = 0;
    while (bytes.size() <= TEMPLATE_MAX && (n = std::fread(buf.data(), 1, buf.size(), fp)) > 0)
        bytes.append(buf.data(), n);
    bool read = !std::ferror(fp);
    int error = errno;
    if (!useStdin)
        std::fclose(fp);
    errno = error;
    return read;
}

// A unit's own host name takes its line end by the template's rule: with
// it, unless the template's host name has none and so must end the script.
bool Host_lineEnd(const Script_given &given)
{
    for (std::size_t i = 0; i < given.count; ++i) {
        Convert_value value = Script_value(given.items[i]);
        if (value.type == ZOL_FACT_DFLT_HOST_NAME)
            return Script_misfitOf(value, false) != MISFIT_NOT_LAST;
    }
    return true;
}

} // namespace

bool Batch_template(const Request &request, Template &tpl, Faults &faults, Fault &fault)
{
    if (!Read_template(request.templatePath, tpl.bytes))
        return Fault_system(fault, request.templatePath, errno);
    if (tpl.bytes.size() > TEMPLATE_MAX) {
        Place_fault(faults, 0, request.templatePath, "template", "more than " + std::to_string(TEMPLATE_MAX) + " bytes");
        return false;
    }
    tpl.sha256 = Sha256(reinterpret_cast<const std::uint8_t *>(tpl.bytes.data()), tpl.bytes.size());

    // Read and converted as the converter reads and converts a script.
    Script script{};
    Script_initBytes(script, tpl.bytes);
    Script_readAll(script, tpl.given);
    tpl.hostLineEnd = Host_lineEnd(tpl.given);
    Image image{};
    Image_init(image);
    Convert_result result = Script_convert(tpl.given, image);
    if (!Convert_refused(result) && tpl.given.ending == ENDING_VALUE)
        result = tpl.given.refusal;
    if (!Convert_refused(result) && Script_complete(tpl.given))
        return true;
    // A converter's rule, or how the script ended early, in its one wording.
    char why[160] = "";
    if (Convert_refused(result))
        Convert_why(result, why, sizeof why);
    else
        Script_endingWhy(tpl.given, why, sizeof why);
    const char *name = Convert_refused(result) ? Setting_of(static_cast<unsigned>(result.type)).name : "";
    Place_fault(faults, 0, request.templatePath, *name != '\0' ? name : "script", why);
    return false;
}

namespace {

// The name that a header cell means when it differs from it only in case
// or surrounding blanks: a setting's, or serial; nullptr when there is none.
const char *Meant_name(std::string_view name)
{
    while (!name.empty() && Script_isBlank(static_cast<unsigned char>(name.front())))
        name.remove_prefix(1);
    while (!name.empty() && Script_isBlank(static_cast<unsigned char>(name.back())))
        name.remove_suffix(1);
    auto same = [&](std::string_view known) {
        return known.size() == name.size() &&
               std::equal(name.begin(), name.end(), known.begin(), [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) == b;
               });
    };
    for (const Setting &setting : SETTINGS)
        if (setting.kind != DATA_NONE && same(setting.name))
            return setting.name;
    return same(MANIFEST_SERIAL) ? MANIFEST_SERIAL : nullptr;
}

// Names the table's columns from its header and refuses what cannot be used.
void Name_columns(const Template &tpl, const std::vector<std::string> &header, Units &units, Faults &faults)
{
    const std::string place = std::string(units.path) + ":1";
    std::unordered_set<std::string_view> names;
    for (std::size_t c = 0; c < header.size(); ++c) {
        const std::string &name = header[c];
        bool nul = name.find('\0') != std::string::npos;
        unsigned type = nul ? 0 : Setting_named(name.c_str());
        units.columns.push_back({name, type});
        const char *meant = type == 0 && name != MANIFEST_SERIAL ? Meant_name(name) : nullptr;
        std::string number = "column " + std::to_string(c + 1);
        if (name.empty())
            Place_fault(faults, 0, place, "column", number + " has no name");
        else if (nul)
            Place_fault(faults, 0, place, number.c_str(), "holds a 0x00 byte");
        else if (!names.insert(name).second)
            Place_fault(faults, 0, place, name.c_str(), "a second column of that name");
        else if (meant != nullptr)
            Place_fault(faults, 0, place, name.c_str(), std::string("did you mean ") + meant + "?");
        else if (type == 0 && std::find(MANIFEST_OWN.begin(), MANIFEST_OWN.end(), name) != MANIFEST_OWN.end())
            Place_fault(faults, 0, place, name.c_str(), "a column that the manifest makes itself");
        else if (type != 0 && Template_count(tpl, type) > 1)
            Place_fault(faults, 0, place, name.c_str(), "the template gives this setting more than once");
    }
}

// The table's rows, each a unit; false when the table cannot be used: not
// CSV, a fault of its header, or no units.
bool Read_rows(const Template &tpl, Csv_reader &reader, Units &units, Faults &faults)
{
    std::vector<std::string> row;
    const char *why = nullptr;
    Csv_result result = Csv_readRow(reader, row, &why);
    if (result == CSV_END) {
        why = "no header row";
        result = CSV_BAD;
    }
    if (result == CSV_ROW) {
        std::size_t before = faults.size();
        Name_columns(tpl, row, units, faults);
        if (faults.size() != before)
            return false; // the rows cannot be read without their columns
    }
    const std::string path = units.path;
    while (result == CSV_ROW && (result = Csv_readRow(reader, row, &why)) == CSV_ROW) {
        auto line = static_cast<std::size_t>(reader.rowLine);
        if (row.size() != units.columns.size()) {
            Place_fault(faults, line, path + ":" + std::to_string(line), "row",
                        std::to_string(row.size()) + " fields, expected " + std::to_string(units.columns.size()));
            continue;
        }
        units.list.push_back({reader.rowLine, ADDRESS_NONE, {}});
        units.rows.push_back(std::move(row));
        // A setting's cells are checked as its values; the others here.
        for (std::size_t c = 0; c < units.columns.size(); ++c)
            if (units.columns[c].type == 0 && units.rows.back()[c].find('\0') != std::string::npos)
                Unit_fault(faults, units, units.list.size() - 1, units.columns[c].name.c_str(), "holds a 0x00 byte");
    }
    if (result == CSV_BAD) {
        auto line = static_cast<std::size_t>(reader.rowLine);
        Place_fault(faults, line, path + ":" + std::to_string(line), "csv", why);
        return false;
    }
    if (units.list.empty() && faults.empty()) {
        Place_fault(faults, 0, path, "table", "no units");
        return false;
    }
    return true; // a row of the wrong width is a fault; the others are checked on
}

// Reads the table, from standard input for "-".
bool Read_table(const Request &request, const Template &tpl, Units &units, Faults &faults, Fault &fault)
{
    bool useStdin = std::strcmp(request.unitsPath, "-") == 0;
    std::FILE *fp = useStdin ? stdin : std::fopen(request.unitsPath, "rb");
    if (fp == nullptr)
        return Fault_system(fault, request.unitsPath, errno);
    Csv_reader reader{};
    Csv_init(reader, fp);
    bool usable = Read_rows(tpl, reader, units, faults);
    int error = errno;
    bool read = !std::ferror(fp);
    if (!useStdin)
        std::fclose(fp);
    if (!read)
        return Fault_system(fault, request.unitsPath, error);
    for (unsigned type : request.generate)
        for (const Column &column : units.columns)
            if (column.type == type)
                return Fault_fail(fault, "-g", "the table has a column for that setting");
    return usable;
}

// The address of a unit's mac cell: as -m takes them, 12 hex digits or the
// colon form, of an address that a device can have.
void Cell_address(std::string_view text, Unit &unit, std::string &why)
{
    if (text.find('\0') != std::string_view::npos)
        why = "holds a 0x00 byte";
    else if (!Mac_parseTyped(text, unit.mac))
        why.append("\"").append(text.substr(0, 40)).append("\", expected 12 hex digits or the colon form");
    else if (const char *misfit = Mac_misfit(unit.mac))
        why = misfit;
    unit.from = why.empty() ? ADDRESS_TABLE : ADDRESS_REFUSED;
}

// Why a unit of n addresses cannot have mac as its base; empty when it can.
std::string Misaligned(Mac_address mac, std::size_t n)
{
    if (mac.bits % n == 0)
        return "";
    return Mac_text(mac) + " is not aligned to " + std::to_string(n) + " addresses a unit (-a " + std::to_string(n) + ")";
}

// A batch of one without an address of its own and without -m takes the
// template's address, the last it gives.
void Template_address(const Request &request, const Template &tpl, Units &units, Faults &faults)
{
    if (units.list.size() != 1 || units.list[0].from != ADDRESS_NONE || request.ranged)
        return;
    Unit &unit = units.list[0];
    bool found = false;
    for (std::size_t i = 0; i < tpl.given.count; ++i) {
        Convert_value value = Script_value(tpl.given.items[i]);
        if (value.type == ZOL_FACT_DFLT_MAC_ID)
            found = Mac_parse(value.text, unit.mac);
    }
    if (!found)
        return;
    const char *misfit = Mac_misfit(unit.mac);
    std::string why = misfit != nullptr ? misfit : Misaligned(unit.mac, units.addresses);
    if (!why.empty())
        Place_fault(faults, 0, request.templatePath, MANIFEST_MAC, why);
    unit.from = !why.empty() ? ADDRESS_REFUSED : ADDRESS_TEMPLATE;
}

} // namespace

bool Batch_units(const Request &request, const Template &tpl, Units &units, Faults &faults, Fault &fault)
{
    units.path = request.unitsPath;
    units.addresses = std::max<std::size_t>(request.addresses, 1);
    if (request.unitsPath == nullptr)
        units.list.assign(request.count, Unit{});
    else if (!Read_table(request, tpl, units, faults, fault))
        return false;
    units.serial = 0;
    while (units.serial < units.columns.size() && units.columns[units.serial].name != MANIFEST_SERIAL)
        ++units.serial;
    for (std::size_t c = 0; c < units.columns.size(); ++c) {
        if (units.columns[c].type != ZOL_FACT_DFLT_MAC_ID)
            continue;
        for (std::size_t u = 0; u < units.list.size(); ++u) {
            if (units.rows[u][c].empty())
                continue;
            std::string why;
            Cell_address(units.rows[u][c], units.list[u], why);
            if (why.empty() && !(why = Misaligned(units.list[u].mac, units.addresses)).empty())
                units.list[u].from = ADDRESS_REFUSED;
            if (!why.empty())
                Unit_fault(faults, units, u, MANIFEST_MAC, why);
        }
    }
    Template_address(request, tpl, units, faults);
    return true;
}
