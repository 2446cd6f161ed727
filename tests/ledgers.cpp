#include "ledgers.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

Pg_server Pg_find(const std::string &file)
{
    std::string text = Read_file(file);
    std::size_t end = text.find('\n');
    if (end == std::string::npos || text.find('\n', end + 1) == std::string::npos) {
        ADD_FAILURE() << "no test server in " << file << ": run the tests with ctest, which starts it";
        return {};
    }
    return {text.substr(0, end), text.substr(end + 1, text.find('\n', end + 1) - end - 1)};
}

Program_result Pg_run(const Pg_server &server, const std::string &database, const std::string &sql,
                      const std::string &role)
{
    static const std::string dir = Scratch_dir();
    // From a file, each statement is its own transaction, as typed at psql's prompt.
    Write_file(dir + "/sql", sql);
    std::vector<std::string> args{"-X", "-q", "-A", "-t", "-P", "null=NULL", "-v", "ON_ERROR_STOP=1", "-f", dir + "/sql"};
    if (database.find("://") != std::string::npos)
        args.insert(args.begin(), {"-d", database});
    else
        args.insert(args.begin(), {"-h", server.dir, "-U", role, "-d", database});
    return Run_program(server.bin + "/psql", args, dir);
}

int Pg_server_script(const std::vector<std::string> &args)
{
    std::string command = "'" PG_SERVER_SCRIPT "'";
    for (const std::string &arg : args)
        command += " '" + std::regex_replace(arg, std::regex("'"), "'\\''") + "'";
    return std::system((command + " >/dev/null").c_str());
}

bool Wait_until(const Pg_server &server, const std::string &database, const std::string &sql, const std::string &rows)
{
    auto start = std::chrono::steady_clock::now();
    while (Pg_run(server, database, sql).out != rows)
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(60))
            return false;
    return true;
}

pid_t Start(std::vector<std::string> args, const std::string &errPath, const std::string &outPath)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int Wait_for(pid_t pid)
{
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Pg_server Pg_test_server()
{
    return Pg_find(PG_SERVER_FILE);
}

std::string Pg_database(const Pg_server &server)
{
    static std::atomic<int> made{0};
    std::string name = std::to_string(getpid()); // g++ 12 -O3 warns of "t" + a temporary string
    name = "t" + name + "_" + std::to_string(made++);
    Program_result made_it = Pg_run(server, "postgres", "CREATE DATABASE " + name);
    EXPECT_EQ(made_it.status, 0) << made_it.err;
    return name;
}

std::string Pg_uri(const Pg_server &server, const std::string &database, const std::string &role)
{
    return "postgresql://" + role + "@/" + database + "?host=" + server.dir;
}

Test_ledger New_ledger(Backend backend, const std::string &dir)
{
    if (backend == BACKEND_SQLITE)
        return {backend, dir + "/ledger.db", {}, {}};
    Pg_server server = Pg_test_server();
    if (server.dir.empty())
        return {backend, "", {}, {}};
    std::string database = Pg_database(server);
    return {backend, Pg_uri(server, database), server, database};
}

std::string Ledger_rows(const Test_ledger &ledger, const std::string &sql)
{
    if (ledger.backend == BACKEND_SERVER) // a time as a file holds it: 2026-01-01T00:00:00Z
        return std::regex_replace(Pg_run(ledger.server, ledger.database, "SET TIME ZONE 'UTC';" + sql).out,
                                  std::regex("([0-9]{4}-[0-9]{2}-[0-9]{2}) ([0-9]{2}:[0-9]{2}:[0-9]{2})\\+00"), "$1T$2Z");
    sqlite3 *db = nullptr;
    std::string out;
    if (sqlite3_open_v2(ledger.where.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 10000);
        sqlite3_exec(
            db, sql.c_str(),
            [](void *text, int n, char **values, char **) {
                auto *s = static_cast<std::string *>(text);
                for (int i = 0; i < n; ++i) {
                    if (i > 0)
                        *s += '|';
                    *s += values[i] != nullptr ? values[i] : "NULL";
                }
                *s += "\n";
                return 0;
            },
            &out, nullptr);
    }
    sqlite3_close(db);
    return out;
}

const char *Backend_name(Backend backend)
{
    return backend == BACKEND_SQLITE ? "sqlite" : "server";
}
