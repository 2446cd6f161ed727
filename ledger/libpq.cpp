// libpq, loaded when a ledger on a server is first opened (library.h):
// a ledger on a file never loads it, nor the libraries it needs in turn
// (most of the time a short run on a file would spend starting).
#include "library.h"
#include "postgres.h"

#define PQ(result, name, parameters, arguments) LIBRARY_FUNCTION(LIBPQ_SONAME, result, name, parameters, arguments)

PQ(PGconn *, PQconnectdbParams, (const char *const *keys, const char *const *values, int expand), (keys, values, expand))
PQ(void, PQfinish, (PGconn * conn), (conn))
PQ(ConnStatusType, PQstatus, (const PGconn *conn), (conn))
PQ(char *, PQerrorMessage, (const PGconn *conn), (conn))
PQ(PGTransactionStatusType, PQtransactionStatus, (const PGconn *conn), (conn))
PQ(PQnoticeProcessor, PQsetNoticeProcessor, (PGconn * conn, PQnoticeProcessor proc, void *arg), (conn, proc, arg))
PQ(PQconninfoOption *, PQconninfoParse, (const char *conninfo, char **error), (conninfo, error))
PQ(void, PQconninfoFree, (PQconninfoOption * options), (options))
PQ(void, PQfreemem, (void *pointer), (pointer))
PQ(PGresult *, PQexec, (PGconn * conn, const char *query), (conn, query))
PQ(PGresult *, PQexecParams,
   (PGconn * conn, const char *command, int n, const Oid *types, const char *const *values, const int *lengths,
    const int *formats, int resultFormat),
   (conn, command, n, types, values, lengths, formats, resultFormat))
PQ(int, PQsendQuery, (PGconn * conn, const char *query), (conn, query))
PQ(PGresult *, PQgetResult, (PGconn * conn), (conn))
PQ(int, PQputCopyData, (PGconn * conn, const char *buffer, int bytes), (conn, buffer, bytes))
PQ(int, PQputCopyEnd, (PGconn * conn, const char *error), (conn, error))
PQ(ExecStatusType, PQresultStatus, (const PGresult *result), (result))
PQ(char *, PQresultErrorMessage, (const PGresult *result), (result))
PQ(char *, PQresultErrorField, (const PGresult *result, int code), (result, code))
PQ(char *, PQcmdStatus, (PGresult * result), (result))
PQ(int, PQntuples, (const PGresult *result), (result))
PQ(int, PQnfields, (const PGresult *result), (result))
PQ(char *, PQgetvalue, (const PGresult *result, int row, int column), (result, row, column))
PQ(int, PQgetlength, (const PGresult *result, int row, int column), (result, row, column))
PQ(int, PQgetisnull, (const PGresult *result, int row, int column), (result, row, column))
PQ(void, PQclear, (PGresult * result), (result))
