// halvik: tells by its exit status whether a file begins with a valid MAC block.
#include "check.h"
#include "cli.h"

#include <cstdio>

namespace {

int usage()
{
    std::fputs("Usage: halvik FILE\n", stderr);
    return 1;
}

int File_error()
{
    std::fputs("File error", stderr);
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (int status = 0; Cli_begin("halvik", "usage: halvik FILE\n", argc, argv, status))
        return status;
    if (argc < 2)
        return usage();
    std::FILE *fp = std::fopen(argv[1], "rb");
    if (fp == nullptr)
        return File_error();
    Check_result result = Check_stream(fp);
    std::fclose(fp);
    if (result == CHECK_READ_ERROR)
        return File_error();
    return result == CHECK_VALID ? 0 : 1;
}
