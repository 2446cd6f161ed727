#include "checks.h"

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

// The rule of a setting, in words, for a value the converter refused. The
// words are bounded: at most 40 characters of the value, and numbers.
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

// recbatch's own rules, so that what it makes works on a real network: an
// SSID of 1 to 32 bytes, a pass phrase of 8 to 63 printable ASCII
// characters. Empty when the value keeps them.
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

bool Generated(const Batch &batch, unsigned type)
{
    return std::find(batch.generate.begin(), batch.generate.end(), type) != batch.generate.end();
}

// Draws the unit's -g secrets again where they hold its address or serial.
bool Draw_again(Batch &batch, std::size_t u)
{
    const Unit &unit = batch.units[u];
    std::string_view serial = Serial_of(batch, u);
    for (std::size_t g = 0; g < batch.generate.size(); ++g)
        if (Secret_derived(Unit_secret(batch, u, g), unit.hasMac, unit.mac, serial) != nullptr &&
            !Secret_draw(batch.random, batch.generate[g] == ZOL_FACT_DFLT_WEP_KEY_ID, unit.hasMac, unit.mac, serial,
                         Unit_secretRoom(batch, u, g)))
            return false;
    return true;
}

// A secret of the table or template that holds the unit's address or serial.
void Derived_faults(Batch &batch, std::size_t u, const Unit_values &values)
{
    const Unit &unit = batch.units[u];
    for (std::size_t k = 0; k < values.count; ++k) {
        auto type = static_cast<unsigned>(values.items[k].value.type);
        if (std::find(SECRET_TYPES.begin(), SECRET_TYPES.end(), type) == SECRET_TYPES.end() ||
            (!values.items[k].fromTemplate && Generated(batch, type)))
            continue;
        if (const char *why = Secret_derived(values.items[k].value.text, unit.hasMac, unit.mac, Serial_of(batch, u)))
            Unit_fault(batch, u, Name_of(type), why);
    }
}

void Keep_sha256(Unit &unit, const Image &image)
{
    std::span<const std::uint8_t> bytes = Image_bytes(image);
    unit.sha256 = Sha256(bytes.data(), bytes.size());
    unit.settled = true;
}

// A value that two units share: each later unit's is refused, naming the
// first unit that has it. keys holds a key and a unit each (an address, or
// a hash of a secret's text); same tells whether two units' values are the
// same; words begins the message of a unit.
template <class Same, class Words>
void Shared_faults(Batch &batch, std::vector<std::pair<std::uint64_t, std::size_t>> &keys, const char *name, Same same,
                   Words words)
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
                Unit_fault(batch, keys[i].second, name, words(keys[i].second) + Unit_ref(batch, keys[j].second));
                break;
            }
    }
    keys = {};
}

// Addresses that the table gives twice, and the units' own secrets and the
// table's serials that two units share.
void Batch_shared(Batch &batch)
{
    std::vector<std::pair<std::uint64_t, std::size_t>> keys;
    for (std::size_t u = 0; u < batch.units.size(); ++u)
        if (batch.units[u].hasMac && !batch.units[u].fromRange)
            keys.push_back({batch.units[u].mac.bits, u});
    Shared_faults(
        batch, keys, "mac", [](std::size_t, std::size_t) { return true; },
        [&](std::size_t u) { return Mac_text(batch.units[u].mac) + " is also that of "; });

    std::string_view a;
    std::string_view b;
    for (unsigned type : SECRET_TYPES) {
        for (std::size_t u = 0; u < batch.units.size(); ++u)
            if (Unit_own(batch, u, type, a))
                keys.push_back({std::hash<std::string_view>{}(a), u});
        auto same = [&](std::size_t x, std::size_t y) {
            return Unit_own(batch, x, type, a) && Unit_own(batch, y, type, b) && a == b;
        };
        Shared_faults(batch, keys, Name_of(type), same, [](std::size_t) { return std::string("the same as that of "); });
    }

    // Serials: each later unit names the first that has it (-R allows it
    // only for the serials of earlier batches).
    if (batch.reissue)
        return;
    std::unordered_map<std::string_view, std::size_t> first;
    for (std::size_t u = 0; u < batch.units.size(); ++u) {
        std::string_view serial = Serial_of(batch, u);
        if (serial.empty() || serial.find('\0') != std::string_view::npos) // none, or refused already
            continue;
        if (auto [at, fresh] = first.emplace(serial, u); !fresh)
            Unit_fault(batch, u, "serial", std::string(serial) + " is also that of " + Unit_ref(batch, at->second));
    }
}

} // namespace

bool Batch_check(Batch &batch)
{
    // A generated value takes the place of the template's one value.
    for (unsigned type : batch.generate)
        if (Template_count(batch, type) > 1)
            Batch_fault(batch, batch.templatePath, Name_of(type), "the template gives this setting more than once");

    std::size_t perUnit = 0;
    for (unsigned type : batch.generate)
        perUnit += Secret_length(type);
    batch.secrets.assign(batch.units.size() * perUnit, '\0');
    std::vector<bool> templateFault(UNIT_VALUES_MAX); // a fault of the template's value at k was named
    std::array<bool, SECRET_TYPES.size()> templateShared{};
    Unit_values values{};
    Image image{};
    for (std::size_t u = 0; u < batch.units.size(); ++u) {
        Unit &unit = batch.units[u];
        std::size_t before = batch.faults.size();
        for (std::size_t g = 0; g < batch.generate.size(); ++g)
            if (!Secret_draw(batch.random, batch.generate[g] == ZOL_FACT_DFLT_WEP_KEY_ID, unit.hasMac, unit.mac,
                             Serial_of(batch, u), Unit_secretRoom(batch, u, g)))
                return false;
        Batch_values(batch, u, values);

        // A unit without an address is compared with none: a block short of
        // room and a refused cell are faults of their own.
        if (!unit.hasMac && !unit.macRefused && !batch.hasBlock)
            Unit_fault(batch, u, "mac", "no address: give a mac column, -m, or the template's in a batch of one");
        if (values.count > SCRIPT_TYPES_MAX)
            Unit_fault(batch, u, "script",
                       std::to_string(values.count) + " settings, expected at most " + std::to_string(SCRIPT_TYPES_MAX));

        // What no script can carry, then recbatch's own rules, then the
        // converter's, each value named once. A host name without its line
        // end is the template's: a unit's own takes its line end from it.
        std::array<bool, UNIT_VALUES_MAX> refused{};
        auto refuse = [&](std::size_t k, const std::string &why) {
            const Unit_value &value = values.items[k];
            const char *name = Name_of(static_cast<unsigned>(value.value.type));
            refused[k] = true;
            if (!value.fromTemplate)
                Unit_fault(batch, u, name, why);
            else if (!templateFault[k]) {
                templateFault[k] = true;
                Batch_fault(batch, batch.templatePath, name, why);
            }
        };
        for (std::size_t k = 0; k < values.count; ++k) {
            Script_misfit misfit = Script_misfitOf(values.items[k].value, k + 1 == values.count);
            if (misfit == MISFIT_NOT_LAST)
                values.items[k].fromTemplate = true; // only the template's host name has no line end
            if (misfit != MISFIT_NONE)
                refuse(k, misfit == MISFIT_NOT_LAST ? "has no line end in the template, so it must be the last setting"
                                                    : Script_misfitWords(misfit));
        }

        for (std::size_t s = 0; s < SECRET_TYPES.size(); ++s)
            for (std::size_t k = 0; k < values.count; ++k)
                if (values.items[k].value.type == static_cast<std::int32_t>(SECRET_TYPES[s]) &&
                    values.items[k].fromTemplate && batch.units.size() > 1 && !batch.sharedSecrets &&
                    !templateShared[s]) {
                    templateShared[s] = true;
                    Batch_fault(batch, batch.templatePath, Name_of(SECRET_TYPES[s]),
                                "the same for every unit: give it per unit with -u or -g, or allow that with -S");
                }
        Derived_faults(batch, u, values);

        // The unit's image: its values converted by the converter itself,
        // as many as a script can carry; each value refused is named.
        Image_init(image);
        for (std::size_t k = 0; k < values.count; ++k) {
            if (refused[k])
                continue;
            if (std::string why = Network_words(values.items[k].value); !why.empty()) {
                refuse(k, why);
                continue;
            }
            Convert_result result = Convert_setting(image, k, values.items[k].value);
            if (Convert_refused(result) && result.rule != RULE_TOO_MANY) // counted above
                refuse(k, Rule_words(result));
        }
        if (batch.faults.size() == before && unit.hasMac)
            Keep_sha256(unit, image);
    }
    Batch_shared(batch);
    return true;
}

bool Unit_settle(Batch &batch, std::size_t u)
{
    if (!Draw_again(batch, u))
        return false;
    Unit_values values{};
    Batch_values(batch, u, values);
    std::size_t before = batch.faults.size();
    Derived_faults(batch, u, values);
    Image image{};
    if (batch.faults.size() == before && Unit_image(values, image))
        Keep_sha256(batch.units[u], image);
    else if (batch.faults.size() == before)
        Unit_fault(batch, u, "mac", "its image does not convert"); // the checks passed it with another address
    return true;
}
