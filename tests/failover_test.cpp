// The central ledger's failover as docs/ledger.md ("Beyond one server")
// sets it up and runs it, its blocks as written, on two throwaway servers
// of this machine: a primary and its synchronous standby, streaming over
// Unix sockets.
#include "ledgers.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <set>

namespace {

const std::string BLOCK = "0050c2000000-0050c2ffffff";

// The primary and its standby, as tests/pg_server made them.
struct Pair {
    std::string dir; // the test's scratch folder
    Pg_server primary;
    Pg_server standby;
    std::string database; // the ledger's, on both
    std::string uri;      // naming both servers, as the docs give one
};

// A postgresql.conf block of the docs as NAME=VALUE arguments of tests/pg_server.
std::vector<std::string> Settings(const std::string &block)
{
    std::vector<std::string> settings;
    const std::regex line("([a-z_]+) = '?([^'#]*[^'# ])'? *(#.*)?");
    std::smatch match;
    for (std::size_t at = 0, end = 0; (end = block.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string text = block.substr(at, end - at);
        EXPECT_TRUE(std::regex_match(text, match, line)) << text;
        settings.push_back(match[1].str() + "=" + match[2].str());
    }
    return settings;
}

// The docs' pg_hba.conf lines, each made "local": the tests' servers take
// connections on their Unix sockets alone.
std::string Local_lines(const std::string &block)
{
    return std::regex_replace(block, std::regex("hostssl +(\\S+) +(\\S+) +\\S+ +(\\S+)"), "local $1 $2 $3");
}

// A primary, its replication login, and a standby that streams from it
// synchronously, each step as the docs give it.
void Set_up(Pair &pair)
{
    pair.dir = Scratch_dir();
    std::vector<std::string> up = {"up", pair.dir + "/primary", "fsync=off"};
    for (const std::string &setting : Settings(Doc_block(LEDGER_DOC, "    cluster_name = 'ledger_a'")))
        up.push_back(setting);
    ASSERT_EQ(Pg_server_script(up), 0);
    pair.primary = Pg_find(pair.dir + "/primary");
    std::string hba = pair.primary.dir + "/data/pg_hba.conf";
    Write_file(hba, Local_lines(Doc_block(LEDGER_DOC, "    hostssl replication")) + Read_file(hba));
    std::string roles = Doc_block(LEDGER_DOC, "    CREATE ROLE replicator");
    Program_result made = Pg_run(pair.primary, "postgres", roles);
    ASSERT_EQ(made.status, 0) << made.err;

    std::smatch password;
    ASSERT_TRUE(std::regex_search(roles, password, std::regex("PASSWORD '([^']*)'")));
    setenv("PGPASSWORD", password[1].str().c_str(), 1);
    std::vector<std::string> standby = {"standby", pair.dir + "/standby", pair.dir + "/primary", "replicator",
                                        "fsync=off"};
    for (const std::string &setting : Settings(Doc_block(LEDGER_DOC, "    cluster_name = 'ledger_b'")))
        standby.push_back(setting);
    ASSERT_EQ(Pg_server_script(standby), 0);
    unsetenv("PGPASSWORD");
    pair.standby = Pg_find(pair.dir + "/standby");
    ASSERT_TRUE(Wait_until(pair.primary, "postgres", Doc_block(LEDGER_DOC, "    SELECT application_name, state"),
                           "ledger_b|streaming|sync\n"));
    pair.database = Pg_database(pair.primary);
    pair.uri = "postgresql://postgres@/" + pair.database + "?host=" + pair.primary.dir + "," + pair.standby.dir +
               "&target_session_attrs=read-write";
}

// A shell command: recbatch into dir/NAME (NAME unquoted, "b$i" in a loop),
// its status into dir/NAME.status.
std::string Batch(const std::string &uri, const std::string &dir, const std::string &name)
{
    return "'" RECBATCH "' -S -l '" + uri + "' -m " + BLOCK + " -n 50 '" EXAMPLE_SCRIPT "' '" + dir + "'/" + name +
           " 2>'" + dir + "'/" + name + ".err; echo $? >'" + dir + "'/" + name + ".status; ";
}

// Starts batches b<first> to b<last> one after the other, each followed by a
// claim of its first image (its status in c<i>.status), until dir/stop exists.
pid_t Start_stream(const Pair &pair, int first, int last)
{
    std::string script = "for i in $(seq " + std::to_string(first) + " " + std::to_string(last) + "); do [ -e '" +
                         pair.dir + "/stop' ] && break; " + Batch(pair.uri, pair.dir, "b$i") + "[ -d '" + pair.dir +
                         "/b'$i ] || continue; set -- '" + pair.dir + "/b'$i/*.bin; '" RECCLAIM "' -l '" + pair.uri +
                         "' -s st1 \"$1\" 2>'" + pair.dir + "/c'$i.err; echo $? >'" + pair.dir + "/c'$i.status; done";
    return Start({"/bin/sh", "-c", script}, pair.dir + "/stream.err");
}

// Starts one batch, dir/NAME, and waits until server shows it waiting for a
// synchronous standby before its commit: no OUTDIR yet.
pid_t Start_waiting_batch(const Pair &pair, const Pg_server &server, const std::string &name)
{
    pid_t run = Start({"/bin/sh", "-c", Batch(pair.uri, pair.dir, name)}, pair.dir + "/" + name + ".sh.err");
    EXPECT_TRUE(Wait_until(server, "postgres",
                           "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'recbatch'"
                           " AND wait_event = 'SyncRep'",
                           "1\n"));
    EXPECT_FALSE(File_exists(pair.dir + "/" + name)) << "reported before the standby had it";
    return run;
}

// The addresses of a manifest, in the ledger's form.
std::vector<std::string> Manifest_macs(const std::string &outdir)
{
    std::vector<std::string> macs;
    std::string text = Read_file(outdir + "/manifest.csv");
    for (std::size_t at = text.find('\n') + 1, end = 0; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string mac = text.substr(at, end - at);
        mac = mac.substr(mac.find(',') + 1);
        macs.push_back(std::regex_replace(mac.substr(0, mac.find(',')), std::regex(":"), ""));
    }
    return macs;
}

// Every OUTDIR against the promoted server: its addresses are its batch's
// there and no other OUTDIR's; a batch reported done is there, finished; a
// claim reported made is there.
void Check_promoted(const Pair &pair, int runs, const std::vector<std::string> &sites)
{
    std::map<std::string, std::set<std::string>> held; // by outdir: its addresses
    std::set<std::string> finished, claimed;
    std::string rows = Pg_run(pair.standby, pair.database,
                              "SELECT b.outdir, a.mac, b.finished IS NOT NULL FROM address a JOIN batch b ON b.id = a.batch;"
                              "SELECT 'claim', mac, 'f' FROM claim")
                           .out;
    const std::regex row("(.*)\\|([0-9a-f]{12})\\|([tf])");
    for (std::sregex_iterator it(rows.begin(), rows.end(), row), end; it != end; ++it) {
        ((*it)[1] == "claim" ? claimed : held[(*it)[1]]).insert((*it)[2]);
        if ((*it)[3] == "t")
            finished.insert((*it)[1]);
    }
    std::set<std::string> issued;
    std::size_t images = 0;
    std::vector<std::string> names = sites; // the sites' OUTDIRs, synced, beside the centre's
    for (int i = 0; i <= runs; ++i)
        names.push_back(pair.dir + "/b" + std::to_string(i));
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string &name = names[i];
        if (Read_file(name + ".status") == "0\n") {
            EXPECT_TRUE(finished.count(name) == 1 && File_exists(name)) << name;
        }
        if (i >= sites.size() && Read_file(pair.dir + "/c" + std::to_string(i - sites.size()) + ".status") == "0\n") {
            EXPECT_EQ(claimed.count(Manifest_macs(name).at(0)), 1u) << name;
        }
        if (!File_exists(name))
            continue;
        std::vector<std::string> macs = Manifest_macs(name);
        EXPECT_EQ(std::set<std::string>(macs.begin(), macs.end()), held[name]) << name;
        issued.insert(macs.begin(), macs.end());
        images += macs.size();
    }
    EXPECT_EQ(issued.size(), images) << "an address in two OUTDIRs";
    Program_result verified = Run_program(RECLEDGER, {"-l", pair.uri, "verify"}, pair.dir);
    EXPECT_EQ(verified.status, 0) << verified.err;
}

// Batches and claims through a URI naming both servers; the primary killed
// among them; the standby promoted, and its commits waiting until its list
// of synchronous standbys is cleared; batches and claims resumed on it.
// Before all that, a commit on the primary waits while its standby is
// stopped.
void Fail_over(Pair &pair)
{
    ASSERT_NO_FATAL_FAILURE(Set_up(pair));
    ASSERT_EQ(Pg_server_script({"kill", pair.dir + "/standby"}), 0);
    pid_t waiting = Start_waiting_batch(pair, pair.primary, "b0");
    ASSERT_EQ(Pg_server_script({"start", pair.dir + "/standby"}), 0);
    EXPECT_EQ(Wait_for(waiting), 0) << Read_file(pair.dir + "/b0.err");

    // Two sites leased from the primary, issuing on their LOCALs while the stream runs.
    std::vector<std::string> locals, sites;
    for (const std::string site : {"north", "south"}) {
        locals.push_back(pair.dir + "/" + site + ".db");
        sites.push_back(pair.dir + "/" + site);
        Program_result leased =
            Run_program(RECLEDGER, {"-l", pair.uri, "lease", "-s", site, "-n", "200", "-m", BLOCK, locals.back()}, pair.dir);
        ASSERT_EQ(leased.status, 0) << leased.err;
    }
    pid_t stream = Start_stream(pair, 1, 40);
    for (std::size_t i = 0; i < locals.size(); ++i) {
        Program_result issued =
            Run_program(RECBATCH, {"-S", "-l", locals[i], "-n", "50", EXAMPLE_SCRIPT, sites[i]}, pair.dir);
        ASSERT_EQ(issued.status, 0) << issued.err;
        Write_file(sites[i] + ".status", "0\n");
    }
    // Killed once three batches are done, while the next one, its rows
    // written, waits for a lock on the address table that this test holds.
    EXPECT_TRUE(Wait_until(pair.primary, pair.database, "SELECT count(*) >= 3 FROM batch", "t\n"));
    pid_t locker = Start({pair.primary.bin + "/psql", "-X", "-h", pair.primary.dir, "-U", "postgres", "-d", pair.database,
                          "-c", "BEGIN; LOCK TABLE address IN SHARE MODE; SELECT pg_sleep(600)"},
                         pair.dir + "/locker.err");
    EXPECT_TRUE(Wait_until(pair.primary, "postgres",
                           "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'recbatch'"
                           " AND wait_event_type = 'Lock'",
                           "1\n"));
    ASSERT_EQ(Pg_server_script({"crash", pair.dir + "/primary"}), 0);
    Write_file(pair.dir + "/stop", "");
    Wait_for(stream);
    Wait_for(locker);
    std::string cut;
    for (int i = 1; i <= 40; ++i)
        cut += Read_file(pair.dir + "/b" + std::to_string(i) + ".status");
    EXPECT_NE(cut.find("2\n"), std::string::npos) << "no batch was cut off: " << cut;
    // With no primary, a site's sync fails whole and leaves its LOCAL as it was.
    std::string before = Read_file(locals[0]);
    Program_result away = Run_program(RECLEDGER, {"-l", locals[0], "sync"}, pair.dir);
    EXPECT_EQ(away.status, 2) << away.err;
    EXPECT_EQ(Read_file(locals[0]), before);
    Program_result promoted = Pg_run(pair.standby, "postgres", Doc_block(LEDGER_DOC, "       SELECT pg_promote()"));
    ASSERT_EQ(promoted.status, 0) << promoted.err;
    waiting = Start_waiting_batch(pair, pair.standby, "b41");
    Program_result cleared =
        Pg_run(pair.standby, "postgres", Doc_block(LEDGER_DOC, "       ALTER SYSTEM SET synchronous_standby_names"));
    ASSERT_EQ(cleared.status, 0) << cleared.err;
    EXPECT_EQ(Wait_for(waiting), 0) << Read_file(pair.dir + "/b41.err");
    std::filesystem::remove(pair.dir + "/stop");
    EXPECT_EQ(Wait_for(Start_stream(pair, 42, 43)), 0);
    // Each site syncs to the promoted server, through the name its LOCAL holds.
    for (const std::string &local : locals) {
        Program_result synced = Run_program(RECLEDGER, {"-l", local, "sync"}, pair.dir);
        EXPECT_EQ(synced.status, 0) << synced.err;
        Program_result verified = Run_program(RECLEDGER, {"-l", local, "verify"}, pair.dir);
        EXPECT_EQ(verified.status, 0) << verified.err;
    }

    Check_promoted(pair, 43, sites);
    for (int i : {0, 41, 42, 43})
        EXPECT_EQ(Read_file(pair.dir + "/b" + std::to_string(i) + ".status"), "0\n") << i;
}

TEST(Failover, TheDocumentedStandby)
{
    Pair pair;
    Fail_over(pair);
    EXPECT_EQ(Pg_server_script({"down", pair.dir + "/standby"}), 0);
    EXPECT_EQ(Pg_server_script({"down", pair.dir + "/primary"}), 0);
}

} // namespace
