// Leases and sync end to end, with CENTRAL an SQLite file or a server's
// database and each LOCAL a file: grants and their refusals, eight grants
// at once, a LOCAL's batches and claims synced back, copies, twin serials,
// returns, and the faults of the field: CENTRAL stopped, sync killed, a
// LOCAL's disk full. After each: no address twice, every address that a
// LOCAL issued in CENTRAL once, verify 0 on CENTRAL and every LOCAL.
#include "ledgers.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace {

const std::string BLOCK = "0050c2000000-0050c20fffff";

// Every "C" word of text as CENTRAL's name, every "L<n>" as LOCAL n's path.
std::string Named(std::string text, const std::string &central, const std::string &dir)
{
    text = std::regex_replace(text, std::regex("\\bC\\b"), central);
    return std::regex_replace(text, std::regex("\\b(L[0-9])\\b"), dir + "/$1");
}

Program_result Run_in(const std::string &program, const std::vector<std::string> &args, const std::string &central,
                      const std::string &dir)
{
    std::vector<std::string> named;
    for (const std::string &arg : args)
        named.push_back(arg.find('/') == std::string::npos ? Named(arg, central, dir) : arg);
    return Run_program(program, named, dir);
}

// A batch of count units on ledger (-m range unless empty), into OUTDIR dir/out.
Program_result Batch(const std::string &ledger, const std::string &range, int count, const std::string &dir,
                     const std::string &out, const std::string &units = "")
{
    std::vector<std::string> args{"-S", "-l", ledger};
    if (!range.empty())
        args.insert(args.end(), {"-m", range});
    if (units.empty())
        args.insert(args.end(), {"-n", std::to_string(count)});
    else
        args.insert(args.end(), {"-u", units});
    args.insert(args.end(), {EXAMPLE_SCRIPT, dir + "/" + out});
    return Run_program(RECBATCH, args, dir);
}

std::set<std::string> Macs(const Test_ledger &ledger)
{
    std::set<std::string> macs;
    std::string rows = Ledger_rows(ledger, "SELECT mac FROM address");
    for (std::size_t at = 0, end = 0; (end = rows.find('\n', at)) != std::string::npos; at = end + 1)
        macs.insert(rows.substr(at, end - at));
    return macs;
}

Test_ledger File_ledger(const std::string &path)
{
    return {BACKEND_SQLITE, path, {}, {}};
}

// After every sync: each LOCAL's addresses in CENTRAL, no two LOCALs and
// CENTRAL's own batches sharing one, and every chain whole.
void Expect_whole(const Test_ledger &central, const std::vector<std::string> &locals, const std::string &dir)
{
    std::set<std::string> all = Macs(central);
    std::size_t own = std::stoul(Ledger_rows(central, "SELECT count(*) FROM address WHERE batch NOT IN"
                                                      " (SELECT central_id FROM lease_map WHERE tbl = 'batch')"));
    std::size_t fromSites = 0;
    for (const std::string &local : locals) {
        std::set<std::string> macs = Macs(File_ledger(local));
        fromSites += macs.size();
        for (const std::string &mac : macs)
            EXPECT_TRUE(all.contains(mac)) << local << " issued " << mac << ", which CENTRAL lacks";
        Program_result verified = Run_program(RECLEDGER, {"-l", local, "verify"}, dir);
        EXPECT_EQ(verified.status, 0) << local << ": " << verified.err;
    }
    EXPECT_EQ(own + fromSites, all.size()) << "an address issued twice, or one in CENTRAL from nowhere";
    Program_result verified = Run_program(RECLEDGER, {"-l", central.where, "verify"}, dir);
    EXPECT_EQ(verified.status, 0) << verified.err;
}

class Lease : public testing::TestWithParam<Backend> {};

// One step: a program's run and what it says.
struct Step {
    const char *program; // "recledger" or "recbatch"
    std::vector<std::string> args;
    int status;
    std::string out, err; // C: CENTRAL's name, L1...: the LOCALs
};

// Grants from the lowest free run, past what CENTRAL issued and leased;
// CENTRAL's own batches pass over leased addresses; each refusal is one
// line and writes nothing.
TEST_P(Lease, GrantsFromTheLowestFreeRunOrRefuses)
{
    std::string dir = Scratch_dir();
    Test_ledger central = New_ledger(GetParam(), dir);
    ASSERT_FALSE(central.where.empty());
    Write_file(dir + "/leased.csv", "mac\n0050c2000005\n");
    Write_file(dir + "/own.csv", "mac\n0050c2000000\n");
    const Step steps[] = {
        {"recbatch", {"-S", "-l", "C", "-u", dir + "/own.csv", EXAMPLE_SCRIPT, dir + "/b1"}, 0, "", ""},
        {"recledger", {"-l", "C", "lease", "-s", "east", "-n", "10", "L1"}, 1, "",
         "recledger: -m: give the range to lease from: C has no batch with one\n"},
        {"recbatch", {"-S", "-l", "C", "-n", "2", "-m", "0050c2000001-0050c20000ff", EXAMPLE_SCRIPT, dir + "/b2"}, 0, "", ""},
        {"recledger", {"-l", "C", "lease", "-s", "east", "-n", "10", "L1"}, 0,
         "lease 1: east 00:50:c2:00:00:03-00:50:c2:00:00:0c, 10 addresses\n", ""},
        {"recledger", {"-l", "C", "lease", "-s", "west site", "-n", "5", "-m", "0050c2000000-0050c20000ff", "L2"}, 0,
         "lease 2: west site 00:50:c2:00:00:0d-00:50:c2:00:00:11, 5 addresses\n", ""},
        {"recbatch", {"-S", "-l", "L2", "-n", "1", "-a", "4", EXAMPLE_SCRIPT, dir + "/b5"}, 1, "",
         "recbatch: -m: mac: 0 runs of 4 addresses left in lease 2 for 1 unit\n"},
        {"recledger", {"-l", "C", "lease", "-s", "x", "-n", "239", "L3"}, 1, "",
         "recledger: -n: no run of 239 free addresses in 00:50:c2:00:00:01-00:50:c2:00:00:ff\n"},
        {"recledger", {"-l", "C", "lease", "-s", "x", "-n", "1", "L1"}, 1, "", "recledger: L1: exists: a lease makes a new ledger\n"},
        {"recledger", {"-l", "L1", "lease", "-s", "x", "-n", "1", "L3"}, 1, "",
         "recledger: L1: a site's ledger (lease 1) grants no leases\n"},
        {"recledger", {"-l", "C", "sync"}, 1, "", "recledger: C: not a site's ledger: sync sends what a lease's ledger holds\n"},
        {"recbatch", {"-S", "-l", "C", "-u", dir + "/leased.csv", EXAMPLE_SCRIPT, dir + "/b3"}, 1, "",
         "recbatch: " + dir + "/leased.csv:2: mac: 00:50:c2:00:00:05 is leased to a site (lease 1)\n"},
        {"recbatch", {"-S", "-l", "C", "-n", "2", "-m", "0050c2000000-0050c20000ff", EXAMPLE_SCRIPT, dir + "/b4"}, 0, "", ""},
        {"recledger", {"-l", "C", "lease", "-s", "x", "-n", "237", "L3"}, 1, "",
         "recledger: -n: no run of 237 free addresses in 00:50:c2:00:00:00-00:50:c2:00:00:ff\n"},
        {"recledger", {"-l", "C", "lease", "-s", "x", "-n", "1", dir + "/none/M"}, 2, "",
         "recledger: " + dir + "/none/M: No such file or directory\n"},
    };
    for (const Step &step : steps) {
        Program_result run = Run_in(std::string(step.program) == "recbatch" ? RECBATCH : RECLEDGER, step.args, central.where, dir);
        std::string shown = step.args[2] + " " + step.args.back();
        EXPECT_EQ(run.status, step.status) << shown << ": " << run.err;
        EXPECT_EQ(run.out, Named(step.out, central.where, dir)) << shown;
        EXPECT_EQ(run.err, Named(step.err, central.where, dir)) << shown;
    }
    EXPECT_FALSE(File_exists(dir + "/L3"));
    EXPECT_EQ(Ledger_rows(central, "SELECT mac FROM address WHERE batch = 3"), "005" "0c2000012\n0050c2000013\n");
    // Of 256 addresses, 5 issued and 15 leased: 236 free.
    Program_result report = Run_program(RECLEDGER, {"-l", central.where, "report"}, dir);
    EXPECT_NE(report.out.find("00:50:c2:00:00:00-00:50:c2:00:00:ff       5       0   236"), std::string::npos)
        << report.out;
    EXPECT_EQ(Ledger_rows(File_ledger(dir + "/L2"), "SELECT site, first, last, count FROM site"),
              "west site|0050c200000d|0050c2000011|5\n");
    // Without the runs of its batches, CENTRAL is read address by address, to the same run.
    Ledger_rows(central, "DELETE FROM address_run");
    Program_result last = Run_program(RECLEDGER, {"-l", central.where, "lease", "-s", "x", "-n", "236", dir + "/L3"}, dir);
    EXPECT_EQ(last.out, "lease 3: x 00:50:c2:00:00:14-00:50:c2:00:00:ff, 236 addresses\n") << last.err;
    Expect_whole(central, {dir + "/L1", dir + "/L2"}, dir);
}

// Eight grants at once never overlap, and the database itself refuses a
// lease that overlaps another.
TEST_P(Lease, EightAtOnceNeverOverlap)
{
    std::string dir = Scratch_dir();
    Test_ledger central = New_ledger(GetParam(), dir);
    ASSERT_FALSE(central.where.empty());
    ASSERT_EQ(Batch(central.where, BLOCK, 1, dir, "b1").status, 0);
    std::string command;
    for (int site = 1; site <= 8; ++site) {
        std::string name = dir + "/L" + std::to_string(site);
        command += "('" RECLEDGER "' -l '" + central.where + "' lease -s site" + std::to_string(site) + " -n 1000 '" +
                   name + "' >/dev/null 2>'" + name + ".err'; echo $? >'" + name + ".status') & ";
    }
    // verify meanwhile sees each grant whole or not at all.
    command += "for i in 1 2 3 4 5 6 7 8; do '" RECLEDGER "' -l '" + central.where + "' verify >/dev/null 2>>'" + dir +
               "/verify.err'; done & ";
    ASSERT_EQ(std::system((command + "wait").c_str()), 0);
    EXPECT_EQ(Read_file(dir + "/verify.err"), "");
    for (int site = 1; site <= 8; ++site) {
        std::string name = dir + "/L" + std::to_string(site);
        EXPECT_EQ(Read_file(name + ".status"), "0\n") << Read_file(name + ".err");
    }
    EXPECT_EQ(Ledger_rows(central, "SELECT count(*) FROM lease a JOIN lease b ON a.id < b.id"
                                   " AND a.first <= b.last AND b.first <= a.last"),
              "0\n");
    EXPECT_EQ(Ledger_rows(central, "SELECT min(first), max(last), count(*) FROM lease"), "0050c2000001|0050c2001f40|8\n");
    Ledger_rows(central, "INSERT INTO lease (id, site, first, last, count, granted, who, local, kept_last) VALUES"
                         " (99, 'x', '0050c2001f40', '0050c2001f41', 2, '2026-01-01T00:00:00Z', 'x', 'x', '0050c2001f41')");
    EXPECT_EQ(Ledger_rows(central, "SELECT count(*) FROM lease"), "8\n");
    std::vector<std::string> locals;
    for (int site = 1; site <= 8; ++site)
        locals.push_back(dir + "/L" + std::to_string(site));
    Expect_whole(central, locals, dir);
}

// At the centre, a site's units are refused to a station, to void, to
// release and to the audit: they are the site's, synced or not.
void Expect_the_sites_units_refused(const Test_ledger &central, const std::string &dir)
{
    const std::string site = ": leased to a site (lease 1): void or release it on the site's ledger\n";
    // A site's batch whose finish the centre has not yet: the site's audit finishes it.
    Ledger_rows(central, "UPDATE batch SET finished = NULL WHERE id IN (SELECT central_id FROM lease_map WHERE tbl = 'batch')");
    const std::vector<std::pair<std::vector<std::string>, std::string>> centres{
        {{RECCLAIM, "-l", central.where, "-s", "hq", dir + "/a/0050c2000004.bin"},
         "recclaim: " + dir + "/a/0050c2000004.bin: 00:50:c2:00:00:04 is leased to a site (lease 1): the site's"
                              " stations claim it, on the site's ledger\n"},
        {{RECLEDGER, "-l", central.where, "void", "-r", "hq", "0050c2000004"}, "recledger: 00:50:c2:00:00:04" + site},
        {{RECLEDGER, "-l", central.where, "release", "-r", "hq", "0050c2000001"}, "recledger: 00:50:c2:00:00:01" + site},
        {{RECBATCH, "-l", central.where, "-V", dir + "/a"},
         "recbatch: " + central.where + ": batch 2 was issued by a site (lease 1): it is finished on the site's"
                                        " ledger, whose sync brings it\n"},
    };
    for (const auto &[args, err] : centres) {
        Program_result run = Run_program(args[0], {args.begin() + 1, args.end()}, dir);
        EXPECT_EQ(run.status, 1) << args.back();
        EXPECT_EQ(run.err, err);
    }
    Ledger_rows(central, "UPDATE batch SET finished = (SELECT at FROM finish WHERE finish.batch = batch.id)");
}

// A copy of LOCAL l1: both issue, and the first to sync wins; then l1's
// unused tail is given back, which CENTRAL may then issue and l1 may not.
void Expect_copies_and_return(const Test_ledger &central, const std::string &l1, const std::string &l2,
                              const std::string &dir)
{
    ASSERT_EQ(std::system(("cp '" + l1 + "' '" + dir + "/L3'").c_str()), 0);
    ASSERT_EQ(Batch(l1, "", 2, dir, "c").status, 0);
    ASSERT_EQ(Batch(dir + "/L3", "", 2, dir, "d").status, 0);
    // Three syncs of one LOCAL at once: each waits for the other, and all end well.
    std::string three = "for i in 1 2 3; do '" RECLEDGER "' -l '" + l1 + "' sync >/dev/null 2>>'" + dir +
                        "/three.err' || echo \"status $?\" >>'" + dir + "/three.err' & done; wait";
    ASSERT_EQ(std::system(three.c_str()), 0);
    EXPECT_EQ(Read_file(dir + "/three.err"), "");
    Program_result synced = Run_program(RECLEDGER, {"-l", dir + "/L3", "sync"}, dir);
    EXPECT_EQ(synced.status, 1);
    EXPECT_EQ(synced.err, "recledger: " + dir + "/L3: lease 1 was synced from another copy of this ledger\n");

    // The unused tail given back.
    synced = Run_program(RECLEDGER, {"-l", l1, "sync", "--return"}, dir);
    EXPECT_EQ(synced.status, 0) << synced.err;
    EXPECT_EQ(synced.out, "1 rows sent, synced to row 32\nreturned 00:50:c2:00:00:17-00:50:c2:00:00:32\n");
    Program_result report = Run_program(RECLEDGER, {"-l", l1, "report"}, dir);
    EXPECT_NE(report.out.find("00:50:c2:00:00:01-00:50:c2:00:00:32      22       1     0"), std::string::npos) << report.out;
    Program_result refused = Batch(l1, "", 1, dir, "e");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "recbatch: -m: mac: 0 addresses left in lease 1 for 1 unit\n");
    ASSERT_EQ(Batch(central.where, BLOCK, 1, dir, "f").status, 0);
    EXPECT_EQ(Ledger_rows(central, "SELECT mac FROM address WHERE batch = (SELECT max(id) FROM batch)"), "0050c2000017\n");
    synced = Run_program(RECLEDGER, {"-l", l1, "sync", "--return"}, dir);
    EXPECT_EQ(synced.out, "0 rows sent, synced to row 32\n");
    Expect_whole(central, {l1, l2}, dir);
}

// Two sites issue, claim, void and release on their LOCALs; sync sends it
// all once (a second sync sends nothing); a copy of a LOCAL is refused once
// the other copy synced; a serial that CENTRAL holds for another unit is
// reported, both units named, and kept; --return gives the unused tail
// back, which CENTRAL may then issue and the LOCAL may not.
TEST_P(Lease, SyncSendsEverythingOnce)
{
    std::string dir = Scratch_dir();
    Test_ledger central = New_ledger(GetParam(), dir);
    ASSERT_FALSE(central.where.empty());
    Write_file(dir + "/own.csv", "mac,serial\n0050c2000000,SN-1\n");
    Write_file(dir + "/twin.csv", "serial\nSN-1\nSN-2\n");
    ASSERT_EQ(Batch(central.where, "", 1, dir, "own", dir + "/own.csv").status, 0);
    std::string l1 = dir + "/L1";
    std::string l2 = dir + "/L2";
    for (const std::string &local : {l1, l2})
        ASSERT_EQ(Run_program(RECLEDGER, {"-l", central.where, "lease", "-s", local.substr(dir.size() + 1), "-n", "50",
                                          "-m", BLOCK, local},
                              dir)
                      .status,
                  0);
    ASSERT_EQ(Batch(l1, "", 20, dir, "a").status, 0);
    ASSERT_EQ(Batch(l2, "", 0, dir, "b", dir + "/twin.csv").status, 0);
    const std::vector<std::vector<std::string>> work{
        {RECCLAIM, "-l", l1, "-s", "st1", dir + "/a/0050c2000001.bin"},
        {RECCLAIM, "-l", l1, "-s", "st1", dir + "/a/0050c2000002.bin"},
        {RECLEDGER, "-l", l1, "release", "-r", "died", "0050c2000002"},
        {RECLEDGER, "-l", l1, "void", "-r", "burnt", "0050c2000003"},
        {RECCLAIM, "-l", l2, "-s", "st9", dir + "/b/0050c2000033.bin"},
        {RECCLAIM, "-l", l2, "-s", "st9", "-c", dir + "/b/0050c2000033.bin", dir + "/b/0050c2000033.bin"},
    };
    for (const auto &each : work) {
        Program_result run = Run_program(each[0], {each.begin() + 1, each.end()}, dir);
        EXPECT_EQ(run.status, 0) << each.back() << ": " << run.err;
    }
    Program_result synced = Run_program(RECLEDGER, {"-l", l1, "sync"}, dir);
    EXPECT_EQ(synced.status, 0) << synced.err;
    EXPECT_EQ(synced.out, "26 rows sent, synced to row 27\n");
    synced = Run_program(RECLEDGER, {"-l", l1, "sync"}, dir);
    EXPECT_EQ(synced.out, "0 rows sent, synced to row 27\n");
    Expect_the_sites_units_refused(central, dir);
    // A site's batch's range is its lease's: a lease without -m takes CENTRAL's own.
    Program_result unranged = Run_program(RECLEDGER, {"-l", central.where, "lease", "-s", "x", "-n", "1", dir + "/L4"}, dir);
    EXPECT_EQ(unranged.err, "recledger: -m: give the range to lease from: " + central.where + " has no batch with one\n");
    synced = Run_program(RECLEDGER, {"-l", l2, "sync"}, dir);
    EXPECT_EQ(synced.status, 1);
    EXPECT_EQ(synced.err, "recledger: serial SN-1: recorded twice: site L2, batch 3 unit 1 (00:50:c2:00:00:33),"
                          " and the centre, batch 1 unit 1 (00:50:c2:00:00:00)\n");
    EXPECT_EQ(Ledger_rows(central, "SELECT count(*) FROM address WHERE serial = 'SN-1'"), "2\n");
    EXPECT_EQ(Ledger_rows(central, "SELECT c.station, r.verdict FROM claim c LEFT JOIN readback r ON r.claim = c.id"
                                   " WHERE c.mac = '0050c2000033'"),
              "st9|verified\n");
    Expect_whole(central, {l1, l2}, dir);

    Expect_copies_and_return(central, l1, l2, dir);

    // A LOCAL whose lease was widened outside the tools: the centre takes
    // no address beyond the lease it granted.
    Ledger_rows(File_ledger(l2), "UPDATE site SET last = '0050c200006e', count = 60");
    ASSERT_EQ(Batch(l2, "", 58, dir, "g").status, 0);
    synced = Run_program(RECLEDGER, {"-l", l2, "sync"}, dir);
    EXPECT_EQ(synced.status, 2);
    EXPECT_EQ(synced.err, "recledger: " + central.where +
                              ": address 0050c2000065 is outside lease 2: the LOCAL's record of its lease was changed\n");
    EXPECT_EQ(Ledger_rows(central, "SELECT count(*) FROM address WHERE mac > '0050c2000064'"), "0\n");
}

// Starts recledger with args, its streams to dir/sync.out and dir/sync.err.
pid_t Start_recledger(const std::vector<std::string> &args, const std::string &dir)
{
    std::vector<std::string> all{RECLEDGER};
    all.insert(all.end(), args.begin(), args.end());
    return Start(all, dir + "/sync.err", dir + "/sync.out");
}

// Polls until sql on the ledger gives rows other than before; false after 30 s.
bool Changed(const Test_ledger &ledger, const std::string &sql, const std::string &before)
{
    auto start = std::chrono::steady_clock::now();
    while (Ledger_rows(ledger, sql) == before)
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(30))
            return false;
    return true;
}

// Three sites, two stations each, on a server of its own: CENTRAL stopped
// while the sites issue and claim (they go on), while one syncs, and sync
// killed at several moments: each sync run again ends whole.
TEST(LeaseFaults, CentralStoppedAndSyncKilled)
{
    std::string dir = Scratch_dir();
    ASSERT_EQ(Pg_server_script({"up", dir + "/server", "fsync=off"}), 0);
    Pg_server server = Pg_find(dir + "/server");
    std::string database = Pg_database(server);
    Test_ledger central{BACKEND_SERVER, Pg_uri(server, database), server, database};
    std::vector<std::string> locals;
    ASSERT_EQ(Batch(central.where, BLOCK, 1, dir, "own").status, 0);
    for (int site = 1; site <= 3; ++site) {
        locals.push_back(dir + "/L" + std::to_string(site));
        ASSERT_EQ(Run_program(RECLEDGER, {"-l", central.where, "lease", "-s", std::string("s").append(std::to_string(site)), "-n", "30000",
                                          "-m", BLOCK, locals.back()},
                              dir)
                      .status,
                  0);
    }
    ASSERT_EQ(Pg_server_script({"kill", dir + "/server", "fsync=off"}), 0);
    for (std::size_t site = 0; site < locals.size(); ++site)
        for (int station = 1; station <= 2; ++station) {
            std::string out{"o"}; // in steps: GCC 12's optimiser warns of "o" + a temporary string
            out += std::to_string(site) + std::to_string(station);
            ASSERT_EQ(Batch(locals[site], "", site == 2 ? 3 : 2000, dir, out).status, 0);
            std::string mac = Ledger_rows(File_ledger(locals[site]), "SELECT max(mac) FROM address");
            mac.pop_back();
            Program_result claimed = Run_program(
                RECCLAIM, {"-l", locals[site], "-s", std::string("st").append(std::to_string(station)), dir + "/" + out + "/" + mac + ".bin"}, dir);
            EXPECT_EQ(claimed.status, 0) << claimed.err;
        }
    std::string before = Read_file(locals[0]);
    Program_result down = Run_program(RECLEDGER, {"-l", locals[0], "sync"}, dir);
    EXPECT_EQ(down.status, 2);
    EXPECT_EQ(std::count(down.err.begin(), down.err.end(), '\n'), 1) << down.err;
    EXPECT_EQ(Read_file(locals[0]), before);
    ASSERT_EQ(Pg_server_script({"start", dir + "/server", "fsync=off"}), 0);

    // Killed at several moments, then run again.
    for (int delay : {5, 40, 120, 250}) {
        pid_t sync = Start_recledger({"-l", locals[0], "sync"}, dir);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        kill(sync, SIGKILL);
        waitpid(sync, nullptr, 0);
    }
    EXPECT_EQ(Run_program(RECLEDGER, {"-l", locals[0], "sync"}, dir).status, 0);

    // CENTRAL stopped while a sync runs.
    std::string unsynced = Ledger_rows(central, "SELECT synced_seq FROM lease WHERE site = 's2'");
    pid_t sync = Start_recledger({"-l", locals[1], "sync"}, dir);
    EXPECT_TRUE(Changed(central, "SELECT synced_seq FROM lease WHERE site = 's2'", unsynced));
    ASSERT_EQ(Pg_server_script({"kill", dir + "/server", "fsync=off"}), 0);
    int status = 0;
    waitpid(sync, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 2 || WEXITSTATUS(status) == 0)) << Read_file(dir + "/sync.err");
    ASSERT_EQ(Pg_server_script({"start", dir + "/server", "fsync=off"}), 0);
    for (const std::string &local : locals) {
        Program_result synced = Run_program(RECLEDGER, {"-l", local, "sync"}, dir);
        EXPECT_EQ(synced.status, 0) << local << ": " << synced.err;
    }
    EXPECT_EQ(Ledger_rows(central, "SELECT count(*) FROM claim"), "6\n");
    Expect_whole(central, locals, dir);
    EXPECT_EQ(Pg_server_script({"down", dir + "/server", "fsync=off"}), 0);
}

// A commit of the centre that fails (its answer lost, for all the program
// knows) keeps the LOCAL and names it, whether the lease was recorded or
// not; a LOCAL is made as any ledger file is, readable where the umask says.
TEST(LeaseFaults, ACommitThatFailsKeepsTheLocal)
{
    std::string dir = Scratch_dir();
    Test_ledger central = New_ledger(BACKEND_SERVER, dir);
    ASSERT_FALSE(central.where.empty());
    ASSERT_EQ(Batch(central.where, BLOCK, 1, dir, "own").status, 0);
    ASSERT_EQ(Run_program(RECLEDGER, {"-l", central.where, "lease", "-s", "east", "-n", "10", dir + "/L1"}, dir).status, 0);
    struct stat st{};
    mode_t mask = umask(0);
    umask(mask);
    ASSERT_EQ(stat((dir + "/L1").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
    Ledger_rows(central, "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN"
                         " RAISE EXCEPTION 'no commit now'; END$$; CREATE CONSTRAINT TRIGGER at_commit AFTER INSERT ON lease"
                         " DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION refuse()");
    Program_result run = Run_program(RECLEDGER, {"-l", central.where, "lease", "-s", "east", "-n", "10", dir + "/L2"}, dir);
    EXPECT_EQ(run.status, 2);
    std::smatch kept;
    ASSERT_TRUE(std::regex_match(run.err, kept, std::regex("recledger: (.*): no commit now; if it holds lease 2, its ledger is (.*/L2[.].{6}), else remove that file\n")))
        << run.err;
    EXPECT_EQ(kept[1], central.where);
    EXPECT_TRUE(File_exists(kept[2]));
    EXPECT_FALSE(File_exists(dir + "/L2"));
    EXPECT_EQ(Ledger_rows(central, "SELECT count(*) FROM lease"), "1\n");
}

// A LOCAL on a full disk: the batch that does not fit is refused whole,
// and what the LOCAL holds syncs.
TEST(LeaseFaults, LocalDiskFull)
{
    std::string dir = Scratch_dir();
    Test_ledger central = New_ledger(BACKEND_SQLITE, dir);
    std::string full = dir + "/full";
    ASSERT_EQ(std::system(("mkdir '" + full + "'").c_str()), 0);
    if (mount("tmpfs", full.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "no tmpfs: " << std::strerror(errno);
    std::string local = full + "/L1";
    ASSERT_EQ(Batch(central.where, BLOCK, 1, dir, "own").status, 0);
    ASSERT_EQ(Run_program(RECLEDGER, {"-l", central.where, "lease", "-s", "east", "-n", "100000", local}, dir).status, 0);
    ASSERT_EQ(Batch(local, "", 10, dir, "a").status, 0);
    Program_result refused = Batch(local, "", 20000, dir, "b");
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err, "recbatch: " + local + ": database or disk is full\n");
    EXPECT_FALSE(File_exists(dir + "/b"));
    Program_result synced = Run_program(RECLEDGER, {"-l", local, "sync"}, dir);
    EXPECT_EQ(synced.status, 0) << synced.err;
    EXPECT_EQ(Ledger_rows(central, "SELECT count(*) FROM address"), "11\n");
    Expect_whole(central, {local}, dir);
    umount(full.c_str());
}

INSTANTIATE_TEST_SUITE_P(Backends, Lease, testing::Values(BACKEND_SQLITE, BACKEND_SERVER),
                         [](const testing::TestParamInfo<Backend> &info) { return Backend_name(info.param); });

} // namespace
