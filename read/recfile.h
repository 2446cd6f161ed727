// Reading a record file, once: at most the longest record file there can be
// and one byte more, into a buffer of fixed size; then its reading (with or
// without the MAC block), its records, and its verdict, a fault as data.
// Used by recdump and recclaim; no heap.
#pragma once

#include "fault.h"
#include "settings.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>

// The rule that a malformed record file breaks, at one record.
enum Read_rule : std::uint8_t {
    MALFORMED_NONE,         // every record is well formed
    MALFORMED_HEADER_SHORT, // the file ends inside a record's header
    MALFORMED_TYPE,         // a type number that no record carries
    MALFORMED_DATA_SHORT,   // the file ends inside a record's data
    MALFORMED_CHECKSUM,     // the checksum is not the XOR of the data
    MALFORMED_NO_ZERO,      // a text of types 10 to 13 that does not end in 0x00
    MALFORMED_TOO_LONG,     // a record that ends past RECORD_FILE_MAX bytes
};

// A record file's fault: where, the rule, and what its words give.
struct Read_fault {
    Read_rule rule;
    std::size_t offset;    // the record at fault
    std::uint8_t type;     // its type byte, once its header is there
    std::uint8_t len;      // its N, once its header is there
    std::size_t got;       // a record cut short: the bytes of its header or data there are
    std::uint8_t stored;   // MALFORMED_CHECKSUM: the checksum as stored
    std::uint8_t computed; // and the XOR of the data
};

// A record file as read, and how it reads.
struct Recfile {
    std::array<std::uint8_t, RECORD_FILE_MAX + 1> bytes;
    std::size_t size; // bytes read; RECORD_FILE_MAX + 1 when the file is longer than any record file
    bool hasBlock;    // it is read with the MAC block at offset 0
    std::size_t end;  // the end of its last well-formed entry: its size, or the record at fault
    Read_fault fault; // MALFORMED_NONE when it is well formed
};

// The MAC block or a record, as the reading of a file gives it.
struct Read_entry {
    std::size_t offset;
    unsigned type;                      // the type number; 1 for the MAC block
    unsigned len;                       // N as stored; 7, its length byte, for the MAC block
    std::span<const std::uint8_t> data; // the address, or the record's data
    bool last;                          // the file ends with it
};

// Reads at most into.size() bytes of fp, from where it stands, in one go,
// got of them. The stream, not read from before, is read unbuffered, so
// that no byte past them is taken from the file. False, with fault naming
// path and the system's error, when the stream fails.
bool Read_bounded(std::FILE *fp, const char *path, std::span<std::uint8_t> into, std::size_t &got, Fault &fault);

// Reads the record file open in fp, from where it stands, and judges it: a
// file is read once, and no further than RECORD_FILE_MAX bytes and one. A
// malformed file is read well: its verdict is file.fault. False, with fault
// naming path, when the stream fails.
bool Recfile_read(std::FILE *fp, const char *path, Recfile &file, Fault &fault);

// Judges the file.size bytes of file.bytes, as Recfile_read does. The block
// counts when it is valid and the records after it reach the end of the
// file; when neither reading does, the one that gets further counts, so that
// the fault named is the one that broke the file.
void Recfile_judge(Recfile &file);

// The bytes of the file as read: the whole file when it is well formed.
std::span<const std::uint8_t> Recfile_bytes(const Recfile &file);

// The next entry of the file's reading into entry: the MAC block first when
// it is read with one, then each well-formed record. at starts at 0 and
// moves on; false after the last.
bool Recfile_next(const Recfile &file, std::size_t &at, Read_entry &entry);

// The characters of a text entry: those of types 10 to 13 without their
// 0x00 ending.
std::string_view Read_text(const Read_entry &entry);

// The words of a fault, as every program gives them ("checksum 0x5a,
// expected 0x3b"), into out, NUL-ended and cut to fit.
void Read_faultWords(const Read_fault &fault, char *out, std::size_t size);

// The refusal of a malformed file: where "offset N", why the words of its
// fault. Returns false.
bool Recfile_refuse(const Recfile &file, Fault &fault);
