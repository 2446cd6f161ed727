#include "table.h"

#include "console.h"
#include "csv.h"
#include "values.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <unordered_set>

namespace {

// The template's bytes, read once, to its end, from standard input for "-";
// a FIFO works as a file does. Reading stops once it is over TEMPLATE_MAX.
bool Read_template(Batch &batch)
{
    bool useStdin = std::strcmp(batch.templatePath, "-") == 0;
    std::FILE *fp = useStdin ? stdin : std::fopen(batch.templatePath, "rb");
    if (fp == nullptr)
        return false;
    std::array<char, 65536> buf;
    std::size_t n = 0;
    while (batch.templateBytes.size() <= TEMPLATE_MAX && (n = std::fread(buf.data(), 1, buf.size(), fp)) > 0)
        batch.templateBytes.append(buf.data(), n);
    bool read = !std::ferror(fp);
    int error = errno;
    if (!useStdin)
        std::fclose(fp);
    errno = error;
    return read;
}

// The converter's words without the line ends around them.
std::string_view Trimmed(std::string_view words)
{
    while (!words.empty() && (words.front() == '\n' || words.front() == '\r'))
        words.remove_prefix(1);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r'))
        words.remove_suffix(1);
    return words;
}

} // namespace

bool Batch_template(Batch &batch, bool &readError)
{
    readError = !Read_template(batch);
    if (readError)
        return false;
    if (batch.templateBytes.size() > TEMPLATE_MAX) {
        Batch_fault(batch, batch.templatePath, "template", "more than " + std::to_string(TEMPLATE_MAX) + " bytes");
        return false;
    }
    batch.templateSha256 =
        Sha256(reinterpret_cast<const std::uint8_t *>(batch.templateBytes.data()), batch.templateBytes.size());

    // Read and converted as the converter reads and converts a script.
    Script script{};
    Script_initBytes(script, batch.templateBytes);
    Script_readAll(script, batch.given);
    Image image{};
    Image_init(image);
    Convert_result result = Script_convert(batch.given, image);
    if (!Convert_refused(result) && batch.given.ending == ENDING_VALUE)
        result = batch.given.refusal;
    if (!Convert_refused(result) && Script_complete(batch.given))
        return true;
    Console_text text{};
    std::string_view words = Convert_refused(result) ? Console_refusal(result, text)
                                                     : Console_endingWords(batch.given, text);
    const char *name = Convert_refused(result) ? Setting_of(static_cast<unsigned>(result.type)).name : "";
    Batch_fault(batch, batch.templatePath, *name != '\0' ? name : "script", std::string(Trimmed(words)));
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
    return same("serial") ? "serial" : nullptr;
}

// Names the table's columns from its header and refuses what cannot be used.
void Batch_columns(Batch &batch, const std::vector<std::string> &header)
{
    const std::string place = std::string(batch.unitsPath) + ":1";
    std::unordered_set<std::string_view> names;
    for (std::size_t c = 0; c < header.size(); ++c) {
        const std::string &name = header[c];
        bool nul = name.find('\0') != std::string::npos;
        unsigned type = nul ? 0 : Setting_named(name.c_str());
        batch.columns.push_back({name, type});
        const char *meant = type == 0 && name != "serial" ? Meant_name(name) : nullptr;
        std::string number = "column " + std::to_string(c + 1);
        if (name.empty())
            Batch_fault(batch, place, "column", number + " has no name");
        else if (nul)
            Batch_fault(batch, place, number.c_str(), "holds a 0x00 byte");
        else if (!names.insert(name).second)
            Batch_fault(batch, place, name.c_str(), "a second column of that name");
        else if (meant != nullptr)
            Batch_fault(batch, place, name.c_str(), std::string("did you mean ") + meant + "?");
        else if (type == 0 && std::find(MANIFEST_COLUMNS.begin(), MANIFEST_COLUMNS.end(), name) != MANIFEST_COLUMNS.end())
            Batch_fault(batch, place, name.c_str(), "a column that the manifest makes itself");
        else if (type != 0 && Template_count(batch, type) > 1)
            Batch_fault(batch, place, name.c_str(), "the template gives this setting more than once");
    }
}

} // namespace

Table_result Batch_table(Batch &batch, std::FILE *fp)
{
    Csv_reader reader{};
    Csv_init(reader, fp);
    std::vector<std::string> row;
    const char *why = nullptr;
    Csv_result result = Csv_readRow(reader, row, &why);
    if (result == CSV_END) {
        why = "no header row";
        result = CSV_BAD;
    }
    if (result == CSV_ROW) {
        Batch_columns(batch, row);
        if (!batch.faults.empty())
            return TABLE_BAD; // the rows cannot be read without their columns
    }
    while (result == CSV_ROW && (result = Csv_readRow(reader, row, &why)) == CSV_ROW) {
        if (row.size() != batch.columns.size()) {
            Line_fault(batch, reader.rowLine, "row",
                       std::to_string(row.size()) + " fields, expected " + std::to_string(batch.columns.size()));
            continue;
        }
        batch.units.push_back({reader.rowLine, {}, false, false, false, false, {}});
        batch.rows.push_back(std::move(row));
        // A setting's cells are checked as its values; the others here.
        for (std::size_t c = 0; c < batch.columns.size(); ++c)
            if (batch.columns[c].type == 0 && batch.rows.back()[c].find('\0') != std::string::npos)
                Unit_fault(batch, batch.units.size() - 1, batch.columns[c].name.c_str(), "holds a 0x00 byte");
    }
    if (result == CSV_READ_ERROR)
        return TABLE_READ_ERROR;
    if (result == CSV_BAD) {
        Line_fault(batch, reader.rowLine, "csv", why);
        return TABLE_BAD;
    }
    if (batch.units.empty() && batch.faults.empty()) {
        Batch_fault(batch, batch.unitsPath, "table", "no units");
        return TABLE_BAD;
    }
    return TABLE_OK; // a row of the wrong width is a fault; the others are checked on
}

namespace {

// A batch of one without an address of its own and without -m takes the
// template's address, the last it gives.
void Template_address(Batch &batch)
{
    if (batch.units.size() != 1 || batch.units[0].hasMac || batch.units[0].macRefused || batch.hasBlock)
        return;
    Unit &unit = batch.units[0];
    bool found = false;
    for (std::size_t i = 0; i < batch.given.count; ++i) {
        Convert_value value = Script_value(batch.given.items[i]);
        if (value.type == ZOL_FACT_DFLT_MAC_ID)
            found = Mac_parse(value.text, unit.mac);
    }
    if (!found)
        return;
    if (const char *misfit = Mac_misfit(unit.mac)) {
        Batch_fault(batch, batch.templatePath, "mac", misfit);
        unit.macRefused = true;
        return;
    }
    unit.hasMac = true;
    batch.templateMac = true;
}

} // namespace

std::size_t Batch_givenAddresses(Batch &batch)
{
    std::size_t need = 0;
    std::string_view text;
    for (std::size_t u = 0; u < batch.units.size(); ++u) {
        Unit &unit = batch.units[u];
        if (Unit_own(batch, u, ZOL_FACT_DFLT_MAC_ID, text)) {
            // As -m takes them: 12 hex digits or the colon form, of an
            // address that a device can have.
            std::string why;
            if (text.find('\0') != std::string_view::npos)
                why = "holds a 0x00 byte";
            else if (!Mac_parseTyped(text, unit.mac))
                why.append("\"").append(text.substr(0, 40)).append("\", expected 12 hex digits or the colon form");
            else if (const char *misfit = Mac_misfit(unit.mac))
                why = misfit;
            unit.macRefused = !why.empty();
            unit.hasMac = !unit.macRefused;
            if (unit.macRefused)
                Unit_fault(batch, u, "mac", why);
        } else if (batch.hasBlock) {
            ++need;
        }
    }
    Template_address(batch);
    return need;
}
