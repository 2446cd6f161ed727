#include "recledger.h"

int Void_run(const Options &options)
{
    (void)options;
    return Recledger_notBuilt("void");
}
