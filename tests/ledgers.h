// The ledgers of the tests: an SQLite file in a scratch folder, or a new
// database on the throwaway PostgreSQL server that CTest starts for them
// (tests/pg_server), read with the server's own client, psql.
#pragma once

#include "harness.h"

#include <string>
#include <sys/types.h>
#include <vector>

struct Pg_server {
    std::string dir; // its Unix socket's folder
    std::string bin; // initdb, pg_ctl, psql
};

// The server that tests/pg_server started with file; empty when there is none.
Pg_server Pg_find(const std::string &file);

// The server that CTest started for the tests.
Pg_server Pg_test_server();

// A new database on server; its name.
std::string Pg_database(const Pg_server &server);

// The URI of database on server for role.
std::string Pg_uri(const Pg_server &server, const std::string &database, const std::string &role = "postgres");

// psql running sql on database as role (a URI in place of database needs no
// role); its rows with columns joined by '|', NULL for NULL.
Program_result Pg_run(const Pg_server &server, const std::string &database, const std::string &sql,
                      const std::string &role = "postgres");

// tests/pg_server run with args, its output discarded; its exit status.
int Pg_server_script(const std::vector<std::string> &args);

// Polls sql on database until it gives rows; false after 60 seconds.
bool Wait_until(const Pg_server &server, const std::string &database, const std::string &sql, const std::string &rows);

// Starts a program (args[0], its path), its standard input /dev/null, its
// standard error into errPath and its output into outPath; its process id.
pid_t Start(std::vector<std::string> args, const std::string &errPath, const std::string &outPath = "/dev/null");

// The exit status of pid, or -1 when it did not exit.
int Wait_for(pid_t pid);

enum Backend { BACKEND_SQLITE, BACKEND_SERVER };

struct Test_ledger {
    Backend backend;
    std::string where; // what -l takes
    Pg_server server;
    std::string database;
};

// A new ledger of backend: SQLite's file in dir, or a database on the test
// server; where is empty, and the test has failed, when there is no server.
Test_ledger New_ledger(Backend backend, const std::string &dir);

// The rows of sql on the ledger, as Pg_run gives them.
std::string Ledger_rows(const Test_ledger &ledger, const std::string &sql);

// A name for test parameters.
const char *Backend_name(Backend backend);
