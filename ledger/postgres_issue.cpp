// Issuing addresses on a server, and reading batches back. Nothing goes to
// the server one address at a time: addresses are issued with COPY, checked
// with one statement over an array, and read back through a cursor, a chunk
// of rows at a time.
#include "chain.h"
#include "lease.h"
#include "postgres.h"

namespace postgres {

namespace {

constexpr std::size_t COPY_CHUNK = 1 << 20;

// A value in COPY's text form: backslash, tab and line ends escaped.
void Copy_text(std::string &out, std::string_view text)
{
    for (char c : text) {
        if (c == '\\' || c == '\t' || c == '\n' || c == '\r') {
            out.push_back('\\');
            c = c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : c;
        }
        out.push_back(c);
    }
}

// Sends every address of batch id in COPY's text form, a chunk at a time.
bool Copy_addresses(Ledger &ledger, long long id, const std::vector<Ledger_address> &addresses)
{
    PGconn *conn = Conn(ledger);
    if (Run(ledger, "COPY address (mac, batch, unit, serial, sha256) FROM STDIN", {}, PGRES_COPY_IN) == nullptr)
        return false;
    std::string batch = "\t"; // built in steps: GCC 12's optimiser warns of "..." + std::string
    batch += std::to_string(id);
    batch += '\t';
    std::string chunk;
    bool sent = true;
    for (std::size_t i = 0; sent && i < addresses.size(); ++i) {
        const Ledger_address &address = addresses[i];
        chunk.append(Hex(address.mac)).append(batch).append(std::to_string(address.unit)).push_back('\t');
        if (address.serial.empty())
            chunk.append("\\N");
        else
            Copy_text(chunk, address.serial);
        chunk.append("\t").append(Digest_hex(address.sha256)).push_back('\n');
        if (chunk.size() >= COPY_CHUNK || i + 1 == addresses.size()) {
            sent = PQputCopyData(conn, chunk.data(), static_cast<int>(chunk.size())) == 1;
            chunk.clear();
        }
    }
    bool ended = PQputCopyEnd(conn, sent ? nullptr : "the addresses were not all sent") == 1;
    Result done{PQgetResult(conn), PQclear};
    bool ok = (sent && ended && PQresultStatus(done.get()) == PGRES_COMMAND_OK) || Fail(ledger, done.get());
    while (Result{PQgetResult(conn), PQclear} != nullptr) { // what the copy left, to its end
    }
    return ok;
}

} // namespace

bool Issuers(Ledger &ledger, const std::vector<Mac_address> &macs, std::vector<long long> &batches)
{
    batches.assign(macs.size(), 0);
    if (macs.empty())
        return true;
    std::vector<std::string> hex;
    hex.reserve(macs.size());
    for (Mac_address mac : macs)
        hex.push_back(Hex(mac));
    std::string array = Array_of(hex);
    std::vector<Lease_span> leases; // an address leased to a site: -(its lease)
    if (!Lease_spans(ledger, leases))
        return false;
    for (std::size_t i = 0; i < macs.size(); ++i)
        batches[i] = -Lease_holding(leases, macs[i].bits);
    Result result = Run(ledger,
                        "SELECT u.i, a.batch FROM unnest($1::text[]) WITH ORDINALITY AS u(mac, i)"
                        " JOIN address a ON a.mac = u.mac COLLATE \"C\"",
                        {array.c_str()});
    if (result == nullptr)
        return false;
    for (int row = 0; row < PQntuples(result.get()); ++row)
        batches[static_cast<std::size_t>(Number(PQgetvalue(result.get(), row, 0)) - 1)] =
            Number(PQgetvalue(result.get(), row, 1));
    return true;
}

// The range's free runs: what is not free comes in order, each issued
// address a stretch of one; a further exclusion is a further SELECT of
// stretches (first, last) joined here with UNION ALL.
bool Free(Ledger &ledger, Mac_range range, std::size_t need, std::size_t run,
          const std::unordered_set<std::uint64_t> &taken, std::vector<Mac_address> &out)
{
    Free_search search = Free_start(range, need, run, taken, out);
    std::string first = Hex(range.first); // quoted below: GCC 12's optimiser warns of "'" + a temporary string
    std::string last = Hex(range.last);
    first = '\'' + first + '\'';
    last = '\'' + last + '\'';
    // Leased to a site (kept_last NULL once wholly returned), never issued here.
    bool ok = Each_row(ledger,
                       "SELECT mac, mac FROM address WHERE mac BETWEEN " + first + " AND " + last +
                           " UNION ALL SELECT first, kept_last FROM lease WHERE kept_last IS NOT NULL AND kept_last >= " +
                           first + " AND first <= " + last + " ORDER BY 1",
                       [&](const PGresult *chunk, int row) {
                           Mac_address first{};
                           Mac_address last{};
                           Mac_parse(PQgetvalue(chunk, row, 0), first);
                           Mac_parse(PQgetvalue(chunk, row, 1), last);
                           return Free_blocked(search, first.bits, last.bits);
                       });
    if (ok)
        Free_end(search);
    return ok;
}

bool Serials(Ledger &ledger, const std::vector<std::string_view> &serials, std::vector<Ledger_holder> &holders,
             long long except)
{
    holders.assign(serials.size(), Ledger_holder{0, {0}});
    if (serials.empty())
        return true;
    std::string array = Array_of(serials);
    std::string other = std::to_string(except);
    Result result = Run(ledger,
                        "SELECT DISTINCT ON (u.i) u.i, a.batch, a.mac"
                        " FROM unnest($1::text[]) WITH ORDINALITY AS u(serial, i)"
                        " JOIN address a ON a.serial = u.serial WHERE a.batch <> $2 ORDER BY u.i, a.batch, a.unit, a.mac",
                        {array.c_str(), other.c_str()});
    if (result == nullptr)
        return false;
    for (int row = 0; row < PQntuples(result.get()); ++row) {
        Ledger_holder &holder = holders[static_cast<std::size_t>(Number(PQgetvalue(result.get(), row, 0)) - 1)];
        holder.batch = Number(PQgetvalue(result.get(), row, 1));
        Mac_parse(PQgetvalue(result.get(), row, 2), holder.mac);
    }
    return true;
}

bool Issue(Ledger &ledger, const Ledger_batch &batch, const std::vector<Ledger_address> &addresses, long long *id)
{
    std::string units = std::to_string(batch.units);
    std::string first = Hex(batch.range.first);
    std::string last = Hex(batch.range.last);
    Result result = Run(ledger,
                        "INSERT INTO batch (started, template_sha256, outdir, units, version, reissue, range_first,"
                        " range_last, host, runner) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10) RETURNING id",
                        {batch.started.c_str(), batch.templateSha256.c_str(), batch.outdir.c_str(), units.c_str(),
                         batch.version.c_str(), batch.reissue ? "1" : "0", batch.ranged ? first.c_str() : nullptr,
                         batch.ranged ? last.c_str() : nullptr, batch.host.c_str(), batch.runner.c_str()});
    if (result == nullptr)
        return false;
    *id = Number(PQgetvalue(result.get(), 0, 0));
    return addresses.empty() || Copy_addresses(ledger, *id, addresses);
}

bool Read(Ledger &ledger, long long id, Ledger_batch &batch, std::vector<Ledger_issued> &addresses)
{
    std::string number = std::to_string(id);
    std::string query = "SELECT " + Chain_text(LAYOUT_SERVER, "started") + ", template_sha256, outdir, units, " +
                        Chain_text(LAYOUT_SERVER, "finished") + ", version, reissue FROM batch WHERE id = $1";
    Result result = Run(ledger, query.c_str(), {number.c_str()});
    if (result == nullptr)
        return false;
    if (PQntuples(result.get()) != 1) {
        ledger.error = "no batch " + number;
        return false;
    }
    const PGresult *row = result.get();
    batch.id = id;
    batch.started = Text(row, 0, 0);
    batch.templateSha256 = Text(row, 0, 1);
    batch.outdir = Text(row, 0, 2);
    batch.units = static_cast<std::size_t>(Number(PQgetvalue(row, 0, 3)));
    batch.finished = Text(row, 0, 4);
    batch.version = Text(row, 0, 5);
    batch.reissue = Number(PQgetvalue(row, 0, 6)) != 0;
    addresses.clear();
    return Each_row(ledger, "SELECT mac, unit, serial, sha256 FROM address WHERE batch = " + number + " ORDER BY unit, mac",
                    [&](const PGresult *chunk, int at) {
                        Ledger_issued issued{};
                        Mac_parse(PQgetvalue(chunk, at, 0), issued.mac);
                        issued.unit = static_cast<std::size_t>(Number(PQgetvalue(chunk, at, 1)));
                        issued.serial = Text(chunk, at, 2);
                        issued.sha256 = Text(chunk, at, 3);
                        addresses.push_back(std::move(issued));
                        return true;
                    });
}

} // namespace postgres
