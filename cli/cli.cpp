#include "cli.h"

#include "streams.h"
#include "text.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unistd.h>

namespace {

const char *program = "";
const char *usage = "";
unsigned closed = 0; // the STREAM_*_CLOSED bits of the run's start

// Prints "NAME" then each escaped piece after ": ", and a newline: one
// line in one write, so that a list of thousands of faults is quick on an
// unbuffered standard error.
void Say(std::initializer_list<std::string_view> pieces)
{
    char line[3 * 4 * FAULT_TEXT_MAX + 64];
    std::size_t used = Text_escape(program, line, sizeof line - 2);
    for (std::string_view piece : pieces) {
        if (used + 4 >= sizeof line)
            break;
        line[used++] = ':';
        line[used++] = ' ';
        used += Text_escape(piece, line + used, sizeof line - 1 - used);
    }
    line[used++] = '\n';
    std::fwrite(line, 1, used, stderr);
}

void Say_fault(const Fault &fault)
{
    std::string_view where = fault.where;
    std::string_view why = fault.why;
    const char *system = fault.errnum != 0 ? std::strerror(fault.errnum) : nullptr;
    if (!where.empty() && !why.empty() && system != nullptr)
        Say({where, why, system});
    else if (!where.empty() && !why.empty())
        Say({where, why});
    else if (!where.empty())
        Say({where, system != nullptr ? system : ""});
    else if (system != nullptr && !why.empty())
        Say({why, system});
    else
        Say({system != nullptr ? system : why});
}

} // namespace

unsigned Cli_start(const char *name, const char *text)
{
    program = name;
    usage = text;
    closed = Streams_hold();
    return closed;
}

bool Cli_answered(int argc, char *const argv[], int &status)
{
    if (argc != 2 || (std::strcmp(argv[1], "--help") != 0 && std::strcmp(argv[1], "--version") != 0))
        return false;
    if (closed & STREAM_OUT_CLOSED) { // held on /dev/null: the answer would be lost
        status = Cli_system("stdout", EBADF);
        return true;
    }
    if (std::strcmp(argv[1], "--help") == 0)
        std::fputs(usage, stdout);
    else
        std::printf("%s %s\n", program, ZOL_VERSION);
    status = Cli_finish(0);
    return true;
}

bool Cli_begin(const char *name, const char *usage, int argc, char *const argv[], int &status, unsigned *closed)
{
    unsigned streams = Cli_start(name, usage);
    if (closed != nullptr)
        *closed = streams;
    return Cli_answered(argc, argv, status);
}

int Cli_usage()
{
    std::fputs(usage, stderr);
    return 2;
}

int Cli_misuse(const char *format, ...)
{
    char why[FAULT_TEXT_MAX];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(why, sizeof why, format, args);
    va_end(args);
    Say({why});
    return 2;
}

int Cli_fail(const Fault &fault)
{
    if (Fault_isUsage(fault))
        return Cli_usage();
    Say_fault(fault);
    return fault.status;
}

void Cli_warn(const Fault &fault)
{
    Say_fault(fault);
}

int Cli_system(const char *path, int errnum)
{
    const char *system = std::strerror(errnum != 0 ? errnum : EIO);
    if (*path == '\0') // as Cli_fail says a fault of no where, not "NAME: : WHY"
        Say({system});
    else
        Say({path, system});
    return 2;
}

int Cli_finish(int status)
{
    int error = Streams_close(stdout);
    return error == 0 ? status : Cli_system("stdout", error);
}

void Cli_progressStart(Cli_progress &progress, const char *what, std::size_t total)
{
    auto now = std::chrono::steady_clock::now();
    progress = {what, total, isatty(STDERR_FILENO) == 1, false, 0, now, now};
}

void Cli_progressShow(Cli_progress &progress, std::size_t done)
{
    auto now = std::chrono::steady_clock::now();
    progress.done = done;
    if (!progress.on || now - progress.start < std::chrono::seconds(1) ||
        (progress.shown && now - progress.last < std::chrono::milliseconds(250) && done < progress.total))
        return;
    double seconds = std::chrono::duration<double>(now - progress.start).count();
    std::fprintf(stderr, "\r%s: %zu of %zu %s, %.0f %s/s", program, done, progress.total, progress.what,
                 static_cast<double>(done) / seconds, progress.what);
    progress.last = now;
    progress.shown = true;
}

void Cli_progressEnd(Cli_progress &progress)
{
    if (!progress.shown)
        return;
    progress.last = progress.start; // shown whatever the time since the last
    Cli_progressShow(progress, progress.done);
    std::fputc('\n', stderr);
}
