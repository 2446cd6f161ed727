// What the stages of a batch hand on to each other. A batch runs as a
// pipeline, each stage taking what it reads and returning what it makes:
//
//   request   the command line                            request.*
//   template  the template, read once and converted       table.*
//   units     the table's rows, or a count; the addresses
//             given, and the range's foreseen              table.*, issue.*
//   secrets   the -g secrets of every unit                 secret.*
//   checks    every check, and each image's SHA-256        checks.*
//   issue     the ledger's transaction                     issue.*
//   write     the images and the manifest                  write.*
//   finish    the batch marked finished in the ledger      main.cpp
//
// A unit's script, value by value, is made where it is needed (values.*).
// The inputs' faults are gathered as they are found, each with its place,
// and reported together in table order.
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

// What the command line asks for.
struct Request {
    const char *templatePath;
    const char *unitsPath;  // -u; nullptr without a table
    const char *outdir;
    const char *ledgerPath; // -l; nullptr without a ledger
    const char *audit;      // -V's folder, or nullptr
    std::size_t count;      // -n; 0 with a table
    bool sharedSecrets;     // -S
    bool reissue;           // -R: serials of earlier batches may be issued again
    bool ranged;            // -m gives range
    Mac_range range;
    std::vector<unsigned> generate; // -g, in order
    std::size_t addresses;  // -a: the addresses of each unit, a power of two; 0 read as 1
    long long lease;        // on a site's ledger (a LOCAL), its lease: the range is within it; else 0
};

struct Template {
    std::string bytes;  // as read, once
    Digest sha256;      // of bytes
    Script_given given; // its settings
    bool hostLineEnd;   // a unit's own host name takes a line end (the template's has one)
};

struct Column {
    std::string name;
    unsigned type; // the setting it gives, or 0 for a column carried to the manifest
};

// Where a unit's address comes from.
enum Address_from : std::uint8_t {
    ADDRESS_NONE,     // none yet: the range's, if there is one
    ADDRESS_TABLE,    // its table cell
    ADDRESS_TEMPLATE, // the template's, in a batch of one
    ADDRESS_RANGE,    // the -m range's: foreseen before the ledger's lock, settled inside it
    ADDRESS_REFUSED,  // its table cell is no address
};

// A unit's address is the first (the base) of its run of Units::addresses,
// aligned to their number; its image holds the base.
struct Unit {
    long line;           // the table line its row starts on; 0 without a table
    Address_from from;
    Mac_address mac;     // from TABLE, TEMPLATE or RANGE: the base
};

// Whether the unit has an address.
constexpr bool Unit_hasMac(const Unit &unit)
{
    return unit.from == ADDRESS_TABLE || unit.from == ADDRESS_TEMPLATE || unit.from == ADDRESS_RANGE;
}

struct Units {
    const char *path;     // the table as messages name it; nullptr without one
    std::vector<Column> columns;
    std::vector<std::vector<std::string>> rows; // one per unit of a table, a cell per column
    std::vector<Unit> list;
    std::size_t serial;   // the serial column, or columns.size() when there is none
    std::size_t addresses; // of each unit (-a), from 1
};

// How many addresses the unit has: its run's, or none yet.
constexpr std::size_t Unit_macs(const Units &units, const Unit &unit)
{
    return Unit_hasMac(unit) ? units.addresses : 0;
}

// The last of the unit's addresses.
constexpr Mac_address Unit_last(const Units &units, const Unit &unit)
{
    return {unit.mac.bits + units.addresses - 1};
}

// Every unit's -g secrets, back to back, Secret_length each.
struct Secrets {
    std::vector<unsigned> types; // -g
    std::string text;
    Random_pool random;          // the kernel's random bytes, not yet used
};

// A fault of the inputs, with its place in the report: 0 for the template
// and the command line, else its table line (without a table, its unit). A
// table may give a fault for each of millions of units: each is kept as its
// texts, not as a Fault (2 KiB, fixed in size), and made into one when it
// is reported.
struct Batch_fault {
    std::size_t order;
    std::string where;
    std::string why;
};
using Faults = std::vector<Batch_fault>;

// The length of a generated secret of setting type.
std::size_t Secret_length(unsigned type);

// The unit's secret of the g-th -g setting.
std::string_view Unit_secret(const Secrets &secrets, std::size_t unit, std::size_t g);
std::span<char> Unit_secretRoom(Secrets &secrets, std::size_t unit, std::size_t g);

// The unit's cell of the table's serial column, or nothing.
std::string_view Serial_of(const Units &units, std::size_t unit);

// Another unit as a message names it: "line 17" or "unit 17".
std::string Unit_ref(const Units &units, std::size_t unit);

// Adds the fault "PLACE: NAME: WHY" at order.
void Place_fault(Faults &faults, std::size_t order, const std::string &place, const char *name,
                 const std::string &why);

// The same for a fault of unit (from 0): "units.csv:17" or "unit 17".
void Unit_fault(Faults &faults, const Units &units, std::size_t unit, const char *name, const std::string &why);

// Prints the faults, a line each, in their order (the order in which they
// were found, where it is the same); returns 1.
int Faults_report(Faults &faults);

// The address as 00:50:c2:a1:b2:c3.
std::string Mac_text(Mac_address mac);
