#include "fault.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

void Copy(char (&to)[FAULT_TEXT_MAX], const char *text)
{
    std::snprintf(to, sizeof to, "%s", text != nullptr ? text : "");
}

bool Fill(Fault &fault, Fault_status status, const char *where, const char *format, std::va_list args)
{
    fault.status = status;
    fault.errnum = 0;
    Copy(fault.where, where);
    std::vsnprintf(fault.why, sizeof fault.why, format, args);
    return false;
}

} // namespace

bool Fault_system(Fault &fault, const char *where, int errnum)
{
    fault.status = FAULT_FAILED;
    fault.errnum = errnum != 0 ? errnum : EIO;
    Copy(fault.where, where);
    fault.why[0] = '\0';
    return false;
}

bool Fault_refuse(Fault &fault, const char *where, const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    Fill(fault, FAULT_REFUSED, where, format, args);
    va_end(args);
    return false;
}

bool Fault_fail(Fault &fault, const char *where, const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    Fill(fault, FAULT_FAILED, where, format, args);
    va_end(args);
    return false;
}

bool Fault_usage(Fault &fault)
{
    fault.status = FAULT_FAILED;
    fault.errnum = 0;
    fault.where[0] = '\0';
    fault.why[0] = '\0';
    return false;
}

bool Fault_isUsage(const Fault &fault)
{
    return fault.status == FAULT_FAILED && fault.errnum == 0 && fault.where[0] == '\0' && fault.why[0] == '\0';
}

bool Fault_within(Fault &fault, const char *prefix)
{
    // prefix, then ": " and the old where when there is one, cut to fit.
    char where[FAULT_TEXT_MAX];
    std::size_t used = 0;
    auto put = [&](const char *text) {
        for (; *text != '\0' && used + 1 < sizeof where; ++text)
            where[used++] = *text;
    };
    put(prefix);
    if (fault.where[0] != '\0') {
        put(": ");
        put(fault.where);
    }
    where[used] = '\0';
    std::memcpy(fault.where, where, used + 1);
    return false;
}
