#include "recledger.h"

int Verify_run(const Options &options)
{
    (void)options;
    return Recledger_notBuilt("verify");
}
