#include "cli.h"
#include "ledger.h"
#include "recledger.h"

#include <cerrno>
#include <cstdio>

// "N rows sent, synced to row M" on stdout, and the tail given back; a
// serial that the centre held already for another unit is named on
// standard error, both units with their sites, and the status is 1.
int Sync_run(const Options &options)
{
    Ledger_ptr ledger{nullptr, Ledger_close};
    Fault fault{};
    Ledger_synced synced{};
    bool ok = Ledger_open(options.ledger, ledger, fault, false) &&
              Ledger_sync(ledger.get(), options.giveBack, synced, fault);
    for (const Ledger_twin &twin : synced.twins) {
        Fault warning{};
        Fault_refuse(warning, ("serial " + twin.serial).c_str(),
                     "recorded twice: site %s, batch %lld unit %lld (%s), and %s%s, batch %lld unit %lld (%s)",
                     twin.site.c_str(), twin.batch, twin.unit, Mac_colons(twin.mac).data(),
                     twin.otherSite.empty() ? "the centre" : "site ", twin.otherSite.c_str(), twin.otherBatch,
                     twin.otherUnit, Mac_colons(twin.otherMac).data());
        Cli_warn(warning);
    }
    if (!ok)
        return Cli_fail(fault);
    if (std::printf("%lld rows sent, synced to row %lld\n", synced.sent, synced.head) < 0 ||
        (synced.returned && std::printf("returned %s-%s\n", Mac_colons(synced.tail.first).data(),
                                        Mac_colons(synced.tail.last).data()) < 0))
        return Cli_system("stdout", errno);
    return synced.twins.empty() ? 0 : 1;
}
