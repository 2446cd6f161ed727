#include "output.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What a signal removes: the hidden folder, empty when there is none, and
// how many files were made in it, each named by its number.
char folderPath[PATH_MAX];
volatile std::sig_atomic_t filesMade;

// The path of file number n in the hidden folder, made without the heap
// or stdio, so that a signal handler may make it.
void File_path(long n, char (&path)[PATH_MAX + 24])
{
    std::size_t len = std::strlen(folderPath);
    std::memcpy(path, folderPath, len);
    path[len++] = '/';
    char digits[24];
    int count = 0;
    do
        digits[count++] = static_cast<char>('0' + n % 10);
    while ((n /= 10) > 0);
    while (count > 0)
        path[len++] = digits[--count];
    path[len] = '\0';
}

void Remove_folder()
{
    char path[PATH_MAX + 24];
    for (long n = 1; n <= filesMade; ++n) {
        File_path(n, path);
        unlink(path);
    }
    rmdir(folderPath);
}

extern "C" void Remove_and_end(int signal)
{
    if (folderPath[0] != '\0')
        Remove_folder();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

std::string Folder_of(const std::string &path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

void Signals(sigset_t &signals)
{
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signals, s);
}

// A signal ignored when the run started (nohup, a background job) stays
// ignored; the others remove the hidden folder.
void Catch_signals(const sigset_t &signals)
{
    struct sigaction handler {}, was {};
    handler.sa_handler = Remove_and_end;
    handler.sa_mask = signals;
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        if (sigaction(s, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
            sigaction(s, &handler, nullptr);
}

// Flushes, syncs and closes the file being written.
bool Close_file(Output &output, Fault &fault)
{
    if (output.fp == nullptr)
        return true;
    bool written = std::fflush(output.fp) == 0 && fsync(fileno(output.fp)) == 0;
    int error = errno;
    if (std::fclose(output.fp) != 0 && written) {
        written = false;
        error = errno;
    }
    output.fp = nullptr;
    return written || Fault_system(fault, output.paths.back().c_str(), error);
}

// Renames each file to its name, with the signals held so that a signal
// does not end the run with some of them renamed.
bool Rename_all(Output &output, Fault &fault)
{
    sigset_t signals, old;
    Signals(signals);
    sigprocmask(SIG_BLOCK, &signals, &old);
    char from[PATH_MAX + 24];
    bool renamed = true;
    for (std::size_t n = 0; n < output.paths.size() && renamed; ++n) {
        File_path(static_cast<long>(n + 1), from);
        renamed = rename(from, output.paths[n].c_str()) == 0 || Fault_system(fault, output.paths[n].c_str(), errno);
    }
    if (renamed) {
        rmdir(folderPath);
        folderPath[0] = '\0';
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return renamed;
}

} // namespace

bool Output_check(const char *path, const char *other, Fault &fault)
{
    struct stat out {}, in {};
    if (lstat(path, &out) != 0)
        return true;
    if (S_ISDIR(out.st_mode))
        return Fault_system(fault, path, EISDIR);
    if (!S_ISREG(out.st_mode))
        return Fault_fail(fault, path, "not a regular file");
    if (stat(other, &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
        return Fault_fail(fault, path, "is the manifest");
    return true;
}

std::string Output_pagePath(const char *path, std::size_t page)
{
    std::string name = path;
    if (name.size() > 4 && name.ends_with(".png"))
        name.resize(name.size() - 4);
    char number[24];
    std::snprintf(number, sizeof number, "-%03zu.png", page);
    return name + number;
}

bool Output_open(Output &output, const char *path, Fault &fault)
{
    // A short name of its own, so that it fits wherever OUTPUT's name does.
    std::string full(path);
    std::size_t slash = full.rfind('/');
    output.folder = (slash == std::string::npos ? std::string() : full.substr(0, slash + 1)) + ".reclabel-XXXXXX";
    output.fp = nullptr;
    if (output.folder.size() + 24 >= sizeof folderPath)
        return Fault_system(fault, path, ENAMETOOLONG);
    sigset_t signals, old;
    Signals(signals);
    sigprocmask(SIG_BLOCK, &signals, &old); // no signal between making the folder and noting it
    bool made = mkdtemp(output.folder.data()) != nullptr;
    int error = errno;
    if (made) {
        std::memcpy(folderPath, output.folder.c_str(), output.folder.size() + 1);
        filesMade = 0;
        Catch_signals(signals);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return made || Fault_system(fault, path, error);
}

bool Output_add(Output &output, const std::string &path, Fault &fault)
{
    if (!Close_file(output, fault))
        return false;
    output.paths.push_back(path);
    filesMade = static_cast<std::sig_atomic_t>(output.paths.size());
    char file[PATH_MAX + 24];
    File_path(filesMade, file);
    int fd = open(file, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    output.fp = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (output.fp != nullptr)
        return true;
    int error = errno;
    if (fd >= 0)
        close(fd);
    return Fault_system(fault, path.c_str(), error);
}

bool Output_commit(Output &output, Fault &fault)
{
    if (!Close_file(output, fault) || !Rename_all(output, fault)) {
        Output_abandon(output);
        return false;
    }
    // The renames themselves are on disk once the folder is synced.
    int folder = open(Folder_of(output.paths.front()).c_str(), O_RDONLY | O_DIRECTORY);
    bool synced = folder >= 0 && fsync(folder) == 0;
    int error = errno;
    if (folder >= 0)
        close(folder);
    return synced || Fault_system(fault, output.paths.front().c_str(), error);
}

void Output_abandon(Output &output)
{
    if (output.fp != nullptr)
        std::fclose(output.fp);
    output.fp = nullptr;
    if (folderPath[0] != '\0')
        Remove_folder();
    folderPath[0] = '\0';
}
