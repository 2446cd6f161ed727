#include "request.h"

#include "cli.h"
#include "number.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

// Cli_usage and Cli_misuse say what is wrong and return 2, so that
// "return Cli_misuse(...) == 0" says it and returns false.

namespace {

constexpr std::int64_t COUNT_MAX = 16777216; // the addresses of one IEEE block
constexpr std::int64_t ADDRESSES_MAX = 64;    // of one unit

bool Parse_generate(const char *name, Request &request)
{
    unsigned type = Setting_named(name);
    if (std::find(SECRET_TYPES.begin(), SECRET_TYPES.end(), type) == SECRET_TYPES.end())
        return Cli_misuse("-g: expected passphrase, password or wep-key") == 0;
    if (std::find(request.generate.begin(), request.generate.end(), type) != request.generate.end())
        return Cli_misuse("-g: a setting given twice") == 0;
    request.generate.push_back(type);
    return true;
}

bool Parse_option(int opt, Request &request)
{
    std::int64_t count = 0;
    switch (opt) {
    case 'R': request.reissue = true; return true;
    case 'S': request.sharedSecrets = true; return true;
    case 'l':
        request.ledgerPath = optarg; // an empty one would be a ledger of this run alone
        return *optarg != '\0' || Cli_misuse("-l: an empty name") == 0;
    case 'u': request.unitsPath = optarg; return true;
    case 'V': request.audit = optarg; return true;
    case 'g': return Parse_generate(optarg, request);
    case 'm':
        if (const char *why = Mac_parseRange(optarg, request.range))
            return Cli_misuse("-m: %s", why) == 0;
        request.ranged = true;
        return true;
    case 'a':
        if (Number_parse(optarg, 1, ADDRESSES_MAX, count) != nullptr || (count & (count - 1)) != 0)
            return Cli_misuse("-a: expected a power of two from 1 to %lld", static_cast<long long>(ADDRESSES_MAX)) == 0;
        request.addresses = static_cast<std::size_t>(count);
        return true;
    case 'n':
        if (Number_parse(optarg, 1, COUNT_MAX, count) != nullptr)
            return Cli_misuse("-n: expected a whole number from 1 to %lld", static_cast<long long>(COUNT_MAX)) == 0;
        request.count = static_cast<std::size_t>(count);
        return true;
    default: return Cli_usage() == 0;
    }
}

// -V takes the ledger and the folder alone.
bool Check_audit(int argc, const Request &request)
{
    bool batchOptions = request.reissue || request.sharedSecrets || request.ranged || request.count != 0 ||
                        request.unitsPath != nullptr || !request.generate.empty() || request.addresses != 0;
    if (batchOptions || optind != argc)
        return Cli_usage() == 0;
    return request.ledgerPath != nullptr || Cli_misuse("-V: needs a ledger (-l)") == 0;
}

// A range of units of several addresses holds whole aligned runs of them.
bool Check_range(const Request &request)
{
    std::uint64_t n = request.addresses;
    std::uint64_t size = request.range.last.bits - request.range.first.bits + 1;
    if (request.range.first.bits % n != 0)
        return Cli_misuse("-m: %s is not aligned to %zu addresses a unit (-a %zu)",
                          Mac_colons(request.range.first).data(), request.addresses, request.addresses) == 0;
    if (size % n != 0)
        return Cli_misuse("-m: %llu addresses, not a multiple of %zu (-a %zu)", static_cast<unsigned long long>(size),
                          request.addresses, request.addresses) == 0;
    return true;
}

} // namespace

bool Request_parse(int argc, char *argv[], Request &request, unsigned closed)
{
    opterr = 0; // the usage says what is wrong
    for (int opt = 0; (opt = getopt(argc, argv, "RSa:l:m:n:u:g:V:")) != -1;)
        if (!Parse_option(opt, request))
            return false;
    if (request.audit != nullptr)
        return Check_audit(argc, request);
    request.addresses = std::max<std::size_t>(request.addresses, 1);
    if (argc - optind != 2)
        return Cli_usage() == 0;
    if ((request.unitsPath == nullptr) == (request.count == 0))
        return Cli_misuse("give either a table of units (-u) or their count (-n)") == 0;
    if (request.ranged && request.ledgerPath == nullptr)
        return Cli_misuse("-m: needs a ledger (-l)") == 0;
    if (request.ranged && !Check_range(request))
        return false;
    bool tableIn = request.unitsPath != nullptr && std::strcmp(request.unitsPath, "-") == 0;
    bool templateIn = std::strcmp(argv[optind], "-") == 0;
    if (templateIn && tableIn)
        return Cli_misuse("the template and the table cannot both be standard input") == 0;
    if ((templateIn || tableIn) && (closed & STREAM_IN_CLOSED))
        return Cli_system("-", EBADF) == 0;
    request.templatePath = argv[optind];
    request.outdir = argv[optind + 1];
    if (*request.outdir == '\0')
        return Cli_misuse("outdir: an empty name") == 0;
    return true;
}
