#include "audit.h"

#include "csv.h"
#include "issue.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unordered_map>
#include <unordered_set>

namespace {

// What a batch folder holds: its images by address, the manifest, and
// every other entry.
struct Folder {
    std::unordered_map<std::uint64_t, std::string> images;
    bool manifest;
    std::vector<std::string> others;
};

struct Audit {
    std::string dir; // the folder as messages name it
    std::vector<std::string> &faults;
    std::string &path;
    std::string &why;
};

void Audit_fault(Audit &audit, const std::string &what)
{
    audit.faults.push_back("recbatch: " + audit.dir + "/" + what);
}

bool Failed(Audit &audit, const std::string &path, int error)
{
    audit.path = path;
    audit.why = std::strerror(error != 0 ? error : EIO);
    return false;
}

bool Ledger_failed(Audit &audit, const Fault &fault)
{
    audit.path = fault.where;
    audit.why = fault.why;
    return false;
}

// <mac>.bin, the address in 12 lower-case hex digits, as recbatch names images.
bool Image_name(std::string_view name, Mac_address &mac)
{
    return name.size() == 16 && name.ends_with(".bin") && Mac_parse(name.substr(0, 12), mac) &&
           name.substr(0, 12) == Mac_hex(mac).data();
}

bool Read_folder(Audit &audit, Folder &folder)
{
    DIR *dir = opendir(audit.dir.c_str());
    if (dir == nullptr)
        return Failed(audit, audit.dir, errno);
    const dirent *entry = nullptr;
    while ((errno = 0, entry = readdir(dir)) != nullptr) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st {};
        bool file = fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
        Mac_address mac{};
        if (file && name == "manifest.csv")
            folder.manifest = true;
        else if (file && Image_name(name, mac))
            folder.images.emplace(mac.bits, name);
        else
            folder.others.push_back(name);
    }
    int error = errno;
    closedir(dir);
    return error == 0 || Failed(audit, audit.dir, error);
}

// The batch that issued the most of the images' addresses (the earliest of
// equals), or 0 when none did.
bool Batch_of(Audit &audit, Ledger *ledger, const Folder &folder, long long &id)
{
    std::vector<Mac_address> macs;
    for (const auto &[bits, name] : folder.images)
        macs.push_back({bits});
    std::vector<long long> batches;
    Fault fault{};
    if (!Ledger_issuers(ledger, macs, batches, fault))
        return Ledger_failed(audit, fault);
    std::map<long long, std::size_t> images;
    for (long long batch : batches)
        if (batch > 0)
            ++images[batch];
    id = 0;
    std::size_t most = 0;
    for (const auto &[batch, count] : images)
        if (count > most) {
            id = batch;
            most = count;
        }
    return true;
}

// Each row of the manifest against the unit of the ledger in its place.
bool Check_manifest(Audit &audit, const std::vector<Ledger_issued> &issued)
{
    std::string file = audit.dir + "/manifest.csv";
    std::FILE *fp = std::fopen(file.c_str(), "rb");
    if (fp == nullptr)
        return Failed(audit, file, errno);
    Csv_reader reader{};
    Csv_init(reader, fp);
    std::vector<std::string> header;
    std::vector<std::string> row;
    const char *bad = nullptr;
    Csv_result result = Csv_readRow(reader, header, &bad);
    if (result == CSV_END) {
        bad = "no header row";
        result = CSV_BAD;
    }
    // The columns that the ledger's record of a unit gives; serial only when
    // the batch recorded serials.
    constexpr std::array<const char *, 5> NAMES{"unit", "mac", "file", "sha256", "serial"};
    bool serials = std::any_of(issued.begin(), issued.end(), [](const Ledger_issued &unit) { return !unit.serial.empty(); });
    std::array<std::size_t, NAMES.size()> columns{};
    bool rows = result == CSV_ROW;
    for (std::size_t n = 0; result == CSV_ROW && n < NAMES.size(); ++n) {
        columns[n] = static_cast<std::size_t>(std::find(header.begin(), header.end(), NAMES[n]) - header.begin());
        if (columns[n] == header.size() && (n + 1 < NAMES.size() || serials)) {
            Audit_fault(audit, "manifest.csv:1: " + std::string(NAMES[n]) + ": no such column");
            rows = false;
        }
    }
    std::size_t units = 0;
    while (rows && (result = Csv_readRow(reader, row, &bad)) == CSV_ROW) {
        std::string at = "manifest.csv:" + std::to_string(reader.rowLine) + ": ";
        if (row.size() != header.size()) {
            Audit_fault(audit, at + "row: " + std::to_string(row.size()) + " fields, expected " +
                             std::to_string(header.size()));
            continue;
        }
        if (++units > issued.size())
            continue;
        const Ledger_issued &unit = issued[units - 1];
        const std::array<std::string, NAMES.size()> expected{std::to_string(unit.unit), Mac_colons(unit.mac).data(),
                                                             std::string(Mac_hex(unit.mac).data()) + ".bin",
                                                             unit.sha256, unit.serial};
        for (std::size_t n = 0; n < NAMES.size(); ++n)
            if (columns[n] < row.size() && row[columns[n]] != expected[n])
                Audit_fault(audit, at + NAMES[n] + ": " + row[columns[n]] + ", expected " + expected[n]);
    }
    bool read = !std::ferror(fp) && result != CSV_READ_ERROR;
    std::fclose(fp);
    if (!read)
        return Failed(audit, file, EIO);
    if (result == CSV_BAD)
        Audit_fault(audit, "manifest.csv:" + std::to_string(reader.rowLine) + ": csv: " + bad);
    else if (rows && units != issued.size())
        Audit_fault(audit, "manifest.csv: " + std::to_string(units) + " units, expected " + std::to_string(issued.size()));
    return true;
}

} // namespace

Audit_result Batch_audit(Ledger *ledger, const char *outdir, std::vector<std::string> &faults, std::string &path,
                         std::string &why)
{
    Audit audit{outdir, faults, path, why};
    while (audit.dir.size() > 1 && audit.dir.back() == '/')
        audit.dir.pop_back();
    Folder folder{};
    long long id = 0;
    if (!Read_folder(audit, folder) || !Batch_of(audit, ledger, folder, id))
        return AUDIT_FAILED;
    if (id == 0) {
        faults.push_back("recbatch: " + audit.dir + ": no image of an address that the ledger issued");
        return AUDIT_NOT_WHOLE;
    }
    Ledger_batch batch{};
    std::vector<Ledger_issued> issued;
    Fault fault{};
    if (!Ledger_read(ledger, id, batch, issued, fault)) {
        Ledger_failed(audit, fault);
        return AUDIT_FAILED;
    }

    // Every image of the batch, in unit order, then what is not the batch's.
    std::unordered_set<std::uint64_t> ours;
    for (const Ledger_issued &unit : issued) {
        ours.insert(unit.mac.bits);
        std::string name = std::string(Mac_hex(unit.mac).data()) + ".bin";
        Digest sha256{};
        if (!folder.images.contains(unit.mac.bits))
            Audit_fault(audit, name + ": missing");
        else if (!Sha256_file((audit.dir + "/" + name).c_str(), sha256)) {
            Failed(audit, audit.dir + "/" + name, errno);
            return AUDIT_FAILED;
        }
        else if (Digest_hex(sha256) != unit.sha256)
            Audit_fault(audit, name + ": its SHA-256 is not the one that the ledger records for " +
                             Mac_colons(unit.mac).data());
    }
    std::vector<std::string> others = folder.others;
    for (const auto &[bits, name] : folder.images)
        if (!ours.contains(bits))
            others.push_back(name);
    std::sort(others.begin(), others.end());
    for (const std::string &name : others)
        Audit_fault(audit, name + ": not part of batch " + std::to_string(id));
    if (!folder.manifest)
        Audit_fault(audit, "manifest.csv: missing");
    else if (!Check_manifest(audit, issued))
        return AUDIT_FAILED;

    if (!faults.empty())
        return AUDIT_NOT_WHOLE;
    if (batch.finished.empty() && !Ledger_finish(ledger, id, Now_utc(), fault)) {
        Ledger_failed(audit, fault);
        return AUDIT_FAILED;
    }
    return AUDIT_WHOLE;
}
