// A ledger opened as the programs open one, into a pointer that the test
// closes itself with Ledger_close, as it chooses when.
#pragma once

#include "ledger.h"

inline bool Open_ledger(const char *where, Ledger **ledger, Fault &fault, bool create = true)
{
    Ledger_ptr owner{nullptr, Ledger_close};
    bool opened = Ledger_open(where, owner, fault, create);
    *ledger = owner.release();
    return opened;
}
