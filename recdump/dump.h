// Reading a record file back: one line per MAC block or record.
#pragma once

#include <cstdio>

enum Dump_status {
    DUMP_OK,         // every record is well formed
    DUMP_MALFORMED,  // a record is not; its fault is reported on err
    DUMP_READ_ERROR, // the stream failed; nothing is reported for it
};

// Dumps the record file open in fp, which must be seekable, to out. The
// lines of the records before a fault come first, then its one message.
Dump_status Dump_file(std::FILE *fp, std::FILE *out, std::FILE *err);
