#include "report.h"

#include "cli.h"
#include "json.h"
#include "number.h"
#include "page.h"
#include "query.h"
#include "recledger.h"
#include "show.h"

#include <chrono>

namespace {

std::string Range_text(Mac_range range)
{
    return std::string(Mac_colons(range.first).data()) + "-" + Mac_colons(range.last).data();
}

std::string Yield_text(const Ledger_stationCount &station)
{
    double yield = 0;
    if (!Show_yield(station, yield))
        return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%", 100 * yield);
    return text;
}

std::string Per_day_text(const Ledger_rangeCount &range)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", Report_perDay(range));
    return text;
}

} // namespace

Show_table Report_batchTable(const Ledger_report &report)
{
    Show_table table{{"batch", "started", "units", "claimed", "verified", "failed", "never claimed", "voided"},
                     {true, false, true, true, true, true, true, true},
                     {}};
    for (const Ledger_batchCount &batch : report.batches)
        table.rows.push_back({std::to_string(batch.id), Show_plain(batch.started), std::to_string(batch.units),
                              std::to_string(batch.claimed), std::to_string(batch.verified),
                              std::to_string(batch.failed), std::to_string(batch.neverClaimed),
                              std::to_string(batch.voided)});
    return table;
}

Show_table Report_stationTable(const Ledger_report &report)
{
    Show_table table{{"station", "claims", "read back", "first pass", "yield", "retries"},
                     {false, true, true, true, true, true},
                     {}};
    for (const Ledger_stationCount &station : report.stations)
        table.rows.push_back({Show_plain(station.station), std::to_string(station.claims),
                              std::to_string(station.readBack), std::to_string(station.firstPass),
                              Yield_text(station), std::to_string(station.retries)});
    return table;
}

Show_table Report_rangeTable(const Ledger_report &report)
{
    Show_table table{{"range", "issued", "voided", "free", "per day (7 days)", "runs out"},
                     {false, true, true, true, true, false},
                     {}};
    for (const Ledger_rangeCount &range : report.ranges) {
        std::string runsOut = Report_runsOut(range, report.made);
        table.rows.push_back({Range_text(range.range), std::to_string(range.issued), std::to_string(range.voided),
                              std::to_string(range.free), Per_day_text(range), runsOut.empty() ? "-" : runsOut});
    }
    return table;
}

namespace {

void Json_text(std::FILE *out, const char *name, const std::string &text)
{
    std::fprintf(out, "\"%s\": ", name);
    Json_string(out, text);
}

// "name": [...] with one item a line, each written by write; the last
// member of the document when last.
template <typename Item, typename Write>
void Json_array(std::FILE *out, const char *name, const std::vector<Item> &items, Write write, bool last)
{
    std::fprintf(out, "  \"%s\": [", name);
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::fputs(i == 0 ? "\n    {" : ",\n    {", out);
        write(items[i]);
        std::fputc('}', out);
    }
    std::fputs(items.empty() ? "]" : "\n  ]", out);
    std::fputs(last ? "\n" : ",\n", out);
}

void Json_batch(std::FILE *out, const Ledger_batchCount &batch)
{
    std::fprintf(out, "\"id\": %lld, ", batch.id);
    Json_text(out, "started", batch.started);
    std::fprintf(out,
                 ", \"units\": %zu, \"claimed\": %zu, \"verified\": %zu, \"failed\": %zu, "
                 "\"never_claimed\": %zu, \"voided\": %zu",
                 batch.units, batch.claimed, batch.verified, batch.failed, batch.neverClaimed, batch.voided);
}

void Json_station(std::FILE *out, const Ledger_stationCount &station)
{
    Json_text(out, "station", station.station);
    std::fprintf(out, ", \"claims\": %zu, \"read_back\": %zu, \"first_pass\": %zu, \"first_pass_yield\": ",
                 station.claims, station.readBack, station.firstPass);
    double yield = 0;
    if (Show_yield(station, yield))
        std::fprintf(out, "%.4f", yield);
    else
        std::fputs("null", out);
    std::fprintf(out, ", \"retries\": %zu", station.retries);
}

void Json_range(std::FILE *out, const Ledger_rangeCount &range, std::string_view made)
{
    std::string runsOut = Report_runsOut(range, made);
    std::fprintf(out,
                 "\"first\": \"%s\", \"last\": \"%s\", \"issued\": %llu, \"voided\": %llu, \"free\": %llu, "
                 "\"issued_last_7_days\": %llu, \"per_day\": %s, \"runs_out\": %s%s%s",
                 Mac_colons(range.range.first).data(), Mac_colons(range.range.last).data(),
                 static_cast<unsigned long long>(range.issued), static_cast<unsigned long long>(range.voided),
                 static_cast<unsigned long long>(range.free), static_cast<unsigned long long>(range.issuedWeek),
                 Per_day_text(range).c_str(), runsOut.empty() ? "" : "\"", runsOut.empty() ? "null" : runsOut.c_str(),
                 runsOut.empty() ? "" : "\"");
}

void Json_hour(std::FILE *out, const Ledger_hourCount &hour)
{
    Json_text(out, "hour", hour.hour);
    std::fputs(", ", out);
    Json_text(out, "station", hour.station);
    std::fprintf(out, ", \"verified\": %zu", hour.verified);
}

} // namespace

double Report_perDay(const Ledger_rangeCount &range)
{
    return static_cast<double>(range.issuedWeek) / 7;
}

std::string Report_runsOut(const Ledger_rangeCount &range, std::string_view made)
{
    std::int64_t year = 0, month = 0, day = 0;
    if (made.size() < 10 || made[4] != '-' || made[7] != '-' || Number_parse(made.substr(0, 4), 1, 9999, year) ||
        Number_parse(made.substr(5, 2), 1, 12, month) || Number_parse(made.substr(8, 2), 1, 31, day))
        return "";
    if (range.free > 0 && range.issuedWeek == 0)
        return "";
    // Whole days until the last free address is issued, at issuedWeek a week.
    std::uint64_t days = range.free == 0 ? 0 : (7 * range.free + range.issuedWeek - 1) / range.issuedWeek;
    using namespace std::chrono;
    year_month_day today{std::chrono::year{static_cast<int>(year)} / static_cast<unsigned>(month) /
                         static_cast<unsigned>(day)};
    if (!today.ok() || days > 4000000) // past any date of four digits
        return "";
    year_month_day end{sys_days{today} + std::chrono::days{static_cast<int>(days)}};
    if (static_cast<int>(end.year()) > 9999)
        return "";
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(end.year()),
                  static_cast<unsigned>(end.month()), static_cast<unsigned>(end.day()));
    return text;
}

void Report_text(std::FILE *out, const Ledger_report &report)
{
    std::fprintf(out, "report of the ledger at %s\n\n", Show_plain(report.made).c_str());
    Show_print(out, Report_batchTable(report));
    std::fputc('\n', out);
    Show_print(out, Report_stationTable(report));
    std::fputc('\n', out);
    Show_print(out, Report_rangeTable(report));
}

void Report_json(std::FILE *out, const Ledger_report &report)
{
    std::fputs("{\n  ", out);
    Json_text(out, "made", report.made);
    std::fputs(",\n", out);
    Json_array(out, "batches", report.batches, [out](const auto &batch) { Json_batch(out, batch); }, false);
    Json_array(out, "stations", report.stations, [out](const auto &station) { Json_station(out, station); }, false);
    Json_array(out, "ranges", report.ranges,
               [out, &report](const auto &range) { Json_range(out, range, report.made); }, false);
    Json_array(out, "hours", report.hours, [out](const auto &hour) { Json_hour(out, hour); }, true);
    std::fputs("}\n", out);
}

bool Report_query(Ledger *ledger, Ledger_report &report, Fault &fault)
{
    return Ledger_counts(ledger, Ledger_now(), report, fault);
}

int Report_run(const Options &options)
{
    Ledger_ptr ledger{nullptr, Ledger_close};
    Ledger_report report{};
    Fault fault{};
    if (!Ledger_open(options.ledger, ledger, fault, false) || !Report_query(ledger.get(), report, fault))
        return Cli_fail(fault);
    std::string name = Ledger_name(ledger.get());
    ledger.reset();
    if (options.page == nullptr) {
        (options.json ? Report_json : Report_text)(stdout, report);
        return 0;
    }
    std::string page;
    if (!Page_render(report, name, page, fault) || !Page_save(options.page, page, fault))
        return Cli_fail(fault);
    return 0;
}
