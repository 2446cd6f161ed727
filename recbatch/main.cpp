// recbatch: makes a production batch of images from one template, each unit
// with its own address and secrets, every address recorded in a ledger; or
// audits a batch folder against the ledger.
#include "audit.h"
#include "batch.h"
#include "checks.h"
#include "issue.h"
#include "ledger.h"
#include "streams.h"
#include "table.h"
#include "write.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr unsigned long COUNT_MAX = 16777216; // the addresses of one IEEE block

int usage()
{
    std::fputs("usage: recbatch [-RS] [-l ledger] [-m first-last] [-n count] [-u units] [-g setting]... "
               "template outdir\n"
               "       recbatch -l ledger -V outdir\n"
               "       recbatch --version\n",
               stderr);
    return 2;
}

// Every message but the inputs' faults: "recbatch: NAME: WHY", or
// "recbatch: WHY" without a name; returns the status to end with.
int Say(int status, const char *name, const char *why)
{
    if (name != nullptr)
        std::fprintf(stderr, "recbatch: %s: %s\n", name, why);
    else
        std::fprintf(stderr, "recbatch: %s\n", why);
    return status;
}

int Fail(const char *path, int error)
{
    return Say(2, path, std::strerror(error != 0 ? error : EIO));
}

int Ledger_fail(const Fault &fault)
{
    return Say(2, fault.where, fault.why);
}

// The kernel gave no random bytes for a secret.
int Random_fail()
{
    return Fail("getrandom", errno);
}

// The faults of the inputs, a line each, in table order.
int Refuse(Batch &batch)
{
    std::stable_sort(batch.faults.begin(), batch.faults.end(),
                     [](const Input_fault &a, const Input_fault &b) { return a.order < b.order; });
    for (const Input_fault &fault : batch.faults)
        std::fprintf(stderr, "%s\n", fault.text.c_str());
    return 1;
}

// Once the hidden folder is made, every run that does not finish removes it.
int Abandon(int status)
{
    Write_remove();
    return status;
}

int Version(unsigned closed)
{
    if (closed & STREAM_OUT_CLOSED)
        return Fail("stdout", EBADF);
    std::fputs("recbatch " ZOL_VERSION "\n", stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return Fail("stdout", errno);
    return std::fclose(stdout) == 0 ? 0 : Fail("stdout", errno);
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

// The command line into batch, count and audit (-V); a status to end
// with, or -1 to go on.
int Parse_options(int argc, char *argv[], Batch &batch, std::size_t &count, const char *&audit)
{
    const char *misuse = nullptr;
    opterr = 0; // usage() says what is wrong
    for (int opt = 0; misuse == nullptr && (opt = getopt(argc, argv, "RSl:m:n:u:g:V:")) != -1;) {
        switch (opt) {
        case 'R': batch.reissue = true; break;
        case 'S': batch.sharedSecrets = true; break;
        case 'l': batch.ledgerPath = optarg; break;
        case 'm':
            if (const char *why = Mac_parseRange(optarg, batch.range))
                return Say(2, "-m", why);
            batch.hasBlock = true;
            break;
        case 'n': misuse = Parse_count(optarg, count) ? nullptr : "-n: expected a whole number from 1 to 16777216"; break;
        case 'u': batch.unitsPath = optarg; break;
        case 'g': misuse = Parse_generate(optarg, batch); break;
        case 'V': audit = optarg; break;
        default: return usage();
        }
    }
    if (misuse != nullptr)
        return Say(2, nullptr, misuse);
    if (audit != nullptr) { // the ledger and the folder alone
        bool batchOptions = batch.reissue || batch.sharedSecrets || batch.hasBlock || count != 0 ||
                            batch.unitsPath != nullptr || !batch.generate.empty();
        if (batchOptions || optind != argc)
            return usage();
        return batch.ledgerPath == nullptr ? Say(2, "-V", "needs a ledger (-l)") : -1;
    }
    if (argc - optind != 2)
        return usage();
    if ((batch.unitsPath == nullptr) == (count == 0))
        return Say(2, nullptr, "give either a table of units (-u) or their count (-n)");
    if (batch.hasBlock && batch.ledgerPath == nullptr)
        return Say(2, "-m", "needs a ledger (-l)");
    if (std::strcmp(argv[optind], "-") == 0 && batch.unitsPath != nullptr && std::strcmp(batch.unitsPath, "-") == 0)
        return Say(2, nullptr, "the template and the table cannot both be standard input");
    batch.templatePath = argv[optind];
    batch.outdir = argv[optind + 1];
    if (*batch.outdir == '\0')
        return Say(2, "outdir", "an empty name");
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
                return Say(2, "-g", "the table has a column for that setting");
    return table == TABLE_BAD ? Refuse(batch) : -1;
}

// -V: the folder against the ledger, which must exist; 0 when it is whole,
// 1 when not.
int Audit(const char *ledgerPath, const char *outdir)
{
    Ledger_ptr ledger{nullptr, Ledger_close};
    Fault fault{};
    if (!Ledger_open(ledgerPath, ledger, fault, false))
        return Ledger_fail(fault);
    std::vector<std::string> faults;
    std::string path;
    std::string why;
    Audit_result result = Batch_audit(ledger.get(), outdir, faults, path, why);
    ledger.reset();
    if (result == AUDIT_FAILED)
        return Say(2, path.c_str(), why.c_str());
    for (const std::string &fault : faults)
        std::fprintf(stderr, "%s\n", fault.c_str());
    return result == AUDIT_WHOLE ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    unsigned closed = Streams_hold();
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return Version(closed);
    Batch batch{};
    std::size_t count = 0;
    const char *audit = nullptr;
    if (int status = Parse_options(argc, argv, batch, count, audit); status >= 0)
        return status;
    if (audit != nullptr)
        return Audit(batch.ledgerPath, audit);

    // OUTDIR is new, and its hidden folder is made before anything is read
    // or issued; from here on every run that does not finish removes it.
    Write_catchSignals();
    std::string outdir;
    if (!Write_start(batch.outdir, outdir))
        return Fail(batch.outdir, errno);

    // The inputs, each read once, none while the ledger is held.
    bool readError = false;
    if (!Batch_template(batch, readError))
        return Abandon(readError ? Fail(batch.templatePath, errno) : Refuse(batch));
    if (int status = Load_units(batch, count); status >= 0)
        return Abandon(status);
    std::size_t need = Batch_givenAddresses(batch);

    // Outside the ledger's lock: the range's addresses foreseen, secrets
    // drawn, every unit converted and checked, its image's SHA-256 kept.
    Ledger_ptr ledger{nullptr, Ledger_close};
    if (!Ledger_open(batch.ledgerPath, ledger, batch.ledgerFault) || !Batch_foresee(batch, ledger.get(), need))
        return Abandon(Ledger_fail(batch.ledgerFault));
    if (!Batch_check(batch))
        return Abandon(Random_fail());
    if (!batch.faults.empty())
        return Abandon(Refuse(batch));

    // The lock, for the address step alone: what the ledger holds cannot
    // change before this batch's addresses are issued.
    long long id = 0;
    switch (Batch_issue(batch, ledger.get(), need, outdir, &id)) {
    case ISSUED: break;
    case ISSUE_REFUSED: return Abandon(Refuse(batch));
    case ISSUE_RANDOM_FAILED: return Abandon(Random_fail());
    case ISSUE_BUSY:
        Say(2, Ledger_name(ledger.get()), "other runs issued the free addresses first, try after try; run it again");
        return Abandon(2);
    default: return Abandon(Ledger_fail(batch.ledgerFault));
    }

    // Issued: these addresses are never issued again, whatever follows. A
    // run stopped once OUTDIR is complete leaves its batch to -V to finish.
    std::string path;
    std::string why;
    Write_result written = Batch_write(batch, isatty(STDERR_FILENO) == 1, path, why);
    if (written == WRITE_FAILED)
        return Say(2, path.c_str(), why.c_str());
    if (written == WRITE_STOPPED || Write_stopped()) {
        ledger.reset();
        Write_endByStop();
    }
    if (!Ledger_finish(ledger.get(), id, Now_utc(), batch.ledgerFault))
        return Ledger_fail(batch.ledgerFault);
    return 0;
}
