#include "layout.h"

#include "backend.h"
#include "chain.h"

#include <cstring>
#include <iterator>
#include <string>

namespace {

// One statement of a step, for the backends named.
struct Statement {
    unsigned backends;
    const char *sql;
};

// The words: ${ID} a table's own number, given by the database as rows are
// added; ${INT} a 64-bit integer; ${MAC} an address's 12 hex digits,
// compared byte by byte whatever the database's locale; ${BATCH_KEY}
// address.batch's reference to its batch, which a server does not declare
// (checked on every one of 100,000 rows, it slows an issue; recbatch records
// the batch first, in the same transaction); ${SERIAL_ONLY} which addresses
// the serial's index holds; ${TIME} a time (a server's timestamptz; a file's
// ISO 8601 UTC text).

// 1: the batches and the addresses they issued.
constexpr Statement TO_1[] = {
    {LAYOUT_BOTH, "CREATE TABLE batch (id ${ID}, started TEXT NOT NULL, template_sha256 TEXT NOT NULL,"
                  " outdir TEXT NOT NULL, units ${INT} NOT NULL, finished TEXT)"},
    {LAYOUT_BOTH, "CREATE TABLE address (mac ${MAC} PRIMARY KEY, batch ${INT} NOT NULL${BATCH_KEY},"
                  " unit ${INT} NOT NULL, serial TEXT, sha256 TEXT)"},
};

// 2: the program's version and reissues recorded, the stations' claims,
// and the layout's own number. A ledger of layout 1 may have had the
// indexes already.
constexpr Statement TO_2[] = {
    {LAYOUT_BOTH, "ALTER TABLE batch ADD COLUMN version TEXT"},
    {LAYOUT_BOTH, "ALTER TABLE batch ADD COLUMN reissue INTEGER NOT NULL DEFAULT 0"},
    {LAYOUT_BOTH, "CREATE INDEX IF NOT EXISTS address_serial ON address (serial)${SERIAL_ONLY}"},
    {LAYOUT_BOTH, "CREATE INDEX IF NOT EXISTS address_batch ON address (batch, unit)"},
    {LAYOUT_BOTH, "CREATE TABLE claim (id ${ID}, mac ${MAC} NOT NULL REFERENCES address(mac),"
                  " station TEXT NOT NULL, claimed TEXT NOT NULL, version TEXT NOT NULL,"
                  " readback TEXT, checked TEXT, differs_at ${INT})"},
    {LAYOUT_BOTH, "CREATE INDEX claim_mac ON claim (mac)"},
    {LAYOUT_BOTH, "CREATE TABLE ledger_schema (version INTEGER NOT NULL)"},
};

// 3: claims added and never changed, each bound to the login that made it.
// A read-back is a row of its own, one per claim (its primary key), made
// by the claim's login (the reference to the claim's id and login); the
// read-backs recorded in claims move there, without a login, as do the
// claims they belong to. On a server, the login of each new row is the
// session's, set by the server whatever the row says, and the roles that
// could add claims may add read-backs.
constexpr Statement TO_3[] = {
    {LAYOUT_BOTH, "ALTER TABLE claim ADD COLUMN login TEXT"},
    {LAYOUT_BOTH, "CREATE UNIQUE INDEX claim_login ON claim (id, login)"},
    {LAYOUT_BOTH, "CREATE TABLE readback (claim ${INT} PRIMARY KEY, verdict TEXT NOT NULL, checked TEXT,"
                  " differs_at ${INT}, login TEXT, FOREIGN KEY (claim, login) REFERENCES claim (id, login))"},
    {LAYOUT_BOTH, "INSERT INTO readback (claim, verdict, checked, differs_at)"
                  " SELECT id, readback, checked, differs_at FROM claim WHERE readback IS NOT NULL"},
    {LAYOUT_BOTH, "ALTER TABLE claim DROP COLUMN readback"},
    {LAYOUT_BOTH, "ALTER TABLE claim DROP COLUMN checked"},
    {LAYOUT_BOTH, "ALTER TABLE claim DROP COLUMN differs_at"},
    {LAYOUT_SERVER, "CREATE FUNCTION ledger_login() RETURNS trigger LANGUAGE plpgsql"
                    " AS $$BEGIN NEW.login := session_user; RETURN NEW; END$$"},
    {LAYOUT_SERVER, "CREATE TRIGGER claim_login BEFORE INSERT ON claim FOR EACH ROW EXECUTE FUNCTION ledger_login()"},
    {LAYOUT_SERVER,
     "CREATE TRIGGER readback_login BEFORE INSERT ON readback FOR EACH ROW EXECUTE FUNCTION ledger_login()"},
    {LAYOUT_SERVER, "DO $$DECLARE r record; BEGIN FOR r IN SELECT DISTINCT grantee FROM information_schema.role_table_grants"
                    " WHERE table_schema = current_schema() AND table_name = 'claim' AND privilege_type = 'INSERT'"
                    " AND grantee <> current_user LOOP EXECUTE 'GRANT SELECT, INSERT ON readback TO ' ||"
                    " CASE r.grantee WHEN 'PUBLIC' THEN 'PUBLIC' ELSE quote_ident(r.grantee) END; END LOOP; END$$"},
};

// 4: the ledger's one chain of hashes, a batch's range, host and runner,
// and voids and releases; on a server, times are timestamptz. Every row a tool adds has its place in the chain
// (seq, unique across the tables through chain's key) and its hash, which
// covers its own fields and the hash of the row before it.
constexpr Statement TO_4[] = {
    {LAYOUT_BOTH, "ALTER TABLE batch ADD COLUMN range_first TEXT"},
    {LAYOUT_BOTH, "ALTER TABLE batch ADD COLUMN range_last TEXT"},
    {LAYOUT_BOTH, "ALTER TABLE batch ADD COLUMN host TEXT"},
    {LAYOUT_BOTH, "ALTER TABLE batch ADD COLUMN runner TEXT"},
    {LAYOUT_SERVER, "ALTER TABLE batch ALTER COLUMN started TYPE timestamptz USING started::timestamptz,"
                    " ALTER COLUMN finished TYPE timestamptz USING finished::timestamptz"},
    {LAYOUT_SERVER, "ALTER TABLE claim ALTER COLUMN claimed TYPE timestamptz USING claimed::timestamptz"},
    {LAYOUT_SERVER, "ALTER TABLE readback ALTER COLUMN checked TYPE timestamptz USING checked::timestamptz"},
    {LAYOUT_BOTH, "CREATE TABLE chain (seq ${INT} PRIMARY KEY, tbl TEXT NOT NULL)"},
    {LAYOUT_BOTH, "ALTER TABLE batch ADD COLUMN seq ${INT}"},
    {LAYOUT_BOTH, "ALTER TABLE batch ADD COLUMN hash TEXT"},
    {LAYOUT_BOTH, "ALTER TABLE address ADD COLUMN seq ${INT}"},
    {LAYOUT_BOTH, "ALTER TABLE address ADD COLUMN hash TEXT"},
    {LAYOUT_BOTH, "ALTER TABLE claim ADD COLUMN seq ${INT}"},
    {LAYOUT_BOTH, "ALTER TABLE claim ADD COLUMN hash TEXT"},
    {LAYOUT_BOTH, "ALTER TABLE readback ADD COLUMN seq ${INT}"},
    {LAYOUT_BOTH, "ALTER TABLE readback ADD COLUMN hash TEXT"},
    {LAYOUT_BOTH, "CREATE TABLE void (id ${ID}, mac ${MAC} NOT NULL REFERENCES address(mac), reason TEXT NOT NULL,"
                  " who TEXT NOT NULL, at ${TIME} NOT NULL, seq ${INT}, hash TEXT)"},
    {LAYOUT_BOTH, "CREATE INDEX void_mac ON void (mac)"},
    {LAYOUT_BOTH, "CREATE TABLE release (id ${ID}, claim ${INT} NOT NULL REFERENCES claim(id),"
                  " mac ${MAC} NOT NULL REFERENCES address(mac), reason TEXT NOT NULL, who TEXT NOT NULL,"
                  " at ${TIME} NOT NULL, seq ${INT}, hash TEXT)"},
    {LAYOUT_BOTH, "CREATE INDEX release_mac ON release (mac)"},
    {LAYOUT_BOTH, "CREATE TABLE finish (batch ${INT} PRIMARY KEY REFERENCES batch(id), at ${TIME} NOT NULL,"
                  " seq ${INT}, hash TEXT)"},
    {LAYOUT_BOTH, "CREATE UNIQUE INDEX batch_seq ON batch (seq)"},
    {LAYOUT_BOTH, "CREATE UNIQUE INDEX address_seq ON address (seq)"},
    {LAYOUT_BOTH, "CREATE UNIQUE INDEX finish_seq ON finish (seq)"},
    {LAYOUT_BOTH, "CREATE UNIQUE INDEX claim_seq ON claim (seq)"},
    {LAYOUT_BOTH, "CREATE UNIQUE INDEX readback_seq ON readback (seq)"},
    {LAYOUT_BOTH, "CREATE UNIQUE INDEX void_seq ON void (seq)"},
    {LAYOUT_BOTH, "CREATE UNIQUE INDEX release_seq ON release (seq)"},
    {LAYOUT_BOTH, "CREATE INDEX release_claim ON release (claim)"},
    {LAYOUT_SERVER, "CREATE FUNCTION ledger_who() RETURNS trigger LANGUAGE plpgsql"
                    " AS $$BEGIN NEW.who := session_user; RETURN NEW; END$$"},
    {LAYOUT_SERVER, "CREATE FUNCTION ledger_runner() RETURNS trigger LANGUAGE plpgsql"
                    " AS $$BEGIN NEW.runner := session_user; RETURN NEW; END$$"},
    {LAYOUT_SERVER, "CREATE TRIGGER batch_runner BEFORE INSERT ON batch FOR EACH ROW EXECUTE FUNCTION ledger_runner()"},
    {LAYOUT_SERVER, "CREATE TRIGGER void_who BEFORE INSERT ON void FOR EACH ROW EXECUTE FUNCTION ledger_who()"},
    {LAYOUT_SERVER, "CREATE TRIGGER release_who BEFORE INSERT ON release FOR EACH ROW EXECUTE FUNCTION ledger_who()"},
    {LAYOUT_SERVER, "DO $$DECLARE r record; BEGIN FOR r IN SELECT DISTINCT grantee FROM information_schema.role_table_grants"
                    " WHERE table_schema = current_schema() AND table_name = 'claim' AND privilege_type = 'INSERT'"
                    " AND grantee <> current_user LOOP EXECUTE 'GRANT SELECT, INSERT ON chain TO ' ||"
                    " CASE r.grantee WHEN 'PUBLIC' THEN 'PUBLIC' ELSE quote_ident(r.grantee) END ||"
                    " '; GRANT SELECT ON void, release, finish TO ' ||"
                    " CASE r.grantee WHEN 'PUBLIC' THEN 'PUBLIC' ELSE quote_ident(r.grantee) END; END LOOP; END$$"},
};

// 5, leases and sync: a block of addresses that the centre grants a site
// (lease), given back in part (lease_return); a site's own ledger (a LOCAL)
// holds its lease as its first row (site). Each lease keeps, outside its
// hash, the last address still leased (kept_last; NULL once all of it is
// given back) and how far its LOCAL has been synced (synced_seq, synced_hash);
// lease_map, not chained, maps the ids of a LOCAL's batches and claims to
// those they were given here. The database itself refuses two leases that
// overlap: a server by an exclusion constraint over their ranges as numbers,
// a file by a trigger (under its write lock). On a server, sync keeps the
// logins, runners and whos that the LOCAL recorded: the triggers leave them
// as given when the session says ledger.sync = on, which only the tables'
// owner may say.
#define LEDGER_SYNC_KEEPS                                                                                              \
    "IF current_setting('ledger.sync', true) = 'on' THEN IF NOT pg_has_role(session_user,"                             \
    " (SELECT relowner FROM pg_class WHERE oid = TG_RELID), 'MEMBER') THEN RAISE EXCEPTION"                            \
    " 'only the ledger''s owner may sync'; END IF; RETURN NEW; END IF; "
constexpr Statement TO_5_LEASE[] = {
    {LAYOUT_BOTH, "CREATE TABLE lease (id ${ID}, site TEXT NOT NULL, first ${MAC} NOT NULL, last ${MAC} NOT NULL,"
                  " count ${INT} NOT NULL, granted ${TIME} NOT NULL, who TEXT NOT NULL, local TEXT NOT NULL,"
                  " seq ${INT}, hash TEXT, kept_last ${MAC}, synced_seq ${INT} NOT NULL DEFAULT 0, synced_hash TEXT)"},
    {LAYOUT_BOTH, "CREATE UNIQUE INDEX lease_seq ON lease (seq)"},
    {LAYOUT_BOTH, "CREATE TABLE lease_return (id ${ID}, lease ${INT} NOT NULL, first ${MAC} NOT NULL,"
                  " last ${MAC} NOT NULL, at ${TIME} NOT NULL, who TEXT NOT NULL, seq ${INT}, hash TEXT)"},
    {LAYOUT_BOTH, "CREATE UNIQUE INDEX lease_return_seq ON lease_return (seq)"},
    {LAYOUT_BOTH, "CREATE TABLE site (lease ${INT} PRIMARY KEY, site TEXT NOT NULL, central TEXT NOT NULL,"
                  " local TEXT NOT NULL, first ${MAC} NOT NULL, last ${MAC} NOT NULL, count ${INT} NOT NULL,"
                  " granted ${TIME} NOT NULL, seq ${INT}, hash TEXT)"},
    {LAYOUT_BOTH, "CREATE UNIQUE INDEX site_seq ON site (seq)"},
    {LAYOUT_BOTH, "CREATE TABLE lease_map (lease ${INT} NOT NULL, tbl TEXT NOT NULL, local_id ${INT} NOT NULL,"
                  " central_id ${INT} NOT NULL, PRIMARY KEY (lease, tbl, local_id))"},
    {LAYOUT_BOTH, "CREATE INDEX lease_map_central ON lease_map (tbl, central_id)"},
    {LAYOUT_FILE, "CREATE TRIGGER lease_apart BEFORE INSERT ON lease WHEN EXISTS (SELECT 1 FROM lease WHERE"
                  " kept_last IS NOT NULL AND first <= NEW.last AND NEW.first <= kept_last)"
                  " BEGIN SELECT RAISE(ABORT, 'the lease overlaps another'); END"},
    {LAYOUT_SERVER, "CREATE FUNCTION ledger_mac_number(text) RETURNS bigint LANGUAGE sql IMMUTABLE STRICT"
                    " AS $$SELECT ('x' || lpad($1, 16, '0'))::bit(64)::bigint$$"},
    {LAYOUT_SERVER, "ALTER TABLE lease ADD CONSTRAINT lease_apart EXCLUDE USING gist (int8range(ledger_mac_number(first),"
                    " coalesce(ledger_mac_number(kept_last) + 1, ledger_mac_number(first))) WITH &&)"},
    {LAYOUT_SERVER, "CREATE OR REPLACE FUNCTION ledger_who() RETURNS trigger LANGUAGE plpgsql"
                    " AS $$BEGIN " LEDGER_SYNC_KEEPS "NEW.who := session_user; RETURN NEW; END$$"},
    {LAYOUT_SERVER, "CREATE OR REPLACE FUNCTION ledger_runner() RETURNS trigger LANGUAGE plpgsql"
                    " AS $$BEGIN " LEDGER_SYNC_KEEPS "NEW.runner := session_user; RETURN NEW; END$$"},
    {LAYOUT_SERVER, "CREATE OR REPLACE FUNCTION ledger_login() RETURNS trigger LANGUAGE plpgsql"
                    " AS $$BEGIN " LEDGER_SYNC_KEEPS "NEW.login := session_user; RETURN NEW; END$$"},
    {LAYOUT_SERVER, "CREATE TRIGGER lease_who BEFORE INSERT ON lease FOR EACH ROW EXECUTE FUNCTION ledger_who()"},
    {LAYOUT_SERVER,
     "CREATE TRIGGER lease_return_who BEFORE INSERT ON lease_return FOR EACH ROW EXECUTE FUNCTION ledger_who()"},
    {LAYOUT_SERVER, "DO $$DECLARE r record; BEGIN FOR r IN SELECT DISTINCT grantee FROM information_schema.role_table_grants"
                    " WHERE table_schema = current_schema() AND table_name = 'claim' AND privilege_type = 'INSERT'"
                    " AND grantee <> current_user LOOP EXECUTE 'GRANT SELECT ON lease, lease_return, site TO ' ||"
                    " CASE r.grantee WHEN 'PUBLIC' THEN 'PUBLIC' ELSE quote_ident(r.grantee) END; END LOOP; END$$"},
};
#undef LEDGER_SYNC_KEEPS

// 6, the runs of addresses that each batch issued (address_run: its
// lowest and highest, all between issued by it), which a grant of a lease
// steps over whole instead of reading every address. Not chained: it says
// again what the addresses, which are, say; a site's batches lie in its
// lease and have none. The upgrade finds the runs of the batches before it.
constexpr Statement TO_6_RUNS[] = {
    {LAYOUT_BOTH, "CREATE TABLE address_run (first ${MAC} PRIMARY KEY, last ${MAC} NOT NULL, batch ${INT} NOT NULL)"},
    {LAYOUT_BOTH, "INSERT INTO address_run (first, last, batch) SELECT min(mac), max(mac), batch FROM (SELECT mac, batch,"
                  " ledger_mac_number(mac) - row_number() OVER (PARTITION BY batch ORDER BY mac) AS run FROM address"
                  " WHERE batch NOT IN (SELECT central_id FROM lease_map WHERE tbl = 'batch')) AS a GROUP BY batch, run"},
};

// 7, on a server: a login other than the owner's may give a place in the
// chain only to a row that it added itself (a claim or read-back of its
// login, a void or release of its who), which has its hash, and only the
// places right after the chain's last. A station needs INSERT on chain for
// its claims' places; without this it could add a place for no row, for a
// row of no hash, or the last place a number can hold, at which every later
// write would stop. Checked once a statement, over the rows it added, and
// at its start for the owner, so that a batch's many places cost one call.
constexpr Statement TO_7_CHAIN_OWN[] = {
    {LAYOUT_SERVER,
     "CREATE OR REPLACE FUNCTION ledger_chain_own() RETURNS trigger LANGUAGE plpgsql AS $$DECLARE place record; hash_of text; BEGIN"
     " IF pg_has_role(session_user, (SELECT relowner FROM pg_class WHERE oid = TG_RELID), 'MEMBER') THEN RETURN NULL;"
     " END IF; IF EXISTS (SELECT 1 FROM added a WHERE NOT ("
     "(a.tbl = 'claim' AND EXISTS (SELECT 1 FROM claim t WHERE t.seq = a.seq AND t.login = session_user)) OR"
     " (a.tbl = 'readback' AND EXISTS (SELECT 1 FROM readback t WHERE t.seq = a.seq AND t.login = session_user)) OR"
     " (a.tbl = 'void' AND EXISTS (SELECT 1 FROM void t WHERE t.seq = a.seq AND t.who = session_user)) OR"
     " (a.tbl = 'release' AND EXISTS (SELECT 1 FROM release t WHERE t.seq = a.seq AND t.who = session_user))))"
     " THEN RAISE EXCEPTION 'a place in the chain is only for a row that this login added'; END IF;"
     " FOR place IN SELECT seq, tbl FROM added LOOP EXECUTE format('SELECT hash FROM %I WHERE seq = $1', place.tbl)"
     " INTO hash_of USING place.seq; IF length(hash_of) IS DISTINCT FROM 64 THEN"
     " RAISE EXCEPTION 'a place in the chain is only for a row with its hash'; END IF; END LOOP;"
     " IF (SELECT min(seq) FROM added) <> coalesce((SELECT max(c.seq) FROM chain c"
     " WHERE c.seq NOT IN (SELECT seq FROM added)), 0) + 1 OR (SELECT max(seq) - min(seq) + 1 <> count(*) FROM added)"
     " THEN RAISE EXCEPTION 'a place in the chain is only the one after its last'; END IF;"
     " RETURN NULL; END$$"},
    {LAYOUT_SERVER, "CREATE OR REPLACE TRIGGER chain_own AFTER INSERT ON chain REFERENCING NEW TABLE AS added"
                    " FOR EACH STATEMENT EXECUTE FUNCTION ledger_chain_own()"},
};

// STEPS[n] takes a ledger of layout n to layout n + 1.
constexpr std::span<const Statement> STEPS[] = {TO_1, TO_2, TO_3, TO_4, TO_5_LEASE, TO_6_RUNS, TO_7_CHAIN_OWN};
static_assert(std::size(STEPS) == LEDGER_SCHEMA_VERSION, "one step to each layout");

// The statement with every word of dialect spelt out.
std::string Layout_text(const char *sql, const Layout_dialect &dialect)
{
    std::string text = sql;
    for (const Layout_word &word : dialect.words)
        for (std::size_t at = 0; (at = text.find(word.name, at)) != std::string::npos; at += std::strlen(word.text))
            text.replace(at, std::strlen(word.name), word.text);
    return text;
}

// Takes the ledger from layout to this program's, within the transaction.
bool Steps(Ledger &ledger, int layout)
{
    const Layout_dialect &dialect = *ledger.ops->dialect;
    if (layout > LEDGER_SCHEMA_VERSION) {
        ledger.error = "the ledger's layout " + std::to_string(layout) + " is newer than this program's " +
                       std::to_string(LEDGER_SCHEMA_VERSION);
        return false;
    }
    std::string version = "INSERT INTO ledger_schema (version) VALUES (" + std::to_string(LEDGER_SCHEMA_VERSION) + ")";
    bool ok = true;
    for (int step = layout; ok && step < LEDGER_SCHEMA_VERSION; ++step)
        for (const Statement &statement : STEPS[step])
            ok = ok && ((statement.backends & dialect.backend) == 0 ||
                        ledger.ops->exec(ledger, Layout_text(statement.sql, dialect).c_str()));
    // The chain starts at the upgrade to layout 4, over the rows in their
    // order then; a ledger of layout 4 or later is chained already.
    ok = ok && (layout == 0 || layout >= 4 || ledger.ops->rows == nullptr || Chain_existing(ledger));
    ok = ok && ledger.ops->exec(ledger, "DELETE FROM ledger_schema") && ledger.ops->exec(ledger, version.c_str());
    if (!ok && layout > 0) // a station's login, say, may not change the tables
        ledger.error = "the ledger's layout " + std::to_string(layout) + " cannot be brought to " +
                       std::to_string(LEDGER_SCHEMA_VERSION) + ": " + ledger.error;
    return ok;
}

} // namespace

bool Layout_bring(Ledger &ledger, bool create)
{
    int layout = 0;
    if (!ledger.ops->layout(ledger, layout))
        return false;
    if (layout == LEDGER_SCHEMA_VERSION)
        return true;
    if (layout == 0 && !create) {
        ledger.error = "holds no ledger";
        return false;
    }
    // Read again under the lock: another run may have changed it meanwhile.
    if (!ledger.ops->begin(ledger))
        return false;
    if (!ledger.ops->layout(ledger, layout) || (layout != LEDGER_SCHEMA_VERSION && !Steps(ledger, layout))) {
        std::string error = ledger.error;
        ledger.ops->end(ledger, false);
        ledger.error = error;
        return false;
    }
    return ledger.ops->end(ledger, true);
}
