// recbatch: makes a production batch of images from one template, each unit
// with its own address and secrets, every address recorded in a ledger.
#include "batch.h"
#include "ledger.h"
#include "secret.h"
#include "streams.h"
#include "write.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace {

constexpr unsigned long COUNT_MAX = 16777216; // the addresses of one IEEE block

int usage()
{
    std::fputs("usage: recbatch [-S] [-l ledger] [-m first-last] [-n count] [-u units] [-g setting]... "
               "template outdir\n",
               stderr);
    return 2;
}

int Misuse(const char *why, const char *option = nullptr)
{
    if (option != nullptr)
        std::fprintf(stderr, "recbatch: %s: %s\n", option, why);
    else
        std::fprintf(stderr, "recbatch: %s\n", why);
    return 2;
}

int Fail(const char *path, int error)
{
    std::fprintf(stderr, "recbatch: %s: %s\n", path, std::strerror(error != 0 ? error : EIO));
    return 2;
}

int Ledger_fail(Ledger *ledger)
{
    std::fprintf(stderr, "recbatch: %s: %s\n", Ledger_name(ledger), Ledger_error(ledger));
    Ledger_close(ledger);
    return 2;
}

int Refuse(Batch &batch)
{
    std::stable_sort(batch.faults.begin(), batch.faults.end(),
                     [](const Fault &a, const Fault &b) { return a.order < b.order; });
    for (const Fault &fault : batch.faults)
        std::fprintf(stderr, "%s\n", fault.text.c_str());
    return 1;
}

// A whole decimal number from 1 to COUNT_MAX.
bool Parse_count(const char *text, std::size_t &count)
{
    count = 0;
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || count > COUNT_MAX)
            return false;
        count = count * 10 + static_cast<std::size_t>(*c - '0');
    }
    return *text != '\0' && count >= 1 && count <= COUNT_MAX;
}

const char *Parse_generate(const char *name, Batch &batch)
{
    unsigned type = Setting_named(name);
    if (std::find(SECRET_TYPES.begin(), SECRET_TYPES.end(), type) == SECRET_TYPES.end())
        return "-g: expected passphrase, password or wep-key";
    if (std::find(batch.generate.begin(), batch.generate.end(), type) != batch.generate.end())
        return "-g: a setting given twice";
    batch.generate.push_back(type);
    return nullptr;
}

// Fresh secrets for every unit, for each -g setting.
bool Generate(Batch &batch)
{
    for (Unit &unit : batch.units) {
        unit.generated.resize(batch.generate.size());
        for (std::size_t g = 0; g < batch.generate.size(); ++g)
            if (!(batch.generate[g] == ZOL_FACT_DFLT_WEP_KEY_ID ? Secret_key(unit.generated[g])
                                                                 : Secret_text(unit.generated[g])))
                return false;
    }
    return true;
}

// Within the ledger's transaction: the table's addresses are checked against
// it, and the block's free addresses go to the units without one.
bool Assign_addresses(Batch &batch, Ledger *ledger, std::size_t need)
{
    std::vector<Mac_address> macs;
    std::unordered_set<std::uint64_t> taken;
    for (const Unit &unit : batch.units)
        if (unit.hasMac) {
            macs.push_back(unit.mac);
            taken.insert(unit.mac.bits);
        }
    std::vector<long long> issuers;
    if (!Ledger_issuers(ledger, macs, issuers))
        return false;
    for (std::size_t u = 0, m = 0; u < batch.units.size(); ++u)
        if (batch.units[u].hasMac && issuers[m++] > 0)
            Unit_fault(batch, u, "mac",
                       Mac_text(batch.units[u].mac) + " was issued by batch " + std::to_string(issuers[m - 1]));
    std::vector<Mac_address> free;
    if (batch.hasBlock && !Ledger_free(ledger, batch.range, need, taken, free))
        return false;
    if (free.size() < need)
        Batch_fault(batch, "-m", "mac",
                    std::to_string(free.size()) + " free addresses in the block for " + std::to_string(need) + " units");
    std::size_t next = 0;
    for (Unit &unit : batch.units)
        if (!unit.hasMac && next < free.size()) {
            unit.mac = free[next++];
            unit.hasMac = true;
        }
    return true;
}

// A batch of one may take the template's address.
void Template_address(Batch &batch)
{
    if (batch.units.size() == 1 && !batch.units[0].hasMac)
        batch.units[0].hasMac = Batch_templateMac(batch, batch.units[0].mac);
}

std::string Now_utc()
{
    char text[32];
    std::time_t now = std::time(nullptr);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    return text;
}

std::vector<Ledger_address> Issued(const Batch &batch)
{
    std::vector<Ledger_address> issued;
    for (std::size_t u = 0; u < batch.units.size(); ++u)
        issued.push_back({batch.units[u].mac, u + 1, Serial_of(batch, batch.units[u]), batch.units[u].sha256});
    return issued;
}

// The command line into batch; a status to end with, or -1 to go on.
int Parse_options(int argc, char *argv[], Batch &batch, std::size_t &count)
{
    const char *misuse = nullptr;
    opterr = 0; // usage() says what is wrong
    for (int opt = 0; misuse == nullptr && (opt = getopt(argc, argv, "Sl:m:n:u:g:")) != -1;) {
        switch (opt) {
        case 'S': batch.sharedSecrets = true; break;
        case 'l': batch.ledgerPath = optarg; break;
        case 'm':
            if (const char *why = Mac_parseRange(optarg, batch.range))
                return Misuse(why, "-m");
            batch.hasBlock = true;
            break;
        case 'n': misuse = Parse_count(optarg, count) ? nullptr : "-n: expected a whole number from 1 to 16777216"; break;
        case 'u': batch.unitsPath = optarg; break;
        case 'g': misuse = Parse_generate(optarg, batch); break;
        default: return usage();
        }
    }
    if (misuse != nullptr)
        return Misuse(misuse);
    if (argc - optind != 2)
        return usage();
    if ((batch.unitsPath == nullptr) == (count == 0))
        return Misuse("give either a table of units (-u) or their count (-n)");
    if (batch.hasBlock && batch.ledgerPath == nullptr)
        return Misuse("-m: needs a ledger (-l)");
    if (std::strcmp(argv[optind], "-") == 0 && batch.unitsPath != nullptr && std::strcmp(batch.unitsPath, "-") == 0)
        return Misuse("the template and the table cannot both be standard input");
    batch.templatePath = argv[optind];
    batch.outdir = argv[optind + 1];
    return -1;
}

// The units from the table, or count of them; a status to end with, or -1.
int Load_units(Batch &batch, std::size_t count)
{
    if (batch.unitsPath == nullptr) {
        batch.units.assign(count, Unit{});
        return -1;
    }
    bool useStdin = std::strcmp(batch.unitsPath, "-") == 0;
    std::FILE *fp = useStdin ? stdin : std::fopen(batch.unitsPath, "rb");
    Table_result table = fp != nullptr ? Batch_table(batch, fp) : TABLE_READ_ERROR;
    int error = errno;
    if (fp != nullptr && !useStdin)
        std::fclose(fp);
    if (table == TABLE_READ_ERROR)
        return Fail(batch.unitsPath, error);
    for (unsigned type : batch.generate)
        for (const Column &column : batch.columns)
            if (column.type == type)
                return Misuse("-g: the table has a column for that setting");
    return table == TABLE_BAD ? Refuse(batch) : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    Streams_hold();
    Batch batch{};
    std::size_t count = 0;
    if (int status = Parse_options(argc, argv, batch, count); status >= 0)
        return status;
    if (struct stat st {}; lstat(batch.outdir, &st) == 0 || errno != ENOENT)
        return Fail(batch.outdir, errno == 0 || errno == ENOENT ? EEXIST : errno);
    if (!Write_canCreate(batch.outdir)) // found now, not once addresses are issued
        return Fail(batch.outdir, errno);

    // The inputs: the template, then the table or the count of units, and
    // the secrets to generate.
    bool readError = false;
    if (!Batch_template(batch, readError))
        return readError ? Fail(batch.templatePath, errno) : Refuse(batch);
    if (int status = Load_units(batch, count); status >= 0)
        return status;
    if (!Generate(batch))
        return Fail("getrandom", errno);

    // Every check, inside the ledger's transaction: what it holds cannot
    // change before this batch's addresses are issued.
    Ledger *ledger = nullptr;
    if (!Ledger_open(batch.ledgerPath, &ledger) || !Ledger_begin(ledger))
        return Ledger_fail(ledger);
    std::size_t need = Batch_tableAddresses(batch);
    if (!Assign_addresses(batch, ledger, need))
        return Ledger_fail(ledger);
    Template_address(batch);
    Batch_check(batch);
    if (!batch.faults.empty()) {
        Ledger_close(ledger); // rolls the transaction back
        return Refuse(batch);
    }
    std::vector<Ledger_address> issued = Issued(batch);
    long long id = 0;
    if (!Ledger_issue(ledger, {Now_utc(), Digest_hex(batch.templateSha256), batch.outdir, batch.units.size()}, issued,
                      &id) ||
        !Ledger_end(ledger, true))
        return Ledger_fail(ledger);

    // Issued: from here on an interrupted run leaves no OUTDIR, and its
    // addresses are never issued again.
    Write_catchSignals();
    std::string path;
    int error = 0;
    Write_result written = Batch_write(batch, isatty(STDERR_FILENO) == 1, path, error);
    if (written == WRITE_STOPPED) {
        Ledger_close(ledger);
        std::signal(writeStop, SIG_DFL);
        std::raise(writeStop);
    }
    if (written != WRITE_DONE) {
        Ledger_close(ledger);
        return Fail(path.c_str(), error);
    }
    if (!Ledger_finish(ledger, id, Now_utc()))
        return Ledger_fail(ledger);
    Ledger_close(ledger);
    return 0;
}
