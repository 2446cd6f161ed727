// What a person asks of a ledger on a server (query.cpp). A query of few
// rows (a find's, a report's counts) runs as one statement, one round trip;
// one of many (every address, every row of the chain) through a cursor,
// STREAM_ROWS at a time, so that it holds two chunks at once, in a
// transaction of its own that the queries run within its rows (an export's
// voids and releases) share. The next chunk is asked for before the rows of
// one are handed on, so that the server makes it meanwhile. Times are read
// in UTC, in ISO's order (the session's, set at Open).
#include "postgres.h"

namespace postgres {

namespace {

// Rows a chunk: two are held at once, the one handed on and the next.
constexpr int STREAM_ROWS = 16384;

// A FETCH sent and not yet answered: the connection runs nothing else
// until its answer is taken (Settle).
struct Fetching {
    PGconn *conn = nullptr; // whose answer is awaited; null for none
    Result next{nullptr, PQclear};
};
Fetching fetching;

// Takes the answer to the FETCH in flight, if one is, into fetching.next.
void Settle()
{
    if (fetching.conn == nullptr)
        return;
    fetching.next.reset(PQgetResult(fetching.conn));
    while (PGresult *more = PQgetResult(fetching.conn))
        PQclear(more);
    fetching.conn = nullptr;
}

// Hands each row of a result to take; false once take does.
bool Hand(const PGresult *result, Query_row &row, const Query_take &take)
{
    int rows = PQntuples(result);
    row.columns.resize(static_cast<std::size_t>(PQnfields(result)));
    row.lengths.resize(row.columns.size());
    bool more = true;
    for (int at = 0; at < rows && more; ++at) {
        for (std::size_t i = 0; i < row.columns.size(); ++i) {
            int column = static_cast<int>(i);
            row.columns[i] = PQgetisnull(result, at, column) ? nullptr : PQgetvalue(result, at, column);
            row.lengths[i] = static_cast<std::size_t>(PQgetlength(result, at, column));
        }
        more = take(row);
    }
    return more;
}

Result Run_params(Ledger &ledger, const std::string &sql, const std::vector<std::string> &params, ExecStatusType want)
{
    std::vector<const char *> values;
    for (const std::string &param : params)
        values.push_back(param.c_str());
    Result result{PQexecParams(Conn(ledger), sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                               nullptr, nullptr, 0),
                  PQclear};
    if (PQresultStatus(result.get()) == want)
        return result;
    Fail(ledger, result.get());
    return Result{nullptr, PQclear};
}

// Hands each row of the cursor's chunks to take, asking for the next chunk
// before handing on the rows of one.
bool Fetch_all(Ledger &ledger, const Query_take &take)
{
    std::string fetch = "FETCH " + std::to_string(STREAM_ROWS) + " FROM ledger_query";
    Result chunk = Run(ledger, fetch.c_str(), {});
    Query_row row;
    while (chunk != nullptr) {
        bool last = PQntuples(chunk.get()) < STREAM_ROWS;
        fetching.next.reset();
        if (!last && PQsendQuery(Conn(ledger), fetch.c_str()) != 1)
            return Fail(ledger);
        fetching.conn = last ? nullptr : Conn(ledger);
        bool more = Hand(chunk.get(), row, take);
        Settle();
        if (last || !more)
            return true;
        chunk = std::move(fetching.next);
        if (PQresultStatus(chunk.get()) != PGRES_TUPLES_OK)
            return Fail(ledger, chunk.get());
    }
    return false;
}

// How a stream's cursor is planned. Every row of it is read, so the plan
// that makes them all soonest is wanted, not the one whose first rows come
// soonest (a cursor's default): an export's claims are then joined to
// their read-backs in one merge and sorted by address once, not looked up
// one by one (a third less of the server's processor time on a million
// addresses). JIT compiling pays for itself on few rows of much work, not
// on a stream.
constexpr char STREAM_PLAN[] = "SET LOCAL jit = off; SET LOCAL cursor_tuple_fraction = 1";

// The rows through a cursor.
bool Stream(Ledger &ledger, const char *query, const std::vector<std::string> &params, const Query_take &take)
{
    bool own = PQtransactionStatus(Conn(ledger)) == PQTRANS_IDLE;
    if ((own && !Exec(ledger, "BEGIN ISOLATION LEVEL REPEATABLE READ")) || !Exec(ledger, STREAM_PLAN))
        return false;
    bool ok = Run_params(ledger, std::string("DECLARE ledger_query NO SCROLL CURSOR FOR ") + query, params,
                         PGRES_COMMAND_OK) != nullptr &&
              Fetch_all(ledger, take) && Exec(ledger, "CLOSE ledger_query");
    if (own) {
        std::string error = ledger.error;
        ok = Exec(ledger, ok ? "COMMIT" : "ROLLBACK") && ok;
        if (!ok && !error.empty())
            ledger.error = error;
    }
    return ok;
}

} // namespace

bool Query(Ledger &ledger, const char *query, const std::vector<std::string> &params, const Query_take &take, bool many)
{
    if (many)
        return Stream(ledger, query, params, take);
    Settle(); // a query within a stream's rows
    Result result = Run_params(ledger, query, params, PGRES_TUPLES_OK);
    if (result == nullptr)
        return false;
    Query_row row;
    Hand(result.get(), row, take); // whether take stopped them or they ended
    return true;
}

} // namespace postgres
