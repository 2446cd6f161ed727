// The stations' claims and read-backs on a server. A claim or read-back
// takes an advisory lock of its address alone (CLAIM_LOCK and the
// address), so that stations wait only for those that take the same image.
// A row lock would serve as well, but needs the right to update the address
// table, which a station must not have. The server sets the login of every
// claim and read-back itself, and refuses a read-back from another login
// than its claim's (layout.cpp).
#include "chain.h"
#include "postgres.h"

#include <cstdint>

namespace postgres {

namespace {

constexpr int CLAIM_LOCK = 0x7a6f6c63; // "zolc", with the address's low 32 bits

} // namespace

bool Lock_address(Ledger &ledger, Mac_address mac)
{
    auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(mac.bits));
    return Exec(ledger,
                ("SELECT pg_advisory_xact_lock(" + std::to_string(CLAIM_LOCK) + ", " + std::to_string(low) + ")").c_str());
}

bool Begin_claim(Ledger &ledger, Mac_address mac)
{
    return Exec(ledger, "BEGIN") && Lock_address(ledger, mac);
}

bool Lookup(Ledger &ledger, Mac_address mac, Ledger_record &record)
{
    record = Ledger_record{};
    std::string hex = Hex(mac);
    std::string query = "SELECT session_user, a.batch, a.sha256, " + Chain_text(LAYOUT_SERVER, "b.finished") + ", " +
                        Chain_text(LAYOUT_SERVER, "v.at") +
                        ", v.reason FROM (SELECT 1) one LEFT JOIN address a ON a.mac = $1"
                        " LEFT JOIN batch b ON b.id = a.batch LEFT JOIN void v ON v.mac = a.mac";
    Result result = Run(ledger, query.c_str(), {hex.c_str()});
    if (result == nullptr)
        return false;
    record.login = Text(result.get(), 0, 0);
    if (!PQgetisnull(result.get(), 0, 1)) {
        record.batch = Number(PQgetvalue(result.get(), 0, 1));
        record.sha256 = Text(result.get(), 0, 2);
        record.finished = Text(result.get(), 0, 3);
        record.voided = Text(result.get(), 0, 4);
        record.voidReason = Text(result.get(), 0, 5);
    }
    query = "SELECT c.id, c.station, " + Chain_text(LAYOUT_SERVER, "c.claimed") + ", c.version, r.verdict, " +
            Chain_text(LAYOUT_SERVER, "r.checked") + ", r.differs_at, c.login, (SELECT " +
            Chain_text(LAYOUT_SERVER, "max(at)") +
            " FROM release WHERE release.claim = c.id) FROM claim c LEFT JOIN readback r ON r.claim = c.id"
            " WHERE c.mac = $1 ORDER BY c.id";
    result = Run(ledger, query.c_str(), {hex.c_str()});
    if (result == nullptr)
        return false;
    const PGresult *rows = result.get();
    for (int row = 0; row < PQntuples(rows); ++row)
        record.claims.push_back({Number(PQgetvalue(rows, row, 0)), Text(rows, row, 1), Text(rows, row, 2),
                                 Text(rows, row, 3), Text(rows, row, 4), Text(rows, row, 5),
                                 PQgetisnull(rows, row, 6) ? -1 : Number(PQgetvalue(rows, row, 6)), Text(rows, row, 7),
                                 Text(rows, row, 8)});
    return true;
}

} // namespace postgres
