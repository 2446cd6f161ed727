// recledger's queries on a small hand-built ledger, each case run against
// both backends: find by every form of a key, the report's counts, and the
// export, byte for byte. The ledger's rows are written with plain SQL; on a
// server, the server sets every claim's and read-back's login itself.
#include "find.h"
#include "ledgers.h"
#include "open_ledger.h"
#include "query.h"

#include <gtest/gtest.h>

namespace {

const std::string SHA1(64, '1');
const std::string SHA2(64, '2');
const std::string TEMPLATE(64, 'e');

// Batch 1 has a range, a host and a runner; batch 2, as an earlier layout
// left it, has none. Unit 2 of batch 1 has two addresses, and was voided
// after its read-back (a void is its base's); unit 3 was never claimed, and
// voided. Address ...01 failed its first read-back and passed
// its second, claimed again within the second of the first read-back (the
// history keeps them in the order they happened); ...10 was claimed, released, claimed at another station and
// failed. The serial SN-2 is on two units; abcdefabcdef reads as a MAC.
std::string Ledger_sql()
{
    return "INSERT INTO batch (id, started, template_sha256, outdir, units, finished, version, reissue,"
           " range_first, range_last, host, runner) VALUES"
           " (1, '2026-03-01T08:00:00Z', '" + TEMPLATE + "', '/srv/b1', 3, '2026-03-01T08:01:00Z', '2.8', 0,"
           " '0050c2100000', '0050c21000ff', 'line2-pc', 'alice'),"
           " (2, '2026-03-05T08:00:00Z', '" + TEMPLATE + "', '/srv/b2', 2, NULL, '2.8', 1, NULL, NULL, NULL, NULL);"
           "INSERT INTO address (mac, batch, unit, serial, sha256) VALUES"
           " ('0050c2100001', 1, 1, 'SN-1', '" + SHA1 + "'), ('0050c2100002', 1, 2, 'SN-2', '" + SHA2 + "'),"
           " ('0050c2100003', 1, 2, 'SN-2', '" + SHA2 + "'), ('0050c2100004', 1, 3, NULL, '" + SHA1 + "'),"
           " ('0050c2100010', 2, 1, 'SN-2', '" + SHA2 + "'), ('0050c2100011', 2, 2, 'abcdefabcdef', '" + SHA1 + "');"
           "INSERT INTO claim (id, mac, station, claimed, version) VALUES"
           " (1, '0050c2100001', 'st1', '2026-03-01T09:00:00Z', '2.8'),"
           " (2, '0050c2100001', 'st1', '2026-03-01T09:01:00Z', '2.8'),"
           " (3, '0050c2100002', 'st2', '2026-03-01T09:10:00Z', '2.8'),"
           " (4, '0050c2100010', 'st2', '2026-03-05T10:00:00Z', '2.8'),"
           " (5, '0050c2100010', 'st1', '2026-03-05T10:40:00Z', '2.8');"
           "INSERT INTO readback (claim, verdict, checked, differs_at) VALUES"
           " (1, 'failed', '2026-03-01T09:01:00Z', 112), (2, 'verified', '2026-03-01T09:06:00Z', NULL),"
           " (3, 'verified', '2026-03-01T09:11:00Z', NULL), (5, 'failed', '2026-03-05T10:41:00Z', 0);"
           "INSERT INTO void (mac, reason, who, at) VALUES ('0050c2100004', 'scrapped, \"cracked\"', 'qa1',"
           " '2026-03-02T12:00:00Z'), ('0050c2100002', 'returned', 'qa1', '2026-03-02T13:00:00Z');"
           "INSERT INTO release (claim, mac, reason, who, at) VALUES (4, '0050c2100010', 'station died', 'sup',"
           " '2026-03-05T10:30:00Z');";
}

// Every "{login}" in text as the backend records a claim's login.
std::string With_login(std::string text, Backend backend)
{
    // On a server the login of a claim and the runner of a batch are the
    // session's, whatever the row said; on a file the runner is as written.
    std::string login = backend == BACKEND_SERVER ? "postgres" : "";
    for (std::size_t at = 0; (at = text.find("{login}", at)) != std::string::npos; at += login.size())
        text.replace(at, 7, login);
    // {as:NAME}: who a row says did it; a server writes the session's login.
    for (std::size_t at = 0; (at = text.find("{as:", at)) != std::string::npos;) {
        std::size_t end = text.find('}', at);
        std::string who = backend == BACKEND_SERVER ? "postgres" : text.substr(at + 4, end - at - 4);
        text.replace(at, end + 1 - at, who);
        at += who.size();
    }
    return text;
}

// A match, one line each: address, unit's first-last, unit, serial, batch
// (id, range, host, user), then one line per event.
std::string Matches_text(const std::vector<Ledger_found> &matches)
{
    std::string text;
    for (const Ledger_found &found : matches) {
        const Ledger_batchInfo &batch = found.batch;
        text += std::string(Mac_hex(found.mac).data()) + " " + Mac_hex(found.first).data() + "-" +
                Mac_hex(found.last).data() + " u" + std::to_string(found.unit) + " " + found.serial + " b" +
                std::to_string(batch.id) + " " + batch.started + " " + batch.finished + " " +
                (batch.ranged ? std::string(Mac_hex(batch.range.first).data()) + "-" + Mac_hex(batch.range.last).data()
                              : "-") +
                " " + batch.host + " " + batch.user + (found.sha256 == SHA1 ? " sha1" : " sha2") + "\n";
        for (const Ledger_event &event : found.history)
            text += "  " + std::string(Find_kindName(event.kind)) + " " + event.when + " " + event.who + " " +
                    event.station + (event.kind == LEDGER_EVENT_READBACK
                                         ? (event.verified ? " verified" : " failed@" + std::to_string(event.differsAt))
                                         : "") +
                    " " + event.reason + "\n";
    }
    return text;
}

std::string Counts_text(const Ledger_report &report)
{
    std::string text;
    for (const Ledger_batchCount &b : report.batches)
        text += "batch " + std::to_string(b.id) + " " + b.started + " " + std::to_string(b.units) + " " +
                std::to_string(b.claimed) + " " + std::to_string(b.verified) + " " + std::to_string(b.failed) + " " +
                std::to_string(b.neverClaimed) + " " + std::to_string(b.voided) + "\n";
    for (const Ledger_stationCount &s : report.stations)
        text += "station " + s.station + " " + std::to_string(s.claims) + " " + std::to_string(s.readBack) + " " +
                std::to_string(s.firstPass) + " " + std::to_string(s.retries) + "\n";
    for (const Ledger_rangeCount &r : report.ranges)
        text += "range " + std::string(Mac_hex(r.range.first).data()) + " " + std::to_string(r.issued) + " " +
                std::to_string(r.voided) + " " + std::to_string(r.free) + " " + std::to_string(r.issuedWeek) + "\n";
    for (const Ledger_hourCount &h : report.hours)
        text += "hour " + h.hour + " " + h.station + " " + std::to_string(h.verified) + "\n";
    return text;
}

class RecledgerLedger : public testing::TestWithParam<Backend> {
protected:
    void SetUp() override
    {
        dir = Scratch_dir();
        test = New_ledger(GetParam(), dir);
        ASSERT_FALSE(test.where.empty());
        ASSERT_TRUE(Open_ledger(test.where.c_str(), &ledger, fault)) << fault.why;
        Ledger_rows(test, Ledger_sql());
        ASSERT_EQ(Ledger_rows(test, "SELECT count(*) FROM claim"), "5\n");
    }
    void TearDown() override { Ledger_close(ledger); }
    std::string dir;
    Test_ledger test;
    Ledger *ledger = nullptr;
    Fault fault{};
};

const std::string BATCH1 = "b1 2026-03-01T08:00:00Z 2026-03-01T08:01:00Z 0050c2100000-0050c21000ff line2-pc {as:alice}";
const std::string BATCH2 = "b2 2026-03-05T08:00:00Z  -  {as:}";

TEST_P(RecledgerLedger, FindsByEveryFormOfAKey)
{
    const std::string FIRST = "0050c2100001 0050c2100001-0050c2100001 u1 SN-1 " + BATCH1 + " sha1\n"
                              "  claim 2026-03-01T09:00:00Z {login} st1 \n"
                              "  read-back 2026-03-01T09:01:00Z {login} st1 failed@112 \n"
                              "  claim 2026-03-01T09:01:00Z {login} st1 \n"
                              "  read-back 2026-03-01T09:06:00Z {login} st1 verified \n";
    // A unit of two addresses: found by either, with its base's history; by
    // its serial, once.
    const std::string HISTORY2 = "  claim 2026-03-01T09:10:00Z {login} st2 \n"
                                 "  read-back 2026-03-01T09:11:00Z {login} st2 verified \n"
                                 "  void 2026-03-02T13:00:00Z {as:qa1}  returned\n";
    const std::string SECOND = "0050c2100002 0050c2100002-0050c2100003 u2 SN-2 " + BATCH1 + " sha2\n" + HISTORY2;
    const std::string THIRD = "0050c2100003 0050c2100002-0050c2100003 u2 SN-2 " + BATCH1 + " sha2\n" + HISTORY2;
    const std::string TENTH = "0050c2100010 0050c2100010-0050c2100010 u1 SN-2 " + BATCH2 + " sha2\n"
                              "  claim 2026-03-05T10:00:00Z {login} st2 \n"
                              "  release 2026-03-05T10:30:00Z {as:sup}  station died\n"
                              "  claim 2026-03-05T10:40:00Z {login} st1 \n"
                              "  read-back 2026-03-05T10:41:00Z {login} st1 failed@0 \n";
    const struct {
        const char *key;
        std::string matches;
    } cases[] = {
        {"0050c2100001", FIRST},
        {"00:50:C2:10:00:01", FIRST},
        {"00-50-c2-10-00-01", FIRST},
        {"0050.c210.0001", FIRST},
        {"SN-2", SECOND + TENTH},
        {"0050c2100003", THIRD},
        {"0050c2100004", "0050c2100004 0050c2100004-0050c2100004 u3  " + BATCH1 +
                             " sha1\n  void 2026-03-02T12:00:00Z {as:qa1}  scrapped, \"cracked\"\n"},
        {"abcdefabcdef", "0050c2100011 0050c2100011-0050c2100011 u2 abcdefabcdef " + BATCH2 + " sha1\n"},
        {"00:50:c2:10:00:99", ""},
        {"SN-404", ""},
        {"sn-1", ""},
    };
    for (const auto &c : cases) {
        Find_key key{c.key, false, {}};
        key.isMac = Mac_parseAny(key.text, key.mac);
        std::vector<Ledger_found> matches;
        ASSERT_TRUE(Find_lookup(ledger, key, matches, fault)) << fault.why;
        EXPECT_EQ(Matches_text(matches), With_login(c.matches, GetParam())) << c.key;
    }
}

TEST_P(RecledgerLedger, CountsByBatchStationRangeAndHour)
{
    Ledger_report report{};
    // Only batch 2 was issued in the week before.
    ASSERT_TRUE(Ledger_counts(ledger, "2026-03-09T00:00:00Z", report, fault)) << fault.why;
    EXPECT_EQ(report.made, "2026-03-09T00:00:00Z");
    // Units by batch; addresses by range (both of voided unit 2's).
    EXPECT_EQ(Counts_text(report), "batch 1 2026-03-01T08:00:00Z 3 2 2 0 1 2\n"
                                   "batch 2 2026-03-05T08:00:00Z 2 1 0 1 1 0\n"
                                   "station st1 3 2 0 1\n"
                                   "station st2 2 1 1 0\n"
                                   "range 0050c2100000 6 3 250 2\n"
                                   "hour 2026-03-01T09 st1 1\n"
                                   "hour 2026-03-01T09 st2 1\n");
}

// The README's queries for a line lead, as written: a unit voided (unit 2
// of batch 1, by its second address) is not one never claimed, nor a claim
// released one without a read-back.
TEST_P(RecledgerLedger, TheReadmeQueriesAsWritten)
{
    std::string queries = Doc_block(README_FILE, "    -- batches not finished");
    ASSERT_NE(queries, "");
    EXPECT_EQ(Ledger_rows(test, queries), "2|2026-03-05T08:00:00Z|/srv/b2|2\n"
                                          "0050c2100001|st1|2026-03-01T09:01:00Z|112\n"
                                          "0050c2100010|st1|2026-03-05T10:41:00Z|0\n");
}

// The program end to end: its statuses and messages, and the export's bytes.
TEST_P(RecledgerLedger, ProgramFindsAndExports)
{
    Program_result run = Run_program(RECLEDGER, {"-l", test.where, "find", "SN-404"}, dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "recledger: SN-404: neither a MAC address nor a serial that the ledger knows\n");
    run = Run_program(RECLEDGER, {"-l", test.where, "find", "0050c2100099"}, dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "recledger: 0050c2100099: an address that the ledger never issued\n");

    const std::string head = "address,batch,unit,serial,image_sha256,event,time,who,station,verdict,differs_at,reason\r\n";
    const std::string a1 = "00:50:c2:10:00:01,1,1,SN-1," + SHA1;
    const std::string a10 = "00:50:c2:10:00:10,2,1,SN-2," + SHA2;
    const std::string csv = head + a1 + ",claim,2026-03-01T09:00:00Z,{login},st1,,,\r\n" + a1 +
                            ",read-back,2026-03-01T09:01:00Z,{login},st1,failed,112,\r\n" + a1 +
                            ",claim,2026-03-01T09:01:00Z,{login},st1,,,\r\n" + a1 +
                            ",read-back,2026-03-01T09:06:00Z,{login},st1,verified,,\r\n"
                            "00:50:c2:10:00:02,1,2,SN-2," + SHA2 + ",claim,2026-03-01T09:10:00Z,{login},st2,,,\r\n"
                            "00:50:c2:10:00:02,1,2,SN-2," + SHA2 + ",read-back,2026-03-01T09:11:00Z,{login},st2,verified,,\r\n"
                            "00:50:c2:10:00:02,1,2,SN-2," + SHA2 + ",void,2026-03-02T13:00:00Z,{as:qa1},,,,returned\r\n"
                            "00:50:c2:10:00:03,1,2,SN-2," + SHA2 + ",,,,,,,\r\n"
                            "00:50:c2:10:00:04,1,3,," + SHA1 + ",void,2026-03-02T12:00:00Z,{as:qa1},,,,\"scrapped, \"\"cracked\"\"\"\r\n" +
                            a10 + ",claim,2026-03-05T10:00:00Z,{login},st2,,,\r\n" + a10 +
                            ",release,2026-03-05T10:30:00Z,{as:sup},,,,station died\r\n" + a10 +
                            ",claim,2026-03-05T10:40:00Z,{login},st1,,,\r\n" + a10 +
                            ",read-back,2026-03-05T10:41:00Z,{login},st1,failed,0,\r\n"
                            "00:50:c2:10:00:11,2,2,abcdefabcdef," + SHA1 + ",,,,,,,\r\n";
    run = Run_program(RECLEDGER, {"-l", test.where, "export"}, dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, With_login(csv, GetParam()));

    const std::string login = GetParam() == BACKEND_SERVER ? "\"{login}\"" : "null";
    const std::string jsonl =
        "{\"address\": \"00:50:c2:10:00:04\", \"batch\": 1, \"unit\": 3, \"serial\": null, \"image_sha256\": \"" + SHA1 +
        "\", \"history\": [{\"event\": \"void\", \"time\": \"2026-03-02T12:00:00Z\", \"who\": \"{as:qa1}\", \"reason\": "
        "\"scrapped, \\\"cracked\\\"\"}]}\n"
        "{\"address\": \"00:50:c2:10:00:10\", \"batch\": 2, \"unit\": 1, \"serial\": \"SN-2\", \"image_sha256\": \"" +
        SHA2 + "\", \"history\": [{\"event\": \"claim\", \"time\": \"2026-03-05T10:00:00Z\", \"who\": " + login +
        ", \"station\": \"st2\"}, {\"event\": \"release\", \"time\": \"2026-03-05T10:30:00Z\", \"who\": \"{as:sup}\", "
        "\"reason\": \"station died\"}, {\"event\": \"claim\", \"time\": \"2026-03-05T10:40:00Z\", \"who\": " + login +
        ", \"station\": \"st1\"}, {\"event\": \"read-back\", \"time\": \"2026-03-05T10:41:00Z\", \"who\": " + login +
        ", \"station\": \"st1\", \"verdict\": \"failed\", \"differs_at\": 0}]}\n";
    run = Run_program(RECLEDGER, {"-j", "-l", test.where, "export"}, dir);
    EXPECT_EQ(run.status, 0) << run.err;
    std::size_t from = run.out.find("{\"address\": \"00:50:c2:10:00:04\"");
    std::size_t to = run.out.find("{\"address\": \"00:50:c2:10:00:11\"");
    ASSERT_NE(to, std::string::npos) << run.out;
    EXPECT_EQ(run.out.substr(from, to - from), With_login(jsonl, GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Backends, RecledgerLedger, testing::Values(BACKEND_SQLITE, BACKEND_SERVER),
                         [](const auto &info) { return std::string(Backend_name(info.param)); });

} // namespace
