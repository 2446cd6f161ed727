// recledger: its command line, as the program answers it; find's and
// report's forms from plain records, byte for byte; and the report page,
// opened in headless Chromium.
#include "find.h"
#include "harness.h"
#include "page.h"
#include "report.h"
#include "report_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

// fontconfig keeps a little of the configuration it parses at FcInit out of
// reach of its own config (tests/lsan.supp); the charts' text brings it into
// this process, and into recledger's when it writes a page.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}

namespace {

const bool LSAN_SET = setenv("LSAN_OPTIONS", "print_suppressions=0:suppressions=" LSAN_SUPPRESSIONS, 0) == 0;

// What a renderer writes to a stream, as a string.
template <typename Render, typename Data>
std::string Rendered(Render render, const Data &data)
{
    char *bytes = nullptr;
    std::size_t size = 0;
    std::FILE *out = open_memstream(&bytes, &size);
    render(out, data);
    std::fclose(out);
    std::string text(bytes, size);
    std::free(bytes);
    return text;
}

const std::string IMAGE_SHA = "9c56cc51b374c3ba189210d5b6d4bf57790d351c96c47c02190ecf1e430635ab";
const std::string TEMPLATE_SHA = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::vector<Find_result> Find_fixture()
{
    Ledger_batchInfo batch{3, "2026-03-01T08:00:00Z", "2026-03-01T08:01:10Z", "/srv/batches/b3", TEMPLATE_SHA, true,
                           {{0x0050c2100000}, {0x0050c2100fff}}, "line2-pc", "alice"};
    Ledger_found serial{{0x0050c2100011}, {0x0050c2100011}, {0x0050c2100011}, batch, 17, "SN-0017", IMAGE_SHA, {}};
    serial.history = {
        {LEDGER_EVENT_CLAIM, "2026-03-01T09:12:00Z", "line2_st4", "st4", false, -1, ""},
        {LEDGER_EVENT_READBACK, "2026-03-01T09:13:05Z", "line2_st4", "st4", false, 112, ""},
        {LEDGER_EVENT_CLAIM, "2026-03-01T09:14:00Z", "line2_st4", "st4", false, -1, ""},
        {LEDGER_EVENT_READBACK, "2026-03-01T09:15:00Z", "line2_st4", "st4", true, -1, ""},
        {LEDGER_EVENT_RELEASE, "2026-03-01T10:00:00Z", "", "", false, -1, "station died"},
        {LEDGER_EVENT_VOID, "2026-03-02T11:00:00Z", "qa1", "", false, -1, "returned\n\"cracked\" \xe2\x80\xae"},
    };
    Ledger_batchInfo old{4, "2026-03-02T08:00:00Z", "", "/srv/batches/b4", TEMPLATE_SHA, false, {}, "", ""};
    Ledger_found mac{{0x0050c2100021}, {0x0050c2100020}, {0x0050c2100023}, old, 9, "", IMAGE_SHA, {}};
    // Filled in place: GCC 12's optimiser sees a nested list of them as read
    // uninitialised.
    std::vector<Find_result> results(3);
    results[0].key.text = "SN-0017";
    results[0].matches.push_back(serial);
    results[1].key.text = "NONE-1";
    results[2].key = Find_key{"00-50-C2-10-00-21", true, {0x0050c2100021}};
    results[2].matches.push_back(mac);
    return results;
}

TEST(RecledgerFind, TextAndJsonByteForByte)
{
    const std::string text = "address    00:50:c2:10:00:11\n"
                             "key        SN-0017\n"
                             "unit       17\n"
                             "serial     SN-0017\n"
                             "image      " + IMAGE_SHA + "\n"
                             "batch      3\n"
                             "started    2026-03-01T08:00:00Z\n"
                             "finished   2026-03-01T08:01:10Z\n"
                             "outdir     /srv/batches/b3\n"
                             "template   " + TEMPLATE_SHA + "\n"
                             "range      00:50:c2:10:00:00-00:50:c2:10:0f:ff\n"
                             "host       line2-pc\n"
                             "user       alice\n"
                             "history\n"
                             "  2026-03-01T09:12:00Z  claim      station st4, login line2_st4\n"
                             "  2026-03-01T09:13:05Z  read-back  failed, differs at offset 112, station st4, "
                             "login line2_st4\n"
                             "  2026-03-01T09:14:00Z  claim      station st4, login line2_st4\n"
                             "  2026-03-01T09:15:00Z  read-back  verified, station st4, login line2_st4\n"
                             "  2026-03-01T10:00:00Z  release    by (unknown): station died\n"
                             "  2026-03-02T11:00:00Z  void       by qa1: returned\\n\"cracked\" \\u202e\n"
                             "\n"
                             "address    00:50:c2:10:00:21\n"
                             "key        00-50-C2-10-00-21\n"
                             "addresses  00:50:c2:10:00:20-00:50:c2:10:00:23\n"
                             "unit       9\n"
                             "serial     (none)\n"
                             "image      " + IMAGE_SHA + "\n"
                             "batch      4\n"
                             "started    2026-03-02T08:00:00Z\n"
                             "finished   (not finished)\n"
                             "outdir     /srv/batches/b4\n"
                             "template   " + TEMPLATE_SHA + "\n"
                             "range      (not recorded)\n"
                             "host       (not recorded)\n"
                             "user       (not recorded)\n"
                             "history    (none)\n";
    const std::string batch3 = "\"batch\": {\"id\": 3, \"started\": \"2026-03-01T08:00:00Z\", \"finished\": "
                               "\"2026-03-01T08:01:10Z\", \"outdir\": \"/srv/batches/b3\", \"template_sha256\": \"" +
                               TEMPLATE_SHA + "\", \"range\": {\"first\": \"00:50:c2:10:00:00\", \"last\": "
                               "\"00:50:c2:10:0f:ff\"}, \"host\": \"line2-pc\", \"user\": \"alice\"},\n";
    const std::string batch4 = "\"batch\": {\"id\": 4, \"started\": \"2026-03-02T08:00:00Z\", \"finished\": null, "
                               "\"outdir\": \"/srv/batches/b4\", \"template_sha256\": \"" + TEMPLATE_SHA +
                               "\", \"range\": null, \"host\": null, \"user\": null},\n";
    const std::string json =
        "{\"matches\": [\n"
        "{\n  \"key\": \"SN-0017\",\n  \"address\": \"00:50:c2:10:00:11\",\n  \"first\": \"00:50:c2:10:00:11\",\n"
        "  \"last\": \"00:50:c2:10:00:11\",\n  \"unit\": 17,\n  \"serial\": \"SN-0017\",\n"
        "  \"image_sha256\": \"" + IMAGE_SHA + "\",\n  " + batch3 +
        "  \"history\": [\n"
        "    {\"event\": \"claim\", \"time\": \"2026-03-01T09:12:00Z\", \"who\": \"line2_st4\", \"station\": \"st4\"},\n"
        "    {\"event\": \"read-back\", \"time\": \"2026-03-01T09:13:05Z\", \"who\": \"line2_st4\", \"station\": "
        "\"st4\", \"verdict\": \"failed\", \"differs_at\": 112},\n"
        "    {\"event\": \"claim\", \"time\": \"2026-03-01T09:14:00Z\", \"who\": \"line2_st4\", \"station\": \"st4\"},\n"
        "    {\"event\": \"read-back\", \"time\": \"2026-03-01T09:15:00Z\", \"who\": \"line2_st4\", \"station\": "
        "\"st4\", \"verdict\": \"verified\", \"differs_at\": null},\n"
        "    {\"event\": \"release\", \"time\": \"2026-03-01T10:00:00Z\", \"who\": null, \"reason\": \"station died\"},\n"
        "    {\"event\": \"void\", \"time\": \"2026-03-02T11:00:00Z\", \"who\": \"qa1\", \"reason\": "
        "\"returned\\u000a\\\"cracked\\\" \xe2\x80\xae\"}\n"
        "  ]\n}"
        ",\n"
        "{\n  \"key\": \"00-50-C2-10-00-21\",\n  \"address\": \"00:50:c2:10:00:21\",\n"
        "  \"first\": \"00:50:c2:10:00:20\",\n  \"last\": \"00:50:c2:10:00:23\",\n  \"unit\": 9,\n"
        "  \"serial\": null,\n  \"image_sha256\": \"" + IMAGE_SHA + "\",\n  " + batch4 +
        "  \"history\": []\n}\n"
        "]}\n";
    std::vector<Find_result> results = Find_fixture();
    EXPECT_EQ(Rendered(Find_text, results), text);
    EXPECT_EQ(Rendered(Find_json, results), json);
}

Ledger_report Small_report()
{
    Ledger_report report{};
    report.made = "2026-03-04T18:05:00Z";
    report.batches = {{7, "2026-03-01T05:40:12Z", 1000, 998, 995, 3, 2, 0},
                      {12, "2026-03-04T05:58:03Z", 20, 0, 0, 0, 20, 1}};
    report.stations = {{"line1-st1", 735, 728, 721, 7}, {"sp\xc3\xa4t\x1b[2J", 1, 0, 0, 0}};
    report.ranges = {{{{0x0050c2100000}, {0x0050c2100fff}}, 4096, 3, 0, 1200},
                     {{{0x0050c2101000}, {0x0050c2103fff}}, 2000, 2, 10288, 2000},
                     {{{0x0050c2a00000}, {0x0050c2afffff}}, 104, 0, 1048472, 0}};
    report.hours = {{"2026-03-04T09", "line1-st1", 37}};
    return report;
}

TEST(RecledgerReport, TextAndJsonByteForByte)
{
    const std::string text =
        "report of the ledger at 2026-03-04T18:05:00Z\n"
        "\n"
        "batch  started               units  claimed  verified  failed  never claimed  voided\n"
        "    7  2026-03-01T05:40:12Z   1000      998       995       3              2       0\n"
        "   12  2026-03-04T05:58:03Z     20        0         0       0             20       1\n"
        "\n"
        "station      claims  read back  first pass  yield  retries\n"
        "line1-st1       735        728         721  99.0%        7\n"
        "sp\xc3\xa4t\\x1b[2J       1          0           0      -        0\n"
        "\n"
        "range                                issued  voided     free  per day (7 days)  runs out\n"
        "00:50:c2:10:00:00-00:50:c2:10:0f:ff    4096       3        0             171.4  2026-03-04\n"
        "00:50:c2:10:10:00-00:50:c2:10:3f:ff    2000       2    10288             285.7  2026-04-10\n"
        "00:50:c2:a0:00:00-00:50:c2:af:ff:ff     104       0  1048472               0.0  -\n";
    const std::string json =
        "{\n  \"made\": \"2026-03-04T18:05:00Z\",\n"
        "  \"batches\": [\n"
        "    {\"id\": 7, \"started\": \"2026-03-01T05:40:12Z\", \"units\": 1000, \"claimed\": 998, \"verified\": 995, "
        "\"failed\": 3, \"never_claimed\": 2, \"voided\": 0},\n"
        "    {\"id\": 12, \"started\": \"2026-03-04T05:58:03Z\", \"units\": 20, \"claimed\": 0, \"verified\": 0, "
        "\"failed\": 0, \"never_claimed\": 20, \"voided\": 1}\n"
        "  ],\n"
        "  \"stations\": [\n"
        "    {\"station\": \"line1-st1\", \"claims\": 735, \"read_back\": 728, \"first_pass\": 721, "
        "\"first_pass_yield\": 0.9904, \"retries\": 7},\n"
        "    {\"station\": \"sp\xc3\xa4t\\u001b[2J\", \"claims\": 1, \"read_back\": 0, \"first_pass\": 0, "
        "\"first_pass_yield\": null, \"retries\": 0}\n"
        "  ],\n"
        "  \"ranges\": [\n"
        "    {\"first\": \"00:50:c2:10:00:00\", \"last\": \"00:50:c2:10:0f:ff\", \"issued\": 4096, \"voided\": 3, "
        "\"free\": 0, \"issued_last_7_days\": 1200, \"per_day\": 171.4, \"runs_out\": \"2026-03-04\"},\n"
        "    {\"first\": \"00:50:c2:10:10:00\", \"last\": \"00:50:c2:10:3f:ff\", \"issued\": 2000, \"voided\": 2, "
        "\"free\": 10288, \"issued_last_7_days\": 2000, \"per_day\": 285.7, \"runs_out\": \"2026-04-10\"},\n"
        "    {\"first\": \"00:50:c2:a0:00:00\", \"last\": \"00:50:c2:af:ff:ff\", \"issued\": 104, \"voided\": 0, "
        "\"free\": 1048472, \"issued_last_7_days\": 0, \"per_day\": 0.0, \"runs_out\": null}\n"
        "  ],\n"
        "  \"hours\": [\n"
        "    {\"hour\": \"2026-03-04T09\", \"station\": \"line1-st1\", \"verified\": 37}\n"
        "  ]\n"
        "}\n";
    Ledger_report report = Small_report();
    EXPECT_EQ(Rendered(Report_text, report), text);
    EXPECT_EQ(Rendered(Report_json, report), json);
    Ledger_report empty{"2026-03-04T18:05:00Z", {}, {}, {}, {}};
    EXPECT_EQ(Rendered(Report_json, empty), "{\n  \"made\": \"2026-03-04T18:05:00Z\",\n  \"batches\": [],\n"
                                            "  \"stations\": [],\n  \"ranges\": [],\n  \"hours\": []\n}\n");
}

TEST(RecledgerReport, RunsOutAtTheLastWeeksRate)
{
    struct Case {
        std::uint64_t free, week;
        const char *made;
        const char *day; // "" for none
    };
    const Case cases[] = {
        {10288, 2000, "2026-03-04T18:05:00Z", "2026-04-10"}, // 36.01 days: the 37th
        {7, 7, "2026-03-04T18:05:00Z", "2026-03-11"},        // one a day: a week
        {1, 7, "2026-12-31T23:59:59Z", "2027-01-01"},        // the last one tomorrow
        {6, 7, "2028-02-28T00:00:00Z", "2028-03-05"},        // across a leap day
        {0, 0, "2026-03-04T18:05:00Z", "2026-03-04"},        // none left: today
        {5, 0, "2026-03-04T18:05:00Z", ""},                  // none issued in the week
        {1ULL << 40, 1, "2026-03-04T18:05:00Z", ""},         // past the year 9999
        {10, 7, "2026-02-30T00:00:00Z", ""},                 // no such day
        {10, 7, "", ""},
    };
    for (const Case &c : cases) {
        Ledger_rangeCount range{{{0}, {0}}, 0, 0, c.free, c.week};
        EXPECT_EQ(Report_runsOut(range, c.made), c.day) << c.free << " " << c.week << " " << c.made;
    }
}

// Whether html asks for anything outside itself: a source, a link, a style
// from a URL, or a script. References within the page (href="#...",
// url(#...)) and the SVG's namespace names are no loads.
std::string Outside_reference(const std::string &html)
{
    for (const char *load : {"src=", "<script", "<link", "<iframe", "<object", "<embed", "@import", "<img", "srcset"})
        if (html.find(load) != std::string::npos)
            return load;
    for (std::string_view ref : {"href=\"", "url("}) {
        for (std::size_t at = 0; (at = html.find(ref, at)) != std::string::npos; at += ref.size())
            if (html.compare(at + ref.size(), 1, "#") != 0)
                return html.substr(at, 40);
    }
    return "";
}

TEST(RecledgerPage, EscapesEveryTextOfTheLedger)
{
    Ledger_report report = Small_report();
    report.stations.push_back({"<script>alert(1)</script>", 3, 3, 3, 0});
    report.stations.push_back({"R&D \"st\" 'x'", 2, 2, 1, 1});
    report.hours.push_back({"2026-03-04T10", "<script>alert(1)</script>", 3});
    report.made = "2026-03-04T18:05:00Z<i>";
    std::string page;
    Fault fault{};
    ASSERT_TRUE(Page_render(report, "postgresql://line@db/<ledger>&", page, fault)) << fault.why;
    EXPECT_EQ(Outside_reference(page), "");
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("<i>"), std::string::npos);
    for (const char *escaped : {"<td>&lt;script&gt;alert(1)&lt;/script&gt;</td>", "<td>R&amp;D &quot;st&quot; &#39;x&#39;</td>",
                                "<td>sp\xc3\xa4t\\x1b[2J</td>", "<title>Ledger report: postgresql://line@db/&lt;ledger&gt;&amp;</title>",
                                "counted at 2026-03-04T18:05:00Z&lt;i&gt;</p>"})
        EXPECT_NE(page.find(escaped), std::string::npos) << escaped;
    EXPECT_EQ(page.find('\x1b'), std::string::npos);
}

TEST(RecledgerPage, StaysSmallForALargeLedger)
{
    // A year of a large factory: more of everything than the page shows.
    Ledger_report report{"2026-12-31T23:00:00Z", {}, {}, {}, {}};
    for (long long id = 1; id <= 5000; ++id)
        report.batches.push_back({id, "2026-01-01T00:00:00Z", 200, 200, 198, 1, 0, 1});
    for (int s = 0; s < 800; ++s)
        report.stations.push_back({"line" + std::to_string(s / 8) + "-station-" + std::string(40, 'x') +
                                       std::to_string(s), 1250, 1240, 1200, 50});
    for (std::uint64_t r = 0; r < 600; ++r)
        report.ranges.push_back({{{0x0050c2000000 + r * 4096}, {0x0050c2000fff + r * 4096}}, 1000, 5, 3096, 70});
    for (int day = 1; day <= 28; ++day)
        for (int hour = 0; hour < 24; ++hour)
            for (int s = 0; s < 40; ++s) {
                char text[16];
                std::snprintf(text, sizeof text, "2026-02-%02dT%02d", day, hour);
                report.hours.push_back({text, report.stations[static_cast<std::size_t>(s)].station, 20});
            }
    std::string page;
    Fault fault{};
    ASSERT_TRUE(Page_render(report, "/srv/ledger.db", page, fault)) << fault.why;
    EXPECT_LE(page.size(), 2u << 20);
    for (const char *note : {"the last 72 of the 672 hours", "the other 32 are shown together",
                             "the 30 stations with the most units read back, and leaves out the other 770.",
                             "the 20 ranges with the smallest share left, and leaves out the other 580.",
                             "the newest 500 of the 5000 batches", "the first 500 of the 800 stations",
                             "the first 200 of the 600 ranges"})
        EXPECT_NE(page.find(note), std::string::npos) << note;
}

TEST(RecledgerPage, WrittenWholeOrNotAtAll)
{
    std::string dir = Scratch_dir();
    mkdir((dir + "/folder").c_str(), 0755);
    mkfifo((dir + "/fifo").c_str(), 0644);
    symlink("page.html", (dir + "/link").c_str());
    struct Case {
        std::string path;
        bool saved;
        int errnum;
    };
    const Case cases[] = {
        {dir + "/page.html", true, 0},
        {dir + "/page.html", true, 0},      // over an earlier page
        {dir + "/folder", false, EISDIR},   // a folder is not replaced
        {dir + "/fifo", false, 0},          // nor a device or a pipe
        {dir + "/link", false, 0},          // nor a link
        {dir + "/none/page.html", false, ENOENT},
    };
    for (const Case &c : cases) {
        Fault fault{};
        umask(077);
        EXPECT_EQ(Page_save(c.path.c_str(), "<p>page</p>\n", fault), c.saved) << c.path;
        EXPECT_EQ(fault.errnum, c.errnum) << c.path;
        struct stat st {};
        if (c.saved) {
            EXPECT_EQ(Read_file(c.path), "<p>page</p>\n");
            EXPECT_EQ(stat(c.path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u, 0644u) << c.path;
        }
    }
    umask(022);
    std::string left = Run_program("/bin/sh", {"-c", "ls -A " + dir}, Scratch_dir()).out;
    EXPECT_EQ(left, "fifo\nfolder\nlink\npage.html\n"); // no temporary file left behind
}

// Runs headless Chromium on page, in a new empty profile, with every name
// it would look up made unknown and its network log written: the DOM it
// built, and the log.
struct Browsed {
    int status;
    std::string dom;
    std::string netlog;
};

Browsed Browse(const std::string &dir, const std::string &page, const std::vector<std::string> &more)
{
    std::vector<std::string> args = {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                     "--no-first-run", "--disable-background-networking",
                                     "--disable-component-update", "--disable-sync",
                                     "--user-data-dir=" + Scratch_dir(), "--host-resolver-rules=MAP * ~NOTFOUND",
                                     "--log-net-log=" + dir + "/net.json"};
    args.insert(args.end(), more.begin(), more.end());
    args.push_back("file://" + page);
    Program_result run = Run_program(CHROMIUM, args, dir);
    return {run.status, run.out, Read_file(dir + "/net.json")};
}

TEST(RecledgerPage, OpensInChromiumAndLoadsNothing)
{
    ASSERT_TRUE(File_exists(CHROMIUM)) << CHROMIUM << ": not installed; tools/deps installs it";
    Ledger_report report = Report_fixture();
    report.stations.push_back({"<script>document.title='run'</script>", 1, 1, 1, 0});
    std::string page;
    Fault fault{};
    ASSERT_TRUE(Page_render(report, "/srv/ledger/line.db", page, fault)) << fault.why;
    EXPECT_EQ(Outside_reference(page), "");
    // The same page with one image from outside, to show that the log sees
    // a load when there is one.
    std::string loading = page;
    loading.insert(loading.find("</body>"), "<img src=\"http://example.invalid/x.png\">");
    struct Case {
        std::string html;
        bool loads;
    };
    for (const Case &c : {Case{page, false}, Case{loading, true}}) {
        std::string dir = Scratch_dir();
        ASSERT_TRUE(Page_save((dir + "/page.html").c_str(), c.html, fault)) << fault.why;
        Browsed browsed = Browse(dir, dir + "/page.html", {"--dump-dom"});
        ASSERT_EQ(browsed.status, 0);
        // A request that the page makes is keyed to the file it came from;
        // the browser's own (updates, accounts) to nothing or its own sites.
        EXPECT_EQ(browsed.netlog.find("\"network_isolation_key\":\"file://") != std::string::npos, c.loads);
        ASSERT_NE(browsed.netlog.find("\"events\""), std::string::npos); // the log was written
        for (const char *text : {"<title>Ledger report: /srv/ledger/line.db</title>", "<h2>Verified units per hour</h2>",
                                 "<h2>First-pass yield per station</h2>", "<h2>Addresses left per range</h2>",
                                 "<h2>Batches</h2>", "<td>line2-st2</td><td class=\"n\">792</td>",
                                 "<td>&lt;script&gt;document.title='run'&lt;/script&gt;</td>", "<td>2026-04-13</td>",
                                 "<b>96.7%</b><span>first-pass yield</span>", "aria-label=\"First-pass yield per station\""})
            EXPECT_NE(browsed.dom.find(text), std::string::npos) << text;
        EXPECT_EQ(browsed.dom.find("<script"), std::string::npos);
    }
    // The screenshot in docs/: ZOL_REPORT_SCREENSHOT=docs/report.png.
    if (const char *screenshot = std::getenv("ZOL_REPORT_SCREENSHOT")) {
        std::string dir = Scratch_dir();
        ASSERT_TRUE(Page_render(Report_fixture(), "/srv/ledger/line.db", page, fault) &&
                    Page_save((dir + "/page.html").c_str(), page, fault));
        Browse(dir, dir + "/page.html",
               {"--hide-scrollbars", "--window-size=1200,1600", std::string("--screenshot=") + screenshot});
    }
}

TEST(RecledgerCommandLine, MessagesAndStatuses)
{
    std::string dir = Scratch_dir();
    std::string usage = Run_program(RECLEDGER, {"--help"}, dir).out;
    const std::string mac = "0050.c210.0001";
    struct Call {
        std::vector<std::string> args;
        int status;
        std::string err; // "usage": the usage
        bool closed = false; // run with standard output closed
    };
    const Call calls[] = {
        {{}, 2, "usage"},
        {{"find", "SN-1"}, 2, "usage"},                    // no -l
        {{"-l", "L"}, 2, "usage"},                         // no command
        {{"-l", "", "verify"}, 2, "recledger: -l: an empty name\n"},
        {{"-x", "-l", "L", "verify"}, 2, "usage"},
        {{"-l", "L", "frob"}, 2, "recledger: frob: not a command (find, report, void, release, export, verify, lease or sync)\n"},
        {{"-l", "L", "find"}, 2, "usage"},                 // no KEY
        {{"-l", "L", "find", "SN-1", ""}, 2, "recledger: find: an empty key\n"},
        {{"-l", "L", "void", "-r", "scrapped", ""}, 2, "recledger: void: an empty MAC address\n"},
        {{"-l", "L", "report", "x"}, 2, "usage"},
        {{"-l", "L", "report", "-r", "x"}, 2, "usage"},    // another command's option
        {{"-j", "-l", "L", "report", "-o", "p.html"}, 2,
         "recledger: -o: the page is written instead of JSON (-j); give one\n"},
        {{"-l", "L", "report", "-o", ""}, 2, "recledger: -o: an empty path\n"},
        {{"-j", "-l", "L", "void", "-r", "scrapped", mac}, 2, "recledger: -j: void has no JSON form\n"},
        {{"-j", "-l", "L", "verify"}, 2, "recledger: -j: verify has no JSON form\n"},
        {{"-l", "L", "void", mac}, 2, "recledger: void: -r REASON is required\n"},
        {{"-l", "L", "void", "-r", "scrapped"}, 2, "usage"},
        {{"-l", "L", "release", "-r", "died", mac, mac}, 2, "usage"},
        {{"-l", "L", "void", "-r", "", mac}, 2, "recledger: -r: an empty reason\n"},
        {{"-l", "L", "void", "-r", "   ", mac}, 2, "recledger: -r: an empty reason\n"},
        {{"-l", "L", "void", "-r", "line\nbreak", mac}, 2, "recledger: -r: holds a control character\n"},
        {{"-l", "L", "void", "-r", "tab\there", mac}, 2, "recledger: -r: holds a control character\n"},
        {{"-l", "L", "void", "-r", "\xc2\x9b" "2J", mac}, 2, "recledger: -r: holds a control character\n"},
        {{"-l", "L", "void", "-r", "ok \xe2\x80\xae", mac}, 2, "recledger: -r: holds a control character\n"},
        {{"-l", "L", "void", "-r", "caf\xe9", mac}, 2, "recledger: -r: not UTF-8\n"},
        {{"-l", "L", "void", "-r", std::string(201, 'x'), mac}, 2, "recledger: -r: longer than 200 bytes\n"},
        {{"-l", "L", "void", "-r", "scrapped", mac, "SN-\x1b[2J"}, 2, "recledger: SN-\\x1b[2J: not a MAC address\n"},
        {{"-l", "L", "void", "-r", std::string(200, 'x'), mac, "00:50:C2:10:00:02"}, 2,
         "recledger: L: No such file or directory\n"},
        {{"-l", "L", "release", "-r", "station st4 died, caf\xc3\xa9", "00-50-c2-10-00-01"}, 2,
         "recledger: L: No such file or directory\n"},
        {{"-l", "/dev/null", "release", "-r", "died", "00-50-c2-10-00-01"}, 2, "recledger: /dev/null: holds no ledger\n"},
        {{"-j", "-l", "L", "export"}, 2, "recledger: L: No such file or directory\n"},
        {{"-l", "L", "verify"}, 2, "recledger: L: No such file or directory\n"},
        {{"-l", "L", "lease", "-n", "5", "LOCAL"}, 2, "recledger: lease: -s SITE and -n COUNT are required\n"},
        {{"-l", "L", "lease", "-s", "east", "-n", "5"}, 2, "usage"}, // no LOCAL
        {{"-l", "L", "lease", "-s", "", "-n", "5", "LOCAL"}, 2, "recledger: -s: an empty name\n"},
        {{"-l", "L", "lease", "-s", "east", "-n", "5", ""}, 2, "recledger: lease: an empty path\n"},
        {{"-l", "L", "lease", "-s", std::string(65, 'x'), "-n", "5", "LOCAL"}, 2, "recledger: -s: longer than 64 bytes\n"},
        {{"-l", "L", "lease", "-s", "east\x1b[2J", "-n", "5", "LOCAL"}, 2, "recledger: -s: holds a control character\n"},
        {{"-l", "L", "lease", "-s", "caf\xe9", "-n", "5", "LOCAL"}, 2, "recledger: -s: not UTF-8\n"},
        {{"-l", "L", "lease", "-s", "east", "-n", "0", "LOCAL"}, 2,
         "recledger: -n: expected a whole number from 1 to 16777216\n"},
        {{"-l", "L", "lease", "-s", "east", "-n", "16777217", "LOCAL"}, 2,
         "recledger: -n: expected a whole number from 1 to 16777216\n"},
        {{"-l", "L", "lease", "-s", "east", "-n", "5", "-m", "0050c2000000", "LOCAL"}, 2,
         "recledger: -m: expected FIRST-LAST, each 12 hex digits or the colon form\n"},
        {{"-l", "L", "lease", "-s", std::string(64, 'x'), "-n", "5", "LOCAL"}, 2, "recledger: L: No such file or directory\n"},
        {{"-l", "L", "void", "--return", "-r", "x", mac}, 2, "usage"},
        {{"-l", "L", "sync", "x"}, 2, "usage"},
        {{"-l", "L", "sync", "--return"}, 2, "recledger: L: No such file or directory\n"},
        // A result to standard output, closed: refused before the ledger is read or changed.
        {{"-l", "L", "verify"}, 2, "recledger: stdout: Bad file descriptor\n", true},
        {{"-l", "L", "lease", "-s", "east", "-n", "5", "LOCAL"}, 2, "recledger: stdout: Bad file descriptor\n", true},
        {{"-l", "L", "report", "-o", "p.html"}, 2, "recledger: L: No such file or directory\n", true},
    };
    ASSERT_EQ(usage.rfind("usage: recledger [-j] -l LEDGER find KEY...\n", 0), 0u) << usage;
    for (const Call &call : calls) {
        Program_result run = call.closed ? Run_program_to(RECLEDGER, call.args, dir, "") : Run_program(RECLEDGER, call.args, dir);
        std::string shown = call.args.empty() ? "" : call.args.back();
        EXPECT_EQ(run.status, call.status) << shown;
        EXPECT_EQ(run.err, call.err == "usage" ? usage : call.err) << shown;
        EXPECT_EQ(run.out, "") << shown;
    }
    Program_result version = Run_program(RECLEDGER, {"--version"}, dir);
    EXPECT_EQ(version.out, "recledger " ZOL_VERSION "\n");
    EXPECT_EQ(version.status, 0);
}

} // namespace
