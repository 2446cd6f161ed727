// recdump: prints a record file as a listing, a JSON document or a script.
#include "dump.h"
#include "streams.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

int usage()
{
    std::fputs("usage: recdump [-j | -s] FILE\n", stderr);
    return 2;
}

int Fail(const char *path, int error)
{
    std::fprintf(stderr, "recdump: %s: %s\n", path, std::strerror(error != 0 ? error : EIO));
    return 2;
}

// The dump reads its file from offset 0, more than once. A stream that
// cannot seek (a pipe), or that does not stand at its start (standard input
// handed on part read), is copied from where it stands to a temporary file.
std::FILE *Seekable(std::FILE *fp)
{
    if (std::ftell(fp) == 0 && std::fseek(fp, 0, SEEK_SET) == 0)
        return fp;
    std::FILE *spool = std::tmpfile();
    if (spool == nullptr)
        return nullptr;
    std::array<char, 4096> buf{};
    std::size_t n = 0;
    while ((n = std::fread(buf.data(), 1, buf.size(), fp)) > 0)
        if (std::fwrite(buf.data(), 1, n, spool) != n)
            break;
    if (std::ferror(fp) || std::ferror(spool) || std::fflush(spool) != 0) {
        std::fclose(spool);
        return nullptr;
    }
    return spool;
}

// The version, the project's, set by the build.
int Version()
{
    std::printf("recdump %s\n", ZOL_VERSION);
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) || std::fclose(stdout) != 0)
        return Fail("stdout", errno);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    unsigned closed = Streams_hold();
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return closed & STREAM_OUT_CLOSED ? Fail("stdout", EBADF) : Version();
    Dump_format format = DUMP_TEXT;
    opterr = 0; // usage() says what is wrong
    for (int opt = 0; (opt = getopt(argc, argv, "js")) != -1;) {
        if (opt == '?' || format != DUMP_TEXT)
            return usage();
        format = opt == 'j' ? DUMP_JSON : DUMP_SCRIPT;
    }
    if (optind != argc - 1)
        return usage();
    if (closed & STREAM_OUT_CLOSED)
        return Fail("stdout", EBADF);

    const char *path = argv[optind];
    bool useStdin = std::strcmp(path, "-") == 0;
    if (useStdin && (closed & STREAM_IN_CLOSED))
        return Fail(path, EBADF);
    std::FILE *fp = useStdin ? stdin : std::fopen(path, "rb");
    if (fp == nullptr)
        return Fail(path, errno);
    errno = 0;
    std::FILE *in = Seekable(fp);
    int error = errno;
    Dump_status status = in != nullptr ? Dump_file(in, stdout, stderr, format) : DUMP_READ_ERROR;
    if (status == DUMP_READ_ERROR && in != nullptr)
        error = errno;
    if (in != nullptr && in != fp)
        std::fclose(in);
    if (!useStdin)
        std::fclose(fp);
    if (status == DUMP_READ_ERROR)
        return Fail(path, error);

    // The output is the product: a listing that did not reach its reader fails.
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return Fail("stdout", errno);
    if (std::fclose(stdout) != 0)
        return Fail("stdout", errno);
    return status == DUMP_OK ? 0 : 1;
}
