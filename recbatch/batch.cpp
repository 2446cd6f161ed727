#include "batch.h"

#include "cli.h"

#include <algorithm>

std::size_t Secret_length(unsigned type)
{
    return type == ZOL_FACT_DFLT_WEP_KEY_ID ? 2 * SECRET_KEY_BYTES : SECRET_TEXT_LEN;
}

namespace {

// Where the g-th secret of a unit starts.
std::size_t Secret_at(const Secrets &secrets, std::size_t unit, std::size_t g)
{
    std::size_t before = 0;
    std::size_t all = 0;
    for (std::size_t k = 0; k < secrets.types.size(); ++k) {
        before += k < g ? Secret_length(secrets.types[k]) : 0;
        all += Secret_length(secrets.types[k]);
    }
    return unit * all + before;
}

} // namespace

std::string_view Unit_secret(const Secrets &secrets, std::size_t unit, std::size_t g)
{
    return std::string_view(secrets.text).substr(Secret_at(secrets, unit, g), Secret_length(secrets.types[g]));
}

std::span<char> Unit_secretRoom(Secrets &secrets, std::size_t unit, std::size_t g)
{
    return std::span(secrets.text).subspan(Secret_at(secrets, unit, g), Secret_length(secrets.types[g]));
}

std::string_view Serial_of(const Units &units, std::size_t unit)
{
    return units.serial < units.columns.size() ? std::string_view(units.rows[unit][units.serial]) : std::string_view();
}

std::string Unit_ref(const Units &units, std::size_t unit)
{
    if (units.path == nullptr)
        return "unit " + std::to_string(unit + 1);
    return "line " + std::to_string(units.list[unit].line);
}

void Place_fault(Faults &faults, std::size_t order, const std::string &place, const char *name,
                 const std::string &why)
{
    faults.push_back({order, place, std::string(name) + ": " + why});
}

void Unit_fault(Faults &faults, const Units &units, std::size_t unit, const char *name, const std::string &why)
{
    if (units.path == nullptr)
        Place_fault(faults, unit + 1, "unit " + std::to_string(unit + 1), name, why);
    else
        Place_fault(faults, static_cast<std::size_t>(units.list[unit].line),
                    std::string(units.path) + ":" + std::to_string(units.list[unit].line), name, why);
}

int Faults_report(Faults &faults)
{
    std::stable_sort(faults.begin(), faults.end(),
                     [](const Batch_fault &a, const Batch_fault &b) { return a.order < b.order; });
    Fault fault{};
    for (const Batch_fault &found : faults) {
        Fault_refuse(fault, found.where.c_str(), "%s", found.why.c_str());
        Cli_warn(fault);
    }
    return 1;
}

std::string Mac_text(Mac_address mac)
{
    return Mac_colons(mac).data();
}
