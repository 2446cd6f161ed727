// recbatch and recclaim on a server's ledger: the server down or stopped
// under a run, runs at once, a serial recorded while a run waits for the
// issuing lock, a run killed, passwords, and the roles that the README
// gives.
#include "open_ledger.h"
#include "ledgers.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <thread>

namespace {

const std::string BLOCK = "0050c2000000-0050c2ffffff";

TEST(LedgerServer, DownWhenARunStarts)
{
    std::string dir = Scratch_dir();
    std::string uri = "postgresql://postgres@/ledger?host=" + dir + "/gone";
    Program_result run = Run_program(RECBATCH, {"-S", "-l", uri, "-m", BLOCK, "-n", "2", EXAMPLE_SCRIPT, dir + "/out"}, dir);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "recbatch: " + uri + ": connection to server on socket \"" + dir +
                           "/gone/.s.PGSQL.5432\" failed: No such file or directory\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 0) << "no OUTDIR, no hidden folder";
}

// A server of its own, stopped at once while a run waits for the issuing
// lock that this test holds, then while the run holds it and waits for a
// table that this test locked: the run fails, and the server, started
// again, holds no address.
TEST(LedgerServer, StoppedWhileARunWaitsOrHolds)
{
    std::string dir = Scratch_dir();
    ASSERT_EQ(Pg_server_script({"up", dir + "/server", "fsync=off"}), 0);
    Pg_server server = Pg_find(dir + "/server");
    std::string database = Pg_database(server);
    std::string uri = Pg_uri(server, database);
    for (bool holds : {false, true}) {
        Ledger *holder = nullptr;
        Fault fault{};
        pid_t locker = 0;
        if (holds)
            locker = Start({server.bin + "/psql", "-X", "-d", uri, "-c",
                            "BEGIN; LOCK TABLE batch IN SHARE MODE; SELECT pg_sleep(600)"},
                           dir + "/locker.err");
        else
            ASSERT_TRUE(Open_ledger(uri.c_str(), &holder, fault) && Ledger_begin(holder, fault)) << fault.why;
        // The table is locked before the run starts, or the run could issue
        // first and be caught only at its last step.
        if (holds) {
            ASSERT_TRUE(Wait_until(server, database,
                                   "SELECT count(*) FROM pg_locks"
                                   " WHERE relation = 'batch'::regclass AND mode = 'ShareLock' AND granted",
                                   "1\n"));
        }
        pid_t run = Start({RECBATCH, "-S", "-l", uri, "-m", BLOCK, "-n", "100", EXAMPLE_SCRIPT, dir + "/out"}, dir + "/err");
        EXPECT_TRUE(Wait_until(server, database,
                               "SELECT count(*) FROM pg_stat_activity"
                               " WHERE application_name = 'recbatch' AND wait_event_type = 'Lock'",
                               "1\n"));
        ASSERT_EQ(Pg_server_script({"kill", dir + "/server"}), 0);
        EXPECT_EQ(Wait_for(run), 2);
        EXPECT_EQ(Read_file(dir + "/err").rfind("recbatch: " + uri + ": ", 0), 0u) << Read_file(dir + "/err");
        EXPECT_FALSE(File_exists(dir + "/out"));
        Ledger_close(holder);
        if (locker != 0)
            Wait_for(locker);
        ASSERT_EQ(Pg_server_script({"start", dir + "/server"}), 0);
        EXPECT_EQ(Pg_run(server, database, "SELECT count(*) FROM batch; SELECT count(*) FROM address").out, "0\n0\n");
    }
    EXPECT_EQ(Pg_server_script({"down", dir + "/server"}), 0);
}

// Eight runs at once on a new ledger: three on each of two ranges, and two
// whose tables give one address both: every address once, and the second
// of those two refused.
TEST(LedgerServer, EightRunsAtOnce)
{
    std::string dir = Scratch_dir();
    Test_ledger ledger = New_ledger(BACKEND_SERVER, dir);
    ASSERT_FALSE(ledger.where.empty());
    Write_file(dir + "/u7.csv", "mac\n0050c2aa0010\n0050c2aa0011\n");
    Write_file(dir + "/u8.csv", "mac\n0050c2aa0011\n0050c2aa0012\n");
    std::string command;
    for (int run = 1; run <= 8; ++run) {
        std::string units = run <= 3   ? "-m 0050c2100000-0050c21fffff -n 300"
                            : run <= 6 ? "-m 0050c2200000-0050c22fffff -n 300"
                                       : "-u '" + dir + "/u" + std::to_string(run) + ".csv'";
        std::string name = dir + "/" + std::to_string(run);
        command += "('" RECBATCH "' -S -l '" + ledger.where + "' " + units + " '" EXAMPLE_SCRIPT "' '" + name +
                   "' 2>'" + name + ".err'; echo $? >'" + name + ".status') & ";
    }
    ASSERT_EQ(std::system((command + "wait").c_str()), 0);
    std::set<std::string> images;
    std::size_t issued = 0;
    for (int run = 1; run <= 8; ++run) {
        std::string name = dir + "/" + std::to_string(run);
        if (run <= 6) {
            EXPECT_EQ(Read_file(name + ".status"), "0\n") << Read_file(name + ".err");
        }
        if (!File_exists(name))
            continue;
        for (const auto &entry : std::filesystem::directory_iterator(name))
            if (entry.path().extension() == ".bin") {
                images.insert(entry.path().filename());
                ++issued;
            }
    }
    std::string seven = Read_file(dir + "/7.status") + Read_file(dir + "/8.status");
    EXPECT_TRUE(seven == "0\n1\n" || seven == "1\n0\n") << seven;
    std::string refused = Read_file(dir + (seven == "1\n0\n" ? "/7.err" : "/8.err"));
    std::regex expected("recbatch: " + dir + "/u[78].csv:[23]: mac: 00:50:c2:aa:00:11 was issued by batch [0-9]+\n");
    EXPECT_TRUE(std::regex_match(refused, expected)) << refused;
    EXPECT_EQ(images.size(), 6u * 300u + 2u);
    EXPECT_EQ(issued, images.size());
    EXPECT_EQ(Ledger_rows(ledger, "SELECT count(*) FROM address"), std::to_string(images.size()) + "\n");
    Program_result verified = Run_program(RECLEDGER, {"-l", ledger.where, "verify"}, dir);
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_TRUE(std::regex_match(verified.out, std::regex("1816 rows, head [0-9a-f]{64}\n"))) << verified.out;
}

// A serial that another run records while this one waits for the issuing
// lock (held here, its batch not yet committed): the run's last check,
// under the lock, finds it, and nothing is issued.
TEST(LedgerServer, ASerialRecordedWhileARunWaitsForTheLock)
{
    std::string dir = Scratch_dir();
    Test_ledger ledger = New_ledger(BACKEND_SERVER, dir);
    ASSERT_FALSE(ledger.where.empty());
    Ledger *holder = nullptr;
    Fault fault{};
    long long id = 0;
    Ledger_batch batch{"2026-01-01T00:00:00Z", std::string(64, 'e'), "/o", 1, "2.8", false, "", 0, false, {}, "", ""};
    ASSERT_TRUE(Open_ledger(ledger.where.c_str(), &holder, fault) && Ledger_begin(holder, fault) &&
                Ledger_issue(holder, batch, {{{0x0050c2aa0001}, 1, "SN-7", Digest{}}}, &id, fault))
        << fault.why;
    Write_file(dir + "/u.csv", "serial\nSN-7\n");
    pid_t run = Start({RECBATCH, "-S", "-l", ledger.where, "-m", BLOCK, "-u", dir + "/u.csv", EXAMPLE_SCRIPT, dir + "/out"},
                      dir + "/err");
    EXPECT_TRUE(Wait_until(ledger.server, ledger.database,
                           "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'recbatch'"
                           " AND wait_event_type = 'Lock'",
                           "1\n"));
    EXPECT_TRUE(Ledger_end(holder, true, fault)) << fault.why;
    Ledger_close(holder);
    EXPECT_EQ(Wait_for(run), 1);
    EXPECT_EQ(Read_file(dir + "/err"), "recbatch: " + dir + "/u.csv:2: serial: SN-7 was recorded by batch 1 for 00:50:c2:aa:00:01\n");
    EXPECT_FALSE(File_exists(dir + "/out"));
    EXPECT_EQ(Ledger_rows(ledger, "SELECT serial FROM address"), "SN-7\n");
}

// A run killed once it committed leaves no OUTDIR, and its addresses stay
// issued: the next run takes the one after them.
TEST(LedgerServer, ARunKilledAfterItsCommit)
{
    std::string dir = Scratch_dir();
    Test_ledger ledger = New_ledger(BACKEND_SERVER, dir);
    ASSERT_FALSE(ledger.where.empty());
    pid_t run = Start({RECBATCH, "-S", "-l", ledger.where, "-m", BLOCK, "-n", "30000", EXAMPLE_SCRIPT, dir + "/out"},
                      dir + "/err");
    EXPECT_TRUE(Wait_until(ledger.server, ledger.database, "SELECT count(*) FROM batch", "1\n"));
    kill(run, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(run, &status, 0), run);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before it was killed";
    EXPECT_FALSE(File_exists(dir + "/out"));
    EXPECT_EQ(Ledger_rows(ledger, "SELECT count(*) FROM address; SELECT finished FROM batch"), "30000\nNULL\n");
    Program_result again =
        Run_program(RECBATCH, {"-S", "-l", ledger.where, "-m", BLOCK, "-n", "1", EXAMPLE_SCRIPT, dir + "/again"}, dir);
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(File_exists(dir + "/again/0050c2007530.bin"));
}

const std::string WARNING =
    "warning: the ledger's URI holds a password, which ps shows; use PGPASSFILE or a service file\n";

// Every row of the ledger, in order.
const std::string ALL_ROWS = "SELECT * FROM ledger_schema; SELECT * FROM batch ORDER BY id;"
                             "SELECT * FROM address ORDER BY mac; SELECT * FROM claim ORDER BY id;"
                             "SELECT * FROM readback ORDER BY claim; SELECT * FROM finish; SELECT * FROM void;"
                             "SELECT * FROM release; SELECT * FROM chain ORDER BY seq; SELECT * FROM lease ORDER BY id;"
                             "SELECT * FROM lease_return ORDER BY id; SELECT * FROM site; SELECT * FROM lease_map"
                             " ORDER BY 1, 2, 3; SELECT * FROM address_run ORDER BY first";

// As a station's login: an UPDATE of every column of every table, a DELETE
// and a TRUNCATE of each, read-backs of another login's claim, one naming
// that login, a claim and a read-back naming another login as sync would
// send them, and a place in the chain for no row, for its own claim of no
// hash and far past the chain's last, each its own statement.
std::string Station_attempts(const Pg_server &server, std::size_t &count)
{
    std::string columns = Pg_run(server, "ledger",
                                 "SELECT table_name, column_name FROM information_schema.columns"
                                 " WHERE table_schema = 'public' ORDER BY table_name, ordinal_position")
                              .out;
    std::string sql = "\\set ON_ERROR_STOP 0\n";
    std::set<std::string> tables;
    for (std::size_t at = 0, end = 0; (end = columns.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string row = columns.substr(at, end - at);
        std::string table = row.substr(0, row.find('|'));
        sql += "UPDATE " + table + " SET " + row.substr(row.find('|') + 1) + " = NULL;\n";
        tables.insert(table);
    }
    for (const std::string &table : tables)
        sql += "DELETE FROM " + table + ";\nTRUNCATE " + table + ";\n";
    sql += "INSERT INTO readback (claim, verdict, checked) VALUES (2, 'verified', 'now');\n"
           "INSERT INTO readback (claim, verdict, checked, login) VALUES (2, 'verified', 'now', 'line2_st4');\n"
           "WITH c AS (INSERT INTO claim (id, mac, station, claimed, version, seq) VALUES (1000000, '0050c2000001',"
           " 'line2-st4', 'now', '2.8', (SELECT max(seq) + 1 FROM chain)) RETURNING seq)"
           " INSERT INTO chain SELECT seq, 'claim' FROM c;\n"
           "WITH c AS (INSERT INTO claim (id, mac, station, claimed, version, seq, hash) VALUES (1000001, '0050c2000001',"
           " 'line2-st4', 'now', '2.8', 9223372036854775807, repeat('0', 64)) RETURNING seq)"
           " INSERT INTO chain SELECT seq, 'claim' FROM c;\n"
           "SET ledger.sync = 'on'; INSERT INTO claim (mac, station, claimed, version, login)"
           " VALUES ('0050c2000001', 'line2-st4', 'now', '2.8', 'line2_st4');\n"
           "SET ledger.sync = 'on'; INSERT INTO readback (claim, verdict, checked, login)"
           " VALUES (2, 'verified', 'now', 'line2_st4');\n"
           "INSERT INTO chain (seq, tbl) VALUES (1000000, 'claim');\n";
    count = static_cast<std::size_t>(std::count(sql.begin(), sql.end(), '\n')) - 1;
    EXPECT_EQ(tables.size(), 14u) << columns;
    return sql;
}

// Station line2_st4 claims two images and confirms the first; station
// line1_st2 can neither confirm nor take over the second; a wrong password
// is named without showing it.
void Expect_station_claims(const Pg_server &server, const std::string &dir)
{
    std::string st4 = "postgresql://line2_st4:right@/ledger?host=" + server.dir;
    std::string st2 = "postgresql://line1_st2:right@/ledger?host=" + server.dir;
    std::string image = dir + "/out/0050c2000000.bin";
    std::string second = dir + "/out/0050c2000001.bin";
    const std::pair<std::vector<std::string>, std::string> steps[] = {
        {{"-l", st4, "-s", "line2-st4", image}, ""},
        {{"-l", st4, "-s", "line2-st4", "-c", image, image}, ""},
        {{"-l", st4, "-s", "line2-st4", second}, ""},
        {{"-l", st2, "-s", "line2-st4", "-c", second, second}, "claimed by station line2-st4 (login line2_st4) at T\n"},
        {{"-l", st2, "-s", "line2-st4", "-R", second},
         "claimed by station line2-st4 (login line2_st4) at T; it must be released (recledger release) before another"
         " station claims it\n"},
    };
    const std::regex time("[0-9]{4}-[0-9-]{5}T[0-9:]{8}Z");
    for (const auto &[args, refusal] : steps) {
        Program_result run = Run_program(RECCLAIM, args, dir);
        EXPECT_EQ(run.status, refusal.empty() ? 0 : 1);
        EXPECT_EQ(std::regex_replace(run.err, time, "T"),
                  "recclaim: " + WARNING + (refusal.empty() ? "" : "recclaim: " + second + ": " + refusal));
    }
    Program_result run = Run_program(RECCLAIM, {"-l", "postgresql://line2_st4:wrong@/ledger?host=" + server.dir, "-s", "st", image}, dir);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "recclaim: " + WARNING + "recclaim: postgresql://line2_st4:***@/ledger?host=" + server.dir +
                           ": connection to server on socket \"" + server.dir +
                           "/.s.PGSQL.5432\" failed: password authentication failed for user \"line2_st4\"\n");
}

// As a station's login and as a supervisor's, every change and deletion
// that Station_attempts makes is refused, and no row changes.
void Expect_no_row_changed(const Pg_server &server)
{
    std::string before = Pg_run(server, "ledger", ALL_ROWS).out;
    std::size_t count = 0;
    std::string attempts = Station_attempts(server, count);
    Program_result attempted = Pg_run(server, "ledger", attempts, "line1_st2");
    auto lines = [&](const std::string &what) {
        std::size_t n = 0;
        for (std::size_t at = 0; (at = attempted.err.find(what, at)) != std::string::npos; ++at)
            ++n;
        return n;
    };
    EXPECT_EQ(lines("ERROR:  "), count) << attempted.err;
    EXPECT_EQ(lines("ERROR:  permission denied for table "), count - 7) << attempted.err;
    EXPECT_EQ(lines("ERROR:  a place in the chain is only for a row that this login added\n"), 1u) << attempted.err;
    EXPECT_EQ(lines("ERROR:  a place in the chain is only for a row with its hash\n"), 1u) << attempted.err;
    EXPECT_EQ(lines("ERROR:  a place in the chain is only the one after its last\n"), 1u) << attempted.err;
    // The login that the second names is the server's, the session's.
    EXPECT_EQ(lines("violates foreign key constraint \"readback_claim_login_fkey\"\n"
                    "DETAIL:  Key (claim, login)=(2, line1_st2) is not present"),
              2u);
    EXPECT_EQ(lines("ERROR:  only the ledger's owner may sync\n"), 2u) << attempted.err;
    EXPECT_EQ(Pg_run(server, "ledger", ALL_ROWS).out, before);
    // A supervisor may change or delete no row either.
    attempted = Pg_run(server, "ledger", attempts, "qa_lead");
    EXPECT_EQ(lines("ERROR:  permission denied for table "), count - 1) << attempted.err;
    EXPECT_EQ(lines("ERROR:  a place in the chain is only for a row that this login added\n"), 1u) << attempted.err;
    EXPECT_EQ(Pg_run(server, "ledger", ALL_ROWS).out, before);
}

// The README's roles, its SQL run as written: recbatch makes the ledger
// and issues; a station's login claims and confirms with its password, and
// can neither issue, add an address, change or delete a row, nor confirm or
// take over another login's claim. A password in the URI is warned of, and
// a wrong one is named without showing it.
TEST(LedgerServer, TheDocumentedRoles)
{
    std::string dir = Scratch_dir();
    Pg_server server = Pg_test_server();
    ASSERT_FALSE(server.dir.empty());
    Program_result made = Pg_run(server, "postgres", Doc_block(README_FILE, "    CREATE ROLE recbatch"));
    ASSERT_EQ(made.status, 0) << made.err;
    ASSERT_EQ(Pg_run(server, "postgres",
                     "ALTER ROLE line2_st4 PASSWORD 'right'; ALTER ROLE qa_lead PASSWORD 'right';"
                     " CREATE ROLE line1_st2 LOGIN PASSWORD 'right' IN ROLE station")
                  .status,
              0);
    std::string batchUri = Pg_uri(server, "ledger", "recbatch");
    Program_result run = Run_program(RECBATCH, {"-S", "-l", batchUri, "-m", BLOCK, "-n", "2", EXAMPLE_SCRIPT, dir + "/out"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    Program_result granted = Pg_run(server, "ledger", Doc_block(README_FILE, "    GRANT "), "recbatch");
    ASSERT_EQ(granted.status, 0) << granted.err;

    Expect_station_claims(server, dir);

    setenv("PGPASSWORD", "right", 1);
    Expect_no_row_changed(server);
    std::string noPassword = Pg_uri(server, "ledger", "line2_st4");
    run = Run_program(RECBATCH, {"-S", "-l", noPassword, "-m", BLOCK, "-n", "1", EXAMPLE_SCRIPT, dir + "/stolen"}, dir);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "recbatch: " + noPassword + ": permission denied for table batch\n");
    EXPECT_FALSE(File_exists(dir + "/stolen"));
    Program_result inserted = Pg_run(server, noPassword, "INSERT INTO address VALUES ('0050c2000009', 1, 9, NULL, NULL)");
    // A station may neither void, release nor lease addresses to a site; a
    // supervisor may void and release.
    std::string qa = Pg_uri(server, "ledger", "qa_lead");
    const std::tuple<std::string, std::vector<std::string>, int, std::string> corrections[] = {
        {noPassword, {"void", "-r", "scrapped", "0050c2000001"}, 2, noPassword + ": permission denied for table void"},
        {noPassword, {"release", "-r", "died", "0050c2000001"}, 2, noPassword + ": permission denied for table release"},
        {noPassword, {"lease", "-s", "east", "-n", "1", dir + "/site.db"}, 2, noPassword + ": permission denied for table lease_map"},
        {qa, {"release", "-r", "station died", "0050c2000001"}, 0, ""},
        {qa, {"void", "-r", "scrapped", "0050c2000001"}, 0, ""},
        {batchUri, {"verify"}, 0, ""},
    };
    for (const auto &[uri, args, status, err] : corrections) {
        std::vector<std::string> line = {"-l", uri};
        line.insert(line.end(), args.begin(), args.end());
        run = Run_program(RECLEDGER, line, dir);
        EXPECT_EQ(run.status, status) << run.err;
        EXPECT_EQ(run.err, err.empty() ? "" : "recledger: " + err + "\n");
    }
    unsetenv("PGPASSWORD");
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        EXPECT_FALSE(entry.path().filename().string().starts_with("site.db")) << entry.path();
    EXPECT_NE(inserted.status, 0);
    EXPECT_NE(inserted.err.find("permission denied for table address"), std::string::npos) << inserted.err;
    EXPECT_EQ(Pg_run(server, "ledger",
                     "SELECT c.mac, c.station, c.login, r.verdict, r.login FROM claim c"
                     " LEFT JOIN readback r ON r.claim = c.id ORDER BY c.id; SELECT count(*) FROM address")
                  .out,
              "0050c2000000|line2-st4|line2_st4|verified|line2_st4\n0050c2000001|line2-st4|line2_st4|NULL|NULL\n2\n");
    EXPECT_EQ(Pg_run(server, "ledger", "SELECT mac, reason, who FROM release; SELECT mac, reason, who FROM void").out,
              "0050c2000001|station died|qa_lead\n0050c2000001|scrapped|qa_lead\n");
}

} // namespace
