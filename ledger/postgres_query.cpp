// What a person asks of a ledger on a server (query.cpp): a query's rows
// through a cursor, FETCH_ROWS at a time, so that an export of every
// address holds one chunk at once. Times are read in UTC, in ISO's order. A
// query may run within another's rows (export asks for an address's voids),
// with a cursor of its own.
#include "postgres.h"

namespace postgres {

namespace {

int depth = 0; // of the queries that run within another's rows, each its own cursor

} // namespace

bool Query(Ledger &ledger, const char *query, const std::vector<std::string> &params, const Query_take &take)
{
    std::string cursor = "ledger_query" + std::to_string(depth);
    bool own = PQtransactionStatus(Conn(ledger)) == PQTRANS_IDLE;
    if (!Exec(ledger, own ? "BEGIN ISOLATION LEVEL REPEATABLE READ; SET LOCAL TimeZone = 'UTC';"
                            " SET LOCAL DateStyle = 'ISO'"
                          : "SET LOCAL TimeZone = 'UTC'; SET LOCAL DateStyle = 'ISO'"))
        return false;
    std::vector<const char *> values;
    for (const std::string &param : params)
        values.push_back(param.c_str());
    std::string declare = "DECLARE " + cursor + " NO SCROLL CURSOR FOR " + query;
    Result declared{PQexecParams(Conn(ledger), declare.c_str(), static_cast<int>(values.size()), nullptr,
                                 values.data(), nullptr, nullptr, 0),
                    PQclear};
    bool ok = PQresultStatus(declared.get()) == PGRES_COMMAND_OK || Fail(ledger, declared.get());
    Query_row row;
    for (bool more = ok; more;) {
        Result chunk = Run(ledger, ("FETCH " + std::to_string(FETCH_ROWS) + " FROM " + cursor).c_str(), {});
        ok = more = chunk != nullptr;
        int rows = ok ? PQntuples(chunk.get()) : 0;
        row.columns.resize(ok ? static_cast<std::size_t>(PQnfields(chunk.get())) : 0);
        for (int at = 0; at < rows && more; ++at) {
            for (std::size_t i = 0; i < row.columns.size(); ++i)
                row.columns[i] = PQgetisnull(chunk.get(), at, static_cast<int>(i))
                                     ? nullptr
                                     : PQgetvalue(chunk.get(), at, static_cast<int>(i));
            ++depth;
            more = take(row);
            --depth;
        }
        more = more && rows == FETCH_ROWS;
    }
    ok = ok && Exec(ledger, ("CLOSE " + cursor).c_str());
    if (own) {
        std::string error = ledger.error;
        ok = Exec(ledger, ok ? "COMMIT" : "ROLLBACK") && ok;
        if (!ok && !error.empty())
            ledger.error = error;
    }
    return ok;
}

} // namespace postgres
