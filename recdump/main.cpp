// recdump: prints a record file as a listing, a JSON document or a script.
#include "cli.h"
#include "dump.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

enum Dump_format {
    DUMP_TEXT,   // a line per block or record
    DUMP_JSON,   // one JSON document
    DUMP_SCRIPT, // a script that converts into the same bytes
};

// The command line into format and path; false when it is wrong.
bool Parse_options(int argc, char *argv[], Dump_format &format, const char *&path)
{
    opterr = 0; // the usage says what is wrong
    for (int opt = 0; (opt = getopt(argc, argv, "js")) != -1;) {
        if (opt == '?' || format != DUMP_TEXT)
            return false;
        format = opt == 'j' ? DUMP_JSON : DUMP_SCRIPT;
    }
    path = argv[optind];
    return optind == argc - 1;
}

// Reads the record file at path, or standard input, from where it stands,
// for "-".
bool Read_path(const char *path, bool inClosed, Recfile &file, Fault &fault)
{
    bool useStdin = std::strcmp(path, "-") == 0;
    if (useStdin && inClosed)
        return Fault_system(fault, path, EBADF);
    std::FILE *fp = useStdin ? stdin : std::fopen(path, "rb");
    if (fp == nullptr)
        return Fault_system(fault, path, errno);
    bool read = Recfile_read(fp, path, file, fault);
    if (!useStdin)
        std::fclose(fp);
    return read;
}

// Prints file in format: false, with fault, when it is malformed or no
// script can give it.
bool Dump(const Recfile &file, Dump_format format, Fault &fault)
{
    switch (format) {
    case DUMP_SCRIPT:
        return Dump_script(file, stdout, fault);
    case DUMP_JSON:
        Dump_json(file, stdout);
        break;
    case DUMP_TEXT:
        Dump_listing(file, stdout);
        break;
    }
    return file.fault.rule == MALFORMED_NONE || Recfile_refuse(file, fault);
}

} // namespace

constexpr const char *USAGE = "usage: recdump [-j | -s] FILE\n"
                              "       recdump --help | --version\n";

int main(int argc, char *argv[])
{
    unsigned closed = 0;
    if (int status = 0; Cli_begin("recdump", USAGE, argc, argv, status, &closed))
        return status;
    Dump_format format = DUMP_TEXT;
    const char *path = nullptr;
    if (!Parse_options(argc, argv, format, path))
        return Cli_usage();
    if (closed & STREAM_OUT_CLOSED)
        return Cli_system("stdout", EBADF);
    Recfile file{};
    Fault fault{};
    if (!Read_path(path, (closed & STREAM_IN_CLOSED) != 0, file, fault))
        return Cli_fail(fault);
    // The output is the product: a listing that did not reach its reader fails.
    return Cli_finish(Dump(file, format, fault) ? 0 : Cli_fail(fault));
}
