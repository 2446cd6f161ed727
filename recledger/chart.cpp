#include "chart.h"

#include "number.h"
#include "show.h"

#include <algorithm>
#include <cairo-svg.h>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <numeric>

namespace {

constexpr double WIDTH = 1000;
constexpr double FONT_SIZE = 12;

struct Color {
    double r, g, b;
};

// One colour for each station shown by name; the others share the last.
constexpr Color PALETTE[CHART_STATIONS_MAX + 1] = {
    {0.31, 0.47, 0.65}, {0.95, 0.56, 0.17}, {0.35, 0.63, 0.31}, {0.88, 0.34, 0.35}, {0.46, 0.72, 0.70},
    {0.69, 0.48, 0.63}, {0.93, 0.79, 0.28}, {0.61, 0.46, 0.37}, {0.73, 0.69, 0.67},
};
constexpr Color INK = {0.2, 0.2, 0.2};
constexpr Color GRID = {0.87, 0.87, 0.87};
constexpr Color ISSUED = {0.31, 0.47, 0.65};
constexpr Color VOIDED = {0.88, 0.34, 0.35};
constexpr Color FREE = {0.76, 0.88, 0.74};

using Surface = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;
using Context = std::unique_ptr<cairo_t, decltype(&cairo_destroy)>;

// A chart being drawn: the SVG that the surface writes, in memory.
struct Canvas {
    std::string bytes;
    Surface surface{nullptr, cairo_surface_destroy};
    Context cr{nullptr, cairo_destroy};
};

cairo_status_t Append(void *closure, const unsigned char *data, unsigned int length)
{
    static_cast<std::string *>(closure)->append(reinterpret_cast<const char *>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

void Begin(Canvas &canvas, double height)
{
    canvas.surface.reset(cairo_svg_surface_create_for_stream(Append, &canvas.bytes, WIDTH, height));
    cairo_svg_surface_set_document_unit(canvas.surface.get(), CAIRO_SVG_UNIT_PX);
    canvas.cr.reset(cairo_create(canvas.surface.get()));
    cairo_t *cr = canvas.cr.get();
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, FONT_SIZE);
    cairo_set_line_width(cr, 1);
}

// Replaces every from in text with to.
void Replace(std::string &text, std::string_view from, std::string_view to)
{
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
}

// Finishes the drawing into chart.svg: the <svg> element alone, labelled,
// with every id and reference to one prefixed with name, so that the charts
// of one page do not share their glyphs' ids.
bool End(Canvas &canvas, const char *name, const char *label, Chart &chart, Fault &fault)
{
    cairo_status_t status = cairo_status(canvas.cr.get());
    canvas.cr.reset();
    cairo_surface_finish(canvas.surface.get());
    if (status == CAIRO_STATUS_SUCCESS)
        status = cairo_surface_status(canvas.surface.get());
    canvas.surface.reset();
    if (status != CAIRO_STATUS_SUCCESS)
        return Fault_fail(fault, name, "cairo: %s", cairo_status_to_string(status));
    std::size_t svg = canvas.bytes.find("<svg");
    chart.svg = svg == std::string::npos ? "" : canvas.bytes.substr(svg);
    std::string prefix = std::string(name) + "-";
    Replace(chart.svg, " id=\"", " id=\"" + prefix);
    Replace(chart.svg, "href=\"#", "href=\"#" + prefix);
    Replace(chart.svg, "url(#", "url(#" + prefix);
    Replace(chart.svg, "<svg ", "<svg class=\"chart\" role=\"img\" aria-label=\"" + std::string(label) + "\" ");
    return true;
}

void Source(cairo_t *cr, Color color)
{
    cairo_set_source_rgb(cr, color.r, color.g, color.b);
}

// Draws text (shown as Show_plain shows it) with its baseline at y; align
// 0 puts its left end at x, 0.5 its middle, 1 its right end.
void Text(cairo_t *cr, std::string_view text, double x, double y, double align)
{
    std::string shown = Show_plain(text);
    cairo_text_extents_t extents{};
    cairo_text_extents(cr, shown.c_str(), &extents);
    Source(cr, INK);
    cairo_move_to(cr, x - align * extents.x_advance, y);
    cairo_show_text(cr, shown.c_str());
}

// text cut to at most max characters, with an ellipsis when cut.
std::string Cut(std::string_view text, std::size_t max)
{
    std::string shown = Show_plain(text);
    std::size_t chars = 0;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if ((static_cast<unsigned char>(shown[i]) & 0xc0) != 0x80 && ++chars > max)
            return shown.substr(0, i) + "\xe2\x80\xa6";
    }
    return shown;
}

void Box(cairo_t *cr, Color color, double x, double y, double w, double h)
{
    Source(cr, color);
    cairo_rectangle(cr, x, y, w, h);
    cairo_fill(cr);
}

// A step of 1, 2 or 5 times a power of ten that splits 0 to top into at
// most 6 steps.
double Step(double top)
{
    double power = std::max(1.0, std::pow(10, std::floor(std::log10(std::max(top, 1.0) / 6))));
    for (double times : {1, 2, 5})
        if (top / (times * power) <= 6)
            return times * power;
    return 10 * power;
}

// The legend's keys in a row from x at y: a box of each colour, its name.
void Legend(cairo_t *cr, const std::vector<std::pair<std::string, Color>> &keys, double x, double y)
{
    for (const auto &[name, color] : keys) {
        Box(cr, color, x, y - 10, 12, 12);
        Text(cr, name, x + 17, y, 0);
        cairo_text_extents_t extents{};
        cairo_text_extents(cr, name.c_str(), &extents);
        x += 17 + extents.x_advance + 20;
    }
}

// ---- verified units per hour

// "2026-03-02T09" as hours since 1970; -1 when it is not one.
long long Hour_number(std::string_view hour)
{
    std::int64_t year = 0, month = 0, day = 0, h = 0;
    if (hour.size() != 13 || hour[4] != '-' || hour[7] != '-' || hour[10] != 'T' ||
        Number_parse(hour.substr(0, 4), 1970, 9999, year) || Number_parse(hour.substr(5, 2), 1, 12, month) ||
        Number_parse(hour.substr(8, 2), 1, 31, day) || Number_parse(hour.substr(11, 2), 0, 23, h))
        return -1;
    std::chrono::year_month_day date{std::chrono::year{static_cast<int>(year)} / static_cast<unsigned>(month) /
                                     static_cast<unsigned>(day)};
    if (!date.ok())
        return -1;
    return std::chrono::sys_days{date}.time_since_epoch().count() * 24LL + h;
}

// The hours shown, first to last, and each station's verified units in
// each of them: stations by name, the ones beyond CHART_STATIONS_MAX last.
struct Hours {
    long long first, last;
    std::vector<std::string> stations;         // shown by name, the most verified first
    std::map<long long, std::vector<std::size_t>> counts; // hour: by station, then the others
    std::size_t others;                        // stations not shown by name
    std::size_t spanned;                       // hours from the first with a verified unit to the last
};

Hours Hours_shown(const Ledger_report &report)
{
    Hours hours{-1, -1, {}, {}, 0, 0};
    long long earliest = -1;
    for (const Ledger_hourCount &count : report.hours) {
        long long hour = Hour_number(count.hour);
        hours.last = std::max(hours.last, hour);
        if (hour >= 0 && (earliest < 0 || hour < earliest))
            earliest = hour;
    }
    if (hours.last < 0)
        return hours;
    hours.first = std::max(earliest, hours.last - static_cast<long long>(CHART_HOURS_MAX) + 1);
    hours.spanned = static_cast<std::size_t>(hours.last - earliest + 1);
    std::map<std::string, std::size_t> totals;
    for (const Ledger_hourCount &count : report.hours)
        if (Hour_number(count.hour) >= hours.first)
            totals[count.station] += count.verified;
    std::vector<std::pair<std::size_t, std::string>> ranked;
    for (const auto &[station, total] : totals)
        ranked.push_back({total, station});
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    for (std::size_t i = 0; i < ranked.size() && i < CHART_STATIONS_MAX; ++i)
        hours.stations.push_back(ranked[i].second);
    hours.others = ranked.size() - hours.stations.size();
    for (const Ledger_hourCount &count : report.hours) {
        long long hour = Hour_number(count.hour);
        if (hour < hours.first)
            continue;
        auto named = std::find(hours.stations.begin(), hours.stations.end(), count.station);
        auto &row = hours.counts[hour];
        row.resize(CHART_STATIONS_MAX + 1);
        row[static_cast<std::size_t>(std::min<std::ptrdiff_t>(named - hours.stations.begin(), CHART_STATIONS_MAX))] +=
            count.verified;
    }
    return hours;
}

// The hour axis: a mark at the start of every few hours (at most 12 marks),
// with the day under each midnight and under the first mark.
void Hour_axis(cairo_t *cr, const Hours &hours, double left, double bottom, double barWidth)
{
    long long every = 1;
    for (long long divisor : {1, 2, 3, 4, 6, 8, 12, 24})
        if ((every = divisor) * 12 >= hours.last - hours.first + 1)
            break;
    bool dated = false;
    for (long long hour = hours.first; hour <= hours.last; ++hour) {
        if (hour % every != 0)
            continue;
        double x = left + static_cast<double>(hour - hours.first) * barWidth;
        char text[32];
        std::snprintf(text, sizeof text, "%02lld:00", hour % 24);
        Source(cr, INK);
        cairo_move_to(cr, x, bottom);
        cairo_line_to(cr, x, bottom + 4);
        cairo_stroke(cr);
        Text(cr, text, x, bottom + 17, 0.5);
        if (hour % 24 == 0 || !dated) {
            std::chrono::year_month_day date{std::chrono::sys_days{std::chrono::days{hour / 24}}};
            std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                          static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
            Text(cr, text, x, bottom + 32, 0.5);
            dated = true;
        }
    }
}

// The count axis at left from 0 to top, with grid lines across the plot.
void Count_axis(cairo_t *cr, double top, double left, double right, double plotTop, double bottom)
{
    double step = Step(top);
    for (double value = 0; value <= top + step / 2; value += step) {
        double y = bottom - value / top * (bottom - plotTop);
        Source(cr, GRID);
        cairo_move_to(cr, left, std::round(y) + 0.5);
        cairo_line_to(cr, right, std::round(y) + 0.5);
        cairo_stroke(cr);
        Text(cr, Show_grouped(static_cast<std::uint64_t>(value)), left - 6, y + 4, 1);
    }
}

std::string Hours_note(const Hours &hours)
{
    std::string note;
    if (hours.spanned > CHART_HOURS_MAX)
        note = "The chart shows the last " + std::to_string(CHART_HOURS_MAX) + " of the " +
               Show_grouped(hours.spanned) + " hours from the first verified unit to the last. ";
    if (hours.others > 0)
        note += "The " + std::to_string(CHART_STATIONS_MAX) + " stations with the most verified units in those "
                "hours are named; the other " + std::to_string(hours.others) + " are shown together.";
    return note;
}

} // namespace

bool Chart_hours(const Ledger_report &report, Chart &chart, Fault &fault)
{
    Hours hours = Hours_shown(report);
    constexpr double HEIGHT = 380, LEFT = 60, RIGHT = WIDTH - 20, TOP = 50, BOTTOM = HEIGHT - 50;
    Canvas canvas;
    Begin(canvas, HEIGHT);
    cairo_t *cr = canvas.cr.get();
    if (hours.last < 0) {
        Text(cr, "No unit has been verified yet.", WIDTH / 2, HEIGHT / 2, 0.5);
        return End(canvas, "hours", "Verified units per hour: none", chart, fault);
    }
    std::vector<std::pair<std::string, Color>> keys;
    for (std::size_t i = 0; i < hours.stations.size(); ++i)
        keys.push_back({Cut(hours.stations[i], 20), PALETTE[i]});
    if (hours.others > 0)
        keys.push_back({"other stations", PALETTE[CHART_STATIONS_MAX]});
    Legend(cr, keys, LEFT, 20);
    std::size_t most = 1;
    for (const auto &[hour, row] : hours.counts)
        most = std::max(most, std::accumulate(row.begin(), row.end(), std::size_t{0}));
    double top = std::ceil(static_cast<double>(most) / Step(static_cast<double>(most))) * Step(static_cast<double>(most));
    Count_axis(cr, top, LEFT, RIGHT, TOP, BOTTOM);
    double barWidth = (RIGHT - LEFT) / static_cast<double>(hours.last - hours.first + 1);
    for (const auto &[hour, row] : hours.counts) {
        double y = BOTTOM;
        for (std::size_t i = 0; i < row.size(); ++i) {
            double h = static_cast<double>(row[i]) / top * (BOTTOM - TOP);
            Box(cr, PALETTE[i], LEFT + static_cast<double>(hour - hours.first) * barWidth + 1, y - h,
                std::max(barWidth - 2, 1.0), h);
            y -= h;
        }
    }
    Hour_axis(cr, hours, LEFT, BOTTOM, barWidth);
    Text(cr, "hours in UTC", RIGHT, BOTTOM + 32, 1);
    chart.note = Hours_note(hours);
    return End(canvas, "hours", "Verified units per hour per station", chart, fault);
}

namespace {

// The indexes of the at most max items with the greatest weight, in their
// own order; how many were left out in *left.
template <typename Item, typename Weight>
std::vector<std::size_t> Heaviest(const std::vector<Item> &items, std::size_t max, Weight weight, std::size_t *left)
{
    std::vector<std::size_t> order(items.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return weight(items[a]) > weight(items[b]); });
    order.resize(std::min(order.size(), max));
    std::sort(order.begin(), order.end());
    *left = items.size() - order.size();
    return order;
}

// The percentage axis of a bar chart from left to right, its marks below
// bottom and grid lines up to top.
void Percent_axis(cairo_t *cr, double left, double right, double top, double bottom)
{
    for (int percent = 0; percent <= 100; percent += 25) {
        double x = std::round(left + percent / 100.0 * (right - left)) + 0.5;
        Source(cr, GRID);
        cairo_move_to(cr, x, top);
        cairo_line_to(cr, x, bottom);
        cairo_stroke(cr);
        Text(cr, std::to_string(percent) + "%", x, bottom + 16, 0.5);
    }
}

// A chart of a bar a row, each on a percentage axis.
struct Bars {
    double row, left, right, top;
    const char *none; // what the chart says when it has no bar
};

// Begins the chart of rows bars on canvas, with its axis; returns the
// axis's height.
double Bars_begin(Canvas &canvas, const Bars &bars, std::size_t rows)
{
    double bottom = bars.top + bars.row * static_cast<double>(std::max<std::size_t>(rows, 1));
    Begin(canvas, bottom + 30);
    Percent_axis(canvas.cr.get(), bars.left, bars.right, bars.top, bottom);
    if (rows == 0)
        Text(canvas.cr.get(), bars.none, (bars.left + bars.right) / 2, bars.top + 16, 0.5);
    return bottom;
}

} // namespace

bool Chart_yield(const Ledger_report &report, Chart &chart, Fault &fault)
{
    std::size_t left = 0;
    std::vector<std::size_t> shown = Heaviest(report.stations, CHART_YIELDS_MAX,
                                              [](const Ledger_stationCount &s) { return s.readBack; }, &left);
    constexpr double ROW = 24, LEFT = 190, RIGHT = WIDTH - 190, TOP = 20;
    Canvas canvas;
    Bars_begin(canvas, {ROW, LEFT, RIGHT, TOP, "No station has claimed an image yet."}, shown.size());
    cairo_t *cr = canvas.cr.get();
    double y = TOP;
    for (std::size_t index : shown) {
        const Ledger_stationCount &station = report.stations[index];
        Text(cr, Cut(station.station, 24), LEFT - 8, y + 16, 1);
        double yield = 0;
        if (!Show_yield(station, yield)) {
            Text(cr, "nothing read back", LEFT + 6, y + 16, 0);
        } else {
            double end = LEFT + yield * (RIGHT - LEFT);
            Box(cr, PALETTE[0], LEFT, y + 4, end - LEFT, ROW - 8);
            char text[96];
            std::snprintf(text, sizeof text, "%.1f%%  (%s of %s)", 100 * yield, Show_grouped(station.firstPass).c_str(),
                          Show_grouped(station.readBack).c_str());
            Text(cr, text, RIGHT + 8, y + 16, 0);
        }
        y += ROW;
    }
    if (left > 0)
        chart.note = "The chart shows the " + std::to_string(shown.size()) + " stations with the most units read "
                     "back, and leaves out the other " + std::to_string(left) + ".";
    return End(canvas, "yield", "First-pass yield per station", chart, fault);
}

bool Chart_ranges(const Ledger_report &report, Chart &chart, Fault &fault)
{
    std::size_t left = 0;
    auto used = [](const Ledger_rangeCount &r) {
        return r.issued + r.free == 0 ? 0.0 : static_cast<double>(r.issued) / static_cast<double>(r.issued + r.free);
    };
    std::vector<std::size_t> shown = Heaviest(report.ranges, CHART_RANGES_MAX, used, &left);
    constexpr double ROW = 30, LEFT = 280, RIGHT = WIDTH - 200, TOP = 40;
    Canvas canvas;
    Bars_begin(canvas, {ROW, LEFT, RIGHT, TOP, "No batch has recorded its range yet."}, shown.size());
    cairo_t *cr = canvas.cr.get();
    Legend(cr, {{"issued", ISSUED}, {"voided", VOIDED}, {"free", FREE}}, LEFT, 18);
    double y = TOP;
    for (std::size_t index : shown) {
        const Ledger_rangeCount &range = report.ranges[index];
        Text(cr, std::string(Mac_colons(range.range.first).data()) + " \xe2\x80\x93 " +
                     Mac_colons(range.range.last).data(), LEFT - 8, y + 19, 1);
        double size = static_cast<double>(range.issued + range.free);
        double x = LEFT;
        std::uint64_t parts[] = {range.issued - std::min(range.voided, range.issued), std::min(range.voided, range.issued),
                                 range.free};
        Color colors[] = {ISSUED, VOIDED, FREE};
        for (std::size_t i = 0; i < 3 && size > 0; ++i) {
            double w = static_cast<double>(parts[i]) / size * (RIGHT - LEFT);
            Box(cr, colors[i], x, y + 5, w, ROW - 10);
            x += w;
        }
        Text(cr, Show_grouped(range.free) + " left of " + Show_grouped(range.issued + range.free), RIGHT + 8, y + 19, 0);
        y += ROW;
    }
    if (left > 0)
        chart.note = "The chart shows the " + std::to_string(shown.size()) + " ranges with the smallest share left, "
                     "and leaves out the other " + std::to_string(left) + ".";
    return End(canvas, "ranges", "Addresses left per range", chart, fault);
}
