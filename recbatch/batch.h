// A production batch: the template, the table of units, each unit's address
// and secrets, the checks made before anything is written or issued, and
// each unit's image, converted by the converter's own code.
#pragma once

#include "convert.h"
#include "digest.h"
#include "mac.h"
#include "script.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The settings that can be generated per unit with -g.
inline constexpr std::array<unsigned, 3> SECRET_TYPES{ZOL_FACT_DFLT_PASSPHRASE_ID, ZOL_FACT_DFLT_PASSWORD_ID,
                                                      ZOL_FACT_DFLT_WEP_KEY_ID};

// The manifest's own columns, which a table column may not be named.
inline constexpr std::array<const char *, 5> MANIFEST_COLUMNS{"unit", "mac", "file", "sha256", "wifi"};

struct Column {
    std::string name;
    unsigned type; // the setting it gives, or 0 for a column carried to the manifest
};

// A refusal, a line for standard error; they are reported in table order.
struct Fault {
    std::size_t order; // 0 for the template and the command line, else its table line (without a table, its unit)
    std::string text;
};

struct Unit {
    long line;                       // the table line its row starts on; 0 without a table
    std::vector<std::string> cells;  // its row, one cell per column
    Mac_address mac;
    bool hasMac;
    bool macRefused;                    // its table cell is no address
    std::vector<std::string> generated; // one per -g setting, in -g order
    std::size_t imageAt;                // its image in Batch::images, once checked
    std::size_t imageLen;
    Digest sha256;                      // of its image
};

struct Batch {
    // What the command line asks for.
    const char *templatePath;
    const char *unitsPath; // nullptr without a table
    const char *outdir;
    const char *ledgerPath; // nullptr without a ledger
    bool sharedSecrets;     // -S
    bool reissue;           // -R: serials of earlier batches may be issued again
    bool hasBlock;          // -m
    Mac_range range;
    std::vector<unsigned> generate; // -g

    std::string templateBytes; // the template as read, once
    Digest templateSha256;     // of templateBytes
    Script_given given;        // the template's settings
    std::vector<Column> columns;
    std::vector<Unit> units;
    std::vector<Fault> faults;
    std::vector<std::uint8_t> images;    // every unit's image, back to back
    std::vector<unsigned> manifestTypes; // the setting of each manifest value column
};

// One value of a unit's script.
struct Unit_value {
    Convert_value value; // as the converter takes it: a host name with its line end
    std::size_t slot;    // its manifest value column
    bool fromTemplate;   // the template's value, not the unit's own
};

inline constexpr std::size_t UNIT_VALUES_MAX = 64;

// The most bytes a template may hold: far more than any script of fifteen
// settings, which is read into memory whole.
inline constexpr std::size_t TEMPLATE_MAX = 1 << 20;

struct Unit_values {
    std::array<Unit_value, UNIT_VALUES_MAX> items;
    std::size_t count;
    Mac_hexText macText;  // the unit's address, when it gives one
    std::string hostLine; // the unit's own host name with its line end
};

// Where a fault of unit was found, for its message: "units.csv:17" or "unit 17".
std::string Unit_place(const Batch &batch, std::size_t unit);

// The unit's cell of the table's serial column, or nothing.
std::string_view Serial_of(const Batch &batch, const Unit &unit);

// Another unit as a message names it: "line 17" or "unit 17".
std::string Unit_ref(const Batch &batch, std::size_t unit);

// Adds "recbatch: PLACE: NAME: WHY" to the faults.
void Batch_fault(Batch &batch, const std::string &place, const char *name, const std::string &why);

// The same for a fault of the table line at line, in table order.
void Line_fault(Batch &batch, long line, const char *name, const std::string &why);

// The same for a fault of unit (from 0), placed by Unit_place.
void Unit_fault(Batch &batch, std::size_t unit, const char *name, const std::string &why);

// Reads the template once into memory (from standard input for "-"),
// converts it and lists its settings; false when it is refused (a fault) or
// cannot be read (readError, errno set).
bool Batch_template(Batch &batch, bool &readError);

// The template's address: the last that it gives, as the converter takes
// the last. False when it gives none.
bool Batch_templateMac(const Batch &batch, Mac_address &mac);

enum Table_result { TABLE_OK, TABLE_BAD, TABLE_READ_ERROR };

// Reads the table of units from fp: its header names the columns, each row
// is a unit. What cannot be used is a fault.
Table_result Batch_table(Batch &batch, std::FILE *fp);

// Gives each unit its address from its table cell, 12 hex digits or the
// colon form, an address a device can have. Returns the units that need one
// from the -m range.
std::size_t Batch_tableAddresses(Batch &batch);

// The unit's script, value by value, in script order.
void Batch_values(const Batch &batch, const Unit &unit, Unit_values &values);

// Checks every unit: its values, address and secrets, and that its image
// converts; the images are kept, with their SHA-256.
void Batch_check(Batch &batch);

// The manifest's header and rows, written as CSV to out.
void Batch_manifest(const Batch &batch, std::FILE *out);

// The address as 00:50:c2:a1:b2:c3.
std::string Mac_text(Mac_address mac);
