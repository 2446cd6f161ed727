#include "output.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

char tempPath[PATH_MAX]; // what a signal removes; empty when there is nothing

extern "C" void Remove_and_end(int signal)
{
    if (tempPath[0] != '\0')
        unlink(tempPath);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

std::string Folder_of(const std::string &path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

bool Output_open(Output &output, const char *path)
{
    output.path = path;
    // A short name of its own, so that it fits wherever OUTPUT's name does.
    std::string full(path);
    std::size_t slash = full.rfind('/');
    output.temp = (slash == std::string::npos ? std::string() : full.substr(0, slash + 1)) + ".reclabel-XXXXXX";
    if (output.temp.size() >= sizeof tempPath) {
        errno = ENAMETOOLONG;
        return false;
    }
    sigset_t signals, old;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signals, s);
    sigprocmask(SIG_BLOCK, &signals, &old); // no signal between creating and noting the file
    int fd = mkstemp(output.temp.data());
    int error = errno;
    if (fd >= 0) {
        std::memcpy(tempPath, output.temp.c_str(), output.temp.size() + 1);
        // A signal ignored when the run started (nohup, a background job)
        // stays ignored.
        struct sigaction handler {}, was {};
        handler.sa_handler = Remove_and_end;
        handler.sa_mask = signals;
        for (int s : {SIGINT, SIGTERM, SIGHUP})
            if (sigaction(s, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
                sigaction(s, &handler, nullptr);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (fd < 0) {
        errno = error;
        return false;
    }
    output.fp = fdopen(fd, "wb");
    if (output.fp == nullptr) {
        error = errno;
        close(fd);
        Output_abandon(output);
        errno = error;
        return false;
    }
    return true;
}

bool Output_commit(Output &output)
{
    bool written = std::fflush(output.fp) == 0 && fsync(fileno(output.fp)) == 0;
    int error = errno;
    if (std::fclose(output.fp) != 0 && written) {
        written = false;
        error = errno;
    }
    output.fp = nullptr;
    if (!written || rename(output.temp.c_str(), output.path) != 0) {
        error = written ? errno : error;
        Output_abandon(output);
        errno = error;
        return false;
    }
    tempPath[0] = '\0';
    // The rename itself is on disk once the folder is synced.
    int folder = open(Folder_of(output.path).c_str(), O_RDONLY | O_DIRECTORY);
    bool synced = folder >= 0 && fsync(folder) == 0;
    error = errno;
    if (folder >= 0)
        close(folder);
    errno = error;
    return synced;
}

void Output_abandon(Output &output)
{
    if (output.fp != nullptr)
        std::fclose(output.fp);
    output.fp = nullptr;
    unlink(output.temp.c_str());
    tempPath[0] = '\0';
}
