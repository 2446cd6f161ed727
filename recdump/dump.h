// recdump's three forms of a record file that read/ has read: a line per
// MAC block or record, a JSON document, or a factory-default script that
// converts back into the file.
#pragma once

#include "fault.h"
#include "recfile.h"

#include <cstdio>

// The listing: a line per entry of the file's reading, up to its fault.
void Dump_listing(const Recfile &file, std::FILE *out);

// The JSON document: every entry up to the fault, then the verdict, with
// the fault's offset and words when the file is malformed.
void Dump_json(const Recfile &file, std::FILE *out);

// The script that converts into the file, written only when the whole file
// can be one; else false, with fault naming the entry that no script can
// give ("offset 0", "ssid: no script line can carry this value"). The file
// must be well formed.
bool Dump_script(const Recfile &file, std::FILE *out, Fault &fault);

// Each byte of bytes in format, with separator between them.
void Dump_bytes(std::FILE *out, std::span<const std::uint8_t> bytes, const char *format, const char *separator);
