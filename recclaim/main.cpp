// recclaim: the flashing station's check. Before flashing, it claims an
// image in the ledger, so that no image is flashed into two devices; after
// flashing, with -c, it records whether the device reads back the image.
#include "digest.h"
#include "ledger.h"
#include "recfile.h"
#include "streams.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

namespace {

constexpr std::size_t STATION_MAX = 64;

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

int usage()
{
    std::fputs("usage: recclaim -l ledger -s station [-R] [-c readback] image\n", stderr);
    return 2;
}

int Misuse(const char *why)
{
    std::fprintf(stderr, "recclaim: %s\n", why);
    return 2;
}

int Fail(const char *path, int error)
{
    std::fprintf(stderr, "recclaim: %s: %s\n", path, std::strerror(error != 0 ? error : EIO));
    return 2;
}

int Ledger_fail(const Fault &fault)
{
    std::fprintf(stderr, "recclaim: %s: %s\n", fault.where, fault.why);
    return 2;
}

int Refuse(const char *image, const std::string &why)
{
    std::fprintf(stderr, "recclaim: %s: %s\n", image, why.c_str());
    return 1;
}

int Version()
{
    std::fputs("recclaim " ZOL_VERSION "\n", stdout);
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) || std::fclose(stdout) != 0)
        return Fail("stdout", errno);
    return 0;
}

// A station's name: 1 to STATION_MAX printable ASCII characters, no blank.
bool Station_valid(std::string_view name)
{
    return !name.empty() && name.size() <= STATION_MAX &&
           std::all_of(name.begin(), name.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

// The command line into options; a status to end with, or -1 to go on.
int Parse_options(int argc, char *argv[], Options &options)
{
    opterr = 0; // usage() says what is wrong
    for (int opt = 0; (opt = getopt(argc, argv, "l:s:Rc:")) != -1;) {
        switch (opt) {
        case 'l': options.ledger = optarg; break;
        case 's': options.station = optarg; break;
        case 'R': options.again = true; break;
        case 'c': options.readback = optarg; break;
        default: return usage();
        }
    }
    if (argc - optind != 1 || options.ledger == nullptr || options.station == nullptr)
        return usage();
    if (!Station_valid(options.station))
        return Misuse("-s: expected 1 to 64 printable characters without blanks");
    if (options.again && options.readback != nullptr)
        return Misuse("-R: a read-back (-c) claims nothing");
    options.image = argv[optind];
    return -1;
}

// Reads the image, no further than the longest record file and one byte,
// and checks it as recdump and halvik do: a status to end with (a refusal
// said), or -1 with the image's bytes, address and SHA-256.
int Read_image(const char *path, Image &image)
{
    std::FILE *fp = std::fopen(path, "rb");
    if (fp == nullptr)
        return Fail(path, errno);
    Recfile file{};
    Fault fault{};
    bool read = Recfile_read(fp, path, file, fault);
    std::fclose(fp);
    if (!read)
        return Fail(path, fault.errnum);
    if (file.fault.rule != MALFORMED_NONE) {
        Recfile_refuse(file, fault);
        return Refuse(path, std::string(fault.where) + ": " + fault.why);
    }
    if (!file.hasBlock)
        return Refuse(path, "no valid MAC block");
    std::span<const std::uint8_t> bytes = Recfile_bytes(file);
    image.bytes.assign(bytes.begin(), bytes.end());
    image.mac = Mac_fromBytes(bytes.subspan<2, MAC_ADDR_LEN>());
    image.sha256 = Digest_hex(Sha256(bytes.data(), bytes.size()));
    return -1;
}

// The first len bytes of path (fewer when it is shorter) into bytes; no
// more of it is read.
bool Read_prefix(const char *path, std::size_t len, std::string &bytes)
{
    std::FILE *fp = std::fopen(path, "rb");
    if (fp == nullptr)
        return false;
    bytes.resize(len);
    std::size_t got = 0;
    Fault fault{};
    bool read = Read_bounded(fp, path, {reinterpret_cast<std::uint8_t *>(bytes.data()), len}, got, fault);
    bytes.resize(got);
    std::fclose(fp);
    errno = fault.errnum;
    return read;
}

std::string Now_utc()
{
    char text[32];
    std::time_t now = std::time(nullptr);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    return text;
}

std::string Claimed_by(const Ledger_claim &claim)
{
    return "claimed by station " + claim.station + " at " + claim.claimed;
}

// Why the ledger does not let this image be flashed or confirmed; empty
// when it does.
std::string Refusal(const Options &options, const Image &image, const Ledger_record &record)
{
    std::string mac = Mac_colons(image.mac).data();
    if (record.batch == 0)
        return mac + " was never issued";
    if (record.sha256 != image.sha256)
        return "not the image issued for " + mac + " (its SHA-256 differs)";
    if (record.finished.empty())
        return "batch " + std::to_string(record.batch) + " is not finished";
    auto verified = std::find_if(record.claims.begin(), record.claims.end(),
                                 [](const Ledger_claim &claim) { return claim.readback == "verified"; });
    if (options.readback == nullptr && verified != record.claims.end())
        return Claimed_by(*verified) + ", read back verified at " + verified->checked;
    if (options.readback == nullptr)
        return record.claims.empty() || options.again ? "" : Claimed_by(record.claims.back());
    if (record.claims.empty())
        return "never claimed";
    const Ledger_claim &last = record.claims.back();
    if (last.station != options.station)
        return Claimed_by(last);
    if (!last.readback.empty())
        return "read back already recorded as " + last.readback + " at " + last.checked;
    return "";
}

// The first offset at which readback is not image; -1 when it begins with it.
long long Differs_at(const std::string &image, const std::string &readback)
{
    auto [at, unused] = std::mismatch(image.begin(), image.end(), readback.begin(), readback.end());
    return at == image.end() ? -1 : at - image.begin();
}

} // namespace

int main(int argc, char *argv[])
{
    Streams_hold();
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return Version();
    Options options{};
    if (int status = Parse_options(argc, argv, options); status >= 0)
        return status;
    Image image{};
    if (int status = Read_image(options.image, image); status >= 0)
        return status;
    std::string readback;
    if (options.readback != nullptr && !Read_prefix(options.readback, image.bytes.size(), readback))
        return Fail(options.readback, errno);

    // One transaction: no other station claims this address meanwhile.
    Ledger_ptr ledger{nullptr, Ledger_close}; // closing it rolls back what is not committed
    Ledger_record record{};
    Fault fault{};
    if (!Ledger_open(options.ledger, ledger, fault, false) || !Ledger_beginClaim(ledger.get(), image.mac, fault) ||
        !Ledger_lookup(ledger.get(), image.mac, record, fault))
        return Ledger_fail(fault);
    if (std::string why = Refusal(options, image, record); !why.empty())
        return Refuse(options.image, why);
    Ledger_claim claim{0, options.station, Now_utc(), ZOL_VERSION, "", "", -1};
    long long id = 0;
    if (options.readback != nullptr) {
        claim.differsAt = Differs_at(image.bytes, readback);
        claim.readback = claim.differsAt < 0 ? "verified" : "failed";
        claim.checked = claim.claimed;
    }
    if (!(options.readback != nullptr ? Ledger_checkClaim(ledger.get(), record.claims.back().id, claim, fault)
                                      : Ledger_addClaim(ledger.get(), image.mac, claim, &id, fault)) ||
        !Ledger_end(ledger.get(), true, fault))
        return Ledger_fail(fault);
    ledger.reset();
    if (claim.differsAt >= 0)
        return Refuse(options.image, "read back differs at offset " + std::to_string(claim.differsAt));
    return 0;
}
