#include "audit.h"

#include "batch.h"
#include "cli.h"
#include "image.h"
#include "ledger.h"
#include "manifest.h"

#include <algorithm>
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
    std::string dir; // as messages name it
    std::unordered_map<std::uint64_t, std::string> images;
    bool manifest;
    std::vector<std::string> others;
};

void Add(Faults &faults, const std::string &where, const std::string &why)
{
    faults.push_back({0, where, why});
}

bool Read_folder(Folder &folder, Fault &fault)
{
    DIR *dir = opendir(folder.dir.c_str());
    if (dir == nullptr)
        return Fault_system(fault, folder.dir.c_str(), errno);
    const dirent *entry = nullptr;
    while ((errno = 0, entry = readdir(dir)) != nullptr) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st {};
        bool file = fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
        Mac_address mac{};
        if (file && name == MANIFEST_NAME)
            folder.manifest = true;
        else if (file && Manifest_isFile(name, mac))
            folder.images.emplace(mac.bits, name);
        else
            folder.others.push_back(name);
    }
    int error = errno;
    closedir(dir);
    return error == 0 || Fault_system(fault, folder.dir.c_str(), error);
}

// The batch that issued the most of the images' addresses (the earliest of
// equals), or 0 when none did.
bool Batch_of(Ledger *ledger, const Folder &folder, long long &id, Fault &fault)
{
    std::vector<Mac_address> macs;
    for (const auto &[bits, name] : folder.images)
        macs.push_back({bits});
    std::vector<long long> batches;
    if (!Ledger_issuers(ledger, macs, batches, fault))
        return false;
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

// An image's bytes: at most one more than the largest image, which is then
// known not to be one.
bool Read_image(const std::string &path, std::string &bytes)
{
    std::FILE *fp = std::fopen(path.c_str(), "rb");
    if (fp == nullptr)
        return false;
    bytes.resize(IMAGE_MAX + 1);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), fp));
    bool read = !std::ferror(fp);
    int error = errno;
    std::fclose(fp);
    errno = error;
    return read;
}

// The records of an image after its MAC block, each checked as a reader
// checks it; false when it is no image that recbatch writes.
bool Image_records(std::span<const std::uint8_t> bytes, std::vector<Manifest_record> &records)
{
    records.clear();
    if (!Mac_block_valid(bytes))
        return false;
    for (std::size_t at = MAC_BLOCK_LEN; at < bytes.size();) {
        if (bytes.size() - at < RECORD_HEADER_LEN)
            return false;
        unsigned type = bytes[at + RECORD_OFF_TYPE];
        std::uint8_t len = bytes[at + RECORD_OFF_LEN];
        if (!Setting_isRecord(type) || bytes.size() - at - RECORD_HEADER_LEN < len)
            return false;
        std::span<const std::uint8_t> data = bytes.subspan(at + RECORD_HEADER_LEN, len);
        if (Chksum_calculate(data.data(), len) != bytes[at + RECORD_OFF_CHKSUM])
            return false;
        records.push_back({type, data});
        at += RECORD_HEADER_LEN + len;
    }
    return true;
}

// A unit's image as the audit reads it: there, with the SHA-256 that the
// ledger records, and its records.
struct Unit_image {
    std::string bytes;
    std::vector<Manifest_record> records;
    bool whole; // its records were read
};

bool Check_image(const Folder &folder, const Ledger_issued &unit, Unit_image &image, Faults &faults,
                 Fault &fault)
{
    image.whole = false;
    std::string path = folder.dir + "/" + Manifest_file(unit.mac);
    if (!folder.images.contains(unit.mac.bits)) {
        Add(faults, path, "missing");
        return true;
    }
    if (!Read_image(path, image.bytes))
        return Fault_system(fault, path.c_str(), errno);
    std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t *>(image.bytes.data()), image.bytes.size());
    if (bytes.size() > IMAGE_MAX || Digest_hex(Sha256(bytes.data(), bytes.size())) != unit.sha256)
        Add(faults, path, "its SHA-256 is not the one that the ledger records for " + Mac_text(unit.mac));
    else if (!(image.whole = Image_records(bytes, image.records)))
        Add(faults, path, "its records cannot be read");
    return true;
}

// The manifest as the audit reads it, row by row beside the images.
struct Rows {
    const std::vector<Mac_address> *lasts; // each unit's last address
    std::FILE *fp;
    Manifest_reader reader;
    bool columns; // the header has every column
    bool reading; // rows are read: no fault of the CSV has ended the reading, nor the end
    std::size_t units;
    std::vector<Manifest_fault> faults;
};

bool Open_rows(const Folder &folder, const std::string &path, bool serials, bool lasts, Rows &rows, Fault &fault)
{
    if (!folder.manifest)
        return true;
    rows.fp = std::fopen(path.c_str(), "rb");
    if (rows.fp == nullptr)
        return Fault_system(fault, path.c_str(), errno);
    if (!Manifest_start(rows.reader, rows.fp, path.c_str(), rows.faults, fault))
        return false;
    rows.columns = !rows.reader.header.empty() && Manifest_hasColumns(rows.reader, serials, lasts, rows.faults);
    rows.reading = rows.columns;
    return true;
}

// The next row, checked against unit i (when the batch has it); false when
// reading fails.
bool Check_row(Rows &rows, const std::vector<Ledger_issued> &issued, std::size_t i, const Unit_image &image,
               Fault &fault)
{
    Manifest_row row{};
    bool more = false;
    if (!rows.reading)
        return true;
    if (!Manifest_next(rows.reader, row, more, rows.faults, fault))
        return false;
    rows.reading = more;
    if (more && ++rows.units <= issued.size() && i < issued.size()) {
        const Ledger_issued &unit = issued[i];
        Manifest_expected expected{unit.unit,   unit.mac,      (*rows.lasts)[i], unit.sha256,
                                   unit.serial, image.records, image.whole};
        Manifest_check(rows.reader, row, expected, rows.faults);
    }
    return true;
}

// Every image of the batch, in unit order, each beside its manifest row;
// then the rows past the last unit.
bool Check_units(const Folder &folder, const std::vector<Ledger_issued> &issued, Rows &rows, Faults &faults, Fault &fault)
{
    Cli_progress shown{};
    Cli_progressStart(shown, "images", issued.size());
    Unit_image image{};
    for (std::size_t i = 0; i < issued.size(); ++i) {
        if (!Check_image(folder, issued[i], image, faults, fault) || !Check_row(rows, issued, i, image, fault))
            return false;
        Cli_progressShow(shown, i + 1);
    }
    Cli_progressEnd(shown);
    image.whole = false;
    while (rows.reading)
        if (!Check_row(rows, issued, issued.size(), image, fault))
            return false;
    return true;
}

// The manifest's faults, in line order, then its count of units.
void Manifest_faults(const Folder &folder, Rows &rows, std::size_t units, Faults &faults)
{
    if (!folder.manifest) {
        Add(faults, folder.dir + "/" + MANIFEST_NAME, "missing");
        return;
    }
    std::stable_sort(rows.faults.begin(), rows.faults.end(),
                     [](const Manifest_fault &a, const Manifest_fault &b) { return a.line < b.line; });
    for (Manifest_fault &found : rows.faults)
        faults.push_back({0, std::move(found.where), std::move(found.why)});
    if (rows.columns && !rows.reader.header.empty() && rows.units != units)
        Add(faults, folder.dir + "/" + MANIFEST_NAME,
            std::to_string(rows.units) + (rows.units == 1 ? " unit" : " units") + ", expected " + std::to_string(units));
}

// The units of a batch's addresses (a unit's several come together, its
// base first): issued keeps each base, lasts gets each unit's last address.
void Units_of(std::vector<Ledger_issued> &issued, std::vector<Mac_address> &lasts)
{
    std::size_t units = 0;
    for (std::size_t i = 0; i < issued.size(); ++i) {
        if (units > 0 && issued[units - 1].unit == issued[i].unit) {
            lasts[units - 1] = issued[i].mac;
            continue;
        }
        lasts.push_back(issued[i].mac);
        if (units != i)
            issued[units] = std::move(issued[i]);
        ++units;
    }
    issued.resize(units);
}

// The folder against batch id: its images, what else it holds, its manifest.
bool Check_folder(const Folder &folder, long long id, const std::vector<Ledger_issued> &issued,
                  const std::vector<Mac_address> &lasts, Faults &faults, Fault &fault)
{
    const std::string path = folder.dir + "/" + MANIFEST_NAME;
    bool serials = std::any_of(issued.begin(), issued.end(), [](const Ledger_issued &unit) { return !unit.serial.empty(); });
    bool several = false;
    for (std::size_t i = 0; i < issued.size(); ++i)
        several = several || lasts[i] != issued[i].mac;
    Rows rows{};
    rows.lasts = &lasts;
    bool read = Open_rows(folder, path, serials, several, rows, fault) && Check_units(folder, issued, rows, faults, fault);
    if (rows.fp != nullptr)
        std::fclose(rows.fp);
    if (!read)
        return false;
    std::unordered_set<std::uint64_t> ours;
    for (const Ledger_issued &unit : issued)
        ours.insert(unit.mac.bits);
    std::vector<std::string> others = folder.others;
    for (const auto &[bits, name] : folder.images)
        if (!ours.contains(bits))
            others.push_back(name);
    std::sort(others.begin(), others.end());
    for (const std::string &name : others)
        Add(faults, folder.dir + "/" + name, "not part of batch " + std::to_string(id));
    Manifest_faults(folder, rows, issued.size(), faults);
    return true;
}

} // namespace

bool Batch_audit(const char *ledgerPath, const char *outdir, Audit_verdict &verdict, Fault &fault)
{
    Ledger_ptr ledger{nullptr, Ledger_close};
    if (!Ledger_open(ledgerPath, ledger, fault, false))
        return false;
    Folder folder{outdir, {}, false, {}};
    while (folder.dir.size() > 1 && folder.dir.back() == '/')
        folder.dir.pop_back();
    verdict.dir = folder.dir;
    if (!Read_folder(folder, fault) || !Batch_of(ledger.get(), folder, verdict.batch, fault))
        return false;
    if (verdict.batch == 0) {
        Add(verdict.faults, folder.dir, "no image of an address that the ledger issued");
        return true;
    }
    Ledger_batch batch{};
    std::vector<Ledger_issued> issued;
    std::vector<Mac_address> lasts;
    if (!Ledger_read(ledger.get(), verdict.batch, batch, issued, fault))
        return false;
    Units_of(issued, lasts);
    if (!Check_folder(folder, verdict.batch, issued, lasts, verdict.faults, fault))
        return false;
    verdict.images = issued.size();
    return !verdict.faults.empty() || !batch.finished.empty() ||
           Ledger_finish(ledger.get(), verdict.batch, Ledger_now(), fault);
}

int Audit_report(Audit_verdict &verdict)
{
    if (!verdict.faults.empty())
        return Faults_report(verdict.faults);
    Fault whole{};
    Fault_refuse(whole, verdict.dir.c_str(), "batch %lld is whole, %zu image%s", verdict.batch, verdict.images,
                 verdict.images == 1 ? "" : "s");
    Cli_warn(whole);
    return 0;
}
