// The record file reader driven on a stream that fails from a given offset
// on: a read error is never taken for the end of the file or a malformed
// record.
#include "harness.h"
#include "recfile.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>

namespace {

struct Failing {
    std::string bytes;
    off64_t at;
    off64_t failAt;
};

ssize_t Failing_read(void *cookie, char *buf, size_t size)
{
    auto *f = static_cast<Failing *>(cookie);
    if (f->at >= f->failAt)
        return -1;
    off64_t end = std::min<off64_t>({f->at + static_cast<off64_t>(size), f->failAt,
                                     static_cast<off64_t>(f->bytes.size())});
    std::memcpy(buf, f->bytes.data() + f->at, static_cast<size_t>(end - f->at));
    ssize_t n = static_cast<ssize_t>(end - f->at);
    f->at = end;
    return n;
}

TEST(Read, ReadErrorWhereverItStrikes)
{
    const std::string withBlock = From_hex("16 07 00 11 22 33 44 55") + Record(2, "abc") + Record(3, "\x06");
    const std::string noBlock = Record(2, "abc") + Record(3, "\x06");
    struct Case {
        std::string bytes;
        off64_t failAt;
    };
    const Case cases[] = {
        {withBlock, 0},  // the block
        {withBlock, 10}, // a record's header
        {withBlock, 15}, // the last record
        {noBlock, 2},    // the first eight bytes
        {noBlock, 9},    // a record's data
    };
    for (const Case &c : cases) {
        Failing failing{c.bytes, 0, c.failAt};
        cookie_io_functions_t io{Failing_read, nullptr, nullptr, nullptr};
        std::FILE *fp = fopencookie(&failing, "r", io);
        ASSERT_NE(fp, nullptr);
        Recfile file{};
        Fault fault{};
        EXPECT_FALSE(Recfile_read(fp, "f.bin", file, fault)) << c.failAt;
        EXPECT_EQ(std::string(fault.where) + " " + std::to_string(fault.errnum), "f.bin " + std::to_string(EIO));
        std::fclose(fp);
    }
}

} // namespace
