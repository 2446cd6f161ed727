// recclaim: the flashing station's check. Before flashing, it claims an
// image in the ledger, so that no image is flashed into two devices; after
// flashing, with -c, it records whether the device reads back the image.
#include "cli.h"
#include "digest.h"
#include "ledger.h"
#include "recfile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

constexpr std::size_t STATION_MAX = 64;
constexpr const char *USAGE = "usage: recclaim -l ledger -s station [-R] [-c readback] image\n"
                              "       recclaim --help | --version\n";

struct Options {
    const char *ledger;
    const char *station;
    const char *readback; // -c, or nullptr
    bool again;           // -R
    const char *image;
};

// The image and what is known of it before the ledger is asked.
struct Image {
    std::string bytes;
    Mac_address mac;
    std::string sha256;
};

// A station's name: 1 to STATION_MAX printable ASCII characters, no blank.
bool Station_valid(std::string_view name)
{
    return !name.empty() && name.size() <= STATION_MAX &&
           std::all_of(name.begin(), name.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

// The command line into options; false with fault saying why, or calling
// for the usage.
bool Parse_options(int argc, char *argv[], Options &options, Fault &fault)
{
    opterr = 0; // the usage says what is wrong
    for (int opt = 0; (opt = getopt(argc, argv, "l:s:Rc:")) != -1;) {
        switch (opt) {
        case 'l': options.ledger = optarg; break;
        case 's': options.station = optarg; break;
        case 'R': options.again = true; break;
        case 'c': options.readback = optarg; break;
        default: return Fault_usage(fault);
        }
    }
    if (argc - optind != 1 || options.ledger == nullptr || options.station == nullptr)
        return Fault_usage(fault);
    if (*options.ledger == '\0')
        return Fault_fail(fault, "-l", "an empty name");
    if (!Station_valid(options.station))
        return Fault_fail(fault, "-s", "expected 1 to 64 printable characters without blanks");
    if (options.again && options.readback != nullptr)
        return Fault_fail(fault, "-R", "a read-back (-c) claims nothing");
    options.image = argv[optind];
    return true;
}

// Reads the image, no further than the longest record file and one byte,
// and checks it as recdump and halvik do, into its bytes, address and
// SHA-256.
bool Read_image(const char *path, Image &image, Fault &fault)
{
    std::FILE *fp = std::fopen(path, "rb");
    if (fp == nullptr)
        return Fault_system(fault, path, errno);
    Recfile file{};
    bool read = Recfile_read(fp, path, file, fault);
    std::fclose(fp);
    if (!read)
        return false;
    if (file.fault.rule != MALFORMED_NONE)
        return Recfile_refuse(file, fault) || Fault_within(fault, path);
    if (!file.hasBlock)
        return Fault_refuse(fault, path, "no valid MAC block");
    std::span<const std::uint8_t> bytes = Recfile_bytes(file);
    image.bytes.assign(bytes.begin(), bytes.end());
    image.mac = Mac_fromBytes(bytes.subspan<2, MAC_ADDR_LEN>());
    image.sha256 = Digest_hex(Sha256(bytes.data(), bytes.size()));
    return true;
}

// The first len bytes of path (fewer when it is shorter) into bytes; no
// more of it is read.
bool Read_prefix(const char *path, std::size_t len, std::string &bytes, Fault &fault)
{
    std::FILE *fp = std::fopen(path, "rb");
    if (fp == nullptr)
        return Fault_system(fault, path, errno);
    bytes.resize(len);
    std::size_t got = 0;
    bool read = Read_bounded(fp, path, {reinterpret_cast<std::uint8_t *>(bytes.data()), len}, got, fault);
    bytes.resize(got);
    std::fclose(fp);
    return read;
}

// "claimed by station NAME at TIME", with the login that made the claim
// when it is another than this session's.
std::string Claimed_by(const Ledger_claim &claim, const Ledger_record &record)
{
    std::string login = claim.login.empty() || claim.login == record.login ? "" : " (login " + claim.login + ")";
    return "claimed by station " + claim.station + login + " at " + claim.claimed;
}

// Whether claim is this station's own: its name and, on a server, its
// login (a claim recorded before logins were has none).
bool Own(const Ledger_claim &claim, const Options &options, const Ledger_record &record)
{
    return claim.station == options.station && (claim.login.empty() || claim.login == record.login);
}

// Why the image may not be claimed again: never once a read-back of it was
// verified; with -R, the station's own latest claim, whose flash was
// interrupted (no read-back) or failed, or another station's once released
// (recledger release).
std::string Claim_refusal(const Options &options, const Ledger_record &record)
{
    auto verified = std::find_if(record.claims.begin(), record.claims.end(),
                                 [](const Ledger_claim &claim) { return claim.readback == "verified"; });
    if (verified != record.claims.end())
        return Claimed_by(*verified, record) + ", read back verified at " + verified->checked;
    const Ledger_claim &last = record.claims.back();
    if (options.again && !Own(last, options, record) && last.released.empty())
        return Claimed_by(last, record) + "; it must be released (recledger release) before another station claims it";
    if (options.again)
        return "";
    if (!last.released.empty())
        return Claimed_by(last, record) + ", released at " + last.released + "; claim it again with -R";
    return Claimed_by(last, record);
}

// Why the read-back may not be recorded: only the station's own latest
// claim, made by this login, takes one, once.
std::string Confirm_refusal(const Options &options, const Ledger_record &record)
{
    const Ledger_claim &last = record.claims.back();
    if (!Own(last, options, record))
        return Claimed_by(last, record);
    if (last.login != record.login)
        return Claimed_by(last, record) + " before logins were recorded; claim it again with -R";
    if (!last.readback.empty())
        return "read back already recorded as " + last.readback + " at " + last.checked;
    return "";
}

// Why the ledger does not let this image be flashed or confirmed; empty
// when it does.
std::string Refusal_of(const Options &options, const Image &image, const Ledger_record &record)
{
    std::string mac = Mac_colons(image.mac).data();
    if (record.lease != 0)
        return mac + " is leased to a site (lease " + std::to_string(record.lease) +
               "): the site's stations claim it, on the site's ledger";
    if (record.batch == 0)
        return mac + " was never issued";
    if (record.sha256 != image.sha256)
        return "not the image issued for " + mac + " (its SHA-256 differs)";
    if (!record.voided.empty())
        return mac + " was voided at " + record.voided + ": " + record.voidReason;
    if (record.finished.empty())
        return "batch " + std::to_string(record.batch) + " is not finished";
    if (record.claims.empty())
        return options.readback == nullptr ? "" : "never claimed";
    return options.readback == nullptr ? Claim_refusal(options, record) : Confirm_refusal(options, record);
}

// Whether the ledger lets this image be flashed or confirmed; when not,
// fault says why.
bool Allowed(const Options &options, const Image &image, const Ledger_record &record, Fault &fault)
{
    std::string why = Refusal_of(options, image, record);
    return why.empty() || Fault_refuse(fault, options.image, "%s", why.c_str());
}

// The first offset at which readback is not image; -1 when it begins with it.
long long Differs_at(const std::string &image, const std::string &readback)
{
    auto [at, unused] = std::mismatch(image.begin(), image.end(), readback.begin(), readback.end());
    return at == image.end() ? -1 : at - image.begin();
}

// Claims the image, or records its read-back, in one transaction, in which
// no other station claims its address; the status to end with.
int Claim(const Options &options, const Image &image, const std::string &readback)
{
    Ledger_ptr ledger{nullptr, Ledger_close}; // closing it rolls back what is not committed
    Ledger_record record{};
    Fault fault{};
    if (!Ledger_open(options.ledger, ledger, fault, false) || !Ledger_beginClaim(ledger.get(), image.mac, fault) ||
        !Ledger_lookup(ledger.get(), image.mac, record, fault))
        return Cli_fail(fault);
    if (!Allowed(options, image, record, fault))
        return Cli_fail(fault);
    Ledger_claim claim{0, options.station, Ledger_now(), ZOL_VERSION, "", "", -1, "", ""};
    long long id = 0;
    if (options.readback != nullptr) {
        claim.differsAt = Differs_at(image.bytes, readback);
        claim.readback = claim.differsAt < 0 ? "verified" : "failed";
        claim.checked = claim.claimed;
    }
    if (!(options.readback != nullptr ? Ledger_checkClaim(ledger.get(), record.claims.back().id, claim, fault)
                                      : Ledger_addClaim(ledger.get(), image.mac, claim, &id, fault)) ||
        !Ledger_end(ledger.get(), true, fault))
        return Cli_fail(fault);
    if (claim.differsAt >= 0 && !Fault_refuse(fault, options.image, "read back differs at offset %lld", claim.differsAt))
        return Cli_fail(fault);
    return Cli_finish(0);
}

} // namespace

int main(int argc, char *argv[])
{
    if (int status = 0; Cli_begin("recclaim", USAGE, argc, argv, status))
        return status;
    Options options{};
    Fault fault{};
    if (!Parse_options(argc, argv, options, fault))
        return Cli_fail(fault);
    Image image{};
    if (!Read_image(options.image, image, fault))
        return Cli_fail(fault);
    std::string readback;
    if (options.readback != nullptr && !Read_prefix(options.readback, image.bytes.size(), readback, fault))
        return Cli_fail(fault);
    return Claim(options, image, readback);
}
