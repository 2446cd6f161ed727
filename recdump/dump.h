// Reading a record file back: one line per MAC block or record, a JSON
// document, or a factory-default script that converts back into the file.
#pragma once

#include <cstdio>

enum Dump_status {
    DUMP_OK,         // every record is well formed (and, for a script, carried)
    DUMP_MALFORMED,  // a record is not, or no script can carry it; reported on err
    DUMP_READ_ERROR, // the stream failed; nothing is reported for it
};

enum Dump_format {
    DUMP_TEXT,   // a line per block or record
    DUMP_JSON,   // one JSON document
    DUMP_SCRIPT, // a script that converts into the same bytes
};

// Dumps the record file open in fp, which must be seekable and is read from
// its offset 0, to out. Text and JSON show the records before a fault, then
// report it; a script is printed only when the whole file can be one.
Dump_status Dump_file(std::FILE *fp, std::FILE *out, std::FILE *err, Dump_format format);
