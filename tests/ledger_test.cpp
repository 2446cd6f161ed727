// The ledger's operations in process, each case run against both backends:
// an SQLite file and a database on the test server.
#include "open_ledger.h"
#include "ledgers.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

using std::chrono::steady_clock;

Mac_address Mac(std::uint64_t low)
{
    return {0x0050c2000000ULL + low};
}

Digest Digest_of(std::uint8_t byte)
{
    Digest digest{};
    digest.fill(byte);
    return digest;
}

Ledger_batch Batch(std::size_t units)
{
    return {"2026-01-01T00:00:00Z", std::string(64, 'e'), "/factory/out", units, "2.8", true, "", 0};
}

// Issues addresses as one batch; its number, or 0.
long long Issue(Ledger *ledger, const std::vector<Ledger_address> &addresses)
{
    long long id = 0;
    Fault fault{};
    bool ok = Ledger_begin(ledger, fault) && Ledger_issue(ledger, Batch(addresses.size()), addresses, &id, fault) &&
              Ledger_end(ledger, true, fault);
    EXPECT_TRUE(ok) << fault.why;
    return ok ? id : 0;
}

std::string Hex_of(const std::vector<Mac_address> &macs)
{
    std::string text;
    for (Mac_address mac : macs)
        text += std::string(Mac_hex(mac).data()) + " ";
    return text;
}

class LedgerTest : public testing::TestWithParam<Backend> {
protected:
    void SetUp() override
    {
        dir = Scratch_dir();
        test = New_ledger(GetParam(), dir);
        ASSERT_FALSE(test.where.empty());
        ASSERT_TRUE(Open_ledger(test.where.c_str(), &ledger, fault)) << fault.why;
    }
    void TearDown() override { Ledger_close(ledger); }
    std::string dir;
    Test_ledger test;
    Ledger *ledger = nullptr;
    Fault fault{};
};

// Serials with the bytes that a COPY row or an array literal must escape.
TEST_P(LedgerTest, IssuesChecksAndReadsBack)
{
    const std::string odd = "a\"b\\c\td\ne,{f}";
    ASSERT_EQ(Issue(ledger, {{Mac(1), 1, "SN-1", Digest_of(1)}, {Mac(3), 2, odd, Digest_of(2)},
                             {Mac(5), 3, "", Digest_of(3)}, {Mac(4), 4, "SN-4", Digest_of(4)}}),
              1);
    ASSERT_EQ(Issue(ledger, {{Mac(2), 1, "SN-1", Digest_of(5)}}), 2);

    std::vector<long long> batches;
    ASSERT_TRUE(Ledger_issuers(ledger, {Mac(3), Mac(9), Mac(2)}, batches, fault));
    EXPECT_EQ(batches, (std::vector<long long>{1, 0, 2}));
    for (std::size_t need : {3, 5}) { // the free addresses, fewer than asked for when the range ends
        std::vector<Mac_address> free;
        ASSERT_TRUE(Ledger_free(ledger, {Mac(0), Mac(8)}, need, {Mac(6).bits}, free, fault)) << fault.why;
        EXPECT_EQ(Hex_of(free), "0050c2000000 0050c2000007 0050c2000008 ");
    }
    std::vector<Ledger_holder> holders;
    ASSERT_TRUE(Ledger_serials(ledger, {odd, "SN-1", "SN-9", "SN-4"}, holders, 0, fault)) << fault.why;
    ASSERT_EQ(holders.size(), 4u);
    EXPECT_EQ(holders[0].batch, 1);
    EXPECT_EQ(holders[0].mac, Mac(3));
    EXPECT_EQ(holders[1].batch, 1) << "the earliest batch";
    EXPECT_EQ(holders[1].mac, Mac(1));
    EXPECT_EQ(holders[2].batch, 0);
    EXPECT_EQ(holders[3].mac, Mac(4));

    ASSERT_TRUE(Ledger_finish(ledger, 1, "2026-01-01T00:01:00Z", fault));
    Ledger_batch batch{};
    std::vector<Ledger_issued> issued;
    ASSERT_TRUE(Ledger_read(ledger, 1, batch, issued, fault)) << fault.why;
    EXPECT_EQ(batch.id, 1);
    EXPECT_EQ(batch.started + batch.templateSha256 + batch.outdir + batch.version + batch.finished,
              "2026-01-01T00:00:00Z" + std::string(64, 'e') + "/factory/out2.82026-01-01T00:01:00Z");
    EXPECT_EQ(batch.units, 4u);
    EXPECT_TRUE(batch.reissue);
    ASSERT_EQ(issued.size(), 4u);
    EXPECT_EQ(Hex_of({issued[0].mac, issued[1].mac, issued[2].mac, issued[3].mac}),
              "0050c2000001 0050c2000003 0050c2000005 0050c2000004 ");
    EXPECT_EQ(issued[1].unit, 2u);
    EXPECT_EQ(issued[1].serial, odd);
    EXPECT_EQ(issued[2].serial, "");
    EXPECT_EQ(issued[3].sha256, Digest_hex(Digest_of(4)));
    EXPECT_FALSE(Ledger_read(ledger, 3, batch, issued, fault));
    EXPECT_STREQ(fault.why, "no batch 3");
}

// Rolled back, or closed with the transaction open: nothing is recorded.
TEST_P(LedgerTest, AnUnendedIssueLeavesNothing)
{
    long long id = 0;
    ASSERT_TRUE(Ledger_begin(ledger, fault) && Ledger_issue(ledger, Batch(1), {{Mac(1), 1, "", Digest_of(1)}}, &id, fault) &&
                Ledger_end(ledger, false, fault));
    ASSERT_TRUE(Ledger_begin(ledger, fault) && Ledger_issue(ledger, Batch(1), {{Mac(2), 1, "", Digest_of(1)}}, &id, fault));
    Ledger_close(ledger);
    ASSERT_TRUE(Open_ledger(test.where.c_str(), &ledger, fault)) << fault.why;
    EXPECT_EQ(Ledger_rows(test, "SELECT count(*) FROM batch; SELECT count(*) FROM address"), "0\n0\n");
}

// A transaction started without the issuing lock, as a server's is: an
// address that another run issued meanwhile is refused as taken, and once
// held, the serials of other batches than its own are found. A file's
// transaction holds the lock from its start.
TEST_P(LedgerTest, AnAddressIssuedMeanwhile)
{
    bool held = false;
    long long id = 0;
    ASSERT_TRUE(Ledger_start(ledger, &held, fault)) << fault.why;
    EXPECT_EQ(held, GetParam() == BACKEND_SQLITE);
    if (!held) {
        Ledger *other = nullptr;
        ASSERT_TRUE(Open_ledger(test.where.c_str(), &other, fault)) << fault.why;
        EXPECT_EQ(Issue(other, {{Mac(1), 1, "SN-1", Digest_of(1)}}), 1);
        Ledger_close(other);
        EXPECT_FALSE(Ledger_issue(ledger, Batch(1), {{Mac(1), 1, "", Digest_of(2)}}, &id, fault));
        EXPECT_TRUE(Ledger_taken(ledger));
        ASSERT_TRUE(Ledger_end(ledger, false, fault) && Ledger_start(ledger, &held, fault)) << fault.why;
    } else {
        ASSERT_TRUE(Ledger_issue(ledger, Batch(1), {{Mac(1), 1, "SN-1", Digest_of(1)}}, &id, fault) &&
                    Ledger_end(ledger, true, fault) && Ledger_start(ledger, &held, fault));
    }
    ASSERT_TRUE(Ledger_issue(ledger, Batch(2), {{Mac(2), 1, "SN-1", Digest_of(3)}, {Mac(3), 2, "SN-2", Digest_of(4)}},
                             &id, fault) &&
                Ledger_hold(ledger, fault))
        << fault.why;
    std::vector<Ledger_holder> holders;
    ASSERT_TRUE(Ledger_serials(ledger, {"SN-1", "SN-2"}, holders, id, fault)) << fault.why;
    EXPECT_EQ(holders[0].batch, 1);
    EXPECT_EQ(holders[0].mac, Mac(1));
    EXPECT_EQ(holders[1].batch, 0);
    EXPECT_TRUE(Ledger_end(ledger, true, fault));
}

// A second run, or a second station on one address, waits for the first
// to end rather than failing, then sees what it recorded.
TEST_P(LedgerTest, ASecondHolderWaitsForTheFirst)
{
    ASSERT_EQ(Issue(ledger, {{Mac(1), 1, "", Digest_of(1)}}), 1);
    for (bool claiming : {false, true}) {
        ASSERT_TRUE(claiming ? Ledger_beginClaim(ledger, Mac(1), fault) : Ledger_begin(ledger, fault)) << fault.why;
        std::string seen;
        steady_clock::duration waited{};
        std::thread second([&] {
            Ledger *other = nullptr;
            auto start = steady_clock::now();
            Ledger_record record{};
            std::vector<Mac_address> free;
            bool ok = Open_ledger(test.where.c_str(), &other, fault) &&
                      (claiming ? Ledger_beginClaim(other, Mac(1), fault) && Ledger_lookup(other, Mac(1), record, fault)
                                : Ledger_begin(other, fault) && Ledger_free(other, {Mac(0), Mac(9)}, 2, {}, free, fault));
            waited = steady_clock::now() - start;
            seen = !ok ? fault.why : claiming ? std::to_string(record.claims.size()) : Hex_of(free);
            Ledger_close(other);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        long long id = 0;
        ASSERT_TRUE(claiming ? Ledger_addClaim(ledger, Mac(1), {0, "st", "t", "2.8", "", "", -1}, &id, fault)
                             : Ledger_issue(ledger, Batch(1), {{Mac(0), 1, "", Digest_of(2)}}, &id, fault));
        ASSERT_TRUE(Ledger_end(ledger, true, fault));
        second.join();
        EXPECT_EQ(seen, claiming ? "1" : "0050c2000002 0050c2000003 ");
        EXPECT_GE(waited, std::chrono::milliseconds(250));
    }
}

// A ledger of the first layout, which only SQLite files have, is brought to
// this one; a server's database with another program's batch table is not
// taken for a ledger. A station's program takes no ledger that is not there.
TEST_P(LedgerTest, LayoutsOfEarlierAndOtherLedgers)
{
    Ledger_close(ledger);
    ledger = nullptr;
    Test_ledger old = New_ledger(GetParam(), Scratch_dir());
    if (old.backend == BACKEND_SQLITE)
        Write_file(old.where, "");
    EXPECT_FALSE(Open_ledger(old.where.c_str(), &ledger, fault, false));
    EXPECT_STREQ(fault.why, "holds no ledger");
    Ledger_close(ledger);
    if (old.backend == BACKEND_SQLITE) { // nor is another program's database
        Ledger_rows(old, "CREATE TABLE t (x INTEGER);");
        EXPECT_FALSE(Open_ledger(old.where.c_str(), &ledger, fault));
        EXPECT_STREQ(fault.why, "holds tables of another kind, not a ledger");
        Ledger_close(ledger);
        Ledger_rows(old, "DROP TABLE t;");
    }
    Ledger_rows(old, "CREATE TABLE batch (id INTEGER PRIMARY KEY, started TEXT NOT NULL, template_sha256 TEXT NOT NULL,"
                     " outdir TEXT NOT NULL, units INTEGER NOT NULL, finished TEXT);"
                     "CREATE TABLE address (mac TEXT PRIMARY KEY, batch INTEGER NOT NULL REFERENCES batch(id),"
                     " unit INTEGER NOT NULL, serial TEXT, sha256 TEXT);"
                     "INSERT INTO batch VALUES (1, '2025-01-01T00:00:00Z', 'ab', '/old', 1, '2025-01-01T00:00:01Z');"
                     "INSERT INTO address VALUES ('0050c2000001', 1, 1, 'SN-1', 'cd');");
    bool opened = Open_ledger(old.where.c_str(), &ledger, fault);
    if (old.backend == BACKEND_SERVER) {
        EXPECT_FALSE(opened);
        EXPECT_STREQ(fault.why, "holds a batch table but no ledger_schema: not a ledger");
        return;
    }
    ASSERT_TRUE(opened) << fault.why;
    Ledger_batch batch{};
    std::vector<Ledger_issued> issued;
    ASSERT_TRUE(Ledger_read(ledger, 1, batch, issued, fault));
    EXPECT_EQ(batch.version + "|" + std::to_string(batch.reissue) + "|" + issued.at(0).serial, "|0|SN-1");
    EXPECT_EQ(Issue(ledger, {{Mac(2), 1, "", Digest_of(1)}}), 2);
    EXPECT_EQ(Ledger_rows(old, "SELECT version FROM ledger_schema; SELECT count(*) FROM claim"), "2\n0\n");
}

INSTANTIATE_TEST_SUITE_P(Backends, LedgerTest, testing::Values(BACKEND_SQLITE, BACKEND_SERVER),
                         [](const testing::TestParamInfo<Backend> &info) { return Backend_name(info.param); });

// A server's URI is named without its password, in the URI's user part or
// its parameters, and no message shows it.
TEST(LedgerServer, NamedWithoutItsPassword)
{
    const std::string gone = Scratch_dir() + "/gone";
    const std::pair<std::string, std::string> uris[] = {
        {"postgresql://station:s3cret@/ledger?host=G", "postgresql://station:***@/ledger?host=G"},
        {"postgres://station@/ledger?host=G&password=s3cret", "postgres://station@/ledger?host=G&password=***"},
        {"postgresql://station:s3%63ret@/ledger?%70assword=s3cOther&host=G",
         "postgresql://station:***@/ledger?%70assword=***&host=G"},
        {"postgresql://station:s3cret@/ledger?password=s3cOther%zz&host=G",
         "postgresql://station:***@/ledger?password=***&host=G"},
        {"postgresql://station@/ledger?host=G", "postgresql://station@/ledger?host=G"},
    };
    for (auto [uri, name] : uris) {
        for (std::string *text : {&uri, &name})
            text->replace(text->find("host=G") + 5, 1, gone);
        Ledger *ledger = nullptr;
        Fault fault{};
        EXPECT_FALSE(Open_ledger(uri.c_str(), &ledger, fault));
        EXPECT_EQ(Ledger_name(ledger), name);
        std::string error = fault.why;
        EXPECT_EQ(error.find("s3c"), std::string::npos) << error;
        EXPECT_TRUE(error == "connection to server on socket \"" + gone + "/.s.PGSQL.5432\" failed: No such file or directory" ||
                    error == "invalid percent-encoded token: \"***\"")
            << error;
        Ledger_close(ledger);
    }
}

} // namespace
