// Fuzz target: any bytes as a table of units. Besides surviving, every row
// the reader takes must read back the same when written with the writer's
// quoting, so that the manifest carries a table's cells untouched.
#include "csv.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0; // a stream of no bytes cannot be opened on memory
    std::FILE *fp = fmemopen(const_cast<std::uint8_t *>(data), size, "r");
    if (fp == nullptr)
        return 0;
    Csv_reader reader{};
    Csv_init(reader, fp);
    std::vector<std::string> fields;
    std::vector<std::string> again;
    const char *why = nullptr;
    long line = 0;
    while (Csv_readRow(reader, fields, &why) == CSV_ROW) {
        if (fields.empty() || reader.rowLine <= line)
            std::abort();
        line = reader.rowLine;
        char *text = nullptr;
        std::size_t len = 0;
        std::FILE *out = open_memstream(&text, &len);
        Csv_writeRow(out, {fields.begin(), fields.end()});
        std::fclose(out);
        // Read back as a later row, where no byte order mark is skipped.
        std::FILE *in = fmemopen(text, len, "r");
        Csv_reader back{};
        Csv_init(back, in);
        back.started = true;
        if (Csv_readRow(back, again, &why) != CSV_ROW || again != fields)
            std::abort();
        std::fclose(in);
        std::free(text);
    }
    std::fclose(fp);
    return 0;
}
