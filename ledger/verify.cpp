// recledger verify: the chain recomputed over every chained row of every
// table, in one pass ordered by place (chain.h says what a hash covers).
#include "chain.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <map>

namespace {

constexpr std::size_t MOST_FIELDS = 11; // a batch's

// Every chained table's rows as one stream ordered by place: table, seq,
// hash, key, the fields padded with NULL to MOST_FIELDS, and a batch's
// finished (which its finish row chains).
std::string Stream_sql(Layout_backend backend)
{
    std::string sql;
    for (const Chain_table &table : CHAIN_TABLES) {
        sql += sql.empty() ? "SELECT '" : " UNION ALL SELECT '";
        sql += std::string(table.name) + "' AS t, seq, hash, CAST(" + table.key + " AS TEXT) AS k";
        std::string_view rest = table.fields;
        std::size_t n = 0;
        for (; !rest.empty(); ++n) {
            std::size_t comma = rest.find(", ");
            sql += ", " + Chain_text(backend, rest.substr(0, comma));
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 2);
        }
        for (; n < MOST_FIELDS; ++n)
            sql += ", NULL";
        sql += std::string(table.name) == "batch" ? ", " + Chain_text(backend, "finished") : ", NULL";
        sql += std::string(" FROM ") + table.name;
    }
    return sql + " ORDER BY seq";
}

struct Walk {
    long long next = 1;                          // the place the next row must have
    std::string prev = std::string(64, '0');     // the hash of the row before it
    std::string prevTable, prevKey;              // and its name
    std::map<std::string, std::string> finished; // each batch's, until its finish row
    std::string broken;                          // why the chain breaks; empty while it holds
};

std::string Text(std::string_view view)
{
    return view.data() == nullptr ? std::string() : std::string(view);
}

// How many fields a table's rows have in the chain.
std::size_t Fields(std::string_view table)
{
    for (const Chain_table &each : CHAIN_TABLES)
        if (table == each.name)
            return 1 + static_cast<std::size_t>(std::count(each.fields, each.fields + std::strlen(each.fields), ','));
    return 0;
}

// Why the row of table, key and place seq breaks the chain; empty when it
// does not.
std::string Broken(Walk &walk, const Ledger_row &row, std::string_view table, long long seq, bool hashed)
{
    std::string name = std::string(table) + " " + Text(row[3]);
    std::string at = "the chain breaks at row " + std::to_string(seq) + " (" + name + "): ";
    if (seq < walk.next)
        return "row " + std::to_string(seq) + " is in the chain twice (" + walk.prevTable + " " + walk.prevKey + " and " +
               name + ")";
    if (seq > walk.next)
        return at + "a row is missing before it";
    if (hashed)
        return at + "batch " + Text(row[3]) + "'s finished is not this row's";
    return at + "its hash is not its fields'";
}

// Takes one row of the stream; false once the chain breaks.
bool Take(Walk &walk, const Ledger_row &row)
{
    std::string_view table = row[0];
    if (row[1].data() == nullptr || row[2].data() == nullptr) {
        walk.broken = "the chain breaks at " + std::string(table) + " " + Text(row[3]) + ": it has no place in the chain";
        return false;
    }
    long long seq = 0;
    std::from_chars(row[1].data(), row[1].data() + row[1].size(), seq);
    std::string name(table);
    bool hashed = seq == walk.next &&
                  Chain_hash(walk.prev, name.c_str(), std::span(row).subspan(4, Fields(table))) == row[2];
    bool holds = hashed;
    if (holds && table == "batch")
        walk.finished[Text(row[3])] = Text(row[row.size() - 1]);
    if (holds && table == "finish") {
        auto batch = walk.finished.find(Text(row[3]));
        holds = batch != walk.finished.end() && batch->second == Text(row[5]);
        if (holds)
            walk.finished.erase(batch);
    }
    if (!holds) {
        walk.broken = Broken(walk, row, table, seq, hashed);
        return false;
    }
    walk.prev.assign(row[2]);
    walk.prevTable.assign(table);
    walk.prevKey.assign(row[3]);
    ++walk.next;
    return true;
}

} // namespace

bool Ledger_verify(Ledger *ledger, long long &rows, std::string &head, Fault &fault)
{
    Walk walk{};
    long long places = -1;
    bool ok = ledger->ops->rows == nullptr ||
              (ledger->ops->rows(*ledger, Stream_sql(ledger->ops->dialect->backend), [&](const Ledger_row &row) { return Take(walk, row); }) &&
               ledger->ops->rows(*ledger, "SELECT count(*) FROM chain", [&](const Ledger_row &row) {
                   places = std::stoll(std::string(row[0]));
                   return false;
               }));
    if (!ok)
        return Fault_fail(fault, ledger->name.c_str(), "%s", ledger->error.c_str());
    rows = walk.next - 1;
    head = walk.prev;
    for (const auto &[batch, finished] : walk.finished)
        if (walk.broken.empty() && !finished.empty())
            walk.broken = "the chain breaks at batch " + batch + ": it is finished, but no finish row says so";
    if (walk.broken.empty() && places >= 0 && places != rows)
        walk.broken = "the chain breaks: its table of places holds " + std::to_string(places) + " rows, the tables " +
                      std::to_string(rows);
    return walk.broken.empty() || Fault_refuse(fault, ledger->name.c_str(), "%s", walk.broken.c_str());
}
