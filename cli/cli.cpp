#include "cli.h"

#include "streams.h"
#include "text.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

const char *program = "";
const char *usage = "";

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
    return Streams_hold();
}

bool Cli_answered(int argc, char *const argv[], int &status)
{
    if (argc != 2 || (std::strcmp(argv[1], "--help") != 0 && std::strcmp(argv[1], "--version") != 0))
        return false;
    if (std::strcmp(argv[1], "--help") == 0)
        std::fputs(usage, stdout);
    else
        std::printf("%s %s\n", program, ZOL_VERSION);
    status = Cli_finish(0);
    return true;
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
    Say_fault(fault);
    return fault.status;
}

void Cli_warn(const Fault &fault)
{
    Say_fault(fault);
}

int Cli_system(const char *path, int errnum)
{
    Say({path, std::strerror(errnum != 0 ? errnum : EIO)});
    return 2;
}

int Cli_finish(int status)
{
    errno = 0;
    bool flushed = std::fflush(stdout) == 0 && !std::ferror(stdout);
    int error = errno;
    if (std::fclose(stdout) != 0 && flushed) {
        flushed = false;
        error = errno;
    }
    return flushed ? status : Cli_system("stdout", error);
}
