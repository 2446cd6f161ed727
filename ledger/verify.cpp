// recledger verify: the chain recomputed over every chained row of every
// table, in one pass ordered by place (chain.h says what a hash covers).
#include "chain.h"

#include <algorithm>
#include <charconv>
#include <map>

namespace {

constexpr std::size_t FIELDS = 3;      // the column of a row's first field
constexpr std::size_t MOST_FIELDS = 11; // a batch's
constexpr std::size_t FINISHED = FIELDS + MOST_FIELDS; // the column of a batch's finished
constexpr std::size_t LISTED = FINISHED + 1;      // of the table that the chain's table names at the row's place

// Every chained table's rows as one stream ordered by place: table, seq,
// hash, the fields padded with NULL to MOST_FIELDS (the key that names a
// row is one of them, not sent twice: a server sends a million rows in
// about half of verify's time), a batch's finished
// (which its finish row chains), and the table that the chain's table
// names at the row's place (NULL when it has none there). Each table's rows
// come by their place's index and are merged, none sorted: a server merges
// them with the chain's rows (a merge join), a file looks each row's place
// up as it comes (its planner would sort the rows of a join of the merge).
std::string Stream_sql(Layout_backend backend)
{
    bool server = backend == LAYOUT_SERVER;
    std::string sql = server ? "SELECT s.*, chain.tbl FROM (" : "";
    for (const Chain_table &table : CHAIN_TABLES) {
        std::string name = table.name;
        sql += name == CHAIN_TABLES[0].name ? "SELECT '" : " UNION ALL SELECT '";
        sql += name + "' AS t, " + name + ".seq AS seq, hash";
        std::string_view rest = table.fields;
        std::size_t n = 0;
        for (; !rest.empty(); ++n) {
            std::size_t comma = rest.find(", ");
            sql += ", " + Chain_text(backend, rest.substr(0, comma));
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 2);
        }
        for (; n < MOST_FIELDS; ++n)
            sql += ", NULL";
        sql += name == "batch" ? ", " + Chain_text(backend, "finished") : ", NULL";
        sql += server ? " FROM " + name : ", chain.tbl FROM " + name + " LEFT JOIN chain ON chain.seq = " + name + ".seq";
    }
    return sql + (server ? ") s LEFT JOIN chain ON chain.seq = s.seq ORDER BY s.seq" : " ORDER BY seq");
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

// Of a table's rows in the chain: how many fields, and which of them names
// the row (its key); none for a table that is not chained.
struct Shape {
    std::size_t fields;
    std::size_t key;
};

Shape Shape_of(std::string_view table)
{
    static const std::map<std::string, Shape, std::less<>> shapes = [] {
        std::map<std::string, Shape, std::less<>> all;
        for (const Chain_table &each : CHAIN_TABLES) {
            std::vector<std::string> fields = Chain_fields(each);
            auto key = std::find(fields.begin(), fields.end(), each.key) - fields.begin();
            all[each.name] = {fields.size(), static_cast<std::size_t>(key)};
        }
        return all;
    }();
    auto shape = shapes.find(table);
    return shape == shapes.end() ? Shape{0, 0} : shape->second;
}

// The key of a row of table, as messages name the row.
std::string Key(const Ledger_row &row, std::string_view table)
{
    Shape shape = Shape_of(table);
    return shape.fields == 0 ? std::string() : Text(row[FIELDS + shape.key]);
}

// Why the row of table, key and place seq breaks the chain: hashed when its
// hash holds, held when its finish too.
std::string Broken(Walk &walk, const Ledger_row &row, std::string_view table, long long seq, bool hashed, bool held)
{
    std::string name = std::string(table) + " " + Key(row, table);
    std::string at = "the chain breaks at row " + std::to_string(seq) + " (" + name + "): ";
    if (seq < walk.next)
        return "row " + std::to_string(seq) + " is in the chain twice (" + walk.prevTable + " " + walk.prevKey + " and " +
               name + ")";
    if (seq > walk.next)
        return at + "a row is missing before it";
    if (held && row[LISTED].data() == nullptr)
        return at + "its place is missing from the chain's table";
    if (held)
        return at + "the chain's table names it a row of " + Text(row[LISTED]);
    if (hashed)
        return at + "batch " + Key(row, table) + "'s finished is not this row's";
    return at + "its hash is not its fields'";
}

// Takes one row of the stream; false once the chain breaks.
bool Take(Walk &walk, const Ledger_row &row)
{
    std::string_view table = row[0];
    if (row[1].data() == nullptr || row[2].data() == nullptr) {
        walk.broken = "the chain breaks at " + std::string(table) + " " + Key(row, table) + ": it has no place in the chain";
        return false;
    }
    long long seq = 0;
    std::from_chars(row[1].data(), row[1].data() + row[1].size(), seq);
    std::string name(table);
    Shape shape = Shape_of(table);
    bool hashed = seq == walk.next &&
                  Chain_hash(walk.prev, name.c_str(), std::span(row).subspan(FIELDS, shape.fields)) == row[2];
    bool holds = hashed;
    if (holds && table == "batch")
        walk.finished[Key(row, table)] = Text(row[FINISHED]);
    if (holds && table == "finish") {
        auto batch = walk.finished.find(Key(row, table));
        holds = batch != walk.finished.end() && batch->second == Text(row[FIELDS + 1]);
        if (holds)
            walk.finished.erase(batch);
    }
    if (!holds || row[LISTED] != table) {
        walk.broken = Broken(walk, row, table, seq, hashed, holds);
        return false;
    }
    walk.prev.assign(row[2]);
    walk.prevTable.assign(table);
    walk.prevKey = Key(row, table);
    ++walk.next;
    return true;
}

} // namespace

bool Ledger_verify(Ledger *ledger, long long &rows, std::string &head, Fault &fault)
{
    Walk walk{};
    long long places = -1;
    Ledger_row columns;
    auto take = [&](const Query_row &row) {
        columns.resize(row.columns.size());
        for (std::size_t i = 0; i < columns.size(); ++i)
            columns[i] = row.columns[i] == nullptr ? std::string_view() : std::string_view(row.columns[i], row.lengths[i]);
        return Take(walk, columns);
    };
    // Many rows, as an export's: a server's come a chunk at a time. Both
    // reads see one snapshot: a lease or a batch committed between them is
    // in neither, not in the chain's table alone.
    bool server = ledger->ops->dialect->backend == LAYOUT_SERVER;
    bool ok = ledger->ops->rows == nullptr ||
              (ledger->ops->exec(*ledger, server ? "BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY" : "BEGIN") &&
               ledger->ops->query(*ledger, Stream_sql(ledger->ops->dialect->backend).c_str(), {}, take, true) &&
               ledger->ops->rows(*ledger, "SELECT count(*) FROM chain", [&](const Ledger_row &row) {
                   places = std::stoll(std::string(row[0]));
                   return false;
               }) &&
               ledger->ops->exec(*ledger, "COMMIT"));
    if (!ok) {
        std::string error = ledger->error;
        ledger->ops->exec(*ledger, "ROLLBACK");
        return Fault_fail(fault, ledger->name.c_str(), "%s", error.c_str());
    }
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
