// The ledger's layout, described once for every backend. Each step from one
// layout to the next is a list of statements in plain SQL, in which a few
// words are left for each backend's dialect to spell (${INT}, ...); a
// statement that only one backend needs says which. A new ledger is made by
// every step from the first; an older one is brought up to date by the
// steps after its layout, in place, in one transaction.
#pragma once

#include <span>

struct Ledger;

enum Layout_backend : unsigned {
    LAYOUT_FILE = 1,   // the SQLite backend
    LAYOUT_SERVER = 2, // the PostgreSQL backend
    LAYOUT_BOTH = LAYOUT_FILE | LAYOUT_SERVER,
};

// A word that the statements leave open, and how a backend spells it.
struct Layout_word {
    const char *name; // as the statements write it: "${INT}"
    const char *text;
};

struct Layout_dialect {
    Layout_backend backend;
    std::span<const Layout_word> words;
};

// Brings the opened ledger to LEDGER_SCHEMA_VERSION: makes its tables when
// it has none and create allows, or takes it through every step after its
// layout, under the issuing lock so that runs that open it at once change
// it once. False with the ledger's error set: no ledger and !create, a
// layout newer than this program's, or a step that failed (nothing of it
// is kept).
bool Layout_bring(Ledger &ledger, bool create);
