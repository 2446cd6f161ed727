#include "batch.h"

std::size_t Secret_length(unsigned type)
{
    return type == ZOL_FACT_DFLT_WEP_KEY_ID ? 2 * SECRET_KEY_BYTES : SECRET_TEXT_LEN;
}

namespace {

// Where the g-th secret of a unit starts, and how many bytes a unit's take.
std::size_t Secret_at(const Batch &batch, std::size_t unit, std::size_t g)
{
    std::size_t before = 0;
    std::size_t all = 0;
    for (std::size_t k = 0; k < batch.generate.size(); ++k) {
        before += k < g ? Secret_length(batch.generate[k]) : 0;
        all += Secret_length(batch.generate[k]);
    }
    return unit * all + before;
}

} // namespace

std::string_view Unit_secret(const Batch &batch, std::size_t unit, std::size_t g)
{
    return std::string_view(batch.secrets).substr(Secret_at(batch, unit, g), Secret_length(batch.generate[g]));
}

std::span<char> Unit_secretRoom(Batch &batch, std::size_t unit, std::size_t g)
{
    return std::span(batch.secrets).subspan(Secret_at(batch, unit, g), Secret_length(batch.generate[g]));
}

std::string_view Serial_of(const Batch &batch, std::size_t unit)
{
    if (batch.rows.empty())
        return {};
    for (std::size_t c = 0; c < batch.columns.size(); ++c)
        if (batch.columns[c].type == 0 && batch.columns[c].name == "serial")
            return batch.rows[unit][c];
    return {};
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

std::string Mac_text(Mac_address mac)
{
    return Mac_colons(mac).data();
}
