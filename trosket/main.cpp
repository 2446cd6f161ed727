// trosket: converts a factory-default script into a record file.
#include "convert.h"
#include "image.h"

#include <cstdio>
#include <sys/stat.h>

namespace {

constexpr int VERSION_MAJOR = 2;
constexpr int VERSION_MINOR = 8;

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
// writing would empty the script before it is read.
bool Same_file(std::FILE *fp, const char *path)
{
    struct stat opened {};
    struct stat named {};
    if (fstat(fileno(fp), &opened) != 0 || stat(path, &named) != 0)
        return false;
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3)
        return usage();
    std::printf("\nVelmar Conversion Utility ver: %d.%d \n", VERSION_MAJOR, VERSION_MINOR);

    std::FILE *fpIn = std::fopen(argv[1], "r");
    if (fpIn == nullptr)
        return Fail_open(argv[1]);
    if (Same_file(fpIn, argv[2])) {
        std::fclose(fpIn);
        return Fail_open(argv[2]);
    }
    std::FILE *fpOut = std::fopen(argv[2], "wb");
    if (fpOut == nullptr) {
        std::fclose(fpIn);
        return Fail_open(argv[2]);
    }

    static Image image;
    Image_init(image);
    Convert_status status = Convert_script(fpIn, stdout, image);
    std::fclose(fpIn);
    if (status == CONVERT_READ_ERROR)
        std::printf("\nError in reading file: %s", argv[1]);

    // What was accepted before a refusal is written all the same.
    bool written = Image_write(image, fpOut);
    written = std::fclose(fpOut) == 0 && written;
    if (!written)
        std::printf("\nError in writing file: %s", argv[2]);
    return status == CONVERT_DONE && written ? 0 : -1;
}
