// A production batch: what the command line asks for, the template, the
// table's columns and rows, each unit's address, secrets and image SHA-256,
// and the faults found, each with its place. The other files of recbatch
// each do one step over it: table (template and table → units), values (a
// unit's script, value by value), checks (every check before anything is
// issued), issue (the ledger's transaction), write (OUTDIR) and manifest.
#pragma once

#include "digest.h"
#include "fault.h"
#include "mac.h"
#include "script.h"
#include "secret.h"

#include <array>
#include <cstddef>
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
struct Input_fault {
    std::size_t order; // 0 for the template and the command line, else its table line (without a table, its unit)
    std::string text;
};

// What is kept of a unit from its checks to its file: its address and the
// SHA-256 of its image. Its image is converted again when it is written.
struct Unit {
    long line;       // the table line its row starts on; 0 without a table
    Mac_address mac;
    bool hasMac;     // mac is the unit's address
    bool macRefused; // its table cell is no address
    bool fromRange;  // mac is the -m range's: foreseen before the ledger's lock, settled inside it
    bool settled;    // sha256 is that of its image with mac
    Digest sha256;
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
    bool templateMac;          // the one unit's address is the template's
    std::vector<Column> columns;
    std::vector<std::vector<std::string>> rows; // one per unit of a table, a cell per column
    std::vector<Unit> units;
    std::string secrets;       // every unit's -g secrets, back to back, Secret_length each
    Random_pool random;        // the kernel's random bytes, not yet used
    std::vector<Input_fault> faults;
    Fault ledgerFault; // why the ledger failed
};

// The length of a generated secret of setting type.
std::size_t Secret_length(unsigned type);

// The unit's secret of the g-th -g setting, in Batch::secrets.
std::string_view Unit_secret(const Batch &batch, std::size_t unit, std::size_t g);
std::span<char> Unit_secretRoom(Batch &batch, std::size_t unit, std::size_t g);

// The unit's cell of the table's serial column, or nothing.
std::string_view Serial_of(const Batch &batch, std::size_t unit);

// Where a fault of unit was found, for its message: "units.csv:17" or "unit 17".
std::string Unit_place(const Batch &batch, std::size_t unit);

// Another unit as a message names it: "line 17" or "unit 17".
std::string Unit_ref(const Batch &batch, std::size_t unit);

// Adds "recbatch: PLACE: NAME: WHY" to the faults.
void Batch_fault(Batch &batch, const std::string &place, const char *name, const std::string &why);

// The same for a fault of the table line at line, in table order.
void Line_fault(Batch &batch, long line, const char *name, const std::string &why);

// The same for a fault of unit (from 0), placed by Unit_place.
void Unit_fault(Batch &batch, std::size_t unit, const char *name, const std::string &why);

// The address as 00:50:c2:a1:b2:c3.
std::string Mac_text(Mac_address mac);
