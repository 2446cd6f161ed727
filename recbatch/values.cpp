#include "values.h"

#include "writer.h"

std::size_t Template_count(const Template &tpl, unsigned type)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < tpl.given.count; ++i)
        count += tpl.given.items[i].type == static_cast<std::int32_t>(type);
    return count;
}

bool Unit_own(const Units &units, const Secrets &secrets, std::size_t unit, unsigned type, std::string_view &text)
{
    for (std::size_t c = 0; c < units.columns.size() && !units.rows.empty(); ++c)
        if (units.columns[c].type == type && !units.rows[unit][c].empty()) {
            text = units.rows[unit][c];
            return true;
        }
    for (std::size_t g = 0; g < secrets.types.size(); ++g)
        if (secrets.types[g] == type) {
            text = Unit_secret(secrets, unit, g);
            return true;
        }
    return false;
}

void Unit_valuesOf(const Template &tpl, const Units &units, const Secrets &secrets, std::size_t u,
                   Unit_values &values)
{
    const Unit &unit = units.list[u];
    values.count = 0;
    values.macText = Mac_hex(unit.mac);
    const std::string_view mac(values.macText.data(), 2 * MAC_ADDR_LEN);
    auto add = [&](unsigned type, std::string_view text, bool fromTemplate, std::size_t slot) {
        if (values.count < values.items.size())
            values.items[values.count++] = {{static_cast<std::int32_t>(type), text}, slot, fromTemplate};
    };
    // The unit's own host name is stored by the template's rule, whether or
    // not other settings follow it. A line of the longest length is read
    // without its line end.
    auto own = [&](unsigned type, std::string_view text) {
        const Setting &setting = Setting_of(type);
        if (setting.reading != READ_LINE || text.size() >= setting.longest || !tpl.hostLineEnd)
            return text;
        values.hostLine.assign(text);
        values.hostLine.push_back('\n');
        return std::string_view(values.hostLine);
    };
    std::size_t slot = 0;
    bool templateMac = false;
    std::string_view text;
    for (std::size_t i = 0; i < tpl.given.count; ++i) {
        Convert_value given = Script_value(tpl.given.items[i]);
        auto type = static_cast<unsigned>(given.type);
        if (Setting_of(type).kind == DATA_NONE) // passed over by the converter
            continue;
        if (type == ZOL_FACT_DFLT_MAC_ID) {
            templateMac = true;
            add(type, Unit_hasMac(unit) ? mac : given.text, !Unit_hasMac(unit), 0);
        } else if (Unit_own(units, secrets, u, type, text)) {
            add(type, own(type, text), false, slot++);
        } else {
            add(type, given.text, true, slot++);
        }
    }
    // Settings the template lacks follow it: the table's, then -g's.
    for (std::size_t c = 0; c < units.columns.size(); ++c) {
        unsigned type = units.columns[c].type;
        if (type == 0 || type == ZOL_FACT_DFLT_MAC_ID || Template_count(tpl, type) > 0)
            continue;
        if (!units.rows[u][c].empty())
            add(type, own(type, units.rows[u][c]), false, slot);
        ++slot;
    }
    for (std::size_t g = 0; g < secrets.types.size(); ++g)
        if (Template_count(tpl, secrets.types[g]) == 0)
            add(secrets.types[g], Unit_secret(secrets, u, g), false, slot++);
    if (Unit_hasMac(unit) && !templateMac)
        add(ZOL_FACT_DFLT_MAC_ID, mac, false, 0);
}

std::vector<unsigned> Value_types(const Template &tpl, const Units &units, const Secrets &secrets)
{
    // The slots of Unit_valuesOf: every setting but the address.
    std::vector<unsigned> types;
    for (std::size_t i = 0; i < tpl.given.count; ++i) {
        auto type = static_cast<unsigned>(tpl.given.items[i].type);
        if (Setting_of(type).kind != DATA_NONE && type != ZOL_FACT_DFLT_MAC_ID)
            types.push_back(type);
    }
    for (const Column &column : units.columns)
        if (column.type != 0 && column.type != ZOL_FACT_DFLT_MAC_ID && Template_count(tpl, column.type) == 0)
            types.push_back(column.type);
    for (unsigned type : secrets.types)
        if (Template_count(tpl, type) == 0)
            types.push_back(type);
    return types;
}

bool Unit_image(const Unit_values &values, Image &image)
{
    Image_init(image);
    if (values.count > SCRIPT_TYPES_MAX)
        return false;
    for (std::size_t k = 0; k < values.count; ++k)
        if (Convert_refused(Convert_setting(image, k, values.items[k].value)))
            return false;
    return true;
}
