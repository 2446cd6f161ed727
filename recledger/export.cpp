// export: every address of the ledger, with its history, for an MES or an
// ERP to import: CSV (RFC 4180), one row per event, or JSON lines, one
// object per address (-j). docs/ledger.md says what each column means.
// Streamed: an address is written as the ledger hands it on.
#include "cli.h"
#include "csv.h"
#include "find.h"
#include "json.h"
#include "query.h"
#include "recledger.h"

#include <cerrno>
#include <cstdio>
#include <stdio_ext.h>

namespace {

constexpr const char *HEADER[] = {"address", "batch", "unit",    "serial",  "image_sha256", "event",
                                  "time",    "who",   "station", "verdict", "differs_at",   "reason"};

// The address's rows: one per event, the address's columns on each; one
// with the event's columns empty when it has none.
void Csv_address(std::FILE *out, const Ledger_found &found)
{
    std::string mac = Mac_colons(found.mac).data();
    std::string batch = std::to_string(found.batch.id);
    std::string unit = std::to_string(found.unit);
    std::vector<std::string_view> fields{mac, batch, unit, found.serial, found.sha256, "", "", "", "", "", "", ""};
    if (found.history.empty())
        Csv_writeRow(out, fields);
    for (const Ledger_event &event : found.history) {
        bool readBack = event.kind == LEDGER_EVENT_READBACK;
        std::string differsAt = readBack && !event.verified ? std::to_string(event.differsAt) : "";
        fields[5] = Find_kindName(event.kind);
        fields[6] = event.when;
        fields[7] = event.who;
        fields[8] = event.station;
        fields[9] = readBack ? (event.verified ? "verified" : "failed") : "";
        fields[10] = differsAt;
        fields[11] = event.reason;
        Csv_writeRow(out, fields);
    }
}

void Json_address(std::FILE *out, const Ledger_found &found)
{
    std::fprintf(out, "{\"address\": \"%s\", \"batch\": %lld, \"unit\": %zu, \"serial\": ", Mac_colons(found.mac).data(),
                 found.batch.id, found.unit);
    if (found.serial.empty())
        std::fputs("null", out);
    else
        Json_string(out, found.serial);
    std::fputs(", \"image_sha256\": ", out);
    Json_string(out, found.sha256);
    std::fputs(", \"history\": [", out);
    for (std::size_t i = 0; i < found.history.size(); ++i) {
        if (i > 0)
            std::fputs(", ", out);
        Find_jsonEvent(out, found.history[i]);
    }
    std::fputs("]}\n", out);
}

} // namespace

int Export_run(const Options &options)
{
    Ledger_ptr ledger{nullptr, Ledger_close};
    Fault fault{};
    if (!Ledger_open(options.ledger, ledger, fault, false))
        return Cli_fail(fault);
    // Millions of writes from one thread: stdio need not lock the stream for each.
    __fsetlocking(stdout, FSETLOCKING_BYCALLER);
    if (!options.json)
        Csv_writeRow(stdout, {std::begin(HEADER), std::end(HEADER)});
    bool written = true;
    bool ok = Ledger_export(
        ledger.get(),
        [&](const Ledger_found &found) {
            (options.json ? Json_address : Csv_address)(stdout, found);
            written = std::ferror(stdout) == 0;
            return written;
        },
        fault);
    if (!written)
        return Cli_system("stdout", errno);
    return ok ? 0 : Cli_fail(fault);
}
