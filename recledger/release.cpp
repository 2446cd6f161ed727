#include "recledger.h"

int Release_run(const Options &options)
{
    (void)options;
    return Recledger_notBuilt("release");
}
