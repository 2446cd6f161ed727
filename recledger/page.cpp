#include "page.h"

#include "chart.h"
#include "library.h"
#include "report.h"
#include "show.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char STYLE[] = R"(<style>
body{font-family:"DejaVu Sans",Verdana,sans-serif;color:#222;background:#fff;max-width:1040px;margin:24px auto;padding:0 16px}
h1{font-size:26px;margin:0 0 4px}
h2{font-size:19px;margin:36px 0 8px;padding-bottom:4px;border-bottom:1px solid #ddd}
.made,.note,footer{color:#555;font-size:13px}
.figures{display:flex;flex-wrap:wrap;gap:12px;margin:16px 0}
.figures div{border:1px solid #ddd;border-radius:6px;padding:10px 16px;min-width:120px}
.figures b{display:block;font-size:24px}
.figures span{color:#555;font-size:13px}
figure{margin:0}
svg.chart{display:block;max-width:100%;height:auto}
table{border-collapse:collapse;margin:12px 0;font-size:13px}
th,td{padding:3px 10px;border-bottom:1px solid #e4e4e4;text-align:left;white-space:nowrap}
th{background:#f4f4f4}
.n{text-align:right;font-variant-numeric:tabular-nums}
footer{margin-top:40px}
</style>
)";

void Note(std::string &page, const std::string &note)
{
    if (note.empty())
        return;
    page += "<p class=\"note\">";
    Show_html(page, note);
    page += "</p>\n";
}

// The rows from first on of table as an HTML table.
void Table(std::string &page, const Show_table &table, std::size_t first)
{
    page += "<table>\n<tr>";
    for (std::size_t i = 0; i < table.heads.size(); ++i) {
        page += table.numeric[i] ? "<th class=\"n\">" : "<th>";
        Show_html(page, table.heads[i]);
        page += "</th>";
    }
    page += "</tr>\n";
    for (std::size_t row = first; row < table.rows.size(); ++row) {
        page += "<tr>";
        for (std::size_t i = 0; i < table.rows[row].size(); ++i) {
            page += table.numeric[i] ? "<td class=\"n\">" : "<td>";
            Show_html(page, table.rows[row][i]);
            page += "</td>";
        }
        page += "</tr>\n";
    }
    page += "</table>\n";
}

// table with at most max rows: the last ones when newest, else the first.
void Capped_table(std::string &page, Show_table table, std::size_t max, bool newest, const char *what)
{
    std::size_t all = table.rows.size();
    std::size_t first = newest && all > max ? all - max : 0;
    if (!newest && all > max)
        table.rows.resize(max);
    Table(page, table, first);
    if (all > max)
        Note(page, "The table shows the " + std::string(newest ? "newest " : "first ") + std::to_string(max) +
                       " of the " + std::to_string(all) + " " + what + "; recledger report -j gives them all.");
}

void Figure(std::string &page, const std::string &number, const char *what)
{
    page += "<div><b>" + number + "</b><span>" + what + "</span></div>\n";
}

// The few numbers a line lead looks at first.
void Figures(std::string &page, const Ledger_report &report)
{
    std::size_t units = 0, verified = 0, never = 0, voided = 0, firstPass = 0, readBack = 0;
    std::uint64_t free = 0;
    for (const Ledger_batchCount &batch : report.batches) {
        units += batch.units;
        verified += batch.verified;
        never += batch.neverClaimed;
        voided += batch.voided;
    }
    for (const Ledger_stationCount &station : report.stations) {
        firstPass += station.firstPass;
        readBack += station.readBack;
    }
    for (const Ledger_rangeCount &range : report.ranges)
        free += range.free;
    char yield[16] = "-";
    if (readBack > 0)
        std::snprintf(yield, sizeof yield, "%.1f%%", 100.0 * static_cast<double>(firstPass) / static_cast<double>(readBack));
    page += "<div class=\"figures\">\n";
    Figure(page, Show_grouped(units), "units issued");
    Figure(page, Show_grouped(verified), "verified");
    Figure(page, yield, "first-pass yield");
    Figure(page, Show_grouped(never), "never claimed");
    Figure(page, Show_grouped(voided), "voided");
    Figure(page, Show_grouped(free), "addresses left");
    page += "</div>\n";
}

bool Charted(std::string &page, const char *title, bool (*draw)(const Ledger_report &, Chart &, Fault &),
             const Ledger_report &report, Fault &fault)
{
    Chart chart;
    if (!draw(report, chart, fault))
        return false;
    page += std::string("<h2>") + title + "</h2>\n<figure>\n" + chart.svg + "</figure>\n";
    Note(page, chart.note);
    return true;
}

} // namespace

bool Page_render(const Ledger_report &report, std::string_view ledger, std::string &page, Fault &fault)
{
    if (!Library_load(CAIRO_SONAME, fault))
        return Fault_within(fault, "the charts");
    page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>Ledger report: ";
    Show_html(page, ledger);
    page += "</title>\n";
    page += STYLE;
    page += "</head>\n<body>\n<h1>Ledger report</h1>\n<p class=\"made\">";
    Show_html(page, ledger);
    page += ", counted at ";
    Show_html(page, report.made);
    page += "</p>\n";
    Figures(page, report);
    if (!Charted(page, "Verified units per hour", Chart_hours, report, fault) ||
        !Charted(page, "First-pass yield per station", Chart_yield, report, fault))
        return false;
    Capped_table(page, Report_stationTable(report), PAGE_STATIONS_MAX, false, "stations");
    if (!Charted(page, "Addresses left per range", Chart_ranges, report, fault))
        return false;
    Capped_table(page, Report_rangeTable(report), PAGE_RANGES_MAX, false, "ranges");
    page += "<h2>Batches</h2>\n";
    Capped_table(page, Report_batchTable(report), PAGE_BATCHES_MAX, true, "batches");
    page += "<footer>Made by recledger " ZOL_VERSION ". The page loads nothing from anywhere and runs no "
            "script.</footer>\n</body>\n</html>\n";
    return true;
}

namespace {

bool Write_all(int fd, const std::string &bytes)
{
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

bool Page_save(const char *path, const std::string &page, Fault &fault)
{
    // The page replaces a page; a device, a link or a folder at path stays.
    struct stat there {};
    if (lstat(path, &there) == 0 && S_ISDIR(there.st_mode))
        return Fault_system(fault, path, EISDIR);
    if (lstat(path, &there) == 0 && !S_ISREG(there.st_mode))
        return Fault_fail(fault, path, "not a regular file");
    std::string name = path;
    std::size_t slash = name.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
    std::string temp = folder + "/.recledger-XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0)
        return Fault_system(fault, path, errno);
    errno = 0;
    bool written = fchmod(fd, 0644) == 0 && Write_all(fd, page) && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && rename(temp.c_str(), path) != 0) {
        written = false;
        error = errno;
    }
    if (!written) {
        unlink(temp.c_str());
        return Fault_system(fault, path, error);
    }
    // The rename itself is on disk once the folder is synced.
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool synced = dir >= 0 && fsync(dir) == 0;
    error = errno;
    if (dir >= 0)
        close(dir);
    return synced || Fault_system(fault, folder.c_str(), error);
}
