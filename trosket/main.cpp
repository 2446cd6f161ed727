// trosket: converts a factory-default script into a record file.
#include "cli.h"
#include "console.h"
#include "convert.h"
#include "image.h"
#include "script.h"

#include <csignal>
#include <cstdio>
#include <sys/stat.h>

namespace {

// The version of the banner is the project's, set by the build.
constexpr int VERSION_MAJOR = ZOL_VERSION_MAJOR;
constexpr int VERSION_MINOR = ZOL_VERSION_MINOR;

int usage()
{
    std::printf("\nMissing operand. Try\n%s\n", "trosket.exe input.txt output.bin");
    return -1;
}

int Fail_open(const char *path)
{
    std::printf("\nError in opening file: %s", path);
    return -1;
}

// True when path names the file that fp has open, so that opening path for
// writing would empty the script before it is read, or mix the console into
// the record file. The null device takes both without harm.
bool Same_file(std::FILE *fp, const char *path)
{
    struct stat opened {};
    struct stat named {};
    struct stat null {};
    if (fstat(fileno(fp), &opened) != 0 || stat(path, &named) != 0)
        return false;
    if (stat("/dev/null", &null) == 0 && null.st_dev == named.st_dev && null.st_ino == named.st_ino)
        return false;
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Reads the script at path from fpIn into image, echoing each setting as it
// is read and converted; a refusal ends the reading there. True when the
// whole script converted.
bool Convert(std::FILE *fpIn, const char *path, Image &image)
{
    Script script{};
    Script_init(script, fpIn);
    Script_given given{};
    Script_start(script, given);
    Convert_result result{};
    while (!Convert_refused(result) && Script_next(script, given)) {
        Convert_value value = Script_value(given.items[given.count - 1]);
        result = Convert_setting(image, given.count - 1, value);
        Console_setting(stdout, value, result);
    }
    if (Convert_refused(result))
        return false;
    Console_ending(stdout, given);
    if (given.ending == ENDING_READ_ERROR)
        std::printf("\nError in reading file: %s", path);
    return Script_complete(given);
}

} // namespace

int main(int argc, char *argv[])
{
    // With no console to report to, the run still writes its file, then
    // fails: a console whose reader has gone is a failed write, not a signal
    // that ends the run before the file is written.
    std::signal(SIGPIPE, SIG_IGN);
    unsigned closed = 0;
    if (int status = 0; Cli_begin("trosket", "usage: trosket SCRIPT OUTPUT\n", argc, argv, status, &closed))
        return status;
    bool consoleClosed = (closed & STREAM_OUT_CLOSED) != 0;
    if (argc < 3)
        return usage();
    std::printf("\nVelmar Conversion Utility ver: %d.%d \n", VERSION_MAJOR, VERSION_MINOR);

    // The reader folds CR LF itself, so the script is read byte for byte.
    std::FILE *fpIn = std::fopen(argv[1], "rb");
    if (fpIn == nullptr)
        return Fail_open(argv[1]);
    if (Same_file(fpIn, argv[2]) || Same_file(stdout, argv[2])) {
        std::fclose(fpIn);
        return Fail_open(argv[2]);
    }
    std::FILE *fpOut = std::fopen(argv[2], "wb");
    if (fpOut == nullptr) {
        std::fclose(fpIn);
        return Fail_open(argv[2]);
    }

    Image image{};
    Image_init(image);
    bool converted = Convert(fpIn, argv[1], image);
    std::fclose(fpIn);

    // What was accepted before a refusal is written all the same.
    bool written = Image_write(image, fpOut);
    written = std::fclose(fpOut) == 0 && written;
    if (!written)
        std::printf("\nError in writing file: %s", argv[2]);
    bool console = std::fclose(stdout) == 0 && !consoleClosed;
    return converted && written && console ? 0 : -1;
}
