// The batch maker run as a program: its refusals, the images it makes
// against what the converter makes of each unit's script, the ledger across
// runs, runs at once and runs killed.
#include "csv.h"
#include "digest.h"
#include "harness.h"
#include "ledgers.h"
#include "secret.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <spawn.h>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char **environ;

using namespace std::string_literals;

namespace {

const std::string USAGE = "usage: recbatch [-RS] [-a addresses] [-l ledger] [-m first-last] [-n count] [-u units] [-g setting]... "
                          "template outdir\n"
                          "       recbatch -l ledger -V outdir\n"
                          "       recbatch --help | --version\n";
const std::string BLOCK = "0050c2000000-0050c2ffffff";

using Table = std::vector<std::vector<std::string>>;

Table Read_csv(const std::string &path)
{
    Table rows;
    std::FILE *fp = std::fopen(path.c_str(), "rb");
    if (fp == nullptr)
        return rows;
    Csv_reader reader{};
    Csv_init(reader, fp);
    std::vector<std::string> fields;
    const char *why = nullptr;
    while (Csv_readRow(reader, fields, &why) == CSV_ROW)
        rows.push_back(fields);
    std::fclose(fp);
    return rows;
}

// The column of a manifest row by the name in its header.
std::string Cell(const Table &manifest, std::size_t row, const std::string &name)
{
    auto at = std::find(manifest[0].begin(), manifest[0].end(), name);
    return at == manifest[0].end() ? "<no column>" : manifest[row][static_cast<std::size_t>(at - manifest[0].begin())];
}

// Rows of one query, each row's columns joined by '|'.
std::string Query(const std::string &ledger, const std::string &sql)
{
    return Ledger_rows({BACKEND_SQLITE, ledger, {}, {}}, sql);
}

std::string Macs_of(const Table &manifest)
{
    std::string macs;
    for (std::size_t row = 1; row < manifest.size(); ++row)
        macs += Cell(manifest, row, "mac") + " ";
    return macs;
}

// The hidden folders that runs left in dir.
std::size_t Hidden_left(const std::string &dir)
{
    std::size_t left = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        left += entry.path().filename().string().starts_with(".out.");
    return left;
}

// A scratch folder D whose ledger L holds batch 1, D/first: SN1001 to
// SN1003 at 00:50:c2:00:00:00 to 00:50:c2:00:00:02; a template T (the
// example unless given) and a table of units U.
struct Scene {
    std::string dir;
    std::string ledger;
    std::string tpl;
    std::string units;

    Scene(const std::string &unitsText, const std::string &templateText)
        : dir(Scratch_dir()), ledger(dir + "/l.db"), tpl(dir + "/t.txt"), units(dir + "/u.csv")
    {
        Write_file(units, "serial\nSN1001\nSN1002\nSN1003\n");
        Program_result first =
            Run_program(RECBATCH, {"-S", "-l", ledger, "-m", BLOCK, "-u", units, EXAMPLE_SCRIPT, dir + "/first"}, dir);
        EXPECT_EQ(first.status, 0) << first.err;
        Write_file(tpl, templateText.empty() ? Read_file(EXAMPLE_SCRIPT) : templateText);
        Write_file(units, unitsText);
    }

    // T, U, L and O stand for the template, table, ledger and OUTDIR, and
    // D/ starts a path in the scratch folder.
    std::vector<std::string> Args(const std::vector<std::string> &args) const
    {
        std::vector<std::string> out;
        for (const std::string &arg : args) {
            std::string a = arg == "T" ? tpl : arg == "U" ? units : arg == "L" ? ledger : arg == "O" ? dir + "/out" : arg;
            out.push_back(a == "D" || a.starts_with("D/") ? dir + a.substr(1) : a);
        }
        return out;
    }

    // The same in messages, after "recbatch: ".
    std::string Expand(std::string text) const
    {
        for (auto [from, to] : {std::pair<std::string, std::string>{"D", dir}, {"T", tpl}, {"U", units}})
            for (std::size_t at = 0; (at = text.find("recbatch: " + from, at)) != std::string::npos; at += to.size())
                text.replace(at + 10, from.size(), to);
        return text;
    }
};

struct Refusal {
    const char *name;
    std::string units;             // the table, u.csv
    std::vector<std::string> args; // T, U, L, O and D/ as Scene::Args takes them
    int status;
    std::string err;               // with D, T and U
    std::string templateText = ""; // instead of the example
    bool inClosed = false;         // run without standard input
};

void PrintTo(const Refusal &r, std::ostream *os)
{
    *os << r.name;
}

const std::string PASS_COLUMNS = "mac,passphrase,password,wep-key\n";

// A unit whose every setting cell is 30000 characters: digits where a number
// or hex digits are due, letters elsewhere.
const std::string D40(40, '9');
const std::string LONG_CELLS = [] {
    std::string header;
    std::string row;
    for (const char *name : {"mac", "ssid", "channel", "security", "wep-index", "wep-key", "passphrase", "user-name",
                             "password", "manufacturer", "model-number", "model-type", "device-name", "host-name"}) {
        std::string_view n = name;
        bool digits = n == "mac" || n == "channel" || n == "security" || n == "wep-index" || n == "wep-key";
        if (!header.empty()) {
            header += ',';
            row += ',';
        }
        header += name;
        row.append(30000, digits ? '9' : 'x');
    }
    return header + '\n' + row + '\n';
}();

const Refusal REFUSALS[] = {
    // The command line: status 2.
    {"no_arguments", "", {}, 2, USAGE},
    {"unknown_option", "", {"-x", "T", "O"}, 2, USAGE},
    {"one_operand", "", {"-n", "2", "T"}, 2, USAGE},
    {"neither_table_nor_count", "", {"T", "O"}, 2, "recbatch: give either a table of units (-u) or their count (-n)\n"},
    {"both_table_and_count", "mac\n", {"-u", "U", "-n", "2", "T", "O"}, 2,
     "recbatch: give either a table of units (-u) or their count (-n)\n"},
    {"count_zero", "", {"-n", "0", "T", "O"}, 2, "recbatch: -n: expected a whole number from 1 to 16777216\n"},
    {"count_not_a_word", "", {"-n", "12x", "T", "O"}, 2, "recbatch: -n: expected a whole number from 1 to 16777216\n"},
    {"count_too_large", "", {"-n", "16777217", "T", "O"}, 2,
     "recbatch: -n: expected a whole number from 1 to 16777216\n"},
    {"block_without_ledger", "", {"-n", "2", "-m", BLOCK, "T", "O"}, 2, "recbatch: -m: needs a ledger (-l)\n"},
    {"block_not_two_addresses", "", {"-l", "L", "-n", "2", "-m", "0050c2-0050c3", "T", "O"}, 2,
     "recbatch: -m: expected FIRST-LAST, each 12 hex digits or the colon form\n"},
    {"block_backwards", "", {"-l", "L", "-n", "2", "-m", "0050c2000010-0050c2000001", "T", "O"}, 2,
     "recbatch: -m: FIRST is above LAST\n"},
    {"block_across_two", "", {"-l", "L", "-n", "2", "-m", "0050c2000000-0050c3000000", "T", "O"}, 2,
     "recbatch: -m: FIRST and LAST must share their first three bytes\n"},
    {"block_group_bit", "", {"-l", "L", "-n", "2", "-m", "0150c2000000-0150c2ffffff", "T", "O"}, 2,
     "recbatch: -m: the group bit (0x01 of the first byte) is set\n"},
    {"block_all_zeros", "", {"-l", "L", "-n", "2", "-m", "000000000000-000000000009", "T", "O"}, 2,
     "recbatch: -m: an address of all zeros\n"},
    {"generate_not_a_secret", "", {"-n", "2", "-g", "ssid", "T", "O"}, 2,
     "recbatch: -g: expected passphrase, password or wep-key\n"},
    {"generate_twice", "", {"-n", "2", "-g", "password", "-g", "password", "T", "O"}, 2,
     "recbatch: -g: a setting given twice\n"},
    {"generate_and_column", "mac,password\n0050c2aa0001,Secret-0001\n", {"-u", "U", "-g", "password", "T", "O"}, 2,
     "recbatch: -g: the table has a column for that setting\n"},
    {"outdir_exists", "", {"-n", "1", "T", "D"}, 2, "recbatch: D: File exists\n"},
    {"outdir_parent_missing", "", {"-n", "1", "T", "D/no/out"}, 2, "recbatch: D/no/out: No such file or directory\n"},
    {"template_missing", "", {"-n", "1", "D/none.txt", "O"}, 2, "recbatch: D/none.txt: No such file or directory\n"},
    // An empty ledger name (an unset variable) would be a ledger of this run alone.
    {"ledger_empty", "", {"-l", "", "-m", BLOCK, "-n", "1", "T", "O"}, 2, "recbatch: -l: an empty name\n"},
    {"outdir_empty", "", {"-l", "L", "-m", BLOCK, "-n", "1", "T", ""}, 2, "recbatch: outdir: an empty name\n"},
    {"outdir_too_long_once_hidden", "", {"-l", "L", "-m", BLOCK, "-n", "1", "T", "D/" + std::string(250, 'o')}, 2,
     "recbatch: D/" + std::string(250, 'o') + ": File name too long\n"},
    {"outdir_parent_not_writable", "", {"-l", "L", "-m", BLOCK, "-n", "1", "T", "/proc/self/out"}, 2,
     "recbatch: /proc/self/out: No such file or directory\n"},
    {"audit_without_ledger", "", {"-V", "D/first"}, 2, "recbatch: -V: needs a ledger (-l)\n"},
    {"audit_with_batch_options", "", {"-l", "L", "-n", "2", "-V", "D/first"}, 2, USAGE},
    {"audit_with_addresses", "", {"-l", "L", "-a", "2", "-V", "D/first"}, 2, USAGE},
    // Addresses a unit: a power of two, 1 to 64; a range of whole aligned runs.
    {"addresses_zero", "", {"-a", "0", "-n", "2", "T", "O"}, 2, "recbatch: -a: expected a power of two from 1 to 64\n"},
    {"addresses_not_a_power_of_two", "", {"-a", "6", "-n", "2", "T", "O"}, 2,
     "recbatch: -a: expected a power of two from 1 to 64\n"},
    {"addresses_above_64", "", {"-a", "128", "-n", "2", "T", "O"}, 2,
     "recbatch: -a: expected a power of two from 1 to 64\n"},
    {"addresses_not_a_word", "", {"-a", "4x", "-n", "2", "T", "O"}, 2,
     "recbatch: -a: expected a power of two from 1 to 64\n"},
    {"range_not_aligned", "", {"-l", "L", "-a", "4", "-n", "2", "-m", "0050c2000002-0050c2000011", "T", "O"}, 2,
     "recbatch: -m: 00:50:c2:00:00:02 is not aligned to 4 addresses a unit (-a 4)\n"},
    {"range_not_a_multiple", "", {"-l", "L", "-a", "4", "-n", "2", "-m", "0050c2000000-0050c2000009", "T", "O"}, 2,
     "recbatch: -m: 10 addresses, not a multiple of 4 (-a 4)\n"},
    {"audit_of_no_folder", "", {"-l", "L", "-V", "D/none"}, 2, "recbatch: D/none: No such file or directory\n"},
    {"table_missing", "", {"-u", "D/none.csv", "T", "O"}, 2, "recbatch: D/none.csv: No such file or directory\n"},
    {"template_and_table_both_stdin", "", {"-u", "-", "-", "O"}, 2,
     "recbatch: the template and the table cannot both be standard input\n"},
    {"template_from_no_stdin", "", {"-n", "1", "-", "O"}, 2, "recbatch: -: Bad file descriptor\n", "", true},
    {"table_from_no_stdin", "", {"-u", "-", "T", "O"}, 2, "recbatch: -: Bad file descriptor\n", "", true},

    // The template and the table: status 1.
    {"template_refused", "", {"-n", "1", "T", "O"}, 1, "recbatch: T: passphrase: 5 bytes, expected 8 to 63\n", "7 short\n"},
    // A host name cut short where the script reader stops.
    {"template_host_name_too_long", "", {"-n", "1", "T", "O"}, 1,
     "recbatch: T: host-name: more than 127 bytes, expected 0 to 127\n", "1 0050c2000001\n14 " + std::string(128, 'h') + "\n"},
    // A template that ends early, in the wording a unit's script has too.
    {"template_too_many_settings", "", {"-n", "1", "T", "O"}, 1,
     "recbatch: T: script: setting 16 of a script, expected at most 15\n",
     "3 1\n3 2\n3 3\n3 4\n3 5\n3 6\n3 7\n3 8\n3 9\n3 10\n3 11\n3 12\n3 13\n3 14\n3 15\n3 6\n"},
    {"template_word_for_a_type", "", {"-n", "1", "T", "O"}, 1,
     "recbatch: T: script: a word where a type number is due, expected a whole number\n", "3 6 # six\n4 0\n"},
    {"template_type_out_of_range", "", {"-n", "1", "T", "O"}, 1,
     "recbatch: T: script: a type number, expected a whole number from -2147483648 to 2147483647\n",
     "3 6\n99999999999 x\n"},
    {"template_too_large", "", {"-n", "1", "T", "O"}, 1, "recbatch: T: template: more than 1048576 bytes\n",
     std::string(1048577, '\n')},
    {"table_not_csv", "mac\n\"0050c2aa0001\n", {"-u", "U", "T", "O"}, 1,
     "recbatch: U:2: csv: a quoted field is not closed\n"},
    {"table_empty", "", {"-u", "U", "T", "O"}, 1, "recbatch: U:1: csv: no header row\n"},
    {"table_without_units", "mac\n", {"-u", "U", "T", "O"}, 1, "recbatch: U: table: no units\n"},
    {"column_twice", "mac,mac\n0050c2aa0001,0050c2aa0002\n", {"-u", "U", "T", "O"}, 1,
     "recbatch: U:1: mac: a second column of that name\n"},
    {"column_of_the_manifest", "mac,file\n0050c2aa0001,x\n", {"-u", "U", "T", "O"}, 1,
     "recbatch: U:1: file: a column that the manifest makes itself\n"},
    {"column_for_a_setting_given_twice", "mac,channel\n0050c2aa0001,6\n", {"-u", "U", "T", "O"}, 1,
     "recbatch: U:1: channel: the template gives this setting more than once\n", "3 6\n3 11\n"},
    {"generated_setting_given_twice", "", {"-n", "1", "-g", "password", "T", "O"}, 1,
     "recbatch: T: password: the template gives this setting more than once\n",
     "1 0050c2aa0001\n9 pw-one\n9 pw-two\n"},
    {"row_of_wrong_width", "mac,serial\n0050c2aa0001\n0050c2aa0002,S2,x\n", {"-S", "-u", "U", "T", "O"}, 1,
     "recbatch: U:2: row: 1 fields, expected 2\nrecbatch: U:3: row: 3 fields, expected 2\n"},
    {"header_near_a_known_name", "SSID, mac ,Serial,no\0te\n"s, {"-S", "-u", "U", "T", "O"}, 1,
     "recbatch: U:1: SSID: did you mean ssid?\nrecbatch: U:1:  mac : did you mean mac?\n"
     "recbatch: U:1: Serial: did you mean serial?\nrecbatch: U:1: column 4: holds a 0x00 byte\n"},
    {"cells_with_0x00", "mac,serial,note\n0050c2aa0001,S\0 1,x\n0050c2aa0002,S2,n\0te\n"s, {"-S", "-u", "U", "T", "O"}, 1,
     "recbatch: U:2: serial: holds a 0x00 byte\nrecbatch: U:3: note: holds a 0x00 byte\n"},
    {"faults_in_table_order_only_real", "mac,serial\nzz,S1\n0050c2aa0002\nyy,S3\n", {"-S", "-u", "U", "T", "O"}, 1,
     "recbatch: U:2: mac: \"zz\", expected 12 hex digits or the colon form\nrecbatch: U:3: row: 1 fields, expected 2\n"
     "recbatch: U:4: mac: \"yy\", expected 12 hex digits or the colon form\n"},

    // Values no script can carry, or that the converter refuses; every
    // fault of every row is named, in table order.
    {"values_refused",
     "mac,ssid,channel,manufacturer,passphrase\n"
     "0050c2aa0001,\"my\rnet\",6,Acme,pass phrase 1\n"
     "0050c2aa0002,net2,0x0B,\"two\nlines\",short77\n"
     "zz,net\0\x33,166,Acme,passphrase-3\n"s,
     {"-S", "-u", "U", "T", "O"}, 1,
     "recbatch: U:2: ssid: holds a line end\n"
     "recbatch: U:3: manufacturer: holds a line end\n"
     "recbatch: U:3: channel: \"0x0B\", expected a whole number from 0 to 165\n"
     "recbatch: U:3: passphrase: 7 bytes, expected 8 to 63\n"
     "recbatch: U:5: mac: \"zz\", expected 12 hex digits or the colon form\n"
     "recbatch: U:5: ssid: holds a 0x00 byte\n"
     "recbatch: U:5: channel: \"166\", expected a whole number from 0 to 165\n"},
    // recbatch's own rules, for a network that devices can join, counted
    // in bytes, on the table's values and the template's alike.
    {"network_rules",
     "mac,ssid,passphrase\n"
     "0050c2aa0001,123456789012345678901234567890123,pass-phrase-1\n"
     "0050c2aa0002,12345678901234567890123456789012,pass-phr\xc3\xa4se\n"
     "0050c2aa0003,n\xc3\xa4t,pass\x7fphrase\n"
     "0050c2aa0004,net,\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\n"
     "0050c2aa0005,net," + std::string(63, 'p') + "\n"
     "0050c2aa0006,net," + std::string(64, 'p') + "\n",
     {"-S", "-u", "U", "T", "O"}, 1,
     "recbatch: U:2: ssid: 33 bytes, expected 1 to 32\n"
     "recbatch: U:3: passphrase: holds a byte outside printable ASCII (0x20 to 0x7e)\n"
     "recbatch: U:4: passphrase: holds a byte outside printable ASCII (0x20 to 0x7e)\n"
     "recbatch: U:5: passphrase: holds a byte outside printable ASCII (0x20 to 0x7e)\n"
     "recbatch: U:7: passphrase: 64 bytes, expected 8 to 63\n"},
    {"network_rules_of_the_template", "mac\n0050c2aa0001\n0050c2aa0002\n", {"-S", "-u", "U", "T", "O"}, 1,
     "recbatch: T: ssid: 33 bytes, expected 1 to 32\n"
     "recbatch: T: passphrase: holds a byte outside printable ASCII (0x20 to 0x7e)\n",
     "2 " + std::string(33, 's') + "\n7 pass\x01phrase\n"},
    {"too_many_settings", "mac,ssid\n0050c2aa0001,net\n", {"-S", "-u", "U", "T", "O"}, 1,
     "recbatch: U:2: script: setting 16 of a script, expected at most 15\n",
     "1 0050c2000000\n3 1\n3 2\n3 3\n3 4\n3 5\n3 6\n3 7\n3 8\n3 9\n3 10\n3 11\n3 12\n3 13\n3 14\n"},
    // A cell longer than its setting allows, in every setting column.
    {"cells_too_long", LONG_CELLS, {"-u", "U", "T", "O"}, 1,
     "recbatch: U:2: mac: \"" + D40 + "\", expected 12 hex digits or the colon form\n"
     "recbatch: U:2: ssid: 30000 bytes, expected 1 to 32\n"
     "recbatch: U:2: channel: \"" + D40 + "\", expected a whole number from 0 to 165\n"
     "recbatch: U:2: security: \"" + D40 + "\", expected a whole number from 0 to 128\n"
     "recbatch: U:2: wep-index: \"" + D40 + "\", expected a whole number from 1 to 4\n"
     "recbatch: U:2: wep-key: 30000 characters, expected 10 or 26 hex digits\n"
     "recbatch: U:2: passphrase: 30000 bytes, expected 8 to 63\n"
     "recbatch: U:2: user-name: 30000 bytes, expected 0 to 255\n"
     "recbatch: U:2: password: 30000 bytes, expected 0 to 255\n"
     "recbatch: U:2: manufacturer: 30000 bytes, expected 0 to 254\n"
     "recbatch: U:2: model-number: 30000 bytes, expected 0 to 254\n"
     "recbatch: U:2: model-type: 30000 bytes, expected 0 to 254\n"
     "recbatch: U:2: device-name: 30000 bytes, expected 0 to 254\n"
     "recbatch: U:2: host-name: 30000 bytes, expected 0 to 127\n"},
    {"host_name_must_stay_last", "mac,ssid\n0050c2aa0001,net\n", {"-u", "U", "T", "O"}, 1,
     "recbatch: T: host-name: has no line end in the template, so it must be the last setting\n", "14 node1"},

    // Addresses.
    {"address_twice", "mac,serial\n0050c2aa0001,S1\n0050C2AA0001,S2\n", {"-S", "-u", "U", "T", "O"}, 1,
     "recbatch: U:3: mac: 00:50:c2:aa:00:01 is also that of line 2\n"},
    // The ledger's faults are named with the table's other faults.
    {"address_in_the_ledger", "mac,serial\n0050c2000001,SN9\nzz,SN1002\n", {"-S", "-l", "L", "-u", "U", "T", "O"}, 1,
     "recbatch: U:2: mac: 00:50:c2:00:00:01 was issued by batch 1\n"
     "recbatch: U:3: mac: \"zz\", expected 12 hex digits or the colon form\n"
     "recbatch: U:3: serial: SN1002 was recorded by batch 1 for 00:50:c2:00:00:01\n"},
    {"template_address_in_the_ledger", "", {"-l", "L", "-n", "1", "T", "O"}, 1,
     "recbatch: T: mac: 00:50:c2:00:00:01 was issued by batch 1\n", "1 0050c2000001\n2 net\n"},
    {"address_cells_as_m_takes_them", "mac\n00:50:c2:aa:00:01\n\n000000000000\n01:50:c2:aa:00:03\n0050c2aa0001\n\n",
     {"-S", "-u", "U", "T", "O"}, 1,
     "recbatch: U:4: mac: an address of all zeros\n"
     "recbatch: U:5: mac: the group bit (0x01 of the first byte) is set\n"
     "recbatch: U:6: mac: 00:50:c2:aa:00:01 is also that of line 2\n"},
    {"serial_repeated", "serial,mac\nSN1,0050c2aa0001\nSN1,0050c2aa0002\n", {"-S", "-u", "U", "T", "O"}, 1,
     "recbatch: U:3: serial: SN1 is also that of line 2\n"},
    // A cell that a message repeats is escaped: one fault, one line.
    {"serial_with_a_line_end", "serial,mac\n\"S\n1\x1b\",0050c2aa0001\n\"S\n1\x1b\",0050c2aa0002\n",
     {"-S", "-u", "U", "T", "O"}, 1, "recbatch: U:4: serial: S\\n1\\x1b is also that of line 2\n"},
    {"serial_in_the_ledger", "serial,mac\nSN9,0050c2aa0001\nSN1002,0050c2aa0002\n", {"-S", "-l", "L", "-u", "U", "T", "O"},
     1, "recbatch: U:3: serial: SN1002 was recorded by batch 1 for 00:50:c2:00:00:01\n"},
    {"block_too_small", "", {"-S", "-l", "L", "-m", "0050c2000000-0050c2000004", "-n", "3", "T", "O"}, 1,
     "recbatch: -m: mac: 2 free addresses in the range for 3 units\n"},
    {"block_too_small_for_runs", "", {"-S", "-l", "L", "-a", "4", "-m", "0050c2000000-0050c200000f", "-n", "4", "T", "O"},
     1, "recbatch: -m: mac: 3 free runs of 4 addresses in the range for 4 units\n"},
    {"block_too_small_for_one", "", {"-S", "-l", "L", "-a", "64", "-m", "0050c2000000-0050c200003f", "-n", "1", "T", "O"},
     1, "recbatch: -m: mac: 0 free runs of 64 addresses in the range for 1 unit\n"},
    {"block_of_one_run", "", {"-S", "-l", "L", "-a", "4", "-m", "0050c2000000-0050c2000007", "-n", "2", "T", "O"}, 1,
     "recbatch: -m: mac: 1 free run of 4 addresses in the range for 2 units\n"},
    // A unit's address from the table or the template is the first of its
    // run, aligned, and every address of the run free: one fault a unit.
    {"address_cells_not_aligned", "mac\n0050c2aa0004\n0050c2aa0002\n", {"-S", "-a", "4", "-u", "U", "T", "O"}, 1,
     "recbatch: U:3: mac: 00:50:c2:aa:00:02 is not aligned to 4 addresses a unit (-a 4)\n"},
    {"address_run_in_the_ledger", "mac\n0050c2000000\n0050c2aa0000\n", {"-S", "-l", "L", "-a", "4", "-u", "U", "T", "O"}, 1,
     "recbatch: U:2: mac: 00:50:c2:00:00:00 was issued by batch 1\n"},
    {"template_address_not_aligned", "", {"-a", "2", "-n", "1", "T", "O"}, 1,
     "recbatch: T: mac: 00:50:c2:aa:00:01 is not aligned to 2 addresses a unit (-a 2)\n", "1 0050c2aa0001\n2 net\n"},
    {"template_address_for_two", "", {"-S", "-n", "2", "T", "O"}, 1,
     "recbatch: unit 1: mac: no address: give a mac column, -m, or the template's in a batch of one\n"
     "recbatch: unit 2: mac: no address: give a mac column, -m, or the template's in a batch of one\n"},
    {"no_address", "serial\nS1\n", {"-u", "U", "T", "O"}, 1,
     "recbatch: U:2: mac: no address: give a mac column, -m, or the template's in a batch of one\n", "2 net\n"},

    // Secrets.
    {"template_secrets_shared", "", {"-l", "L", "-m", BLOCK, "-n", "2", "-g", "passphrase", "T", "O"}, 1,
     "recbatch: T: password: the same for every unit: give it per unit with -u or -g, or allow that with -S\n"
     "recbatch: T: wep-key: the same for every unit: give it per unit with -u or -g, or allow that with -S\n"},
    {"secrets_repeated", PASS_COLUMNS + "0050c2aa0001,pass-phrase-1,Pw-1,a1a2a3a4a5\n"
                                        "0050c2aa0002,pass-phrase-1,Pw-2,a1a2a3a4a5\n",
     {"-u", "U", "T", "O"}, 1,
     "recbatch: U:3: passphrase: the same as that of line 2\nrecbatch: U:3: wep-key: the same as that of line 2\n"},
    {"secrets_from_public_identifiers",
     "serial,mac,passphrase,password,wep-key\n"
     "SN-7731,0050c2aa0001,x-0050C2AA0001-x,Pw-1,b1b2b3b4b5\n"
     "SN-7732,0050c2aa0002,pass-phrase-2,aa0002!,b1b2b3b4b6\n"
     "SN-7733,0050c2aa0003,pass-phrase-3,mine-sn-7733,b1b2b3b4b7\n",
     {"-u", "U", "T", "O"}, 1,
     "recbatch: U:2: passphrase: holds the unit's address, a public identifier\n"
     "recbatch: U:3: password: holds the unit's address, a public identifier\n"
     "recbatch: U:4: password: holds the unit's serial, a public identifier\n"},
    {"secret_from_another_of_the_units_addresses", "mac,passphrase,password,wep-key\n0050c2aa0004,pass-AA0007-x,Pw-1,b1b2b3b4b5\n",
     {"-a", "4", "-u", "U", "T", "O"}, 1, "recbatch: U:2: passphrase: holds the unit's address, a public identifier\n"},
    {"template_secret_from_the_address", "", {"-n", "1", "T", "O"}, 1,
     "recbatch: unit 1: passphrase: holds the unit's address, a public identifier\n",
     "1 0050c2aa0001\n7 phrase-AA0001\n"},
};

class RecbatchRefusal : public testing::TestWithParam<Refusal> {};

// Each refusal: its status and lines, no OUTDIR nor hidden folder, nothing
// more in the ledger.
TEST_P(RecbatchRefusal, NothingWrittenOrIssued)
{
    const Refusal &r = GetParam();
    Scene scene(r.units, r.templateText);
    const std::string before = Query(scene.ledger, "SELECT * FROM address");
    std::string out = scene.dir + "/stdout.txt";
    Program_result run = Run_program_to(RECBATCH, scene.Args(r.args), scene.dir, out, r.inClosed);
    run.out = Read_file(out);
    EXPECT_EQ(run.err, scene.Expand(r.err));
    EXPECT_EQ(run.status, r.status);
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(File_exists(scene.dir + "/out"));
    EXPECT_EQ(Hidden_left(scene.dir), 0u);
    EXPECT_EQ(Query(scene.ledger, "SELECT * FROM address"), before);
    EXPECT_EQ(Query(scene.ledger, "SELECT count(*) FROM batch"), "1\n");
}

INSTANTIATE_TEST_SUITE_P(Inputs, RecbatchRefusal, testing::ValuesIn(REFUSALS),
                         [](const testing::TestParamInfo<Refusal> &info) { return info.param.name; });

// Runs that issue a batch (or print the version) in the scene of the
// refusals: what the ledger then holds, D/ standing for the scratch
// folder's absolute path.
struct Accepted {
    const char *name;
    std::string units;
    std::vector<std::string> args;
    std::string out;
    std::string query;
    std::string rows;
    std::string wifi = ""; // the first unit's, when given
    std::string lasts = ""; // each unit's mac and last-mac cells, when given
};

void PrintTo(const Accepted &a, std::ostream *os)
{
    *os << a.name;
}

const Accepted ACCEPTED[] = {
    {"version", "", {"--version"}, "recbatch " ZOL_VERSION "\n", "SELECT version FROM batch", ZOL_VERSION "\n"},
    {"generated_secrets_drawn_again", "serial\n0\n1\n2\n3\n4\n5\n6\n7\n8\n9\na\nB\nc\nD\ne\nF\n",
     {"-l", "L", "-m", BLOCK, "-u", "U", "-g", "passphrase", "-g", "password", "-g", "wep-key", "T", "O"}, "",
     "SELECT count(*) FROM address WHERE batch = 2", "16\n"},
    {"serials_reissued", "serial,mac\nSN1002,00:50:c2:aa:00:01\nSN1002,0050c2aa0002\n",
     {"-R", "-S", "-l", "L", "-u", "U", "T", "O"}, "",
     "SELECT mac, serial, reissue FROM address JOIN batch ON batch = id WHERE id = 2",
     "0050c2aa0001|SN1002|1\n0050c2aa0002|SN1002|1\n"},
    {"outdir_recorded_absolute", "", {"-l", "L", "-m", BLOCK, "-n", "1", "T", "D/./out"}, "",
     "SELECT outdir, finished IS NOT NULL, reissue FROM batch WHERE id = 2", "D/out|1|0\n"},
    // The bundled example makes a batch of one on its own address.
    {"example_on_its_own_address", "", {"-l", "L", "-n", "1", "T", "O"}, "", "SELECT mac FROM address WHERE batch = 2",
     "0050c2a1b2c3\n"},
    // The record holds any bytes: a table's SSID and pass phrase may hold
    // blanks, which no script line can carry.
    // Several addresses a unit: the lowest free aligned runs of the range,
    // past batch 1's 0 to 2; a table's cells, each the first of its run.
    {"units_of_four_addresses", "", {"-S", "-l", "L", "-a", "4", "-m", BLOCK, "-n", "2", "T", "O"}, "",
     "SELECT group_concat(mac, ' '), unit, count(DISTINCT sha256) FROM address WHERE batch = 2 GROUP BY unit",
     "0050c2000004 0050c2000005 0050c2000006 0050c2000007|1|1\n0050c2000008 0050c2000009 0050c200000a 0050c200000b|2|1\n",
     "", "00:50:c2:00:00:04-00:50:c2:00:00:07 00:50:c2:00:00:08-00:50:c2:00:00:0b "},
    {"units_of_two_from_the_table", "mac,serial\n0050c2aa0002,S1\n00:50:c2:aa:00:00,S2\n",
     {"-S", "-l", "L", "-a", "2", "-u", "U", "T", "O"}, "", "SELECT mac, unit, serial FROM address WHERE batch = 2 ORDER BY mac",
     "0050c2aa0000|2|S2\n0050c2aa0001|2|S2\n0050c2aa0002|1|S1\n0050c2aa0003|1|S1\n"},
    {"blanks_in_ssid_and_passphrase", "mac,ssid,passphrase\n0050c2aa0001,my net, pass phrase \n",
     {"-l", "L", "-u", "U", "T", "O"}, "", "SELECT mac FROM address WHERE batch = 2", "0050c2aa0001\n",
     "WIFI:T:WPA;S:my net;P: pass phrase ;;"},
    // Without -l nothing is recorded, and the batch ends as well.
    {"without_a_ledger", "mac,serial\n0050c2aa0001,S1\n", {"-S", "-u", "U", "T", "O"}, "",
     "SELECT count(*) FROM batch", "1\n", "WIFI:T:WPA;S:Velmar-Setup;P:factory-passphrase-2400;;"},
};

class RecbatchRun : public testing::TestWithParam<Accepted> {};

// Also: no secret of the manifest holds its unit's serial or address, and
// the batch passes its own audit.
TEST_P(RecbatchRun, IssuedAndRecorded)
{
    const Accepted &r = GetParam();
    Scene scene(r.units, "");
    Program_result run = Run_program(RECBATCH, scene.Args(r.args), scene.dir);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, r.out);
    std::string rows = r.rows;
    if (rows.starts_with("D/"))
        rows.replace(0, 1, std::filesystem::canonical(scene.dir).string());
    EXPECT_EQ(Query(scene.ledger, r.query), rows);
    Table manifest = Read_csv(scene.dir + "/out/manifest.csv");
    auto folded = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
        return text;
    };
    for (std::size_t row = 1; row < manifest.size(); ++row) {
        std::string mac = Cell(manifest, row, "mac");
        mac.erase(std::remove(mac.begin(), mac.end(), ':'), mac.end());
        for (const char *name : {"passphrase", "password", "wep-key"}) {
            std::string secret = folded(Cell(manifest, row, name));
            EXPECT_EQ(secret.find(mac.substr(6)), std::string::npos) << secret;
            if (std::string serial = Cell(manifest, row, "serial"); serial != "<no column>") {
                EXPECT_EQ(secret.find(folded(serial)), std::string::npos) << secret;
            }
        }
    }
    if (!r.wifi.empty()) {
        EXPECT_EQ(Cell(manifest, 1, "wifi"), r.wifi);
    }
    std::string lasts;
    for (std::size_t row = 1; !r.lasts.empty() && row < manifest.size(); ++row)
        lasts += Cell(manifest, row, "mac") + "-" + Cell(manifest, row, "last-mac") + " ";
    EXPECT_EQ(lasts, r.lasts);
    if (!manifest.empty() && std::find(r.args.begin(), r.args.end(), "-l") != r.args.end()) {
        Program_result audit = Run_program(RECBATCH, scene.Args({"-l", "L", "-V", "O"}), scene.dir);
        EXPECT_EQ(audit.status, 0) << audit.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, RecbatchRun, testing::ValuesIn(ACCEPTED),
                         [](const testing::TestParamInfo<Accepted> &info) { return info.param.name; });

// -V on batch 1's folder, left unfinished as by a run stopped after its
// rename, once it is changed: whole, it is marked finished; else each
// fault is a line, and it stays unfinished. A ledger that is not there is
// not made.
struct Audit {
    const char *name;
    void (*change)(const std::string &folder);
    int status;
    std::string err;
    std::string ledger = "L";
};

void PrintTo(const Audit &a, std::ostream *os)
{
    *os << a.name;
}

void Replace(const std::string &path, const std::string &from, const std::string &to)
{
    std::string text = Read_file(path);
    text.replace(text.find(from), from.size(), to);
    Write_file(path, text);
}

// The manifest's lines, each without its CR LF.
std::vector<std::string> Lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size(); at = text.find("\r\n", at) + 2)
        lines.push_back(text.substr(at, text.find("\r\n", at) - at));
    return lines;
}

const Audit AUDITS[] = {
    {"whole", [](const std::string &) {}, 0, "recbatch: D/first: batch 1 is whole, 3 images\n"},
    {"image_missing", [](const std::string &f) { std::filesystem::remove(f + "/0050c2000001.bin"); }, 1,
     "recbatch: D/first/0050c2000001.bin: missing\n"},
    {"image_changed", [](const std::string &f) { Write_file(f + "/0050c2000002.bin", Read_file(f + "/0050c2000002.bin") + "x"); },
     1, "recbatch: D/first/0050c2000002.bin: its SHA-256 is not the one that the ledger records for 00:50:c2:00:00:02\n"},
    {"something_else",
     [](const std::string &f) {
         Write_file(f + "/notes.txt", "");
         std::filesystem::copy_file(f + "/0050c2000000.bin", f + "/0050c2aa0009.bin");
     },
     1, "recbatch: D/first/0050c2aa0009.bin: not part of batch 1\nrecbatch: D/first/notes.txt: not part of batch 1\n"},
    {"manifest_rows_changed",
     [](const std::string &f) {
         Replace(f + "/manifest.csv", "00:50:c2:00:00:01", "00:50:c2:00:00:07");
         Replace(f + "/manifest.csv", "SN1003", "SN1009");
     },
     1,
     "recbatch: D/first/manifest.csv:3: mac: 00:50:c2:00:00:07, expected 00:50:c2:00:00:01\n"
     "recbatch: D/first/manifest.csv:4: serial: SN1009, expected SN1003\n"},
    // Every cell against the image's own values, and the Wi-Fi text made
    // from them; a manifest cut short.
    {"manifest_passphrase_edited",
     [](const std::string &f) { Replace(f + "/manifest.csv", "factory-passphrase-2400", "factory-passphrase-2401"); }, 1,
     "recbatch: D/first/manifest.csv:2: passphrase: not the value that the image holds\n"},
    {"manifest_channel_edited", [](const std::string &f) { Replace(f + "/manifest.csv", "Setup,6,", "Setup,11,"); }, 1,
     "recbatch: D/first/manifest.csv:2: channel: 11, expected 6\n"},
    {"manifest_wifi_edited", [](const std::string &f) { Replace(f + "/manifest.csv", "S:Velmar-Setup", "S:Velmar"); }, 1,
     "recbatch: D/first/manifest.csv:2: wifi: not the Wi-Fi text of the image's ssid, passphrase and wep-key\n"},
    {"manifest_wifi_column_removed",
     [](const std::string &f) {
         std::string text;
         for (const std::string &line : Lines_of(Read_file(f + "/manifest.csv")))
             text += line.substr(0, line.rfind(',')) + "\r\n";
         Write_file(f + "/manifest.csv", text);
     },
     1, "recbatch: D/first/manifest.csv:1: wifi: no such column\n"},
    {"manifest_cut_in_its_last_wifi_cell",
     [](const std::string &f) {
         std::string text = Read_file(f + "/manifest.csv");
         Write_file(f + "/manifest.csv", text.substr(0, text.size() - 12));
     },
     1,
     "recbatch: D/first/manifest.csv:4: row: no line end: the manifest may be cut short\n"
     "recbatch: D/first/manifest.csv: 2 units, expected 3\n"},
    {"manifest_row_missing",
     [](const std::string &f) {
         std::string text = Read_file(f + "/manifest.csv");
         Write_file(f + "/manifest.csv", text.substr(0, text.rfind("\r\n", text.size() - 3) + 2));
     },
     1, "recbatch: D/first/manifest.csv: 2 units, expected 3\n"},
    {"manifest_missing", [](const std::string &f) { std::filesystem::remove(f + "/manifest.csv"); }, 1,
     "recbatch: D/first/manifest.csv: missing\n"},
    // An image's name is its address in lower-case hex digits.
    {"image_in_upper_case_hex",
     [](const std::string &f) { std::filesystem::copy_file(f + "/0050c2000000.bin", f + "/0050C2000000.bin"); }, 1,
     "recbatch: D/first/0050C2000000.bin: not part of batch 1\n"},
    // Of batches that issued as many of the images, the earliest is the
    // folder's.
    {"two_batches_as_many_images",
     [](const std::string &f) {
         std::string dir = f.substr(0, f.rfind('/'));
         Run_program(RECBATCH, {"-S", "-l", dir + "/l.db", "-m", BLOCK, "-n", "2", EXAMPLE_SCRIPT, dir + "/second"}, dir);
         std::filesystem::remove(f + "/0050c2000002.bin");
         for (const char *mac : {"0050c2000003", "0050c2000004"})
             std::filesystem::copy_file(dir + "/second/" + mac + ".bin", f + "/" + mac + ".bin");
     },
     1,
     "recbatch: D/first/0050c2000002.bin: missing\nrecbatch: D/first/0050c2000003.bin: not part of batch 1\n"
     "recbatch: D/first/0050c2000004.bin: not part of batch 1\n"},
    {"no_image_of_the_ledger",
     [](const std::string &f) {
         for (const char *mac : {"0050c2000000", "0050c2000001", "0050c2000002"})
             std::filesystem::remove(f + "/" + mac + ".bin");
     },
     1, "recbatch: D/first: no image of an address that the ledger issued\n"},
    {"no_ledger", [](const std::string &) {}, 2, "recbatch: D/none.db: No such file or directory\n", "D/none.db"},
    // A batch of units of two addresses in the folder's place: last-mac
    // against the ledger's last address of each unit.
    {"last_mac_edited",
     [](const std::string &f) {
         std::string dir = f.substr(0, f.rfind('/'));
         Run_program(RECBATCH, {"-S", "-l", dir + "/l.db", "-a", "2", "-m", BLOCK, "-n", "2", EXAMPLE_SCRIPT, dir + "/two"},
                     dir);
         std::filesystem::remove_all(f);
         std::filesystem::rename(dir + "/two", f);
         Replace(f + "/manifest.csv", "00:50:c2:00:00:07", "00:50:c2:00:00:09");
     },
     1, "recbatch: D/first/manifest.csv:3: last-mac: 00:50:c2:00:00:09, expected 00:50:c2:00:00:07\n"},
};

class RecbatchAudit : public testing::TestWithParam<Audit> {};

TEST_P(RecbatchAudit, FinishesAWholeBatchOnly)
{
    const Audit &r = GetParam();
    Scene scene("", "");
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(scene.ledger.c_str(), &db), SQLITE_OK);
    // As a run that died before its OUTDIR was complete left it: no finish.
    EXPECT_EQ(sqlite3_exec(db, "UPDATE batch SET finished = NULL; DELETE FROM finish; DELETE FROM chain WHERE tbl = 'finish'",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    r.change(scene.dir + "/first");
    Program_result run = Run_program(RECBATCH, scene.Args({"-l", r.ledger, "-V", "D/first"}), scene.dir);
    EXPECT_EQ(run.err, scene.Expand(r.err));
    EXPECT_EQ(run.status, r.status);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(File_exists(scene.Args({r.ledger})[0]), r.status != 2);
    EXPECT_EQ(Query(scene.ledger, "SELECT finished IS NOT NULL FROM batch WHERE id = 1"), r.status == 0 ? "1\n" : "0\n");
}

INSTANTIATE_TEST_SUITE_P(Folders, RecbatchAudit, testing::ValuesIn(AUDITS),
                         [](const testing::TestParamInfo<Audit> &info) { return info.param.name; });

// What the converter makes of a unit's script: the template's lines, each
// value taken from the unit's manifest row.
std::string Unit_script(const Table &manifest, std::size_t row)
{
    const char *names[] = {"",           "mac",          "ssid",         "channel",    "security",
                           "wep-index",  "wep-key",      "passphrase",   "user-name",  "password",
                           "manufacturer", "model-number", "model-type", "device-name", "host-name"};
    std::string script;
    std::string line;
    std::string text = Read_file(EXAMPLE_SCRIPT);
    for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
        int type = std::atoi(text.c_str() + at);
        std::string value = Cell(manifest, row, names[type]);
        if (type == 1)
            value.erase(std::remove(value.begin(), value.end(), ':'), value.end());
        script += std::to_string(type) + " " + value + "\n";
    }
    return script;
}

TEST(RecbatchBatch, EveryImageIsTheConvertersOwn)
{
    std::string dir = Scratch_dir();
    std::string units = "serial,ssid\n";
    for (int i = 1; i <= 200; ++i)
        units += "SN-" + std::to_string(1000 + i) + ",net-" + std::to_string(i) + "\n";
    Write_file(dir + "/u.csv", units);
    Program_result run = Run_program(RECBATCH,
                                     {"-l", dir + "/l.db", "-m", "0050c2aa0000-0050c2aaffff", "-u", dir + "/u.csv", "-g",
                                      "passphrase", "-g", "password", "-g", "wep-key", EXAMPLE_SCRIPT, dir + "/out"},
                                     dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    Table manifest = Read_csv(dir + "/out/manifest.csv");
    ASSERT_EQ(manifest.size(), 201u);
    EXPECT_EQ(manifest[0], (std::vector<std::string>{"unit", "serial", "mac", "ssid", "channel", "security",
                                                     "wep-index", "wep-key", "passphrase", "user-name", "password",
                                                     "manufacturer", "model-number", "model-type", "device-name",
                                                     "host-name", "file", "sha256", "wifi"}));
    struct stat st {};
    ASSERT_EQ(stat((dir + "/out/manifest.csv").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    std::string previous;
    for (std::size_t row = 1; row < manifest.size(); ++row) {
        std::string mac = Cell(manifest, row, "mac");
        EXPECT_GT(mac, previous) << "addresses ascend, each once";
        previous = mac;
        EXPECT_EQ(Cell(manifest, row, "unit"), std::to_string(row));
        EXPECT_EQ(Cell(manifest, row, "serial"), "SN-" + std::to_string(1000 + row));
        std::string image = dir + "/out/" + Cell(manifest, row, "file");
        ASSERT_EQ(stat(image.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "an image holds its unit's secrets";
        Write_file(dir + "/unit.txt", Unit_script(manifest, row));
        ASSERT_EQ(Run_program(TROSKET, {dir + "/unit.txt", dir + "/unit.bin"}, dir).status, 0);
        std::string bytes = Read_file(image);
        EXPECT_EQ(bytes, Read_file(dir + "/unit.bin")) << row;
        EXPECT_EQ(Cell(manifest, row, "sha256"),
                  Digest_hex(Sha256(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size())));
        EXPECT_EQ(Run_program(HALVIK, {image}, dir).status, 0);
        EXPECT_EQ(Run_program(RECDUMP, {image}, dir).status, 0);
        EXPECT_EQ(Cell(manifest, row, "wifi"), "WIFI:T:WPA;S:net-" + std::to_string(row) + ";P:" +
                                                   Cell(manifest, row, "passphrase") + ";;");
        EXPECT_EQ(Cell(manifest, row, "wep-key").size(), 26u);
    }
    EXPECT_EQ(Query(dir + "/l.db", "SELECT id, units, outdir, finished IS NOT NULL FROM batch"),
              "1|200|" + dir + "/out|1\n");
    EXPECT_EQ(Query(dir + "/l.db", "SELECT count(*), count(DISTINCT sha256) FROM address WHERE batch = 1"),
              "200|200\n");
    EXPECT_EQ(Query(dir + "/l.db", "SELECT serial FROM address WHERE mac = '0050c2aa0000'"), "SN-1001\n");
}

TEST(RecbatchBatch, GeneratedPassPhrasesAreDistinctAndFromTheAlphabet)
{
    std::string dir = Scratch_dir();
    Program_result run = Run_program(
        RECBATCH, {"-S", "-l", dir + "/l.db", "-m", BLOCK, "-n", "10000", "-g", "passphrase", EXAMPLE_SCRIPT, dir + "/out"},
        dir);
    ASSERT_EQ(run.status, 0) << run.err;
    Table manifest = Read_csv(dir + "/out/manifest.csv");
    ASSERT_EQ(manifest.size(), 10001u);
    std::set<std::string> phrases;
    for (std::size_t row = 1; row < manifest.size(); ++row) {
        std::string phrase = Cell(manifest, row, "passphrase");
        EXPECT_EQ(phrase.size(), SECRET_TEXT_LEN);
        EXPECT_EQ(phrase.find_first_not_of(SECRET_ALPHABET), std::string::npos) << phrase;
        phrases.insert(phrase);
    }
    EXPECT_EQ(phrases.size(), 10000u);
    EXPECT_EQ(SECRET_ALPHABET.find_first_of("0O1lI"), std::string::npos);
}

// A batch of one unit: its Wi-Fi text (WPA, WEP or none, special characters
// escaped), its file and address, its image byte for byte what the
// converter makes of the unit's script, and, in the ledger, the SHA-256 of
// the template as given, from a file, standard input or a FIFO.
TEST(RecbatchBatch, OneUnit)
{
    enum From { FROM_FILE, FROM_STDIN, FROM_FIFO };
    struct Case {
        std::string templateText;
        std::string wifi;
        std::string file = "0050c2aa0001.bin";
        std::string units = "";  // a table of one unit, else -n 1
        std::string script = ""; // the unit's script, when it is not the template
        From from = FROM_FILE;
    };
    const std::string net = "1 0050c2aa0001\n2 net\n";
    const Case cases[] = {
        {"1 0050c2aa0001\n2 a;b,c:d\"e\\f\n7 p;ss:wo,rd\\\"\n", "WIFI:T:WPA;S:a\\;b\\,c\\:d\\\"e\\\\f;P:p\\;ss\\:wo\\,rd\\\\\\\";;"},
        {net + "6 a1b2c3d4e5\n", "WIFI:T:WEP;S:net;P:a1b2c3d4e5;;"},
        {net, "WIFI:T:nopass;S:net;;"},
        // The template is read once, wherever it comes from.
        {net + "3 6\n", "WIFI:T:nopass;S:net;;", "0050c2aa0001.bin", "", "", FROM_STDIN},
        {net + "3 11\n", "WIFI:T:nopass;S:net;;", "0050c2aa0001.bin", "", "", FROM_FIFO},
        // The last address that the template gives is the unit's.
        {"1 0050c2aa0009\n2 net\n1 0050c2aa0002\n", "WIFI:T:nopass;S:net;;", "0050c2aa0002.bin"},
        // A host name from the table ends its line as the template's does,
        // whether or not other settings follow it.
        {net + "14 node1\n", "WIFI:T:nopass;S:net;;", "0050c2aa0001.bin", "host-name\nnode7\n", net + "14 node7\n"},
        {"1 0050c2aa0001\n14 node1\n2 net\n", "WIFI:T:nopass;S:net;;", "0050c2aa0001.bin", "host-name\nnode7\n",
         "1 0050c2aa0001\n14 node7\n2 net\n"},
        {net + "14 node1", "WIFI:T:nopass;S:net;;", "0050c2aa0001.bin", "host-name\nnode7\n", net + "14 node7"},
    };
    for (const Case &c : cases) {
        std::string dir = Scratch_dir();
        SCOPED_TRACE(c.templateText);
        Write_file(dir + "/t.txt", c.templateText);
        Write_file(dir + "/u.csv", c.units);
        std::string command = "cd '" + dir + "' && ";
        std::string templateArg = "t.txt";
        if (c.from == FROM_STDIN)
            templateArg = "- < t.txt";
        if (c.from == FROM_FIFO) {
            command += "mkfifo t.fifo && { cat t.txt > t.fifo & } && ";
            templateArg = "t.fifo";
        }
        command += "'" RECBATCH "' -l l.db " + std::string(c.units.empty() ? "-n 1 " : "-u u.csv ") + templateArg +
                   " out 2> err.txt"; // a redirection may stand among the arguments
        int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Read_file(dir + "/err.txt");
        Table manifest = Read_csv(dir + "/out/manifest.csv");
        ASSERT_EQ(manifest.size(), 2u);
        EXPECT_EQ(Cell(manifest, 1, "wifi"), c.wifi);
        EXPECT_EQ(Cell(manifest, 1, "file"), c.file);
        Write_file(dir + "/unit.txt", c.script.empty() ? c.templateText : c.script);
        ASSERT_EQ(Run_program(TROSKET, {dir + "/unit.txt", dir + "/unit.bin"}, dir).status, 0);
        EXPECT_EQ(Read_file(dir + "/out/" + c.file), Read_file(dir + "/unit.bin"));
        const std::string &bytes = c.templateText;
        EXPECT_EQ(Query(dir + "/l.db", "SELECT template_sha256 FROM batch"),
                  Digest_hex(Sha256(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size())) + "\n");
        EXPECT_EQ(Query(dir + "/l.db", "SELECT mac FROM address"), c.file.substr(0, 12) + "\n");
    }
}

TEST(RecbatchLedger, ASecondRunContinuesWhereTheFirstStopped)
{
    std::string dir = Scratch_dir();
    std::string ledger = dir + "/l.db";
    // A table address inside the block is passed over by the block's units.
    Write_file(dir + "/u.csv", "serial,mac\nS1,0050c2000001\nS2,\nS3,\n");
    std::vector<std::string> common{"-S", "-l", ledger, "-m", BLOCK};
    auto run = [&](std::vector<std::string> more) {
        std::vector<std::string> args = common;
        args.insert(args.end(), more.begin(), more.end());
        return Run_program(RECBATCH, args, dir);
    };
    ASSERT_EQ(run({"-u", dir + "/u.csv", EXAMPLE_SCRIPT, dir + "/one"}).status, 0);
    ASSERT_EQ(run({"-n", "2", EXAMPLE_SCRIPT, dir + "/two"}).status, 0);
    EXPECT_EQ(Macs_of(Read_csv(dir + "/one/manifest.csv")), "00:50:c2:00:00:01 00:50:c2:00:00:00 00:50:c2:00:00:02 ");
    EXPECT_EQ(Macs_of(Read_csv(dir + "/two/manifest.csv")), "00:50:c2:00:00:03 00:50:c2:00:00:04 ");
    EXPECT_EQ(Query(ledger, "SELECT mac, batch, unit FROM address ORDER BY mac"),
              "0050c2000000|1|2\n0050c2000001|1|1\n0050c2000002|1|3\n0050c2000003|2|1\n0050c2000004|2|2\n");
}

TEST(RecbatchLedger, TwoRunsAtOnceIssueDisjointAddresses)
{
    std::string dir = Scratch_dir();
    std::string command;
    for (const char *name : {"a", "b"})
        command += "'" RECBATCH "' -S -l '" + dir + "/l.db' -m " + BLOCK + " -n 400 '" EXAMPLE_SCRIPT "' '" + dir + "/" +
                   name + "' 2>'" + dir + "/" + name + ".err'; echo $? > '" + dir + "/" + name + ".status' & ";
    ASSERT_EQ(std::system((command + "wait").c_str()), 0);
    std::set<std::string> macs;
    for (const char *name : {"a", "b"}) {
        EXPECT_EQ(Read_file(dir + "/" + name + ".status"), "0\n") << Read_file(dir + "/" + name + ".err");
        Table manifest = Read_csv(dir + "/" + name + "/manifest.csv");
        for (std::size_t row = 1; row < manifest.size(); ++row)
            macs.insert(Cell(manifest, row, "mac"));
    }
    EXPECT_EQ(macs.size(), 800u);
    EXPECT_EQ(Query(dir + "/l.db", "SELECT count(*), min(mac), max(mac) FROM address"),
              "800|0050c2000000|0050c200031f\n");
}

// Addresses foreseen before the ledger's lock that another run issues while
// this one waits for it: the units take the next free ones, their images
// converted anew, each written with the SHA-256 that the ledger records.
TEST(RecbatchLedger, AnAddressIssuedWhileARunWaitsIsSettledAnew)
{
    std::string dir = Scratch_dir();
    std::string ledger = dir + "/l.db";
    ASSERT_EQ(Run_program(RECBATCH, {"-S", "-l", ledger, "-m", BLOCK, "-n", "1", EXAMPLE_SCRIPT, dir + "/first"}, dir).status,
              0);
    sqlite3 *holder = nullptr;
    ASSERT_EQ(sqlite3_open(ledger.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::vector<std::string> args{RECBATCH, "-S", "-l", ledger, "-m", BLOCK, "-n", "3", "-g", "passphrase",
                                  EXAMPLE_SCRIPT, dir + "/out"};
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, RECBATCH, nullptr, nullptr, argv.data(), environ), 0);
    auto start = std::chrono::steady_clock::now();
    while (Hidden_left(dir) != 1 && std::chrono::steady_clock::now() - start < std::chrono::seconds(60))
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // foreseen, and waiting for the lock
    EXPECT_EQ(sqlite3_exec(holder,
                           "INSERT INTO batch (started, template_sha256, outdir, units) VALUES ('t', 'x', '/o', 1);"
                           "INSERT INTO address (mac, batch, unit) VALUES ('0050c2000001', 2, 1); COMMIT",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(holder);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    Table manifest = Read_csv(dir + "/out/manifest.csv");
    EXPECT_EQ(Macs_of(manifest), "00:50:c2:00:00:02 00:50:c2:00:00:03 00:50:c2:00:00:04 ");
    for (std::size_t row = 1; row < manifest.size(); ++row) {
        std::string bytes = Read_file(dir + "/out/" + Cell(manifest, row, "file"));
        std::string sha256 = Digest_hex(Sha256(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size()));
        EXPECT_EQ(Query(ledger, "SELECT sha256 FROM address WHERE mac = '" + Cell(manifest, row, "file").substr(0, 12) + "'"),
                  sha256 + "\n");
    }
}

// Where a run is stopped, and what it leaves: stopped once its addresses
// are issued, no OUTDIR (nor, but by SIGKILL, its hidden folder), and its
// addresses are never issued again; stopped while another run holds the
// ledger, it ends at once, and nothing is left or issued. An OUTDIR made
// while the run waits for the ledger is never replaced: the run fails, its
// addresses issued. The run works in a hidden folder beside OUTDIR.
struct Interruption {
    const char *name;
    int signal;      // 0: OUTDIR is made meanwhile

    bool ledgerHeld; // else stopped once its batch is recorded
    const char *next; // the address that the next run issues
    const char *units = "60000";
};

void PrintTo(const Interruption &i, std::ostream *os)
{
    *os << i.name;
}

const Interruption INTERRUPTIONS[] = {
    {"killed_once_issued", SIGKILL, false, "00:50:c2:00:ea:60 "},
    {"terminated_once_issued", SIGTERM, false, "00:50:c2:00:ea:60 "},
    {"hung_up_once_issued", SIGHUP, false, "00:50:c2:00:ea:60 "},
    {"interrupted_waiting_for_the_ledger", SIGINT, true, "00:50:c2:00:00:00 "},
    {"outdir_made_while_waiting_for_the_ledger", 0, true, "00:50:c2:00:00:02 ", "2"},
};

class RecbatchStopped : public testing::TestWithParam<Interruption> {};

TEST_P(RecbatchStopped, LeavesNoOutdirAndNoAddressIssuedTwice)
{
    const Interruption &r = GetParam();
    std::string dir = Scratch_dir();
    std::string ledger = dir + "/l.db";
    sqlite3 *holder = nullptr;
    if (r.ledgerHeld) {
        ASSERT_EQ(sqlite3_open(ledger.c_str(), &holder), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    std::vector<std::string> args{RECBATCH, "-S", "-l", ledger, "-m", BLOCK, "-n", r.units, EXAMPLE_SCRIPT, dir + "/out"};
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, RECBATCH, nullptr, nullptr, argv.data(), environ), 0);
    auto start = std::chrono::steady_clock::now();
    // Waiting for the ledger, the run has made its hidden folder.
    while ((r.ledgerHeld ? Hidden_left(dir) != 1 : Query(ledger, "SELECT count(*) FROM batch") != "1\n") &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(60))
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(Hidden_left(dir), 1u) << "no hidden folder beside OUTDIR";
    if (r.ledgerHeld)
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (r.signal == 0) {
        EXPECT_EQ(mkdir((dir + "/out").c_str(), 0700), 0);
        sqlite3_close(holder); // rolls back: the run takes the ledger
        holder = nullptr;
    } else {
        kill(pid, r.signal);
    }
    auto stopped = std::chrono::steady_clock::now();
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(r.signal == 0 ? 60 : 5));
    sqlite3_close(holder); // rolls back
    if (r.signal == 0) {
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 2);
        EXPECT_TRUE(std::filesystem::is_empty(dir + "/out")) << "OUTDIR replaced";
    } else {
        ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before it was stopped";
        EXPECT_EQ(WTERMSIG(status), r.signal);
        EXPECT_FALSE(File_exists(dir + "/out"));
    }
    if (r.signal != SIGKILL) {
        EXPECT_EQ(Hidden_left(dir), 0u);
    }
    if (!r.ledgerHeld || r.signal == 0) {
        EXPECT_EQ(Query(ledger, "SELECT count(*), finished IS NULL FROM address JOIN batch ON batch = id"),
                  std::string(r.units) + "|1\n");
    }
    Program_result again =
        Run_program(RECBATCH, {"-S", "-l", ledger, "-m", BLOCK, "-n", "1", EXAMPLE_SCRIPT, dir + "/again"}, dir);
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(Macs_of(Read_csv(dir + "/again/manifest.csv")), r.next);
}

INSTANTIATE_TEST_SUITE_P(Runs, RecbatchStopped, testing::ValuesIn(INTERRUPTIONS),
                         [](const testing::TestParamInfo<Interruption> &info) { return info.param.name; });

} // namespace
