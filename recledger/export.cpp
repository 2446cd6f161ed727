#include "recledger.h"

int Export_run(const Options &options)
{
    (void)options;
    return Recledger_notBuilt("export");
}
