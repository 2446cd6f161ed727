#include "issue.h"

#include "secret.h"

#include <ctime>
#include <unordered_map>
#include <unordered_set>

namespace {

// A batch of one without an address of its own and without -m takes the
// template's address (the last the template gives, as the converter does);
// true when it did.
bool Template_address(Batch &batch)
{
    if (batch.units.size() != 1 || batch.units[0].hasMac || batch.units[0].macRefused || batch.hasBlock)
        return false;
    Unit &unit = batch.units[0];
    if (!Batch_templateMac(batch, unit.mac))
        return false;
    if (const char *misfit = Mac_misfit(unit.mac)) {
        Batch_fault(batch, batch.templatePath, "mac", misfit);
        unit.macRefused = true;
        return false;
    }
    unit.hasMac = true;
    return true;
}

// A serial of the table that another unit has, or that the ledger recorded
// for an earlier batch, is refused unless the batch reissues serials.
bool Check_serials(Batch &batch, Ledger *ledger)
{
    if (batch.reissue)
        return true;
    std::unordered_map<std::string_view, std::size_t> first;
    std::vector<std::string_view> serials;
    std::vector<std::size_t> units;
    for (std::size_t u = 0; u < batch.units.size(); ++u) {
        std::string_view serial = Serial_of(batch, batch.units[u]);
        if (serial.empty() || serial.find('\0') != std::string_view::npos) // none, or refused already
            continue;
        if (auto [at, fresh] = first.emplace(serial, u); !fresh) {
            Unit_fault(batch, u, "serial", std::string(serial) + " is also that of " + Unit_ref(batch, at->second));
            continue;
        }
        serials.push_back(serial);
        units.push_back(u);
    }
    std::vector<Ledger_holder> holders;
    if (!Ledger_serials(ledger, serials, holders))
        return false;
    for (std::size_t i = 0; i < serials.size(); ++i)
        if (holders[i].batch > 0)
            Unit_fault(batch, units[i], "serial",
                       std::string(serials[i]) + " was recorded by batch " + std::to_string(holders[i].batch) +
                           " for " + Mac_text(holders[i].mac));
    return true;
}

} // namespace

std::string Now_utc()
{
    char text[32];
    std::time_t now = std::time(nullptr);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    return text;
}

bool Batch_assign(Batch &batch, Ledger *ledger, std::size_t need)
{
    bool fromTemplate = Template_address(batch);
    std::vector<Mac_address> macs;
    std::unordered_set<std::uint64_t> taken;
    for (const Unit &unit : batch.units)
        if (unit.hasMac) {
            macs.push_back(unit.mac);
            taken.insert(unit.mac.bits);
        }
    std::vector<long long> issuers;
    if (!Ledger_issuers(ledger, macs, issuers))
        return false;
    for (std::size_t u = 0, m = 0; u < batch.units.size(); ++u) {
        if (!batch.units[u].hasMac || issuers[m++] == 0)
            continue;
        std::string why = Mac_text(batch.units[u].mac) + " was issued by batch " + std::to_string(issuers[m - 1]);
        if (fromTemplate)
            Batch_fault(batch, batch.templatePath, "mac", why);
        else
            Unit_fault(batch, u, "mac", why);
    }
    std::vector<Mac_address> free;
    if (batch.hasBlock && !Ledger_free(ledger, batch.range, need, taken, free))
        return false;
    if (free.size() < need)
        Batch_fault(batch, "-m", "mac",
                    std::to_string(free.size()) + " free addresses in the range for " + std::to_string(need) + " units");
    std::size_t next = 0;
    for (Unit &unit : batch.units)
        if (!unit.hasMac && !unit.macRefused && next < free.size()) {
            unit.mac = free[next++];
            unit.hasMac = true;
        }
    return Check_serials(batch, ledger);
}

bool Batch_generate(Batch &batch)
{
    for (Unit &unit : batch.units) {
        unit.generated.resize(batch.generate.size());
        std::string_view serial = Serial_of(batch, unit);
        for (std::size_t g = 0; g < batch.generate.size(); ++g)
            if (!Secret_draw(batch.generate[g] == ZOL_FACT_DFLT_WEP_KEY_ID, unit.hasMac, unit.mac, serial,
                             unit.generated[g]))
                return false;
    }
    return true;
}

Ledger_batch Batch_record(const Batch &batch, const std::string &outdir, const Digest &templateSha256)
{
    Ledger_batch record{};
    record.started = Now_utc();
    record.templateSha256 = Digest_hex(templateSha256);
    record.outdir = outdir;
    record.units = batch.units.size();
    record.version = ZOL_VERSION;
    record.reissue = batch.reissue;
    return record;
}

std::vector<Ledger_address> Batch_issued(const Batch &batch)
{
    std::vector<Ledger_address> issued;
    issued.reserve(batch.units.size());
    for (std::size_t u = 0; u < batch.units.size(); ++u)
        issued.push_back({batch.units[u].mac, u + 1, Serial_of(batch, batch.units[u]), batch.units[u].sha256});
    return issued;
}
