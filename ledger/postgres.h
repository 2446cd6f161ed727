// The PostgreSQL backend's own header, for its files alone: the ledger is a
// database on a server, named by a connection URI, that the lines and
// stations of a factory share. Its concerns, a file each:
//
//   postgres.cpp         the connection, running statements, transactions
//                        and locks, and the table of operations
//   postgres_uri.cpp     the URI as messages name it, without its password
//   postgres_layout.cpp  the layout that a database holds, and the dialect
//   postgres_issue.cpp   issuing addresses and reading batches back
//   postgres_claim.cpp   the stations' claims and read-backs
//
// The connection and every result are held by owners, which free them on
// every path; no function frees a handle that it was passed.
#pragma once

#include "backend.h"

#include <initializer_list>
#include <iterator>
#include <libpq-fe.h>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The client library, loaded when a ledger on a server is first opened
// (libpq.cpp).
inline constexpr char LIBPQ_SONAME[] = "libpq.so.5";

namespace postgres {

using Connection = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// The state of an open ledger.
struct Server {
    Connection conn{nullptr, PQfinish};
    std::vector<std::string> hidden; // what of the URI no message shows (passwords), as given
};

constexpr int FETCH_ROWS = 65536;
constexpr const char *ELIDED = "***";

PGconn *Conn(Ledger &ledger);

// ---- the URI (postgres_uri.cpp)

// The URI as messages name it. The password of its user part and of its
// password= parameters is ELIDED, and when the client library would not
// read the URI as it was meant (an '@' past the user part, or a URI that
// does not parse), everything between "://" and its last '@'. What is
// elided goes into hidden, with the pieces of a part that the library may
// have read otherwise; password says whether the URI holds a password.
std::string Uri_named(const char *uri, std::vector<std::string> &hidden, bool &password);

// Every occurrence in text of what hidden holds, as given or %-decoded,
// replaced by ELIDED.
void Uri_hide(std::string &text, const std::vector<std::string> &hidden);

// ---- talking to the server (postgres.cpp)

// Keeps the first line of the server's or the library's message about
// result (the connection's when it is null), without what the URI hides,
// and fails.
bool Fail(Ledger &ledger, const PGresult *result = nullptr);

// Runs sql with its parameters (nullptr for NULL); its result when the
// status is want, else null with the error kept.
Result Run(Ledger &ledger, const char *sql, std::initializer_list<const char *> params,
           ExecStatusType want = PGRES_TUPLES_OK);

// Runs statements that return no rows, or whose rows do not matter.
bool Exec(Ledger &ledger, const char *sql);

// Runs statements sent in one message; the rows of the last, or null with
// the error kept when one fails.
Result Run_all(Ledger &ledger, const char *sql);

long long Number(const char *text);

// A text column; empty for NULL.
std::string Text(const PGresult *result, int row, int column);

std::string Hex(Mac_address mac);

// Hands each row of query to take, FETCH_ROWS rows at a time through a
// cursor, until take returns false or the rows end; within a transaction
// of its own when none is open. The cursor is opened and first read in one
// message, and closed with the transaction's end.
template <class Take> bool Each_row(Ledger &ledger, const std::string &query, Take take)
{
    bool own = PQtransactionStatus(Conn(ledger)) == PQTRANS_IDLE;
    std::string fetch = "FETCH " + std::to_string(FETCH_ROWS) + " FROM ledger_rows";
    Result chunk = Run_all(ledger, ((own ? "BEGIN; " : "") + ("DECLARE ledger_rows NO SCROLL CURSOR FOR " + query) +
                                    "; " + fetch)
                                       .c_str());
    bool ok = chunk != nullptr;
    for (bool more = ok; more;) {
        int rows = PQntuples(chunk.get());
        for (int row = 0; row < rows && more; ++row)
            more = take(chunk.get(), row);
        if (more && rows == FETCH_ROWS) {
            chunk = Run(ledger, fetch.c_str(), {});
            ok = more = chunk != nullptr;
        } else {
            more = false;
        }
    }
    if (own)
        return Exec(ledger, ok ? "CLOSE ledger_rows; COMMIT" : "ROLLBACK") && ok;
    return ok && Exec(ledger, "CLOSE ledger_rows");
}

// A text[] literal of the texts, each quoted.
template <class Texts> std::string Array_of(const Texts &texts)
{
    std::string array = "{";
    for (const auto &text : texts) {
        if (array.size() > 1)
            array.push_back(',');
        array.push_back('"');
        for (char c : std::string_view(text)) {
            if (c == '"' || c == '\\')
                array.push_back('\\');
            array.push_back(c);
        }
        array.push_back('"');
    }
    return array + "}";
}

// ---- the operations, by concern

bool Layout(Ledger &ledger, int &layout); // postgres_layout.cpp
extern const Layout_dialect DIALECT;

bool Issuers(Ledger &ledger, const std::vector<Mac_address> &macs, std::vector<long long> &batches);
bool Free(Ledger &ledger, Mac_range range, std::size_t need, std::size_t run,
          const std::unordered_set<std::uint64_t> &taken, std::vector<Mac_address> &out);
bool Serials(Ledger &ledger, const std::vector<std::string_view> &serials, std::vector<Ledger_holder> &holders,
             long long except);
bool Issue(Ledger &ledger, const Ledger_batch &batch, const std::vector<Ledger_address> &addresses, long long *id);
bool Read(Ledger &ledger, long long id, Ledger_batch &batch, std::vector<Ledger_issued> &addresses);

bool Begin_claim(Ledger &ledger, Mac_address mac);
bool Lock_address(Ledger &ledger, Mac_address mac);
bool Lookup(Ledger &ledger, Mac_address mac, Ledger_record &record);

bool Query(Ledger &ledger, const char *query, const std::vector<std::string> &params, const Query_take &take,
           bool many); // postgres_query.cpp

} // namespace postgres
