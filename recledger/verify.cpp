#include "cli.h"
#include "ledger.h"
#include "recledger.h"

#include <cerrno>
#include <cstdio>

// Status 0 with "N rows, head HASH": the head, written down elsewhere,
// catches a rewrite of the whole chain that the ledger alone cannot.
int Verify_run(const Options &options)
{
    Ledger_ptr ledger{nullptr, Ledger_close};
    Fault fault{};
    long long rows = 0;
    std::string head;
    if (!Ledger_open(options.ledger, ledger, fault, false) || !Ledger_verify(ledger.get(), rows, head, fault))
        return Cli_fail(fault);
    if (std::printf("%lld rows, head %s\n", rows, head.c_str()) < 0)
        return Cli_system("stdout", errno);
    return 0;
}
