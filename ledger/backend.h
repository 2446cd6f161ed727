// The seam behind the ledger: a struct of operations that a backend fills
// in, each slot by name, chosen when the ledger is opened. Only the ledger's
// own files include this; the programs see ledger.h alone.
//
// Every operation but open and close works on an opened ledger, and returns
// true when it worked, or false with the ledger's error set to what went
// wrong, in the backend's own words (ledger.cpp names the ledger before
// them). What each one does beyond that is said in ledger.h, under the
// function of the same name.
#pragma once

#include "layout.h"
#include "ledger.h"
#include "query.h"

#include <functional>

// One row of a query, each column as text; NULL has no data.
using Ledger_row = std::vector<std::string_view>;
using Ledger_take = std::function<bool(const Ledger_row &)>;

struct Ledger_ops {
    // Opens the ledger that where names (a file, made when create allows,
    // or a connection to a server) and sets state and name; the tables are
    // not looked at yet. Whether it worked or not, close is called later.
    bool (*open)(Ledger &ledger, const char *where, bool create);

    // Frees state, whatever open left there; the database rolls back a
    // transaction that is still open.
    void (*close)(Ledger &ledger);

    // The layout that the tables have: 0 when there are none. False when
    // the database holds tables, but not a ledger's.
    bool (*layout)(Ledger &ledger, int &layout);

    // Runs sql, statements that return no rows (a step of the layout).
    bool (*exec)(Ledger &ledger, const char *sql);

    // How the backend spells the words that the layout's statements leave open.
    const Layout_dialect *dialect;

    // Starts a transaction that holds the issuing lock (Ledger_begin), the
    // lock under which the layout is changed too.
    bool (*begin)(Ledger &ledger);

    // Commits or rolls back the transaction; a commit that the database
    // turned into a rollback is a failure.
    bool (*end)(Ledger &ledger, bool commit);

    // Starts the issuing transaction, with *held saying whether it holds
    // the issuing lock already (Ledger_start).
    bool (*start)(Ledger &ledger, bool *held);

    // Takes the issuing lock within a transaction that start began without
    // it (Ledger_hold).
    bool (*hold)(Ledger &ledger);

    // For each address, the batch that issued it, or 0 (Ledger_issuers).
    bool (*issuers)(Ledger &ledger, const std::vector<Mac_address> &macs, std::vector<long long> &batches);

    // The lowest free aligned runs of a range (Ledger_free), each backend's
    // in one function that hands Free_blocked what is not free.
    bool (*free)(Ledger &ledger, Mac_range range, std::size_t need, std::size_t run,
                 const std::unordered_set<std::uint64_t> &taken, std::vector<Mac_address> &out);

    // For each serial, the earliest batch and address that recorded it
    // (Ledger_serials).
    bool (*serials)(Ledger &ledger, const std::vector<std::string_view> &serials,
                    std::vector<Ledger_holder> &holders, long long except);

    // Records a batch and its addresses; an address issued meanwhile sets
    // taken (Ledger_issue).
    bool (*issue)(Ledger &ledger, const Ledger_batch &batch, const std::vector<Ledger_address> &addresses,
                  long long *id);

    // Marks a batch finished (Ledger_finish).
    bool (*finish)(Ledger &ledger, long long id, const std::string &finished);

    // Reads a batch and its addresses back (Ledger_read).
    bool (*read)(Ledger &ledger, long long id, Ledger_batch &batch, std::vector<Ledger_issued> &addresses);

    // Starts the transaction of one claim or read-back, holding the lock
    // of the address (Ledger_beginClaim).
    bool (*beginClaim)(Ledger &ledger, Mac_address mac);

    // What the ledger holds of an address, with its claims and the
    // session's login (Ledger_lookup).
    bool (*lookup)(Ledger &ledger, Mac_address mac, Ledger_record &record);

    // Adds a claim (Ledger_addClaim).
    bool (*addClaim)(Ledger &ledger, Mac_address mac, const Ledger_claim &claim, long long *id);

    // Adds the read-back of a claim (Ledger_checkClaim).
    bool (*checkClaim)(Ledger &ledger, long long id, const Ledger_claim &result);

    // Hands each row of sql to take, every column as text (NULL: a view
    // whose data is null), until take returns false or the rows end. Null
    // on the null ledger, which holds no rows (chain.cpp).
    bool (*rows)(Ledger &ledger, const std::string &sql, const Ledger_take &take);

    // Runs sql, a statement that returns no rows, with params as $1, $2...
    // in the order they first appear (nullptr for NULL).
    bool (*put)(Ledger &ledger, const std::string &sql, const std::vector<const char *> &params);

    // Takes, within a transaction, the lock of mac that a claim of its image
    // holds (beginClaim), so that a void or release and a station's claim of
    // one address wait for each other.
    bool (*lockAddress)(Ledger &ledger, Mac_address mac);

    // Runs query (a SELECT in the SQL that every backend reads alike, its
    // parameters $1, $2, ... bound to params as text) and hands each row to
    // take, until take returns false or the rows end (Ledger_find,
    // Ledger_counts, Ledger_export). With many, the rows are fetched a chunk
    // at a time, so that memory stays flat however many there are (every
    // address); without, they come at once (a server's one round trip).
    bool (*query)(Ledger &ledger, const char *query, const std::vector<std::string> &params,
                  const Query_take &take, bool many);
};

// The search for free runs that both backends share (free.cpp): fed the
// stretches first..last of the range that are not free (each issued
// address; a further exclusion is a further stretch), by first ascending and
// possibly overlapping, it adds to out the first address of each run of run
// addresses, aligned to run, that none of them touches and that holds no
// address of taken, lowest first, until need are found.
struct Free_search {
    Mac_range range;
    std::size_t need;
    std::size_t run;
    const std::unordered_set<std::uint64_t> *taken;
    std::vector<Mac_address> *out;
    std::uint64_t next; // the lowest address not yet passed over
};

Free_search Free_start(Mac_range range, std::size_t need, std::size_t run,
                       const std::unordered_set<std::uint64_t> &taken, std::vector<Mac_address> &out);

// Passes over the stretch first..last; false once no more runs are needed
// or the range has no more (the backend stops reading then).
bool Free_blocked(Free_search &search, std::uint64_t first, std::uint64_t last);

// The runs above the last stretch, to the range's end.
void Free_end(Free_search &search);

struct Ledger {
    const Ledger_ops *ops;
    void *state;       // the backend's own, which its close frees
    std::string name;  // as messages print it
    std::string error; // what the last failed operation said
    bool taken;        // the last failed issue met an address issued meanwhile
    bool password;     // where holds a password, which anyone on the machine sees (ps)
    long long unchained; // the batch issued in this transaction, chained at its commit; 0 for none
    bool unsynced;       // a new file that no one sees yet: its writes are synced once, whole, by its maker
};

// Opens a new ledger file at path, which no other program sees until its
// maker gives it its name: its transactions are not synced one by one, and
// the maker syncs the file once, closed, before it names it.
bool Ledger_make(const char *path, Ledger_ptr &owner, Fault &fault);

// The SQLite backend: a file path.
extern const Ledger_ops LEDGER_SQLITE;

// The PostgreSQL backend: a connection URI.
extern const Ledger_ops LEDGER_POSTGRES;
