#include "batch.h"

#include "console.h"
#include "csv.h"
#include "mac.h"
#include "secret.h"
#include "writer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace {

const char *Name_of(unsigned type)
{
    return Setting_of(type).name;
}

// How often the template gives a setting.
std::size_t Template_count(const Batch &batch, unsigned type)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < batch.given.count; ++i)
        count += batch.given.items[i].type == static_cast<std::int32_t>(type);
    return count;
}

// A unit's own host name takes its line end by the template's rule: with
// it, unless the template's host name has none and so must end the script.
// A line of the longest length is read without its line end.
bool Host_lineEnd(const Batch &batch)
{
    for (std::size_t i = 0; i < batch.given.count; ++i) {
        Convert_value value = Script_value(batch.given.items[i]);
        if (value.type == ZOL_FACT_DFLT_HOST_NAME)
            return Script_misfitOf(value, false) != MISFIT_NOT_LAST;
    }
    return true;
}

// The unit's own value of a setting from its table row or -g, if it has one.
bool Unit_own(const Batch &batch, const Unit &unit, unsigned type, std::string_view &text)
{
    for (std::size_t c = 0; c < batch.columns.size(); ++c)
        if (batch.columns[c].type == type && !unit.cells[c].empty()) {
            text = unit.cells[c];
            return true;
        }
    for (std::size_t g = 0; g < batch.generate.size(); ++g)
        if (batch.generate[g] == type) {
            text = unit.generated[g];
            return true;
        }
    return false;
}

// The rule of a setting, in words, for a value the converter refused.
std::string Rule_words(const Convert_result &result)
{
    const Setting &setting = Setting_of(static_cast<unsigned>(result.type));
    std::string_view text = Script_lineText({result.type, result.text});
    char words[160];
    int len = static_cast<int>(std::min<std::size_t>(text.size(), 40));
    switch (result.rule) {
    case RULE_MISSING:
        return Script_misfitWords(MISFIT_EMPTY);
    case RULE_NUL:
        return Script_misfitWords(MISFIT_NUL);
    default:
        break;
    }
    switch (setting.kind) {
    case DATA_NUMBER:
        std::snprintf(words, sizeof words, "\"%.*s\", expected a whole number from %d to %d", len, text.data(),
                      setting.min, setting.max);
        break;
    case DATA_MAC:
        std::snprintf(words, sizeof words, "\"%.*s\", expected %d hex digits", len, text.data(), 2 * setting.min);
        break;
    case DATA_KEY:
        if (result.rule == RULE_NOT_HEX)
            std::snprintf(words, sizeof words, "\"%.*s\", expected %d or %d hex digits", len, text.data(),
                          2 * setting.min, 2 * setting.max);
        else
            std::snprintf(words, sizeof words, "%zu characters, expected %d or %d hex digits", text.size(),
                          2 * setting.min, 2 * setting.max);
        break;
    default:
        std::snprintf(words, sizeof words, "%zu characters, expected %d to %d", text.size(), setting.min,
                      setting.max);
        break;
    }
    return words;
}

} // namespace

std::string_view Serial_of(const Batch &batch, const Unit &unit)
{
    for (std::size_t c = 0; c < batch.columns.size(); ++c)
        if (batch.columns[c].type == 0 && batch.columns[c].name == "serial")
            return unit.cells[c];
    return {};
}

namespace {

// The Wi-Fi network text of label software: its special characters escaped.
void Wifi_escaped(std::string &out, std::string_view text)
{
    for (char c : text) {
        if (c == '\\' || c == ';' || c == ',' || c == ':' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
}

} // namespace

std::string Mac_text(Mac_address mac)
{
    return Mac_colons(mac).data();
}

std::string Unit_place(const Batch &batch, std::size_t unit)
{
    if (batch.unitsPath == nullptr)
        return "unit " + std::to_string(unit + 1);
    return std::string(batch.unitsPath) + ":" + std::to_string(batch.units[unit].line);
}

std::string Unit_ref(const Batch &batch, std::size_t unit)
{
    if (batch.unitsPath == nullptr)
        return "unit " + std::to_string(unit + 1);
    return "line " + std::to_string(batch.units[unit].line);
}

void Batch_fault(Batch &batch, const std::string &place, const char *name, const std::string &why)
{
    batch.faults.push_back({0, "recbatch: " + place + ": " + name + ": " + why});
}

void Line_fault(Batch &batch, long line, const char *name, const std::string &why)
{
    Batch_fault(batch, std::string(batch.unitsPath) + ":" + std::to_string(line), name, why);
    batch.faults.back().order = static_cast<std::size_t>(line);
}

void Unit_fault(Batch &batch, std::size_t unit, const char *name, const std::string &why)
{
    Batch_fault(batch, Unit_place(batch, unit), name, why);
    batch.faults.back().order = batch.unitsPath == nullptr ? unit + 1 : static_cast<std::size_t>(batch.units[unit].line);
}

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
    const char *name = Convert_refused(result) ? Name_of(static_cast<unsigned>(result.type)) : "";
    Batch_fault(batch, batch.templatePath, *name != '\0' ? name : "script", std::string(Trimmed(words)));
    return false;
}

bool Batch_templateMac(const Batch &batch, Mac_address &mac)
{
    bool found = false;
    for (std::size_t i = 0; i < batch.given.count; ++i) {
        Convert_value value = Script_value(batch.given.items[i]);
        if (value.type == ZOL_FACT_DFLT_MAC_ID)
            found = Mac_parse(value.text, mac);
    }
    return found;
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
        batch.units.push_back({reader.rowLine, std::move(row), {}, false, false, {}, 0, 0, {}});
        // A setting's cells are checked as its values; the others here.
        for (std::size_t c = 0; c < batch.columns.size(); ++c)
            if (batch.columns[c].type == 0 && batch.units.back().cells[c].find('\0') != std::string::npos)
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

std::size_t Batch_tableAddresses(Batch &batch)
{
    std::size_t need = 0;
    for (std::size_t u = 0; u < batch.units.size(); ++u) {
        Unit &unit = batch.units[u];
        std::string_view text;
        if (Unit_own(batch, unit, ZOL_FACT_DFLT_MAC_ID, text)) {
            // As -m takes them: 12 hex digits or the colon form, of an
            // address that a device can have.
            std::string why;
            if (text.find('\0') != std::string_view::npos)
                why = "holds a 0x00 byte";
            else if (!Mac_parseTyped(text, unit.mac))
                why.append("\"").append(text.substr(0, 40)).append("\", expected 12 hex digits");
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
    return need;
}

void Batch_values(const Batch &batch, const Unit &unit, Unit_values &values)
{
    values.count = 0;
    values.macText = Mac_hex(unit.mac);
    const std::string_view mac(values.macText.data(), 2 * MAC_ADDR_LEN);
    auto add = [&](unsigned type, std::string_view text, bool fromTemplate, std::size_t slot) {
        if (values.count < values.items.size())
            values.items[values.count++] = {{static_cast<std::int32_t>(type), text}, slot, fromTemplate};
    };
    // The unit's own host name is stored by the template's rule, whether or
    // not other settings follow it.
    auto own = [&](unsigned type, std::string_view text) {
        const Setting &setting = Setting_of(type);
        if (setting.reading != READ_LINE || text.size() >= setting.longest || !Host_lineEnd(batch))
            return text;
        values.hostLine.assign(text);
        values.hostLine.push_back('\n');
        return std::string_view(values.hostLine);
    };
    std::size_t slot = 0;
    bool templateMac = false;
    for (std::size_t i = 0; i < batch.given.count; ++i) {
        Convert_value given = Script_value(batch.given.items[i]);
        auto type = static_cast<unsigned>(given.type);
        std::string_view text;
        if (Setting_of(type).kind == DATA_NONE) // passed over by the converter
            continue;
        if (type == ZOL_FACT_DFLT_MAC_ID) {
            templateMac = true;
            add(type, unit.hasMac ? mac : given.text, !unit.hasMac, 0);
        } else if (Unit_own(batch, unit, type, text)) {
            add(type, own(type, text), false, slot++);
        } else {
            add(type, given.text, true, slot++);
        }
    }
    // Settings the template lacks follow it: the table's, then -g's.
    for (std::size_t c = 0; c < batch.columns.size(); ++c) {
        unsigned type = batch.columns[c].type;
        if (type == 0 || type == ZOL_FACT_DFLT_MAC_ID || Template_count(batch, type) > 0)
            continue;
        if (!unit.cells[c].empty())
            add(type, own(type, unit.cells[c]), false, slot);
        ++slot;
    }
    for (std::size_t g = 0; g < batch.generate.size(); ++g)
        if (Template_count(batch, batch.generate[g]) == 0)
            add(batch.generate[g], unit.generated[g], false, slot++);
    if (unit.hasMac && !templateMac)
        add(ZOL_FACT_DFLT_MAC_ID, mac, false, 0);
}

void Batch_check(Batch &batch)
{
    // A generated value takes the place of the template's one value.
    for (unsigned type : batch.generate)
        if (Template_count(batch, type) > 1)
            Batch_fault(batch, batch.templatePath, Name_of(type), "the template gives this setting more than once");

    // The manifest's value columns follow a unit's script: the template's
    // settings, then those the table and -g add.
    Unit blank{};
    blank.cells.assign(batch.columns.size(), "x");
    blank.generated.assign(batch.generate.size(), "x");
    Unit_values values{};
    Batch_values(batch, blank, values);
    for (std::size_t k = 0; k < values.count; ++k)
        if (values.items[k].value.type != ZOL_FACT_DFLT_MAC_ID)
            batch.manifestTypes.push_back(static_cast<unsigned>(values.items[k].value.type));

    std::unordered_map<std::uint64_t, std::size_t> addresses;
    std::array<std::unordered_map<std::string_view, std::size_t>, SECRET_TYPES.size()> secrets;
    std::array<bool, SCRIPT_TYPES_MAX> templateFault{};
    std::array<bool, SECRET_TYPES.size()> templateShared{};
    Image image{};
    for (std::size_t u = 0; u < batch.units.size(); ++u) {
        Unit &unit = batch.units[u];
        std::size_t before = batch.faults.size();
        Batch_values(batch, unit, values);

        // A unit without an address is compared with none: a block short of
        // room and a refused cell are faults of their own.
        if (!unit.hasMac) {
            if (!unit.macRefused && !batch.hasBlock)
                Unit_fault(batch, u, "mac", "no address: give a mac column, -m, or the template's in a batch of one");
        } else if (auto [at, fresh] = addresses.emplace(unit.mac.bits, u); !fresh) {
            Unit_fault(batch, u, "mac", Mac_text(unit.mac) + " is also that of " + Unit_ref(batch, at->second));
        }
        if (values.count > SCRIPT_TYPES_MAX)
            Unit_fault(batch, u, "script",
                        std::to_string(values.count) + " settings, expected at most " + std::to_string(SCRIPT_TYPES_MAX));

        // What no script can carry. A host name without its line end is the
        // template's: a unit's own takes its line end from it.
        std::array<bool, UNIT_VALUES_MAX> misfits{};
        for (std::size_t k = 0; k < values.count; ++k) {
            const Unit_value &value = values.items[k];
            const char *name = Name_of(static_cast<unsigned>(value.value.type));
            Script_misfit misfit = Script_misfitOf(value.value, k + 1 == values.count);
            if (misfit == MISFIT_NONE)
                continue;
            misfits[k] = true;
            if (!value.fromTemplate && misfit != MISFIT_NOT_LAST)
                Unit_fault(batch, u, name, Script_misfitWords(misfit));
            else if (k < templateFault.size() && !templateFault[k]) {
                templateFault[k] = true;
                Batch_fault(batch, batch.templatePath, name,
                            misfit == MISFIT_NOT_LAST ? "has no line end in the template, so it must be the last setting"
                                                      : Script_misfitWords(misfit));
            }
        }

        for (std::size_t s = 0; s < SECRET_TYPES.size(); ++s) {
            for (std::size_t k = 0; k < values.count; ++k) {
                const Unit_value &value = values.items[k];
                if (value.value.type != static_cast<std::int32_t>(SECRET_TYPES[s]))
                    continue;
                if (!value.fromTemplate) {
                    if (auto [at, fresh] = secrets[s].emplace(value.value.text, u); !fresh && at->second != u)
                        Unit_fault(batch, u, Name_of(SECRET_TYPES[s]), "the same as that of " + Unit_ref(batch, at->second));
                } else if (batch.units.size() > 1 && !batch.sharedSecrets && !templateShared[s]) {
                    templateShared[s] = true;
                    Batch_fault(batch, batch.templatePath, Name_of(SECRET_TYPES[s]),
                                "the same for every unit: give it per unit with -u or -g, or allow that with -S");
                }
                // A generated secret was drawn again until it held neither.
                bool generated = !value.fromTemplate && std::find(batch.generate.begin(), batch.generate.end(),
                                                                  SECRET_TYPES[s]) != batch.generate.end();
                if (const char *why = generated ? nullptr : Secret_derived(value.value.text, unit.hasMac, unit.mac,
                                                                           Serial_of(batch, unit)))
                    Unit_fault(batch, u, Name_of(SECRET_TYPES[s]), why);
            }
        }
        // The unit's image: its values converted by the converter itself, in
        // the order of its script, as many as a script can carry; each value
        // refused is named.
        Image_init(image);
        for (std::size_t k = 0; k < values.count; ++k) {
            if (misfits[k])
                continue;
            Convert_result result = Convert_setting(image, k, values.items[k].value);
            if (Convert_refused(result) && result.rule != RULE_TOO_MANY) // counted above
                Unit_fault(batch, u, Name_of(static_cast<unsigned>(result.type)), Rule_words(result));
        }
        if (batch.faults.size() > before)
            continue;
        std::span<const std::uint8_t> bytes = Image_bytes(image);
        if (batch.images.empty())
            batch.images.reserve(batch.units.size() * bytes.size() + bytes.size());
        unit.imageAt = batch.images.size();
        unit.imageLen = bytes.size();
        unit.sha256 = Sha256(bytes.data(), bytes.size());
        batch.images.insert(batch.images.end(), bytes.begin(), bytes.end());
    }
}

void Batch_manifest(const Batch &batch, std::FILE *out)
{
    std::vector<std::string_view> row{"unit"};
    for (const Column &column : batch.columns)
        if (column.type == 0)
            row.push_back(column.name);
    row.push_back("mac");
    for (unsigned type : batch.manifestTypes)
        row.push_back(Name_of(type));
    for (const char *name : {"file", "sha256", "wifi"})
        row.push_back(name);
    Csv_writeRow(out, row);

    Unit_values values{};
    for (std::size_t u = 0; u < batch.units.size(); ++u) {
        const Unit &unit = batch.units[u];
        Batch_values(batch, unit, values);
        std::string number = std::to_string(u + 1);
        std::string mac = Mac_text(unit.mac);
        std::string file = values.macText.data() + std::string(".bin");
        std::string sha256 = Digest_hex(unit.sha256);
        row.assign(1, number);
        for (std::size_t c = 0; c < batch.columns.size(); ++c)
            if (batch.columns[c].type == 0)
                row.push_back(unit.cells[c]);
        row.push_back(mac);
        std::size_t first = row.size();
        row.resize(first + batch.manifestTypes.size());
        std::string_view ssid, passphrase, key;
        for (std::size_t k = 0; k < values.count; ++k) {
            const Unit_value &value = values.items[k];
            std::string_view text = Script_lineText(value.value);
            if (value.value.type != ZOL_FACT_DFLT_MAC_ID)
                row[first + value.slot] = text;
            if (value.value.type == ZOL_FACT_DFLT_SSID_ID)
                ssid = text;
            else if (value.value.type == ZOL_FACT_DFLT_PASSPHRASE_ID)
                passphrase = text;
            else if (value.value.type == ZOL_FACT_DFLT_WEP_KEY_ID)
                key = text;
        }
        std::string wifi = passphrase.empty() ? key.empty() ? "WIFI:T:nopass;S:" : "WIFI:T:WEP;S:" : "WIFI:T:WPA;S:";
        Wifi_escaped(wifi, ssid);
        if (!passphrase.empty() || !key.empty()) {
            wifi += ";P:";
            Wifi_escaped(wifi, passphrase.empty() ? key : passphrase);
        }
        wifi += ";;";
        for (std::string_view field : {std::string_view(file), std::string_view(sha256), std::string_view(wifi)})
            row.push_back(field);
        Csv_writeRow(out, row);
    }
}
