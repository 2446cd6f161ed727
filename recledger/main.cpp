// recledger: reads, corrects and verifies the address ledger: finds what it
// holds of an address or a serial, reports a whole ledger's counts, voids an
// address, releases an abandoned claim, exports every address, verifies
// the chain of its rows, leases a block of addresses to a site and syncs
// the site's ledger back.
#include "cli.h"
#include "ledger.h"
#include "number.h"
#include "recledger.h"
#include "text.h"

#include <cerrno>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

namespace {

constexpr char USAGE[] = "usage: recledger [-j] -l LEDGER find KEY...\n"
                         "       recledger [-j] -l LEDGER report [-o PAGE.html]\n"
                         "       recledger -l LEDGER void -r REASON MAC...\n"
                         "       recledger -l LEDGER release -r REASON MAC\n"
                         "       recledger [-j] -l LEDGER export\n"
                         "       recledger -l LEDGER verify\n"
                         "       recledger -l CENTRAL lease -s SITE -n COUNT [-m FIRST-LAST] LOCAL\n"
                         "       recledger -l LOCAL sync [--return]\n"
                         "       recledger --help | --version\n";

struct Command {
    const char *name;
    const char *options; // the command's own, for getopt: operands end them
    bool json;           // whether it takes -j
    bool prints;         // its result goes to standard output (report's unless -o)
    int least, most;     // how many operands (most -1: no limit)
    int (*run)(const Options &);
};

constexpr Command COMMANDS[] = {
    {"find", "+", true, true, 1, -1, Find_run},    {"report", "+o:", true, true, 0, 0, Report_run},
    {"void", "+r:", false, false, 1, -1, Void_run}, {"release", "+r:", false, false, 1, 1, Release_run},
    {"export", "+", true, true, 0, 0, Export_run}, {"verify", "+", false, true, 0, 0, Verify_run},
    {"lease", "+s:n:m:", false, true, 1, 1, Lease_run}, {"sync", "+", false, true, 0, 0, Sync_run},
};

constexpr int GIVE_BACK = 256; // sync --return
constexpr option LONG_OPTIONS[] = {{"return", no_argument, nullptr, GIVE_BACK}, {nullptr, 0, nullptr, 0}};
constexpr std::int64_t COUNT_MAX = 16777216; // the addresses of one IEEE block

// nullptr, or why text cannot name a site (for a message after "-s: ").
const char *Site_why(std::string_view text)
{
    if (text.empty())
        return "an empty name";
    if (text.size() > LEDGER_SITE_MAX)
        return "longer than 64 bytes";
    if (!Text_isUtf8(text))
        return "not UTF-8";
    char escaped[4 * LEDGER_SITE_MAX + 1];
    if (Text_escape(text, escaped, sizeof escaped) != text.size())
        return "holds a control character";
    return nullptr;
}

// A lease's own options: -s, -n and -m; a status to end with, or -1.
int Lease_option(int opt, Options &options)
{
    std::int64_t count = 0;
    switch (opt) {
    case 's':
        if (const char *why = Site_why(optarg))
            return Cli_misuse("-s: %s", why);
        options.site = optarg;
        return -1;
    case 'n':
        if (Number_parse(optarg, 1, COUNT_MAX, count) != nullptr)
            return Cli_misuse("-n: expected a whole number from 1 to %lld", static_cast<long long>(COUNT_MAX));
        options.count = static_cast<std::size_t>(count);
        return -1;
    default:
        if (const char *why = Mac_parseRange(optarg, options.range))
            return Cli_misuse("-m: %s", why);
        options.ranged = true;
        return -1;
    }
}

// nullptr, or why text cannot be a reason (for a message after "-r: "):
// empty or blank, not UTF-8, a control character, longer than REASON_MAX.
const char *Reason_why(std::string_view text)
{
    if (text.find_first_not_of(' ') == std::string_view::npos)
        return "an empty reason";
    if (text.size() > REASON_MAX)
        return "longer than 200 bytes";
    if (!Text_isUtf8(text))
        return "not UTF-8";
    char escaped[4 * REASON_MAX + 1]; // room for every character escaped
    if (Text_escape(text, escaped, sizeof escaped) != text.size())
        return "holds a control character";
    return nullptr;
}

// The command's options and operands, from argv[0] (its name) on; a status
// to end with, or -1 to go on.
int Parse_command(const Command &command, int argc, char *argv[], Options &options)
{
    optind = 0; // getopt starts anew, after argv[0]
    for (int opt = 0; (opt = getopt_long(argc, argv, command.options, LONG_OPTIONS, nullptr)) != -1;) {
        int status = -1;
        switch (opt) {
        case 'o': options.page = optarg; break;
        case 'r': options.reason = optarg; break;
        case GIVE_BACK: options.giveBack = true; status = command.run == Sync_run ? -1 : Cli_usage(); break;
        case 's': case 'n': case 'm': status = Lease_option(opt, options); break;
        default: return Cli_usage();
        }
        if (status >= 0)
            return status;
    }
    if (command.run == Lease_run && (options.site == nullptr || options.count == 0))
        return Cli_misuse("lease: -s SITE and -n COUNT are required");
    int operands = argc - optind;
    if (operands < command.least || (command.most >= 0 && operands > command.most))
        return Cli_usage();
    if (options.json && !command.json)
        return Cli_misuse("-j: %s has no JSON form", command.name);
    if (options.json && options.page != nullptr)
        return Cli_misuse("-o: the page is written instead of JSON (-j); give one");
    if (options.page != nullptr && *options.page == '\0')
        return Cli_misuse("-o: an empty path");
    if (std::strchr(command.options, 'r') != nullptr && options.reason == nullptr)
        return Cli_misuse("%s: -r REASON is required", command.name);
    if (const char *why = options.reason != nullptr ? Reason_why(options.reason) : nullptr)
        return Cli_misuse("-r: %s", why);
    for (int i = optind; i < argc; ++i) {
        if (*argv[i] == '\0')
            return Cli_misuse("%s: an empty %s", command.name,
                              command.run == Find_run ? "key" : command.run == Lease_run ? "path" : "MAC address");
        Find_key key{argv[i], false, {}};
        key.isMac = Mac_parseAny(key.text, key.mac);
        if (command.run == Find_run)
            options.keys.push_back(key);
        else if (command.run == Lease_run)
            options.local = argv[i];
        else if (key.isMac)
            options.macs.push_back(key.mac);
        else
            return Cli_misuse("%s: not a MAC address", argv[i]);
    }
    return -1;
}

// The command line into options and the command to run; a status to end
// with, or -1 to go on.
int Parse(int argc, char *argv[], Options &options, const Command *&command)
{
    opterr = 0; // the usage says what is wrong
    for (int opt = 0; (opt = getopt(argc, argv, "+jl:")) != -1;) {
        switch (opt) {
        case 'j': options.json = true; break;
        case 'l': options.ledger = optarg; break;
        default: return Cli_usage();
        }
    }
    if (optind >= argc || options.ledger == nullptr)
        return Cli_usage();
    if (*options.ledger == '\0')
        return Cli_misuse("-l: an empty name");
    for (const Command &each : COMMANDS)
        if (std::strcmp(argv[optind], each.name) == 0)
            command = &each;
    if (command == nullptr)
        return Cli_misuse("%s: not a command (find, report, void, release, export, verify, lease or sync)", argv[optind]);
    return Parse_command(*command, argc - optind, argv + optind, options);
}

} // namespace

int main(int argc, char *argv[])
{
    unsigned closed = 0;
    if (int status = 0; Cli_begin("recledger", USAGE, argc, argv, status, &closed))
        return status;
    Options options{};
    const Command *command = nullptr;
    if (int status = Parse(argc, argv, options, command); status >= 0)
        return status;
    // A result that no one would read: refused before the ledger is opened
    // or changed (a lease made, a sync sent).
    if ((closed & STREAM_OUT_CLOSED) && command->prints && options.page == nullptr)
        return Cli_system("stdout", EBADF);
    return Cli_finish(command->run(options));
}
