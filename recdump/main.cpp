// recdump: prints a record file, one line per MAC block or record.
#include "dump.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int usage()
{
    std::fputs("usage: recdump FILE\n", stderr);
    return 2;
}

int Fail(const char *path, int error)
{
    std::fprintf(stderr, "recdump: %s: %s\n", path, std::strerror(error));
    return 2;
}

// A pipe cannot be read twice: its bytes are copied to a temporary file.
std::FILE *Seekable(std::FILE *fp)
{
    if (std::fseek(fp, 0, SEEK_SET) == 0)
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

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2)
        return usage();
    const char *path = argv[1];
    bool useStdin = std::strcmp(path, "-") == 0;
    std::FILE *fp = useStdin ? stdin : std::fopen(path, "rb");
    if (fp == nullptr)
        return Fail(path, errno);
    std::FILE *in = Seekable(fp);
    int error = errno;
    Dump_status status = in != nullptr ? Dump_file(in, stdout, stderr) : DUMP_READ_ERROR;
    if (status == DUMP_READ_ERROR && in != nullptr)
        error = errno;
    if (in != nullptr && in != fp)
        std::fclose(in);
    if (!useStdin)
        std::fclose(fp);
    if (status == DUMP_READ_ERROR)
        return Fail(path, error);
    return status == DUMP_OK ? 0 : 1;
}
