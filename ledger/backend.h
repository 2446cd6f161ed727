// The seam behind the ledger: a struct of operations that a backend fills
// in, chosen when the ledger is opened. Only ledger.cpp and the backends'
// own files include this; the programs see ledger.h alone.
#pragma once

#include "ledger.h"

struct Ledger_ops {
    // Takes where and sets up the backend's state, making the tables when
    // create allows; false with the error set.
    bool (*open)(Ledger &ledger, const char *where, bool create);
    // Frees the state; an open transaction is rolled back.
    void (*close)(Ledger &ledger);
    bool (*begin)(Ledger &ledger);
    bool (*end)(Ledger &ledger, bool commit);
    bool (*start)(Ledger &ledger, bool *held);
    bool (*hold)(Ledger &ledger);
    bool (*issuers)(Ledger &ledger, const std::vector<Mac_address> &macs, std::vector<long long> &batches);
    bool (*free)(Ledger &ledger, Mac_range range, std::size_t need, const std::unordered_set<std::uint64_t> &taken,
                 std::vector<Mac_address> &out);
    bool (*serials)(Ledger &ledger, const std::vector<std::string_view> &serials,
                    std::vector<Ledger_holder> &holders, long long except);
    bool (*issue)(Ledger &ledger, const Ledger_batch &batch, const std::vector<Ledger_address> &addresses,
                  long long *id);
    bool (*finish)(Ledger &ledger, long long id, const std::string &finished);
    bool (*read)(Ledger &ledger, long long id, Ledger_batch &batch, std::vector<Ledger_issued> &addresses);
    bool (*beginClaim)(Ledger &ledger, Mac_address mac);
    bool (*lookup)(Ledger &ledger, Mac_address mac, Ledger_record &record);
    bool (*addClaim)(Ledger &ledger, Mac_address mac, const Ledger_claim &claim, long long *id);
    bool (*checkClaim)(Ledger &ledger, long long id, const Ledger_claim &result);
};

struct Ledger {
    const Ledger_ops *ops;
    void *state;       // the backend's own
    std::string name;  // as messages print it
    std::string error; // what the last failed operation said
    bool taken;        // the last failed issue met an address issued meanwhile
};

// The SQLite backend: a file path.
extern const Ledger_ops LEDGER_SQLITE;

// The PostgreSQL backend: a connection URI.
extern const Ledger_ops LEDGER_POSTGRES;
