#include "values.h"

#include "writer.h"

std::size_t Template_count(const Batch &batch, unsigned type)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < batch.given.count; ++i)
        count += batch.given.items[i].type == static_cast<std::int32_t>(type);
    return count;
}

bool Unit_own(const Batch &batch, std::size_t unit, unsigned type, std::string_view &text)
{
    for (std::size_t c = 0; c < batch.columns.size() && !batch.rows.empty(); ++c)
        if (batch.columns[c].type == type && !batch.rows[unit][c].empty()) {
            text = batch.rows[unit][c];
            return true;
        }
    for (std::size_t g = 0; g < batch.generate.size(); ++g)
        if (batch.generate[g] == type) {
            text = Unit_secret(batch, unit, g);
            return true;
        }
    return false;
}

namespace {

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

} // namespace

void Batch_values(const Batch &batch, std::size_t u, Unit_values &values)
{
    const Unit &unit = batch.units[u];
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
    std::string_view text;
    for (std::size_t i = 0; i < batch.given.count; ++i) {
        Convert_value given = Script_value(batch.given.items[i]);
        auto type = static_cast<unsigned>(given.type);
        if (Setting_of(type).kind == DATA_NONE) // passed over by the converter
            continue;
        if (type == ZOL_FACT_DFLT_MAC_ID) {
            templateMac = true;
            add(type, unit.hasMac ? mac : given.text, !unit.hasMac, 0);
        } else if (Unit_own(batch, u, type, text)) {
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
        if (!batch.rows[u][c].empty())
            add(type, own(type, batch.rows[u][c]), false, slot);
        ++slot;
    }
    for (std::size_t g = 0; g < batch.generate.size(); ++g)
        if (Template_count(batch, batch.generate[g]) == 0)
            add(batch.generate[g], Unit_secret(batch, u, g), false, slot++);
    if (unit.hasMac && !templateMac)
        add(ZOL_FACT_DFLT_MAC_ID, mac, false, 0);
}

std::vector<unsigned> Manifest_types(const Batch &batch)
{
    // The slots of Batch_values: every setting but the address.
    std::vector<unsigned> types;
    for (std::size_t i = 0; i < batch.given.count; ++i) {
        auto type = static_cast<unsigned>(batch.given.items[i].type);
        if (Setting_of(type).kind != DATA_NONE && type != ZOL_FACT_DFLT_MAC_ID)
            types.push_back(type);
    }
    for (const Column &column : batch.columns)
        if (column.type != 0 && column.type != ZOL_FACT_DFLT_MAC_ID && Template_count(batch, column.type) == 0)
            types.push_back(column.type);
    for (unsigned type : batch.generate)
        if (Template_count(batch, type) == 0)
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
