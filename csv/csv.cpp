#include "csv.h"

#include <algorithm>

namespace {

// What follows a field: a comma, a line end or the end of the table.
enum Field_end { END_COMMA, END_ROW, END_BAD };

constexpr const char *TOO_LONG = "a row of more than 1048576 bytes";
static_assert(CSV_ROW_MAX == 1048576, "the refusal names the most");

// One more byte of the row, of the left that it may still take; false when
// none is left.
bool Take(std::size_t &left, const char **why)
{
    if (left == 0) {
        *why = TOO_LONG;
        return false;
    }
    --left;
    return true;
}

// The rest of a quoted field after its opening quote; c is then the
// character after the closing quote. False with why when the field is not
// closed or the row takes more than left.
bool Read_quoted(Csv_reader &reader, std::string &field, int &c, std::size_t &left, const char **why)
{
    for (;;) {
        c = std::getc(reader.fp);
        if (c == EOF) {
            *why = "a quoted field is not closed";
            return false;
        }
        if (!Take(left, why))
            return false;
        if (c == '"') {
            c = std::getc(reader.fp);
            if (c != '"')
                return true;
            if (!Take(left, why))
                return false;
        } else if (c == '\n') {
            ++reader.line;
        }
        field.push_back(static_cast<char>(c));
    }
}

Field_end End_of_field(Csv_reader &reader, int c, const char **why)
{
    if (c == ',')
        return END_COMMA;
    if (c == '\r' && (c = std::getc(reader.fp)) != '\n') {
        *why = "a carriage return outside quotes that ends no line";
        return END_BAD;
    }
    reader.rowEnded = c == '\n';
    if (c == '\n')
        ++reader.line;
    return END_ROW; // a line end, or the end of the table
}

// A byte order mark at the start is skipped; of one cut short, the bytes
// read stand at the start of the first field.
int Skip_mark(Csv_reader &reader, std::string &field)
{
    int c = std::getc(reader.fp);
    if (c != 0xEF)
        return c;
    field.push_back('\xEF');
    if ((c = std::getc(reader.fp)) != 0xBB)
        return c;
    field.push_back('\xBB');
    if ((c = std::getc(reader.fp)) != 0xBF)
        return c;
    field.clear();
    return std::getc(reader.fp);
}

} // namespace

void Csv_init(Csv_reader &reader, std::FILE *fp)
{
    reader.fp = fp;
    reader.line = 1;
    reader.rowLine = 1;
    reader.rowEnded = false;
    reader.started = false;
}

Csv_result Csv_readRow(Csv_reader &reader, std::vector<std::string> &fields, const char **why)
{
    fields.assign(1, std::string());
    reader.rowLine = reader.line;
    int c = EOF;
    if (!reader.started) {
        reader.started = true;
        c = Skip_mark(reader, fields.back());
    } else {
        c = std::getc(reader.fp);
    }
    // A blank line is no row: it is skipped wherever it stands.
    while (fields.back().empty() && (c == '\n' || c == '\r')) {
        if (c == '\r' && (c = std::getc(reader.fp)) != '\n') {
            std::ungetc(c, reader.fp);
            c = '\r'; // a carriage return that ends no line, refused below
            break;
        }
        reader.rowLine = ++reader.line;
        c = std::getc(reader.fp);
    }
    if (c == EOF && fields.back().empty())
        return std::ferror(reader.fp) ? CSV_READ_ERROR : CSV_END;

    std::size_t left = CSV_ROW_MAX;
    for (;;) {
        std::string &field = fields.back();
        if (c == '"' && field.empty()) {
            if (!Take(left, why) || !Read_quoted(reader, field, c, left, why))
                return std::ferror(reader.fp) ? CSV_READ_ERROR : CSV_BAD;
            if (c != ',' && c != '\r' && c != '\n' && c != EOF) {
                *why = "text after the closing quote of a field";
                return CSV_BAD;
            }
        } else {
            for (; c != ',' && c != '\r' && c != '\n' && c != EOF; c = std::getc(reader.fp)) {
                if (c == '"') {
                    *why = "a quote inside a field that is not quoted";
                    return CSV_BAD;
                }
                if (!Take(left, why))
                    return CSV_BAD;
                field.push_back(static_cast<char>(c));
            }
        }
        switch (End_of_field(reader, c, why)) {
        case END_COMMA:
            if (!Take(left, why))
                return CSV_BAD;
            fields.emplace_back();
            c = std::getc(reader.fp);
            break;
        case END_BAD:
            return CSV_BAD;
        case END_ROW:
            return std::ferror(reader.fp) ? CSV_READ_ERROR : CSV_ROW;
        }
    }
}

void Csv_writeRow(std::FILE *out, const std::vector<std::string_view> &fields)
{
    for (std::size_t i = 0; i < fields.size(); ++i) {
        std::string_view field = fields[i];
        if (i > 0)
            std::fputc(',', out);
        // A row of one empty field is quoted, or it would read as a blank line.
        bool alone = fields.size() == 1 && field.empty();
        // One pass over the field (find_first_of looks the set up per byte).
        bool plain = std::none_of(field.begin(), field.end(),
                                  [](char c) { return c == ',' || c == '"' || c == '\r' || c == '\n'; });
        if (!alone && plain) {
            std::fwrite(field.data(), 1, field.size(), out);
            continue;
        }
        std::fputc('"', out);
        for (char c : field) {
            if (c == '"')
                std::fputc('"', out);
            std::fputc(c, out);
        }
        std::fputc('"', out);
    }
    std::fputs("\r\n", out);
}
