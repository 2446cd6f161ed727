// The CSV reader on tables of RFC 4180 and on what breaks it; the writer's
// quoting read back by the reader.
#include "csv.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

using Rows = std::vector<std::vector<std::string>>;

struct Read {
    Rows rows;
    std::vector<long> lines; // where each row started
    Csv_result end;
    std::string why;
    long line; // of the row at fault
    bool lastEnded; // the last row read ended in a line end
};

Read Read_all(std::string text)
{
    Read got{{}, {}, CSV_END, "", 0, true};
    std::FILE *fp = text.empty() ? std::fopen("/dev/null", "r") : fmemopen(text.data(), text.size(), "r");
    Csv_reader reader{};
    Csv_init(reader, fp);
    std::vector<std::string> fields;
    const char *why = nullptr;
    while ((got.end = Csv_readRow(reader, fields, &why)) == CSV_ROW) {
        got.rows.push_back(fields);
        got.lines.push_back(reader.rowLine);
        got.lastEnded = reader.rowEnded;
    }
    if (got.end == CSV_BAD) {
        got.why = why;
        got.line = reader.rowLine;
    }
    std::fclose(fp);
    return got;
}

// Tables of RFC 4180, each row with the line it starts on, and what breaks
// one: the line of the row at fault and why; whether the last row ends in a
// line end, which a table cut short lacks.
TEST(Csv, ReadsTablesAndRefusesWhatIsNotCsv)
{
    struct Case {
        std::string text;
        Rows rows;
        std::vector<long> lines;
        std::string why = ""; // empty: the whole table reads
        long line = 0;
        bool lastEnded = true;
    };
    const Case cases[] = {
        {"", {}, {}},
        {"a,b\r\n1,2\r\n", {{"a", "b"}, {"1", "2"}}, {1, 2}},
        {"a,b\n1,2", {{"a", "b"}, {"1", "2"}}, {1, 2}, "", 0, false},
        {"a,\"b\"\r\n", {{"a", "b"}}, {1}},
        {"a,\"b\"", {{"a", "b"}}, {1}, "", 0, false},
        {"\xEF\xBB\xBF" "a\n", {{"a"}}, {1}},
        {"\xEF\xBB" "a\n", {{"\xEF\xBB" "a"}}, {1}},
        {"a,,\n,x,\n", {{"a", "", ""}, {"", "x", ""}}, {1, 2}},
        {"\"a,b\",\"say \"\"hi\"\"\"\n", {{"a,b", "say \"hi\""}}, {1}},
        {"\"two\r\nlines\",x\r\nnext,y\r\n", {{"two\r\nlines", "x"}, {"next", "y"}}, {1, 3}},
        {"\"\",\"\"\n", {{"", ""}}, {1}},
        {"a\n\nb\n", {{"a"}, {"b"}}, {1, 3}},
        {"\r\n\xEF\xBB\xBF\r\n\r\na,b\r\n\n\"\"\n\n", {{"\xEF\xBB\xBF"}, {"a", "b"}, {""}}, {2, 4, 6}},
        {"a\n\r\rb\n", {{"a"}}, {1}, "a carriage return outside quotes that ends no line", 2},
        {"a b , c\t\n", {{"a b ", " c\t"}}, {1}},
        {"x\0y,z\n"s, {{"x\0y"s, "z"}}, {1}},
        {"a\n\"open,\nstill\n", {{"a"}}, {1}, "a quoted field is not closed", 2},
        {"a\n\"q\"x\n", {{"a"}}, {1}, "text after the closing quote of a field", 2},
        {"a\nb\"c\n", {{"a"}}, {1}, "a quote inside a field that is not quoted", 2},
        {"\xEF\"a\"\n", {}, {}, "a quote inside a field that is not quoted", 1},
        {"a\rb\n", {}, {}, "a carriage return outside quotes that ends no line", 1},
        // A row of CSV_ROW_MAX bytes at most, commas and quotes counted.
        {std::string(CSV_ROW_MAX, 'x') + "\n", {{std::string(CSV_ROW_MAX, 'x')}}, {1}},
        {"a\n" + std::string(CSV_ROW_MAX + 1, '\0'), {{"a"}}, {1}, "a row of more than 1048576 bytes", 2},
        {"," + std::string(CSV_ROW_MAX, 'x') + "\n", {}, {}, "a row of more than 1048576 bytes", 1},
        {"\"" + std::string(CSV_ROW_MAX - 1, 'x') + "\"\n", {}, {}, "a row of more than 1048576 bytes", 1},
    };
    for (const Case &c : cases) {
        Read got = Read_all(c.text);
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(got.end, c.why.empty() ? CSV_END : CSV_BAD);
        EXPECT_EQ(got.rows, c.rows);
        EXPECT_EQ(got.lines, c.lines);
        EXPECT_EQ(got.why, c.why);
        EXPECT_EQ(got.line, c.line);
        EXPECT_EQ(got.lastEnded, c.lastEnded);
    }
}

// Whatever a field holds, the writer's quoting reads back as that field; a
// row of one empty field too, which is no blank line.
TEST(Csv, WrittenFieldsReadBack)
{
    const std::vector<std::vector<std::string>> rows{
        {"plain", "a,b", "say \"hi\"", "two\r\nlines", "", "\n", "\"", " x ", "lone\rcr", "\r"}, {""}};
    for (const std::vector<std::string> &fields : rows) {
        char *text = nullptr;
        std::size_t size = 0;
        std::FILE *out = open_memstream(&text, &size);
        Csv_writeRow(out, {fields.begin(), fields.end()});
        std::fclose(out);
        Read got = Read_all(std::string(text, size));
        std::free(text);
        EXPECT_EQ(got.rows, Rows{fields});
    }
}

} // namespace
