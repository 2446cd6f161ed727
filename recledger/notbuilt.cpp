// The commands that wait for the ledger's side to be built.
#include "cli.h"
#include "recledger.h"

int Recledger_notBuilt(const char *command)
{
    Fault fault{};
    Fault_fail(fault, command, "not built yet");
    return Cli_fail(fault);
}
