// The reader driven on a seekable stream that fails from a given offset on:
// a read error is never taken for the end of the file or a malformed record.
#include "dump.h"
#include "harness.h"

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

int Failing_seek(void *cookie, off64_t *offset, int whence)
{
    auto *f = static_cast<Failing *>(cookie);
    f->at = whence == SEEK_SET ? *offset : f->at + *offset;
    *offset = f->at;
    return 0;
}

TEST(Dump, ReadErrorWhereverItStrikes)
{
    const std::string withBlock = From_hex("16 07 00 11 22 33 44 55") + Record(2, "abc") + Record(3, "\x06");
    const std::string noBlock = Record(2, "abc") + Record(3, "\x06");
    struct Case {
        std::string bytes;
        off64_t failAt;
    };
    const Case cases[] = {
        {withBlock, 0},  // the block
        {withBlock, 10}, // the walks from offset 0 and after the block
        {withBlock, 15}, // the second record, last walk
        {noBlock, 2},    // the first eight bytes
        {noBlock, 9},    // the walk from offset 0, in a record's data
    };
    for (Dump_format format : {DUMP_TEXT, DUMP_JSON, DUMP_SCRIPT}) {
        for (const Case &c : cases) {
            Failing failing{c.bytes, 0, c.failAt};
            cookie_io_functions_t io{Failing_read, nullptr, Failing_seek, nullptr};
            std::FILE *fp = fopencookie(&failing, "r", io);
            ASSERT_NE(fp, nullptr);
            std::setvbuf(fp, nullptr, _IONBF, 0);
            std::FILE *sink = std::fopen("/dev/null", "w");
            EXPECT_EQ(Dump_file(fp, sink, sink, format), DUMP_READ_ERROR) << c.failAt << " in format " << format;
            std::fclose(sink);
            std::fclose(fp);
        }
    }
}

} // namespace
