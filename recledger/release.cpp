#include "cli.h"
#include "ledger.h"
#include "recledger.h"

int Release_run(const Options &options)
{
    Ledger_ptr ledger{nullptr, Ledger_close};
    Fault fault{};
    if (!Ledger_open(options.ledger, ledger, fault, false) ||
        !Ledger_release(ledger.get(), options.macs[0], options.reason, fault))
        return Cli_fail(fault);
    return 0;
}
