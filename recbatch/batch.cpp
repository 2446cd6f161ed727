#include "batch.h"

#include "csv.h"
#include "mac.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace {

// Room for a unit's script: 64 lines of the longest values.
std::array<char, UNIT_VALUES_MAX * (4 + VALUE_MAX + 1)> scriptText;
// Room for what the converter prints while it reads a script.
std::array<char, SCRIPT_TYPES_MAX * (16 + VALUE_MAX + 8) + 256> consoleText;

const char *Name_of(unsigned type)
{
    return Setting_of(type).name;
}

// How often the template gives a setting.
std::size_t Template_count(const Batch &batch, unsigned type)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < batch.given.count; ++i)
        count += batch.given.items[i].type == type;
    return count;
}

std::string_view Text_of(const Value &value)
{
    return {value.text.data(), value.len};
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

static_assert(ZOL_FACT_DFLT_MAX_ID <= 100, "a type number is written as one or two digits");

// Writes the script of values into scriptText; its length.
std::size_t Script_of(const Unit_values &values)
{
    std::size_t at = 0;
    for (std::size_t k = 0; k < values.count; ++k) {
        const Unit_value &value = values.items[k];
        const Setting &setting = Setting_of(value.type);
        bool last = k + 1 == values.count;
        // Every value ends its line but for one that must end the script:
        // a host name line that had no line end, or a text ending in CR.
        bool open = !value.lineEnd && last &&
                    ((setting.reading == READ_LINE && value.text.size() < setting.longest) ||
                     value.text.ends_with('\r'));
        // Each line fits: UNIT_VALUES_MAX lines of the longest values. The
        // type numbers have one or two digits.
        if (value.type >= 10)
            scriptText[at++] = static_cast<char>('0' + value.type / 10);
        scriptText[at++] = static_cast<char>('0' + value.type % 10);
        scriptText[at++] = ' ';
        std::memcpy(scriptText.data() + at, value.text.data(), value.text.size());
        at += value.text.size();
        if (!open)
            scriptText[at++] = '\n';
    }
    return at;
}

// Converts a script of len bytes in scriptText; with heard, what the
// converter prints is left in consoleText.
Convert_status Convert_text(std::size_t len, Image &image, bool heard = false)
{
    std::FILE *in = fmemopen(scriptText.data(), std::max<std::size_t>(len, 1), "r");
    std::FILE *console = nullptr;
    if (heard) {
        consoleText.fill('\0');
        console = fmemopen(consoleText.data(), consoleText.size() - 1, "w");
    }
    if (in == nullptr || (heard && console == nullptr))
        return CONVERT_READ_ERROR;
    if (len == 0)
        std::fgetc(in); // a stream of no bytes cannot be opened on memory
    Image_init(image);
    Convert_status status = Convert_script(in, console, image);
    if (console != nullptr)
        std::fclose(console);
    std::fclose(in);
    return status;
}

// The converter's last message: the setting it was reading and its words.
std::string Console_refusal(const char **name)
{
    std::string_view text = consoleText.data();
    std::size_t type = text.rfind("\nType: ");
    *name = type == std::string_view::npos ? "script" : Name_of(std::atoi(text.data() + type + 7));
    if (**name == '\0')
        *name = "script";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    for (std::string_view message : {"In valid mac", "In valid wep key"})
        if (text.ends_with(message))
            return std::string(message);
    return std::string(text.substr(text.rfind('\n') + 1));
}

// The rule of a setting, in words, for a value the converter refused.
std::string Rule_words(unsigned type, std::string_view text)
{
    const Setting &setting = Setting_of(type);
    char words[160];
    int len = static_cast<int>(std::min<std::size_t>(text.size(), 40));
    switch (setting.kind) {
    case DATA_NUMBER:
        std::snprintf(words, sizeof words, "\"%.*s\", expected a whole number from %d to %d", len, text.data(),
                      setting.min, setting.max);
        break;
    case DATA_MAC:
        std::snprintf(words, sizeof words, "\"%.*s\", expected %d hex digits", len, text.data(), 2 * setting.min);
        break;
    case DATA_KEY:
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

// Whether the converter takes text as the value of type, alone in a script.
bool Converts(unsigned type, std::string_view text)
{
    Unit_values one{};
    one.items[0] = {type, text, false, 0, false};
    one.count = 1;
    static Image image;
    return Convert_text(Script_of(one), image) == CONVERT_DONE;
}

bool Contains_folded(std::string_view text, std::string_view part)
{
    if (part.empty())
        return false;
    auto same = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    };
    return std::search(text.begin(), text.end(), part.begin(), part.end(), same) != text.end();
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

// A secret that holds the unit's address or serial can be guessed from its
// label. Its last six hex digits are looked for, which its twelve hold too.
const char *Derived_from(std::string_view secret, Mac_address mac, std::string_view serial)
{
    if (Contains_folded(secret, std::string_view(Mac_hex(mac).data()).substr(6)))
        return "holds the unit's address, a public identifier";
    if (Contains_folded(secret, serial))
        return "holds the unit's serial, a public identifier";
    return nullptr;
}

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

void Unit_fault(Batch &batch, std::size_t unit, const char *name, const std::string &why)
{
    Batch_fault(batch, Unit_place(batch, unit), name, why);
    batch.faults.back().order = unit + 1;
}

bool Batch_template(Batch &batch, bool &readError)
{
    readError = false;
    std::FILE *fp = std::fopen(batch.templatePath, "rb");
    if (fp == nullptr) {
        readError = true;
        return false;
    }
    std::FILE *console = fmemopen(consoleText.data(), consoleText.size() - 1, "w");
    consoleText.fill('\0');
    static Image image;
    Image_init(image);
    Convert_status status = console != nullptr ? Convert_script(fp, console, image, &batch.given) : CONVERT_READ_ERROR;
    if (console != nullptr)
        std::fclose(console);
    std::fclose(fp);
    if (status == CONVERT_READ_ERROR) {
        readError = true;
        return false;
    }
    if (status == CONVERT_INVALID) {
        const char *name = nullptr;
        std::string words = Console_refusal(&name);
        Batch_fault(batch, batch.templatePath, name, words);
        return false;
    }
    return true;
}

namespace {

// Names the table's columns from its header and refuses what cannot be used.
void Batch_columns(Batch &batch, const std::vector<std::string> &header)
{
    const std::string place = std::string(batch.unitsPath) + ":1";
    for (std::size_t c = 0; c < header.size(); ++c) {
        const std::string &name = header[c];
        unsigned type = Setting_named(name.c_str());
        batch.columns.push_back({name, type});
        bool again = std::any_of(header.begin(), header.begin() + static_cast<long>(c),
                                 [&](const std::string &before) { return before == name; });
        if (name.empty())
            Batch_fault(batch, place, "column", "column " + std::to_string(c + 1) + " has no name");
        else if (again)
            Batch_fault(batch, place, name.c_str(), "a second column of that name");
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
            Batch_fault(batch, std::string(batch.unitsPath) + ":" + std::to_string(reader.rowLine), "row",
                        std::to_string(row.size()) + " fields, expected " + std::to_string(batch.columns.size()));
            continue;
        }
        batch.units.push_back({reader.rowLine, std::move(row), {0}, false, false, {}, 0, 0, {}});
    }
    if (result == CSV_READ_ERROR)
        return TABLE_READ_ERROR;
    if (result == CSV_BAD) {
        Batch_fault(batch, std::string(batch.unitsPath) + ":" + std::to_string(reader.rowLine), "csv", why);
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
            unit.hasMac = Mac_parse(text, unit.mac);
            unit.macRefused = !unit.hasMac;
            if (unit.macRefused)
                Unit_fault(batch, u, "mac", Rule_words(ZOL_FACT_DFLT_MAC_ID, text));
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
    auto add = [&](unsigned type, std::string_view text, bool fromTemplate, std::size_t slot) {
        bool lineEnd = Setting_of(type).reading == READ_LINE && fromTemplate && text.ends_with('\n');
        if (lineEnd)
            text.remove_suffix(1);
        if (values.count < values.items.size())
            values.items[values.count++] = {type, text, lineEnd, slot, fromTemplate};
    };
    std::size_t slot = 0;
    bool templateMac = false;
    for (std::size_t i = 0; i < batch.given.count; ++i) {
        const Given_setting &given = batch.given.items[i];
        std::string_view text;
        if (given.type == ZOL_FACT_DFLT_MAC_ID) {
            templateMac = true;
            add(given.type, unit.hasMac ? std::string_view(values.macText.data(), 12) : Text_of(given.value),
                !unit.hasMac, 0);
        } else if (Unit_own(batch, unit, given.type, text)) {
            add(given.type, text, false, slot++);
        } else {
            add(given.type, Text_of(given.value), true, slot++);
        }
    }
    // Settings the template lacks follow it: the table's, then -g's.
    for (std::size_t c = 0; c < batch.columns.size(); ++c) {
        unsigned type = batch.columns[c].type;
        if (type == 0 || type == ZOL_FACT_DFLT_MAC_ID || Template_count(batch, type) > 0)
            continue;
        if (!unit.cells[c].empty())
            add(type, unit.cells[c], false, slot);
        ++slot;
    }
    for (std::size_t g = 0; g < batch.generate.size(); ++g)
        if (Template_count(batch, batch.generate[g]) == 0)
            add(batch.generate[g], unit.generated[g], false, slot++);
    if (unit.hasMac && !templateMac)
        add(ZOL_FACT_DFLT_MAC_ID, {values.macText.data(), 12}, false, 0);
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
        if (values.items[k].type != ZOL_FACT_DFLT_MAC_ID)
            batch.manifestTypes.push_back(values.items[k].type);

    std::unordered_map<std::uint64_t, std::size_t> addresses;
    std::array<std::unordered_map<std::string_view, std::size_t>, SECRET_TYPES.size()> secrets;
    std::array<bool, SCRIPT_TYPES_MAX> templateFault{};
    std::array<bool, SECRET_TYPES.size()> templateShared{};
    static Image image;
    for (std::size_t u = 0; u < batch.units.size(); ++u) {
        Unit &unit = batch.units[u];
        std::size_t before = batch.faults.size();
        Batch_values(batch, unit, values);

        if (!unit.hasMac && !unit.macRefused && !batch.hasBlock) // a block short of room is a fault of its own
            Unit_fault(batch, u, "mac", "no address: give a mac column, -m, or the template's in a batch of one");
        else if (auto [at, fresh] = addresses.emplace(unit.mac.bits, u); !fresh)
            Unit_fault(batch, u, "mac", Mac_text(unit.mac) + " is also that of " + Unit_ref(batch, at->second));
        if (values.count > SCRIPT_TYPES_MAX)
            Unit_fault(batch, u, "script",
                        std::to_string(values.count) + " settings, expected at most " + std::to_string(SCRIPT_TYPES_MAX));

        std::array<bool, UNIT_VALUES_MAX> misfits{};
        for (std::size_t k = 0; k < values.count; ++k) {
            const Unit_value &value = values.items[k];
            const Setting &setting = Setting_of(value.type);
            bool last = k + 1 == values.count;
            const char *misfit = Setting_misfit(setting, value.text, last && !value.lineEnd);
            if (misfit == nullptr && setting.reading == READ_LINE && value.fromTemplate && !value.lineEnd &&
                value.text.size() < setting.longest && !last)
                misfit = "has no line end in the template, so it must be the last setting";
            if (misfit == nullptr)
                continue;
            misfits[k] = true;
            std::size_t index = static_cast<std::size_t>(&value - values.items.data());
            if (!value.fromTemplate)
                Unit_fault(batch, u, setting.name, misfit);
            else if (index < templateFault.size() && !templateFault[index]) {
                templateFault[index] = true;
                Batch_fault(batch, batch.templatePath, setting.name, misfit);
            }
        }

        for (std::size_t s = 0; s < SECRET_TYPES.size(); ++s) {
            for (std::size_t k = 0; k < values.count; ++k) {
                const Unit_value &value = values.items[k];
                if (value.type != SECRET_TYPES[s])
                    continue;
                if (value.fromTemplate) {
                    if (batch.units.size() > 1 && !batch.sharedSecrets && !templateShared[s]) {
                        templateShared[s] = true;
                        Batch_fault(batch, batch.templatePath, Name_of(value.type),
                                    "the same for every unit: give it per unit with -u or -g, or allow that with -S");
                    }
                    continue;
                }
                if (auto [at, fresh] = secrets[s].emplace(value.text, u); !fresh && at->second != u)
                    Unit_fault(batch, u, Name_of(value.type), "the same as that of " + Unit_ref(batch, at->second));
                if (const char *why = unit.hasMac ? Derived_from(value.text, unit.mac, Serial_of(batch, unit)) : nullptr)
                    Unit_fault(batch, u, Name_of(value.type), why);
            }
        }
        // The unit's script, converted by the converter itself. When it is
        // refused, or the unit has faults already, each of the unit's own
        // values is converted alone, so that every fault is named.
        bool faulted = batch.faults.size() > before;
        std::size_t len = Script_of(values);
        if (!faulted && Convert_text(len, image) == CONVERT_DONE) {
            std::span<const std::uint8_t> bytes = Image_bytes(image);
            if (batch.images.empty())
                batch.images.reserve(batch.units.size() * bytes.size() + bytes.size());
            unit.imageAt = batch.images.size();
            unit.imageLen = bytes.size();
            unit.sha256 = Sha256(bytes.data(), bytes.size());
            batch.images.insert(batch.images.end(), bytes.begin(), bytes.end());
            continue;
        }
        const char *name = "script";
        std::string words = faulted || Convert_text(len, image, true) == CONVERT_DONE ? "" : Console_refusal(&name);
        std::size_t named = batch.faults.size();
        for (std::size_t k = 0; k < values.count; ++k) {
            const Unit_value &value = values.items[k];
            if (!value.fromTemplate && !misfits[k] && value.type != ZOL_FACT_DFLT_MAC_ID &&
                !Converts(value.type, value.text))
                Unit_fault(batch, u, Name_of(value.type), Rule_words(value.type, value.text));
        }
        if (!faulted && batch.faults.size() == named)
            Unit_fault(batch, u, name, words);
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
            if (value.type != ZOL_FACT_DFLT_MAC_ID)
                row[first + value.slot] = value.text;
            if (value.type == ZOL_FACT_DFLT_SSID_ID)
                ssid = value.text;
            else if (value.type == ZOL_FACT_DFLT_PASSPHRASE_ID)
                passphrase = value.text;
            else if (value.type == ZOL_FACT_DFLT_WEP_KEY_ID)
                key = value.text;
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
