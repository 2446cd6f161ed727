// The station's check run as a program on both backends: claims, read-backs
// and refusals in turn against one ledger, and stations claiming at once.
#include "ledgers.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <tuple>

namespace {

const std::string USAGE = "usage: recclaim -l ledger -s station [-R] [-c readback] image\n"
                          "       recclaim --help | --version\n";
const std::string BLOCK = "0050c2100000-0050c21fffff";

struct Step {
    std::vector<std::string> args; // -l L comes first unless the scenario is bare
    int status;
    std::string err; // recclaim: X: names file X; <T> stands for a time
    std::string out = "";
};

struct Scenario {
    const char *name;
    std::vector<Step> steps;
    std::string claims; // mac|station|readback|differs_at of each claim, in order
    bool bare = false;
};

void PrintTo(const Scenario &s, std::ostream *os)
{
    *os << s.name;
}

// I: the first image of a finished batch (00:50:c2:10:00:00); J: the image
// of an unfinished batch; T: I with a record added; F: the example's own
// image, never issued; X: I with the data byte at offset 30 changed; N: I
// without its MAC block; B: well-formed records past the longest record
// file; Z: /dev/zero, endless (as a read-back, it differs at offset 0). G: a
// read-back of I, longer than I; D: G with byte 30 changed; S: the first 10
// bytes of I. M: no file.
const std::string RELEASED = "; it must be released (recledger release) before another station claims it\n";
const std::string WARNING =
    "recclaim: warning: the ledger's URI holds a password, which ps shows; use PGPASSFILE or a service file\n";
const Scenario SCENARIOS[] = {
    {"claim_flash_confirm", {{{"-s", "st1", "I"}, 0, ""}, {{"-s", "st1", "-c", "G", "I"}, 0, ""}},
     "0050c2100000|st1|verified|NULL\n"},
    {"a_second_claim", {{{"-s", "st1", "I"}, 0, ""}, {{"-s", "line2-st4", "I"}, 1, "recclaim: I: claimed by station st1 at <T>\n"}},
     "0050c2100000|st1|NULL|NULL\n"},
    {"a_retry_after_a_failed_read_back",
     {{{"-s", "st1", "I"}, 0, ""},
      {{"-s", "st1", "-c", "D", "I"}, 1, "recclaim: I: read back differs at offset 30\n"},
      {{"-s", "st1", "I"}, 1, "recclaim: I: claimed by station st1 at <T>\n"},
      {{"-s", "st2", "-R", "I"}, 1, "recclaim: I: claimed by station st1 at <T>" + RELEASED},
      {{"-s", "st1", "-R", "I"}, 0, ""},
      {{"-s", "st1", "-c", "Z", "I"}, 1, "recclaim: I: read back differs at offset 0\n"},
      {{"-s", "st1", "-R", "I"}, 0, ""},
      {{"-s", "st1", "-c", "G", "I"}, 0, ""}},
     "0050c2100000|st1|failed|30\n0050c2100000|st1|failed|0\n0050c2100000|st1|verified|NULL\n"},
    {"a_retry_of_an_interrupted_flash_and_not_of_another_station",
     {{{"-s", "st1", "I"}, 0, ""},
      {{"-s", "st2", "-R", "I"}, 1, "recclaim: I: claimed by station st1 at <T>" + RELEASED},
      {{"-s", "st2", "-c", "G", "I"}, 1, "recclaim: I: claimed by station st1 at <T>\n"},
      {{"-s", "st1", "-R", "I"}, 0, ""},
      {{"-s", "st2", "-R", "I"}, 1, "recclaim: I: claimed by station st1 at <T>" + RELEASED},
      {{"-s", "st1", "-c", "G", "I"}, 0, ""}},
     "0050c2100000|st1|NULL|NULL\n0050c2100000|st1|verified|NULL\n"},
    {"verified_is_final",
     {{{"-s", "st1", "I"}, 0, ""},
      {{"-s", "st1", "-c", "G", "I"}, 0, ""},
      {{"-s", "st2", "-R", "I"}, 1, "recclaim: I: claimed by station st1 at <T>, read back verified at <T>\n"},
      {{"-s", "st1", "-R", "I"}, 1, "recclaim: I: claimed by station st1 at <T>, read back verified at <T>\n"},
      {{"-s", "st1", "-c", "G", "I"}, 1, "recclaim: I: read back already recorded as verified at <T>\n"}},
     "0050c2100000|st1|verified|NULL\n"},
    {"read_backs_without_a_claim_of_the_station_or_short",
     {{{"-s", "st1", "-c", "G", "I"}, 1, "recclaim: I: never claimed\n"},
      {{"-s", "st1", "I"}, 0, ""},
      {{"-s", "st2", "-c", "G", "I"}, 1, "recclaim: I: claimed by station st1 at <T>\n"},
      {{"-s", "st1", "-c", "S", "I"}, 1, "recclaim: I: read back differs at offset 10\n"}},
     "0050c2100000|st1|failed|10\n"},
    {"images_refused",
     {{{"-s", "st1", "T"}, 1, "recclaim: T: not the image issued for 00:50:c2:10:00:00 (its SHA-256 differs)\n"},
      {{"-s", "st1", "F"}, 1, "recclaim: F: 00:50:c2:a1:b2:c3 was never issued\n"},
      {{"-s", "st1", "J"}, 1, "recclaim: J: batch 2 is not finished\n"},
      {{"-s", "st1", "X"}, 1, "recclaim: X: offset 27: checksum 0x03, expected 0x02\n"},
      {{"-s", "st1", "N"}, 1, "recclaim: N: no valid MAC block\n"},
      {{"-s", "st1", "B"}, 1, "recclaim: B: offset 3870: past the 3870 bytes of the longest record file\n"},
      {{"-s", "st1", "Z"}, 1, "recclaim: Z: offset 0: type 0, expected 2 to 14\n"}},
     ""},
    {"a_read_back_of_zeros",
     {{{"-s", "st1", "I"}, 0, ""}, {{"-s", "st1", "-c", "Z", "I"}, 1, "recclaim: I: read back differs at offset 0\n"}},
     "0050c2100000|st1|failed|0\n"},
    {"usage_and_files",
     {{{}, 2, USAGE},
      {{"-x", "-l", "L", "-s", "st1", "I"}, 2, USAGE},
      {{"-l", "L", "I"}, 2, USAGE},
      {{"-l", "", "-s", "st1", "I"}, 2, "recclaim: -l: an empty name\n"},
      {{"-l", "L", "-s", "st1", "I", "J"}, 2, USAGE},
      {{"-l", "L", "-s", "st 1", "I"}, 2, "recclaim: -s: expected 1 to 64 printable characters without blanks\n"},
      {{"-l", "L", "-s", std::string(65, 's'), "I"}, 2,
       "recclaim: -s: expected 1 to 64 printable characters without blanks\n"},
      {{"-l", "L", "-s", "st1", "-R", "-c", "G", "I"}, 2, "recclaim: -R: a read-back (-c) claims nothing\n"},
      {{"-l", "L", "-s", "st1", "M"}, 2, "recclaim: M: No such file or directory\n"},
      {{"-l", "L", "-s", "st1", "-c", "M", "I"}, 2, "recclaim: M: No such file or directory\n"},
      {{"-l", "postgresql://st:s3cret@/ledger?host=/nonexistent", "-s", "st1", "I"}, 2,
       WARNING + "recclaim: postgresql://st:***@/ledger?host=/nonexistent: connection to server on socket "
                 "\"/nonexistent/.s.PGSQL.5432\" failed: No such file or directory\n"},
      {{"--version"}, 0, "", "recclaim 2.8\n"},
      {{"--help"}, 0, "", USAGE}},
     "",
     true},
};

// A ledger of backend in dir holding batch 1, of three images in dir/batch,
// finished, and batch 2, of one image in dir/late, not finished.
Test_ledger Two_batches(Backend backend, const std::string &dir)
{
    Test_ledger ledger = New_ledger(backend, dir);
    for (const char *out : {"/batch", "/late"})
        EXPECT_EQ(Run_program(RECBATCH, {"-S", "-l", ledger.where, "-m", BLOCK, "-n", out[1] == 'b' ? "3" : "1",
                                         EXAMPLE_SCRIPT, dir + out},
                              dir)
                      .status,
                  0);
    Ledger_rows(ledger, "UPDATE batch SET finished = NULL WHERE id = 2;"
                        " DELETE FROM chain WHERE seq = (SELECT seq FROM finish WHERE batch = 2); DELETE FROM finish WHERE batch = 2");
    return ledger;
}

class RecclaimTest : public testing::TestWithParam<std::tuple<Backend, Scenario>> {
protected:
    void SetUp() override
    {
        dir = Scratch_dir();
        ledger = Two_batches(std::get<0>(GetParam()), dir);
        ASSERT_FALSE(ledger.where.empty());
        ASSERT_EQ(Run_program(TROSKET, {EXAMPLE_SCRIPT, dir + "/F"}, dir).status, 0);
        files = {{"L", ledger.where}, {"M", dir + "/M"}, {"I", dir + "/batch/0050c2100000.bin"},
                 {"J", dir + "/late/0050c2100003.bin"}, {"Z", "/dev/zero"}};
        std::string image = Read_file(files["I"]);
        std::string changed = image;
        changed[30] = 0x02;
        std::string readback = image + std::string(4096, '\xff');
        std::string ssids;
        for (int i = 0; i < 16; ++i)
            ssids += Record(2, std::string(255, 's'));
        for (auto [name, bytes] : {std::pair<std::string, std::string>{"T", image + Record(3, "\x06")},
                                   {"X", changed},
                                   {"N", image.substr(8)},
                                   {"G", readback},
                                   {"D", changed + readback.substr(image.size())},
                                   {"S", image.substr(0, 10)},
                                   {"B", ssids},
                                   {"F", Read_file(dir + "/F")}}) {
            files[name] = dir + "/" + name;
            Write_file(files[name], bytes);
        }
    }
    std::string dir;
    Test_ledger ledger;
    std::map<std::string, std::string> files;
};

TEST_P(RecclaimTest, StepsInTurn)
{
    const Scenario &scenario = std::get<1>(GetParam());
    const std::regex time("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
    for (const Step &step : scenario.steps) {
        std::vector<std::string> args = scenario.bare ? std::vector<std::string>{} : std::vector<std::string>{"-l", "L"};
        args.insert(args.end(), step.args.begin(), step.args.end());
        for (std::string &arg : args)
            if (files.contains(arg))
                arg = files[arg];
        std::string err = step.err;
        if (err.starts_with("recclaim: ") && files.contains(err.substr(10, 1)) && err[11] == ':')
            err.replace(10, 1, files[err.substr(10, 1)]);
        Program_result run = Run_program(RECCLAIM, args, dir);
        EXPECT_EQ(std::regex_replace(run.err, time, "<T>"), err) << testing::PrintToString(step.args);
        EXPECT_EQ(run.status, step.status) << testing::PrintToString(step.args);
        EXPECT_EQ(run.out, step.out);
    }
    EXPECT_EQ(Ledger_rows(ledger, "SELECT c.mac, c.station, r.verdict, r.differs_at FROM claim c"
                                  " LEFT JOIN readback r ON r.claim = c.id ORDER BY c.id"),
              scenario.claims);
}

INSTANTIATE_TEST_SUITE_P(Backends, RecclaimTest,
                         testing::Combine(testing::Values(BACKEND_SQLITE, BACKEND_SERVER), testing::ValuesIn(SCENARIOS)),
                         [](const testing::TestParamInfo<std::tuple<Backend, Scenario>> &info) {
                             return std::string(Backend_name(std::get<0>(info.param))) + "_" +
                                    std::get<1>(info.param).name;
                         });

class RecclaimStations : public testing::TestWithParam<Backend> {};

// Eight stations at once, each claiming every image of a batch in the same
// order: each image is claimed once, by one of them.
TEST_P(RecclaimStations, EightAtOnceClaimEachImageOnce)
{
    std::string dir = Scratch_dir();
    Test_ledger ledger = New_ledger(GetParam(), dir);
    ASSERT_FALSE(ledger.where.empty());
    ASSERT_EQ(Run_program(RECBATCH, {"-S", "-l", ledger.where, "-m", BLOCK, "-n", "10", EXAMPLE_SCRIPT, dir + "/many"}, dir)
                  .status,
              0);
    std::string command;
    for (int station = 1; station <= 8; ++station)
        command += "(for image in '" + dir + "'/many/*.bin; do '" RECCLAIM "' -l '" + ledger.where + "' -s st" +
                   std::to_string(station) + " \"$image\" 2>>'" + dir + "/err'; echo $? >>'" + dir + "/status'; done) & ";
    ASSERT_EQ(std::system((command + "wait").c_str()), 0);
    std::string statuses = Read_file(dir + "/status");
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), '0'), 10);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), '1'), 7 * 10);
    std::string err = Read_file(dir + "/err");
    std::size_t refused = 0;
    for (std::size_t at = 0; (at = err.find(".bin: claimed by station st", at)) != std::string::npos; ++at)
        ++refused;
    EXPECT_EQ(refused, 7u * 10u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 7 * 10) << err;
    EXPECT_EQ(Ledger_rows(ledger, "SELECT count(*), count(DISTINCT mac) FROM claim"), "10|10\n");
    Program_result verified = Run_program(RECLEDGER, {"-l", ledger.where, "verify"}, dir);
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_TRUE(std::regex_match(verified.out, std::regex("22 rows, head [0-9a-f]{64}\n"))) << verified.out;
}

// A supervisor's corrections as a station meets them: a voided image is
// never claimed again, and another station's abandoned claim, once
// released, may be taken with -R; what may not be voided or released is
// refused, nothing written. The chain holds after them. Units of two
// addresses: either one stands for its unit, whose base they are made
// against.
TEST_P(RecclaimStations, VoidsAndReleases)
{
    std::string dir = Scratch_dir();
    Test_ledger ledger = New_ledger(GetParam(), dir);
    ASSERT_EQ(Run_program(RECBATCH, {"-S", "-l", ledger.where, "-a", "2", "-m", BLOCK, "-n", "2", EXAMPLE_SCRIPT, dir + "/b"},
                          dir)
                  .status,
              0);
    const std::string image = dir + "/b/0050c2100000.bin";
    const std::string other = dir + "/b/0050c2100002.bin";
    const struct {
        const char *program;
        std::vector<std::string> args;
        int status;
        std::string err;
    } steps[] = {
        {RECLEDGER, {"release", "-r", "died", "0050c2100000"}, 1, "00:50:c2:10:00:00: no claim in progress: never claimed"},
        {RECCLAIM, {"-s", "st1", image}, 0, ""},
        {RECCLAIM, {"-s", "st2", "-R", image}, 1,
         image + ": claimed by station st1 at T; it must be released (recledger release) before another station claims it"},
        {RECLEDGER, {"release", "-r", "station died", "00:50:C2:10:00:01"}, 0, ""},
        {RECLEDGER, {"release", "-r", "again", "0050c2100000"}, 1,
         "00:50:c2:10:00:00: no claim in progress: its latest claim was released at T"},
        {RECCLAIM, {"-s", "st2", image}, 1, image + ": claimed by station st1 at T, released at T; claim it again with -R"},
        {RECCLAIM, {"-s", "st2", "-R", image}, 0, ""},
        {RECCLAIM, {"-s", "st2", "-c", image, image}, 0, ""},
        {RECLEDGER, {"release", "-r", "late", "0050c2100001"}, 1,
         "00:50:c2:10:00:01: no claim in progress: its latest claim was read back verified"},
        {RECLEDGER, {"void", "-r", "burnt", "0050c2100003", "0050c21000ff"}, 1, "00:50:c2:10:00:ff: never issued"},
        {RECLEDGER, {"void", "-r", "burnt", "0050c2100003", "0050c2100002"}, 0, ""},
        {RECLEDGER, {"void", "-r", "twice", "0050c2100002"}, 1, "00:50:c2:10:00:02: voided already at T: burnt"},
        {RECCLAIM, {"-s", "st1", other}, 1, other + ": 00:50:c2:10:00:02 was voided at T: burnt"},
        {RECLEDGER, {"verify"}, 0, ""},
    };
    const std::regex time("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
    for (const auto &step : steps) {
        std::vector<std::string> args = {"-l", ledger.where};
        args.insert(args.end(), step.args.begin(), step.args.end());
        Program_result run = Run_program(step.program, args, dir);
        std::string name = step.program == std::string(RECCLAIM) ? "recclaim: " : "recledger: ";
        EXPECT_EQ(run.status, step.status) << testing::PrintToString(step.args) << run.err;
        EXPECT_EQ(std::regex_replace(run.err, time, "T"), step.err.empty() ? "" : name + step.err + "\n");
    }
    EXPECT_EQ(Ledger_rows(ledger, "SELECT c.station, r.verdict, l.reason FROM claim c LEFT JOIN readback r"
                                  " ON r.claim = c.id LEFT JOIN release l ON l.claim = c.id ORDER BY c.id;"
                                  " SELECT mac, reason FROM void; SELECT mac FROM release"),
              "st1|NULL|station died\nst2|verified|NULL\n0050c2100002|burnt\n0050c2100000\n");
}

INSTANTIATE_TEST_SUITE_P(Backends, RecclaimStations, testing::Values(BACKEND_SQLITE, BACKEND_SERVER),
                         [](const testing::TestParamInfo<Backend> &info) { return Backend_name(info.param); });

} // namespace
