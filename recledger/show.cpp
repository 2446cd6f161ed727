#include "show.h"

#include "text.h"

#include <algorithm>

std::string Show_plain(std::string_view text)
{
    std::string escaped(4 * text.size() + 1, '\0'); // room for every character escaped
    escaped.resize(Text_escape(text, escaped.data(), escaped.size()));
    return escaped;
}

void Show_html(std::string &html, std::string_view text)
{
    for (char c : Show_plain(text)) {
        switch (c) {
        case '&': html += "&amp;"; break;
        case '<': html += "&lt;"; break;
        case '>': html += "&gt;"; break;
        case '"': html += "&quot;"; break;
        case '\'': html += "&#39;"; break;
        default: html += c; break;
        }
    }
}

bool Show_yield(const Ledger_stationCount &station, double &yield)
{
    yield = station.readBack == 0 ? 0 : static_cast<double>(station.firstPass) / static_cast<double>(station.readBack);
    return station.readBack > 0;
}

std::string Show_grouped(std::uint64_t n)
{
    std::string digits = std::to_string(n);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

namespace {

// How many characters wide text is on a terminal: its code points, as the
// bytes that do not continue a UTF-8 sequence.
std::size_t Width(std::string_view text)
{
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    }));
}

void Print_row(std::FILE *out, const std::vector<std::string> &cells, const Show_table &table,
               const std::vector<std::size_t> &widths)
{
    for (std::size_t i = 0; i < cells.size(); ++i) {
        std::size_t pad = widths[i] - Width(cells[i]);
        bool last = i + 1 == cells.size();
        if (table.numeric[i])
            std::fprintf(out, "%*s", static_cast<int>(pad), "");
        std::fputs(cells[i].c_str(), out);
        if (!table.numeric[i] && !last)
            std::fprintf(out, "%*s", static_cast<int>(pad), "");
        std::fputs(last ? "\n" : "  ", out);
    }
}

} // namespace

void Show_print(std::FILE *out, const Show_table &table)
{
    std::vector<std::size_t> widths;
    for (const std::string &head : table.heads)
        widths.push_back(Width(head));
    for (const auto &row : table.rows)
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], Width(row[i]));
    Print_row(out, table.heads, table, widths);
    for (const auto &row : table.rows)
        Print_row(out, row, table, widths);
}
