// The conversion driven on a stream that fails partway: a read error is never
// taken for the end of the script.
#include "convert.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <sys/types.h>

namespace {

std::string Repeat15(const std::string &s)
{
    std::string out;
    for (int i = 0; i < 15; ++i)
        out += s;
    return out;
}

// Serves its chunks in turn, an empty chunk as one failed read, and fails
// every read after the last.
ssize_t Read_chunks(void *cookie, char *buf, size_t size)
{
    auto *chunks = static_cast<std::vector<std::string> *>(cookie);
    if (chunks->empty() || chunks->front().empty()) {
        if (!chunks->empty())
            chunks->erase(chunks->begin());
        return -1;
    }
    std::string &text = chunks->front();
    size_t n = std::min(size, text.size());
    std::memcpy(buf, text.data(), n);
    text.erase(0, n);
    if (text.empty())
        chunks->erase(chunks->begin());
    return static_cast<ssize_t>(n);
}

TEST(Convert, ReadErrorWhereverItStrikes)
{
    struct Case {
        std::vector<std::string> chunks; // served before and after a failure
        std::size_t recordBytes;         // what the image holds by then
    };
    const Case cases[] = {
        {{""}, 0},                    // byte order mark
        {{"\xEF", ""}, 0},            // byte order mark cut by the failure
        {{"3 6\n"}, 4},               // type number after a record
        {{"1 "}, 0},                  // MAC address
        {{"2 "}, 0},                  // token
        {{"3 "}, 0},                  // integer
        {{"6 "}, 0},                  // WEP key
        {{"7 "}, 0},                  // pass phrase
        {{"10 Ac"}, 0},               // rest of line
        {{"14 node"}, 0},             // line
        {{"20 rest"}, 0},             // the skipped line of an unknown type
        {{"3 6 #"}, 4},               // a word that may end the script
        {{Repeat15("3 6\n")}, 60},    // what follows the last type number
        // One failed read, then the stream goes on: the failure is never
        // taken for the end of the value, here after a CR.
        {{"10 Acme\r", "", "\n"}, 0},
        {{"3 6\r", "", "\n"}, 0},
        {{"2 abc", "", "\n"}, 0},
    };
    for (const Case &c : cases) {
        std::vector<std::string> chunks = c.chunks;
        cookie_io_functions_t io{Read_chunks, nullptr, nullptr, nullptr};
        std::FILE *fpIn = fopencookie(&chunks, "r", io);
        ASSERT_NE(fpIn, nullptr);
        std::setvbuf(fpIn, nullptr, _IONBF, 0);
        std::FILE *console = std::fopen("/dev/null", "w");
        static Image image;
        Image_init(image);
        EXPECT_EQ(Convert_script(fpIn, console, image), CONVERT_READ_ERROR) << c.chunks[0];
        EXPECT_EQ(Image_bytes(image).size(), c.recordBytes) << c.chunks[0];
        std::fclose(console);
        std::fclose(fpIn);
    }
}

} // namespace
