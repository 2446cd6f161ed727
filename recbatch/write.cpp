#include "write.h"

#include "cli.h"
#include "manifest.h"
#include "values.h"
#include "writer.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The signals that stop a run.
constexpr std::array<int, 3> STOPS{SIGINT, SIGTERM, SIGHUP};

// What the signal handler sees: all of the run's signal state, here alone.
volatile std::sig_atomic_t stopSignal = 0; // the signal that asked the run to stop, or 0
volatile std::sig_atomic_t writing = 0;    // files are being written into the hidden folder
volatile std::sig_atomic_t hiddenMade = 0; // hiddenPath names the hidden folder
std::array<char, PATH_MAX> hiddenPath{};

void End_by(int number)
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(number, &action, nullptr);
    raise(number);
}

// While files are written, the writer stops before the next one and cleans
// up; before that, the hidden folder is empty, removed here, and the run
// ends at once: a ledger transaction still open is rolled back by the
// ledger itself, one that committed has issued the batch's addresses.
extern "C" void On_stop(int number)
{
    if (writing != 0) {
        stopSignal = number;
        return;
    }
    if (hiddenMade != 0)
        rmdir(hiddenPath.data());
    End_by(number);
}

sigset_t Stop_set()
{
    sigset_t stops;
    sigemptyset(&stops);
    for (int number : STOPS)
        sigaddset(&stops, number);
    return stops;
}

bool Write_all(int fd, const std::uint8_t *bytes, std::size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, bytes, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// A new file of the hidden folder, mode 0600: it holds a unit's secrets.
bool Write_file(int dir, const char *name, std::span<const std::uint8_t> bytes)
{
    int fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool written = Write_all(fd, bytes.data(), bytes.size());
    int error = errno;
    if (close(fd) != 0 && written)
        return false;
    errno = error;
    return written;
}

// The folder that holds path, and its last name.
void Split_path(const char *path, std::string &parent, std::string &name)
{
    std::string whole = path;
    while (whole.size() > 1 && whole.back() == '/')
        whole.pop_back();
    std::size_t slash = whole.rfind('/');
    parent = slash == std::string::npos ? "." : slash == 0 ? "/" : whole.substr(0, slash);
    name = slash == std::string::npos ? whole : whole.substr(slash + 1);
}

// The manifest's columns: the table's carried ones, and a value column per
// setting of the units' scripts.
Manifest_layout Layout_of(const Template &tpl, const Units &units, const Secrets &secrets)
{
    Manifest_layout layout{};
    for (const Column &column : units.columns)
        if (column.type == 0)
            layout.carried.push_back(column.name);
    layout.types = Value_types(tpl, units, secrets);
    layout.lastMac = units.addresses > 1;
    return layout;
}

// The unit's manifest row, from the values its image was made of.
void Row_of(const Units &units, std::size_t u, const Unit_values &values, std::string_view sha256,
            Manifest_unit &row)
{
    row.number = u + 1;
    row.mac = units.list[u].mac;
    row.last = Unit_last(units, units.list[u]);
    row.sha256 = sha256;
    row.carried.clear();
    for (std::size_t c = 0; c < units.columns.size(); ++c)
        if (units.columns[c].type == 0)
            row.carried.push_back(units.rows[u][c]);
    std::fill(row.values.begin(), row.values.end(), std::string_view());
    for (std::size_t k = 0; k < values.count; ++k)
        if (values.items[k].value.type != ZOL_FACT_DFLT_MAC_ID)
            row.values[values.items[k].slot] = Script_lineText(values.items[k].value);
}

// Each unit's image, converted again and checked against the SHA-256 that
// the ledger recorded, and its manifest row.
bool Write_units(const Template &tpl, const Units &units, const Secrets &secrets, const std::vector<Digest> &hashes,
                 int dir, std::FILE *manifest, Cli_progress &progress, Fault &fault)
{
    const std::string hidden = hiddenPath.data();
    const Manifest_layout layout = Layout_of(tpl, units, secrets);
    Manifest_writeHeader(manifest, layout);
    Manifest_unit row{};
    row.values.resize(layout.types.size());
    Unit_values values{};
    Image image{};
    for (std::size_t u = 0; u < units.list.size(); ++u) {
        if (stopSignal != 0)
            return Fault_system(fault, hidden.c_str(), EINTR);
        Unit_valuesOf(tpl, units, secrets, u, values);
        const std::string name = Manifest_file(units.list[u].mac);
        const std::string path = hidden + "/" + name;
        bool converted = Unit_image(values, image);
        std::span<const std::uint8_t> bytes = Image_bytes(image);
        if (!converted || Sha256(bytes.data(), bytes.size()) != hashes[u])
            return Fault_fail(fault, path.c_str(), "not the image issued for its address (its SHA-256 differs)");
        if (!Write_file(dir, name.c_str(), bytes))
            return Fault_system(fault, path.c_str(), errno);
        const std::string sha256 = Digest_hex(hashes[u]);
        Row_of(units, u, values, sha256, row);
        Manifest_writeRow(manifest, layout, row);
        Cli_progressShow(progress, u + 1);
    }
    return true;
}

// The manifest, written as the images are.
std::FILE *Open_manifest(int dir)
{
    int fd = openat(dir, MANIFEST_NAME, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    std::FILE *manifest = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (manifest == nullptr && fd >= 0) {
        int error = errno;
        close(fd);
        errno = error;
    }
    return manifest;
}

bool Close_manifest(std::FILE *manifest, bool written, Fault &fault)
{
    if (manifest == nullptr)
        return false;
    int error = Streams_close(manifest);
    std::string path = std::string(hiddenPath.data()) + "/" + MANIFEST_NAME;
    return written && (error == 0 || Fault_system(fault, path.c_str(), error));
}

// One sync for the whole folder, then the rename that makes it OUTDIR; an
// OUTDIR that appeared meanwhile is never replaced.
bool Sync_and_rename(int dir, const char *outdir, Fault &fault)
{
    if (stopSignal != 0)
        return Fault_system(fault, hiddenPath.data(), EINTR);
    if (syncfs(dir) != 0 || fsync(dir) != 0)
        return Fault_system(fault, hiddenPath.data(), errno);
    if (renameat2(AT_FDCWD, hiddenPath.data(), AT_FDCWD, outdir, RENAME_NOREPLACE) != 0)
        return Fault_system(fault, outdir, errno);
    return true;
}

} // namespace

void Write_catchSignals()
{
    struct sigaction action {};
    action.sa_handler = On_stop;
    action.sa_mask = Stop_set();
    for (int number : STOPS) {
        // A signal ignored when the run started (a background job of a
        // shell, nohup) stays ignored.
        struct sigaction before {};
        if (sigaction(number, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(number, &action, nullptr);
    }
}

bool Write_start(const char *outdir, std::string &absolute, Fault &fault)
{
    if (struct stat st {}; lstat(outdir, &st) == 0)
        return Fault_system(fault, outdir, EEXIST);
    else if (errno != ENOENT)
        return Fault_system(fault, outdir, errno);
    std::string parent;
    std::string name;
    Split_path(outdir, parent, name);
    std::string hidden = parent + "/." + name + ".XXXXXX";
    if (hidden.size() >= hiddenPath.size())
        return Fault_system(fault, outdir, ENAMETOOLONG);
    // The folder is made and named to the signal handler at one stroke.
    sigset_t stops = Stop_set();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &stops, &before);
    bool made = mkdtemp(hidden.data()) != nullptr;
    int error = errno;
    if (made) {
        std::memcpy(hiddenPath.data(), hidden.c_str(), hidden.size() + 1);
        hiddenMade = 1;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    char *real = made ? realpath(parent.c_str(), nullptr) : nullptr;
    if (real == nullptr) {
        error = made ? errno : error;
        Write_remove();
        return Fault_system(fault, outdir, error);
    }
    absolute = std::strcmp(real, "/") == 0 ? "/" + name : real + ("/" + name);
    std::free(real);
    return true;
}

void Write_remove()
{
    if (hiddenMade == 0)
        return;
    if (DIR *dir = opendir(hiddenPath.data())) {
        while (const dirent *entry = readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                unlinkat(dirfd(dir), entry->d_name, 0);
        closedir(dir);
    }
    rmdir(hiddenPath.data());
    hiddenMade = 0;
}

bool Write_stopped()
{
    return stopSignal != 0;
}

void Write_endByStop()
{
    End_by(stopSignal);
    std::_Exit(2); // not reached: the signal ends the run
}

bool Batch_write(const Request &request, const Template &tpl, const Units &units, const Secrets &secrets,
                 const std::vector<Digest> &hashes, Fault &fault)
{
    writing = 1;
    Cli_progress shown{};
    Cli_progressStart(shown, "units", units.list.size());
    int dir = open(hiddenPath.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::FILE *manifest = dir >= 0 ? Open_manifest(dir) : nullptr;
    if (int error = errno; manifest == nullptr) {
        std::string path = std::string(hiddenPath.data()) + (dir >= 0 ? std::string("/") + MANIFEST_NAME : "");
        Fault_system(fault, path.c_str(), error);
    }
    bool written = manifest != nullptr && Write_units(tpl, units, secrets, hashes, dir, manifest, shown, fault);
    written = Close_manifest(manifest, written, fault) && Sync_and_rename(dir, request.outdir, fault);
    if (dir >= 0)
        close(dir);
    if (!written) {
        Write_remove();
        writing = 0;
        return false;
    }
    hiddenMade = 0;
    writing = 0;
    std::string parent;
    std::string name;
    Split_path(request.outdir, parent, name);
    if (int parentDir = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); parentDir >= 0) {
        fsync(parentDir);
        close(parentDir);
    }
    Cli_progressEnd(shown);
    return true;
}
