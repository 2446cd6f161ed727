// Fuzz target: any bytes as a record file, read once by read/ and given in
// the listing, the JSON document and the script. Besides surviving: no more
// than the longest record file and one byte is read, a well-formed file
// reads whole, and whenever the bytes are taken as a script, that script,
// read and converted by the conversion core, must give back the same bytes.
#include "convert.h"
#include "dump.h"
#include "require.h"
#include "script.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A script of 15 settings of the longest values is well below this.
std::array<char, 16384> script;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static std::FILE *sink = std::fopen("/dev/null", "w");
    if (size == 0)
        return 0; // a stream of no bytes cannot be opened on memory
    std::FILE *fp = fmemopen(const_cast<std::uint8_t *>(data), size, "r");
    if (fp == nullptr)
        return 0;
    static Recfile file;
    static Fault fault;
    Require(Recfile_read(fp, "fuzz", file, fault));
    std::fclose(fp);
    Require(file.size == std::min(size, RECORD_FILE_MAX + 1) && std::memcmp(file.bytes.data(), data, file.size) == 0);
    bool whole = file.fault.rule == MALFORMED_NONE;
    Require(whole == (file.end == size) && (!whole || size <= RECORD_FILE_MAX));
    Dump_listing(file, sink);
    Dump_json(file, sink);

    std::FILE *out = fmemopen(script.data(), script.size(), "w");
    Require(out != nullptr);
    bool given = Dump_script(file, out, fault);
    std::fflush(out);
    long length = std::ftell(out);
    std::fclose(out);
    Require(length >= 0 && static_cast<std::size_t>(length) < script.size());
    Require(given ? whole : length == 0);
    if (!given)
        return 0;

    // The round trip: the script converts, without a refusal, into the bytes.
    Require_converts_to({script.data(), static_cast<std::size_t>(length)}, data, size);
    return 0;
}
