// Reading a record file back: one line per MAC block or record, a JSON
// document, or a factory-default script that converts back into the file.
#pragma once

#include <cstddef>
#include <cstdio>
#include <span>

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

// The verdict of Dump_file on the record file open in fp, printing nothing:
// DUMP_OK; DUMP_MALFORMED with the offset of the record at fault in *offset
// and its words ("checksum 0x12, expected 0x13") in text, NUL-ended and cut
// to fit; or DUMP_READ_ERROR.
Dump_status Dump_verdict(std::FILE *fp, std::size_t *offset, std::span<char> text);
