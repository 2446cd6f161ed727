#include "checks.h"

#include "issue.h"
#include "manifest.h"
#include "values.h"
#include "writer.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

namespace {

const char *Name_of(unsigned type)
{
    return Setting_of(type).name;
}

// The rule of a setting, in words, for a value the converter refused.
std::string Rule_words(const Convert_result &result)
{
    char words[160];
    Convert_why(result, words, sizeof words);
    return words;
}

// recbatch's own rules, so that what it makes works on a real network: an
// SSID of 1 to 32 bytes, a pass phrase of 8 to 63 printable ASCII
// characters, worded as the converter's rules are. Empty when the value
// keeps them.
std::string Network_words(const Convert_value &value)
{
    auto bytes = [&](std::size_t least, std::size_t most) {
        if (value.text.size() >= least && value.text.size() <= most)
            return std::string();
        return std::to_string(value.text.size()) + " bytes, expected " + std::to_string(least) + " to " +
               std::to_string(most);
    };
    if (value.type == ZOL_FACT_DFLT_SSID_ID)
        return bytes(1, 32);
    if (value.type != ZOL_FACT_DFLT_PASSPHRASE_ID)
        return {};
    std::string why = bytes(8, 63);
    if (why.empty() && std::any_of(value.text.begin(), value.text.end(), [](char c) { return c < 0x20 || c > 0x7e; }))
        why = "holds a byte outside printable ASCII (0x20 to 0x7e)";
    return why;
}

// What keeps a value out of the unit's image. The template's values are
// held to what a script line can carry; a word of text that the table or
// -g gives (an SSID, a pass phrase, a user name, a password) goes into its
// record as it is, so it may hold blanks, but no 0x00 byte or line end.
Script_misfit Misfit_of(const Unit_value &item, bool last)
{
    const Setting &setting = Setting_of(static_cast<unsigned>(item.value.type));
    if (item.fromTemplate || setting.reading != READ_TOKEN || setting.kind != DATA_TEXT)
        return Script_misfitOf(item.value, last);
    if (item.value.text.find('\0') != std::string_view::npos)
        return MISFIT_NUL;
    return item.value.text.find_first_of("\r\n") != std::string_view::npos ? MISFIT_LINE_END : MISFIT_NONE;
}

// A secret of the table or template that holds the unit's address or serial.
void Derived_faults(const Units &units, const Secrets &secrets, std::size_t u, const Unit_values &values,
                    Faults &faults)
{
    const Unit &unit = units.list[u];
    for (std::size_t k = 0; k < values.count; ++k) {
        auto type = static_cast<unsigned>(values.items[k].value.type);
        bool generated = std::find(secrets.types.begin(), secrets.types.end(), type) != secrets.types.end();
        if (std::find(SECRET_TYPES.begin(), SECRET_TYPES.end(), type) == SECRET_TYPES.end() ||
            (!values.items[k].fromTemplate && generated))
            continue;
        if (const char *why = Secret_derived(values.items[k].value.text, Unit_macs(units, unit), unit.mac,
                                             Serial_of(units, u)))
            Unit_fault(faults, units, u, Name_of(type), why);
    }
}

Digest Sha256_of(const Image &image)
{
    std::span<const std::uint8_t> bytes = Image_bytes(image);
    return Sha256(bytes.data(), bytes.size());
}

// What the checks of every unit read, and what they name once for the
// whole template.
struct Checking {
    const Request &request;
    const Template &tpl;
    const Units &units;
    const Secrets &secrets;
    Faults &faults;
    std::array<bool, UNIT_VALUES_MAX> templateNamed;         // a fault of the template's k-th value
    std::array<bool, SECRET_TYPES.size()> templateShared;    // a template's secret given to every unit
};

// A value refused: the unit's own is the unit's fault, the template's is
// the template's, named once.
void Refuse_value(Checking &c, std::size_t u, const Unit_value &value, std::size_t k, const std::string &why)
{
    const char *name = Name_of(static_cast<unsigned>(value.value.type));
    if (!value.fromTemplate)
        Unit_fault(c.faults, c.units, u, name, why);
    else if (!c.templateNamed[k]) {
        c.templateNamed[k] = true;
        Place_fault(c.faults, 0, c.request.templatePath, name, why);
    }
}

// A secret that the template gives to every unit of a batch of more than
// one, unless -S allows it.
void Template_shared(Checking &c, const Unit_values &values)
{
    for (std::size_t s = 0; s < SECRET_TYPES.size(); ++s)
        for (std::size_t k = 0; k < values.count; ++k)
            if (values.items[k].value.type == static_cast<std::int32_t>(SECRET_TYPES[s]) &&
                values.items[k].fromTemplate && c.units.list.size() > 1 && !c.request.sharedSecrets &&
                !c.templateShared[s]) {
                c.templateShared[s] = true;
                Place_fault(c.faults, 0, c.request.templatePath, Name_of(SECRET_TYPES[s]),
                            "the same for every unit: give it per unit with -u or -g, or allow that with -S");
            }
}

// One unit's checks; true with the SHA-256 of its image when it has an
// address and passes them.
bool Check_unit(Checking &c, std::size_t u, Unit_values &values, Digest &hash)
{
    const Unit &unit = c.units.list[u];
    std::size_t before = c.faults.size();
    Unit_valuesOf(c.tpl, c.units, c.secrets, u, values);

    // A unit without an address is compared with none: a range short of
    // room and a refused cell are faults of their own.
    if (unit.from == ADDRESS_NONE && !c.request.ranged)
        Unit_fault(c.faults, c.units, u, MANIFEST_MAC, "no address: give a mac column, -m, or the template's in a batch of one");
    if (values.count > SCRIPT_TYPES_MAX) {
        char why[80] = "";
        Convert_why({.rule = RULE_TOO_MANY, .index = SCRIPT_TYPES_MAX, .type = 0, .text = {}, .number = 0}, why,
                    sizeof why);
        Unit_fault(c.faults, c.units, u, "script", why);
    }

    // What the image cannot hold, then recbatch's own rules, then the
    // converter's, each value named once. A host name without its line end
    // is the template's: a unit's own takes its line end from it.
    std::array<bool, UNIT_VALUES_MAX> refused{};
    for (std::size_t k = 0; k < values.count; ++k) {
        Script_misfit misfit = Misfit_of(values.items[k], k + 1 == values.count);
        if (misfit == MISFIT_NOT_LAST)
            values.items[k].fromTemplate = true; // only the template's host name has no line end
        refused[k] = misfit != MISFIT_NONE;
        if (refused[k])
            Refuse_value(c, u, values.items[k], k,
                         misfit == MISFIT_NOT_LAST ? "has no line end in the template, so it must be the last setting"
                                                   : Script_misfitWords(misfit));
    }
    Template_shared(c, values);
    Derived_faults(c.units, c.secrets, u, values, c.faults);

    // The unit's image: its values converted by the converter itself, as
    // many as a script can carry; each value refused is named.
    Image image{};
    Image_init(image);
    for (std::size_t k = 0; k < values.count; ++k) {
        std::string why = refused[k] ? std::string() : Network_words(values.items[k].value);
        Convert_result result{};
        if (!refused[k] && why.empty())
            result = Convert_setting(image, k, values.items[k].value);
        if (!why.empty())
            Refuse_value(c, u, values.items[k], k, why);
        else if (Convert_refused(result) && result.rule != RULE_TOO_MANY) // counted above
            Refuse_value(c, u, values.items[k], k, Rule_words(result));
    }
    if (c.faults.size() != before || !Unit_hasMac(unit))
        return false;
    hash = Sha256_of(image);
    return true;
}

// A value that two units share: each later unit's is refused, naming the
// first unit that has it. keys holds a key and a unit each (an address, or
// a hash of a secret's text); same tells whether two units' values are the
// same; words begins the message of a unit.
template <class Same, class Words>
void Shared_faults(const Units &units, Faults &faults, std::vector<std::pair<std::uint64_t, std::size_t>> &keys,
                   const char *name, Same same, Words words)
{
    std::sort(keys.begin(), keys.end());
    std::size_t run = 0; // where the keys equal to keys[i] start, in unit order
    for (std::size_t i = 1; i < keys.size(); ++i) {
        if (keys[i].first != keys[run].first) {
            run = i;
            continue;
        }
        for (std::size_t j = run; j < i; ++j)
            if (same(keys[j].second, keys[i].second)) {
                Unit_fault(faults, units, keys[i].second, name, words(keys[i].second) + Unit_ref(units, keys[j].second));
                break;
            }
    }
    keys = {};
}

// Addresses that the table gives twice, and the units' own secrets and the
// table's serials that two units share.
void Shared(const Request &request, const Units &units, const Secrets &secrets, Faults &faults)
{
    std::vector<std::pair<std::uint64_t, std::size_t>> keys;
    for (std::size_t u = 0; u < units.list.size(); ++u)
        if (units.list[u].from == ADDRESS_TABLE || units.list[u].from == ADDRESS_TEMPLATE)
            keys.push_back({units.list[u].mac.bits, u});
    Shared_faults(
        units, faults, keys, MANIFEST_MAC, [](std::size_t, std::size_t) { return true; },
        [&](std::size_t u) { return Mac_text(units.list[u].mac) + " is also that of "; });

    std::string_view a;
    std::string_view b;
    for (unsigned type : SECRET_TYPES) {
        for (std::size_t u = 0; u < units.list.size(); ++u)
            if (Unit_own(units, secrets, u, type, a))
                keys.push_back({std::hash<std::string_view>{}(a), u});
        auto same = [&](std::size_t x, std::size_t y) {
            return Unit_own(units, secrets, x, type, a) && Unit_own(units, secrets, y, type, b) && a == b;
        };
        Shared_faults(units, faults, keys, Name_of(type), same, [](std::size_t) { return std::string("the same as that of "); });
    }

    // Serials: each later unit names the first that has it (-R allows it
    // only for the serials of earlier batches).
    if (request.reissue)
        return;
    std::unordered_map<std::string_view, std::size_t> first;
    for (std::size_t u = 0; u < units.list.size(); ++u) {
        std::string_view serial = Serial_of(units, u);
        if (serial.empty() || serial.find('\0') != std::string_view::npos) // none, or refused already
            continue;
        if (auto [at, fresh] = first.emplace(serial, u); !fresh)
            Unit_fault(faults, units, u, MANIFEST_SERIAL, std::string(serial) + " is also that of " + Unit_ref(units, at->second));
    }
}

} // namespace

bool Batch_check(const Request &request, const Template &tpl, const Units &units, const Secrets &secrets,
                 Ledger *ledger, std::vector<Digest> &hashes, Faults &faults, Fault &fault)
{
    // The ledger's own checks too, read without the lock, so that a table
    // is refused with every fault at once; the transaction checks again.
    if (!Ledger_checks(request, ledger, units, faults, fault))
        return false;
    // A generated value takes the place of the template's one value.
    for (unsigned type : secrets.types)
        if (Template_count(tpl, type) > 1)
            Place_fault(faults, 0, request.templatePath, Name_of(type), "the template gives this setting more than once");

    Checking checking{request, tpl, units, secrets, faults, {}, {}};
    Unit_values values{};
    hashes.assign(units.list.size(), Digest{});
    for (std::size_t u = 0; u < units.list.size(); ++u)
        Check_unit(checking, u, values, hashes[u]);
    Shared(request, units, secrets, faults);
    return faults.empty();
}

void Unit_settle(const Template &tpl, const Units &units, const Secrets &secrets, std::size_t u, Digest &hash,
                 Faults &faults)
{
    Unit_values values{};
    Unit_valuesOf(tpl, units, secrets, u, values);
    std::size_t before = faults.size();
    Derived_faults(units, secrets, u, values, faults);
    Image image{};
    if (faults.size() == before && Unit_image(values, image))
        hash = Sha256_of(image);
    else if (faults.size() == before)
        Unit_fault(faults, units, u, MANIFEST_MAC, "its image does not convert"); // the checks passed it with another address
}
