// The conversion driven on a stream that fails partway: a read error is never
// taken for the end of the script.
#include "convert.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>

namespace {

// Serves its text, then fails every further read.
ssize_t Read_then_fail(void *cookie, char *buf, size_t size)
{
    auto *text = static_cast<std::string *>(cookie);
    if (text->empty())
        return -1;
    size_t n = std::min(size, text->size());
    std::memcpy(buf, text->data(), n);
    text->erase(0, n);
    return static_cast<ssize_t>(n);
}

TEST(Convert, ReadErrorWhereverItStrikes)
{
    struct Case {
        std::string text;       // served before the failure
        std::size_t recordBytes; // what the image holds by then
    };
    const Case cases[] = {
        {"", 0},             // type number
        {"3 6\n", 4},        // type number after a record
        {"1 ", 0},           // MAC address
        {"2 ", 0},           // token
        {"3 ", 0},           // integer
        {"6 ", 0},           // WEP key
        {"7 ", 0},           // pass phrase
        {"10 Ac", 0},        // rest of line
        {"14 node", 0},      // line
        {"20 rest", 0},      // the skipped line of an unknown type
    };
    for (const Case &c : cases) {
        std::string text = c.text;
        cookie_io_functions_t io{Read_then_fail, nullptr, nullptr, nullptr};
        std::FILE *fpIn = fopencookie(&text, "r", io);
        ASSERT_NE(fpIn, nullptr);
        std::setvbuf(fpIn, nullptr, _IONBF, 0);
        std::FILE *console = std::fopen("/dev/null", "w");
        static Image image;
        Image_init(image);
        EXPECT_EQ(Convert_script(fpIn, console, image), CONVERT_READ_ERROR) << c.text;
        EXPECT_EQ(Image_bytes(image).size(), c.recordBytes) << c.text;
        std::fclose(console);
        std::fclose(fpIn);
    }
}

} // namespace
