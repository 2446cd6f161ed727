// The manifest of a batch, manifest.csv: one row per unit for label
// printers and the plant's records, written by recbatch, checked by its
// audit (-V) and read by reclabel. Its columns are named here alone, in
// this order:
//
//   unit     the unit's number in its batch, from 1
//   ...      the table's other columns (serial, ...), in table order
//   mac      the unit's address, 00:50:c2:a1:b2:c3: with several (recbatch
//            -a), the first of them (the base), which its image holds
//   last-mac the last of the unit's addresses, in a batch of units of
//            several addresses only (their run from mac, consecutive)
//   ...      a column per setting of the units' scripts, in script order,
//            named as the setting; the value as the script gives it (a host
//            name without its line end), empty where the unit has none
//   file     the unit's image, <mac>.bin with 12 lower-case hex digits
//   sha256   the SHA-256 of the image, 64 lower-case hex digits
//   wifi     the Wi-Fi network text of the label's QR code (Manifest_wifi)
//
// CSV as csv/ writes it (RFC 4180, CR LF rows); every row ends in a line
// end, so that a manifest cut short is known.
#pragma once

#include "csv.h"
#include "fault.h"
#include "mac.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char *MANIFEST_NAME = "manifest.csv";
inline constexpr const char *MANIFEST_UNIT = "unit";
inline constexpr const char *MANIFEST_MAC = "mac";
inline constexpr const char *MANIFEST_LAST_MAC = "last-mac";
inline constexpr const char *MANIFEST_FILE = "file";
inline constexpr const char *MANIFEST_SHA256 = "sha256";
inline constexpr const char *MANIFEST_WIFI = "wifi";
// A column of the table that the ledger records too, and labels print.
inline constexpr const char *MANIFEST_SERIAL = "serial";

// The columns that the manifest makes itself, which a table cannot carry.
inline constexpr std::array<const char *, 6> MANIFEST_OWN{MANIFEST_UNIT,   MANIFEST_MAC,  MANIFEST_LAST_MAC,
                                                         MANIFEST_FILE,   MANIFEST_SHA256, MANIFEST_WIFI};

// No such column.
inline constexpr std::size_t MANIFEST_NONE = static_cast<std::size_t>(-1);

// The file of a unit's image: its address in 12 lower-case hex digits and
// ".bin".
std::string Manifest_file(Mac_address mac);

// Whether name is the file of an image, as Manifest_file names it (not in
// upper-case hex); mac is its address.
bool Manifest_isFile(std::string_view name, Mac_address &mac);

// The Wi-Fi network text that label software turns into a QR code:
// WIFI:T:WPA;S:<ssid>;P:<pass phrase>;; (T:WEP with the key when there is
// no pass phrase, T:nopass with neither), \ ; , : and " escaped.
std::string Manifest_wifi(std::string_view ssid, std::string_view passphrase, std::string_view key);

// ---- writing

// The columns that a batch decides: those between unit and mac, and those
// between mac and file.
struct Manifest_layout {
    std::vector<std::string_view> carried; // the table's other columns
    std::vector<unsigned> types;           // the setting of each value column
    bool lastMac;                          // units have several addresses: the last-mac column
};

// One unit's row.
struct Manifest_unit {
    std::size_t number;                    // from 1
    std::vector<std::string_view> carried; // a cell per carried column
    Mac_address mac;
    Mac_address last;                      // its last address, with lastMac
    std::vector<std::string_view> values;  // a cell per value column, "" where the unit has none
    std::string_view sha256;               // of its image, 64 hex digits
};

// The header, then a row per unit; its wifi cell is made from the unit's
// last ssid, pass phrase and WEP key. The caller checks the stream once at
// its end.
void Manifest_writeHeader(std::FILE *out, const Manifest_layout &layout);
void Manifest_writeRow(std::FILE *out, const Manifest_layout &layout, const Manifest_unit &unit);

// ---- reading

// A fault of a manifest read, with its line (0: the manifest as a whole):
// where is "PATH:LINE", why "COLUMN: WHY". A manifest of millions of rows
// may give a fault for each: each is kept as its texts, not as a Fault
// (2 KiB, fixed in size); Manifest_faultOf makes the Fault to print.
struct Manifest_fault {
    long line;
    std::string where;
    std::string why;
};

Fault Manifest_faultOf(const Manifest_fault &found);

struct Manifest_row {
    long line; // the line it starts on
    std::vector<std::string> cells;
};

struct Manifest_reader {
    Csv_reader csv;
    const char *path; // as messages name the manifest
    std::vector<std::string> header;
    std::uint32_t unmatched; // the settings reported as held by an image with no column
};

// Reads the header of the manifest open in fp. False when reading fails
// (fault says why); the header's faults (not CSV, none, a column of the
// manifest's own named twice) are added to faults, and then the header is
// empty.
bool Manifest_start(Manifest_reader &reader, std::FILE *fp, const char *path, std::vector<Manifest_fault> &faults,
                    Fault &fault);

// Reads the next row of the header's width that ends in a line end; more is
// false at the end of the manifest. A row of another width or without its
// line end is a fault and passed over; a row that is not CSV is a fault and
// ends the reading. False when reading fails (fault says why).
bool Manifest_next(Manifest_reader &reader, Manifest_row &row, bool &more, std::vector<Manifest_fault> &faults,
                   Fault &fault);

// Adds the fault of the manifest at line (0: as a whole) in column, why.
void Manifest_add(std::vector<Manifest_fault> &faults, const Manifest_reader &reader, long line, std::string_view column,
                  const std::string &why);

// The first column of that name, or MANIFEST_NONE.
std::size_t Manifest_column(const Manifest_reader &reader, std::string_view name);

// Whether the row's wifi cell agrees with its ssid, passphrase and wep-key
// cells, where the manifest has those columns: the network's name, and its
// key (the pass phrase, else the WEP key, else none); false with a fault
// naming the row's line and the wifi column when not.
bool Manifest_wifiAgrees(const Manifest_reader &reader, const Manifest_row &row, Fault &fault);

// ---- checking a row against its unit

// One record of a unit's image: its type and its data as the file holds it.
struct Manifest_record {
    unsigned type;
    std::span<const std::uint8_t> data;
};

// What a unit's row must give: its number, address, image SHA-256 and
// serial (from the ledger), and its values and Wi-Fi text, made from its
// image's records.
struct Manifest_expected {
    std::size_t number;
    Mac_address mac;
    Mac_address last;                         // checked where the manifest has a last-mac column
    std::string_view sha256;
    std::string_view serial;                  // checked when the manifest has a serial column
    std::span<const Manifest_record> records; // the image's records
    bool hasImage;                            // else its values and Wi-Fi text are not checked
};

// Whether the header has every column that the manifest makes itself
// (last-mac only when lasts is true: units of several addresses), and a
// serial column when serials is true; each one missing is a fault of line 1.
bool Manifest_hasColumns(const Manifest_reader &reader, bool serials, bool lasts, std::vector<Manifest_fault> &faults);

// Adds a fault for each cell of row that is not as expected: unit, mac,
// last-mac, file, sha256 and serial; each value column against the image's record of
// its setting (the n-th column of a setting against its n-th record; a
// column without one is empty); the wifi cell against the Wi-Fi text made
// from the records. A setting that the image holds and no column gives is a
// fault of the header, told once.
void Manifest_check(Manifest_reader &reader, const Manifest_row &row, const Manifest_expected &expected,
                    std::vector<Manifest_fault> &faults);
