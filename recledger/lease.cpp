#include "cli.h"
#include "ledger.h"
#include "recledger.h"

#include <cerrno>
#include <cstdio>

// "lease N: SITE FIRST-LAST, COUNT addresses" on stdout once LOCAL is made.
int Lease_run(const Options &options)
{
    Ledger_ptr ledger{nullptr, Ledger_close};
    Fault fault{};
    Ledger_lease lease{};
    if (!Ledger_open(options.ledger, ledger, fault, false) ||
        !Ledger_grant(ledger.get(), options.site, options.count, options.ranged ? &options.range : nullptr,
                      options.local, lease, fault))
        return Cli_fail(fault);
    if (std::printf("lease %lld: %s %s-%s, %zu address%s\n", lease.id, lease.site.c_str(),
                    Mac_colons(lease.range.first).data(), Mac_colons(lease.range.last).data(), lease.count,
                    lease.count == 1 ? "" : "es") < 0)
        return Cli_system("stdout", errno);
    return 0;
}
