// The PostgreSQL backend: the connection, how statements run, and the
// transactions and their locks. The tables are those of every backend
// (layout.cpp), made on first use.
//
// Locks, all held until the transaction ends, so that a run that dies lets
// go with its connection:
// - issuing takes one advisory lock of the database (ISSUE_LOCK): with
//   Ledger_begin, the checks and the issue of one run see every address
//   issued before, and none is issued meanwhile; with Ledger_start, only the
//   last checks and the commit hold it, and the unique address refuses one
//   that another run issued while this one copied its own; changing the
//   layout takes it too;
// - a claim or read-back takes an advisory lock of its address alone
//   (postgres_claim.cpp), so that stations wait only for those that take
//   the same image.
// A run waits for a lock up to LEDGER_WAIT_MS (lock_timeout), then fails.
#include "chain.h"
#include "library.h"
#include "postgres.h"

#include <cstdlib>
#include <errno.h>
#include <new>

namespace postgres {

namespace {

constexpr long long ISSUE_LOCK = 0x7a6f6c6c6564; // "zolled"

bool Open(Ledger &ledger, const char *where, bool)
{
    auto *server = new (std::nothrow) Server{};
    ledger.state = server;
    if (server == nullptr) {
        ledger.name = "";
        ledger.error = "out of memory";
        return false;
    }
    // Before the URI is read: libpq reads it. Its name is not shown then,
    // as a password in it would be.
    if (Fault fault{}; !Library_load(LIBPQ_SONAME, fault)) {
        ledger.name = "";
        ledger.error = fault.why;
        return false;
    }
    ledger.name = Uri_named(where, server->hidden, ledger.password);
    // The program's name shows in the server's list of sessions.
    const char *keys[] = {"dbname", "fallback_application_name", nullptr};
    const char *values[] = {where, program_invocation_short_name, nullptr};
    server->conn.reset(PQconnectdbParams(keys, values, 1));
    if (PQstatus(server->conn.get()) != CONNECTION_OK)
        return Fail(ledger);
    PQsetNoticeProcessor(server->conn.get(), [](void *, const char *) {}, nullptr);
    // Times read as text (query.cpp) in UTC, in ISO's order; the others are
    // spelt out whatever the session's zone (Chain_text).
    return Exec(ledger, ("SET lock_timeout = " + std::to_string(LEDGER_WAIT_MS) +
                         "; SET TimeZone = 'UTC'; SET DateStyle = 'ISO'")
                            .c_str());
}

void Close(Ledger &ledger)
{
    delete static_cast<Server *>(ledger.state); // the server rolls back an open transaction
    ledger.state = nullptr;
}

bool Begin(Ledger &ledger)
{
    return Exec(ledger, ("BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(ISSUE_LOCK) + ")").c_str());
}

// Without the issuing lock: runs on other lines go on meanwhile, and the
// unique address refuses one that another run issued first.
bool Start(Ledger &ledger, bool *held)
{
    *held = false;
    return Exec(ledger, "BEGIN");
}

bool Hold(Ledger &ledger)
{
    return Exec(ledger, ("SELECT pg_advisory_xact_lock(" + std::to_string(ISSUE_LOCK) + ")").c_str());
}

bool End(Ledger &ledger, bool commit)
{
    Result result = Run(ledger, commit ? "COMMIT" : "ROLLBACK", {}, PGRES_COMMAND_OK);
    if (result == nullptr)
        return false;
    // A transaction that an error ended answers COMMIT with ROLLBACK.
    if (commit && std::string_view(PQcmdStatus(result.get())) != "COMMIT") {
        ledger.error = "the transaction was rolled back";
        return false;
    }
    return true;
}

} // namespace

PGconn *Conn(Ledger &ledger)
{
    return static_cast<Server *>(ledger.state)->conn.get();
}

bool Fail(Ledger &ledger, const PGresult *result)
{
    const auto *server = static_cast<const Server *>(ledger.state);
    const char *primary = result != nullptr ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    if (primary == nullptr && result != nullptr && *PQresultErrorMessage(result) != '\0')
        primary = PQresultErrorMessage(result);
    std::string text = primary != nullptr ? primary : server->conn != nullptr ? PQerrorMessage(server->conn.get()) : "";
    text = text.substr(0, text.find('\n'));
    for (const char *level : {"FATAL:  ", "ERROR:  "})
        if (std::size_t at = text.find(level); at != std::string::npos)
            text.erase(at, std::char_traits<char>::length(level));
    Uri_hide(text, server->hidden);
    ledger.error = text.empty() ? "the server did not answer" : text;
    // An address that another run issued first (unique_violation), or that
    // two runs issue at once in different orders (deadlock_detected).
    const char *state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    ledger.taken = state != nullptr && (std::string_view(state) == "23505" || std::string_view(state) == "40P01");
    return false;
}

Result Run(Ledger &ledger, const char *sql, std::initializer_list<const char *> params, ExecStatusType want)
{
    Result result{PQexecParams(Conn(ledger), sql, static_cast<int>(params.size()), nullptr, std::data(params), nullptr,
                               nullptr, 0),
                  PQclear};
    if (PQresultStatus(result.get()) == want)
        return result;
    Fail(ledger, result.get());
    return Result{nullptr, PQclear};
}

bool Exec(Ledger &ledger, const char *sql)
{
    Result result{PQexec(Conn(ledger), sql), PQclear};
    ExecStatusType status = PQresultStatus(result.get());
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || Fail(ledger, result.get());
}

Result Run_all(Ledger &ledger, const char *sql)
{
    Result result{PQexec(Conn(ledger), sql), PQclear};
    if (PQresultStatus(result.get()) == PGRES_TUPLES_OK)
        return result;
    Fail(ledger, result.get());
    return Result{nullptr, PQclear};
}

long long Number(const char *text)
{
    return std::strtoll(text, nullptr, 10);
}

std::string Text(const PGresult *result, int row, int column)
{
    return PQgetisnull(result, row, column) ? std::string() : PQgetvalue(result, row, column);
}

std::string Hex(Mac_address mac)
{
    return Mac_hex(mac).data();
}

bool Rows(Ledger &ledger, const std::string &sql, const Ledger_take &take)
{
    Ledger_row row;
    return Each_row(ledger, sql, [&](const PGresult *chunk, int at) {
        int columns = PQnfields(chunk);
        row.resize(static_cast<std::size_t>(columns));
        for (int i = 0; i < columns; ++i)
            row[static_cast<std::size_t>(i)] =
                PQgetisnull(chunk, at, i) ? std::string_view()
                                          : std::string_view(PQgetvalue(chunk, at, i),
                                                             static_cast<std::size_t>(PQgetlength(chunk, at, i)));
        return take(row);
    });
}

bool Put(Ledger &ledger, const std::string &sql, const std::vector<const char *> &params)
{
    Result result{PQexecParams(Conn(ledger), sql.c_str(), static_cast<int>(params.size()), nullptr, params.data(),
                               nullptr, nullptr, 0),
                  PQclear};
    return PQresultStatus(result.get()) == PGRES_COMMAND_OK || Fail(ledger, result.get());
}

} // namespace postgres

const Ledger_ops LEDGER_POSTGRES{
    .open = postgres::Open,
    .close = postgres::Close,
    .layout = postgres::Layout,
    .exec = postgres::Exec,
    .dialect = &postgres::DIALECT,
    .begin = postgres::Begin,
    .end = postgres::End,
    .start = postgres::Start,
    .hold = postgres::Hold,
    .issuers = postgres::Issuers,
    .free = postgres::Free,
    .serials = postgres::Serials,
    .issue = postgres::Issue,
    .finish = Chain_finish,
    .read = postgres::Read,
    .beginClaim = postgres::Begin_claim,
    .lookup = postgres::Lookup,
    .addClaim = Chain_addClaim,
    .checkClaim = Chain_checkClaim,
    .rows = postgres::Rows,
    .put = postgres::Put,
    .lockAddress = postgres::Lock_address,
    .query = postgres::Query,
};
