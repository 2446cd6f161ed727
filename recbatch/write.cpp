#include "write.h"

#include "manifest.h"
#include "values.h"

#include <array>
#include <cerrno>
#include <chrono>
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

bool Write_file(int dir, const char *name, const std::uint8_t *bytes, std::size_t len, mode_t mode)
{
    int fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    bool written = Write_all(fd, bytes, len);
    int error = errno;
    if (close(fd) != 0 && written)
        return false;
    errno = error;
    return written;
}

// Shows units done, the total and the rate, at most four times a second,
// once the batch has taken a second.
void Show_progress(std::size_t done, std::size_t total, std::chrono::steady_clock::time_point start,
                   std::chrono::steady_clock::time_point &shown, bool &any)
{
    auto now = std::chrono::steady_clock::now();
    if (now - start < std::chrono::seconds(1) || (any && now - shown < std::chrono::milliseconds(250) && done < total))
        return;
    double seconds = std::chrono::duration<double>(now - start).count();
    std::fprintf(stderr, "\rrecbatch: %zu of %zu units, %.0f units/s", done, total, done / seconds);
    shown = now;
    any = true;
}

} // namespace

// The folder that holds path, and its last name.
void Write_splitPath(const char *path, std::string &parent, std::string &name)
{
    std::string whole = path;
    while (whole.size() > 1 && whole.back() == '/')
        whole.pop_back();
    std::size_t slash = whole.rfind('/');
    parent = slash == std::string::npos ? "." : slash == 0 ? "/" : whole.substr(0, slash);
    name = slash == std::string::npos ? whole : whole.substr(slash + 1);
}

void Write_catchSignals()
{
    struct sigaction action {};
    action.sa_handler = On_stop;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    for (int number : {SIGINT, SIGTERM}) {
        // A signal ignored when the run started (a background job of a
        // shell, nohup) stays ignored.
        struct sigaction before {};
        if (sigaction(number, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(number, &action, nullptr);
    }
}

bool Write_start(const char *outdir, std::string &absolute)
{
    if (struct stat st {}; lstat(outdir, &st) == 0 || errno != ENOENT) {
        errno = errno == 0 || errno == ENOENT ? EEXIST : errno;
        return false;
    }
    std::string parent;
    std::string name;
    Write_splitPath(outdir, parent, name);
    std::string hidden = parent + "/." + name + ".XXXXXX";
    if (hidden.size() >= hiddenPath.size()) {
        errno = ENAMETOOLONG;
        return false;
    }
    // The folder is made and named to the signal handler at one stroke.
    sigset_t stops;
    sigset_t before;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
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
        errno = error;
        return false;
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

Write_result Batch_write(const Batch &batch, bool progress, std::string &path, std::string &why)
{
    std::string parent;
    std::string name;
    Write_splitPath(batch.outdir, parent, name);
    std::string hidden = hiddenPath.data();
    writing = 1;
    int dir = open(hidden.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    auto fail = [&](const std::string &what, const char *words = nullptr) {
        why = words != nullptr ? words : std::strerror(errno != 0 ? errno : EIO);
        path = what;
        if (dir >= 0)
            close(dir);
        Write_remove();
        writing = 0;
        return stopSignal != 0 ? WRITE_STOPPED : WRITE_FAILED;
    };
    if (dir < 0)
        return fail(hidden);

    auto start = std::chrono::steady_clock::now();
    auto shown = start;
    bool any = false;
    Unit_values values{};
    Image image{};
    for (std::size_t u = 0; u < batch.units.size(); ++u) {
        if (stopSignal != 0)
            return fail(hidden);
        Batch_values(batch, u, values);
        std::string file = std::string(values.macText.data()) + ".bin";
        bool converted = Unit_image(values, image);
        std::span<const std::uint8_t> bytes = Image_bytes(image);
        if (!converted || Sha256(bytes.data(), bytes.size()) != batch.units[u].sha256)
            return fail(hidden + "/" + file, "not the image issued for its address (its SHA-256 differs)");
        if (!Write_file(dir, file.c_str(), bytes.data(), bytes.size(), 0644))
            return fail(hidden + "/" + file);
        if (progress && (u & 255) == 0)
            Show_progress(u, batch.units.size(), start, shown, any);
    }

    // The manifest holds every unit's secrets: only its owner may read it.
    int fd = openat(dir, "manifest.csv", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    std::FILE *manifest = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (manifest == nullptr) {
        if (fd >= 0)
            close(fd);
        return fail(hidden + "/manifest.csv");
    }
    Batch_manifest(batch, manifest);
    bool written = std::fflush(manifest) == 0 && !std::ferror(manifest);
    if (std::fclose(manifest) != 0 || !written)
        return fail(hidden + "/manifest.csv");

    // One sync for the whole folder, then the rename that makes it OUTDIR;
    // an OUTDIR that appeared meanwhile is never replaced.
    if (stopSignal != 0)
        return fail(hidden);
    if (syncfs(dir) != 0 || fsync(dir) != 0)
        return fail(hidden);
    if (renameat2(AT_FDCWD, hidden.c_str(), AT_FDCWD, batch.outdir, RENAME_NOREPLACE) != 0)
        return fail(batch.outdir);
    hiddenMade = 0;
    writing = 0;
    close(dir);
    int parentDir = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentDir >= 0) {
        fsync(parentDir);
        close(parentDir);
    }
    if (progress && any) {
        Show_progress(batch.units.size(), batch.units.size(), start, shown, any);
        std::fputc('\n', stderr);
    }
    return WRITE_DONE;
}
