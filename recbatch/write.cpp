#include "write.h"

#include "mac.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

volatile std::sig_atomic_t writeStop = 0;

namespace {

extern "C" void Note_stop(int signal)
{
    writeStop = signal;
}

// Removes the hidden folder and what was written into it.
void Remove_folder(const char *folder)
{
    if (DIR *dir = opendir(folder)) {
        while (const dirent *entry = readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                unlinkat(dirfd(dir), entry->d_name, 0);
        closedir(dir);
    }
    rmdir(folder);
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

bool Write_canCreate(const char *outdir)
{
    std::string parent;
    std::string name;
    Write_splitPath(outdir, parent, name);
    return access(parent.c_str(), W_OK | X_OK) == 0;
}

void Write_catchSignals()
{
    struct sigaction action {};
    action.sa_handler = Note_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

Write_result Batch_write(const Batch &batch, bool progress, std::string &path, int &error)
{
    std::string parent;
    std::string name;
    Write_splitPath(batch.outdir, parent, name);
    std::string hidden = parent + "/." + name + ".XXXXXX";
    path = hidden;
    if (mkdtemp(hidden.data()) == nullptr) {
        error = errno;
        return WRITE_FAILED;
    }
    int dir = open(hidden.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    auto fail = [&](const std::string &what) {
        error = errno;
        path = what;
        if (dir >= 0)
            close(dir);
        Remove_folder(hidden.c_str());
        return writeStop != 0 ? WRITE_STOPPED : WRITE_FAILED;
    };
    if (dir < 0)
        return fail(hidden);

    auto start = std::chrono::steady_clock::now();
    auto shown = start;
    bool any = false;
    for (std::size_t u = 0; u < batch.units.size(); ++u) {
        if (writeStop != 0)
            return fail(hidden);
        const Unit &unit = batch.units[u];
        std::string file = std::string(Mac_hex(unit.mac).data()) + ".bin";
        if (!Write_file(dir, file.c_str(), batch.images.data() + unit.imageAt, unit.imageLen, 0644))
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
    if (writeStop != 0)
        return fail(hidden);
    if (syncfs(dir) != 0 || fsync(dir) != 0)
        return fail(hidden);
    if (renameat2(AT_FDCWD, hidden.c_str(), AT_FDCWD, batch.outdir, RENAME_NOREPLACE) != 0)
        return fail(batch.outdir);
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
