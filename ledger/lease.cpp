// Leases: a block of addresses that the centre grants a site, recorded in
// the centre's ledger, and the site's own ledger (a LOCAL) that holds it.
#include "lease.h"

#include "chain.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Hex(std::uint64_t bits)
{
    return Mac_hex({bits}).data();
}

// Stretches of range that are wholly taken, lowest first, none touching
// another: each lease's kept part, and each run of addresses that a batch
// issued here.
bool Taken_spans(Ledger &ledger, Mac_range range, std::vector<Lease_span> &spans)
{
    if (!Lease_spans(ledger, spans))
        return false;
    bool ok = ledger.ops->rows(ledger,
                               "SELECT first, last FROM address_run WHERE last >= '" + Hex(range.first.bits) +
                                   "' AND first <= '" + Hex(range.last.bits) + "'",
                               [&](const Ledger_row &row) {
                                   Mac_address first{0};
                                   Mac_address last{0};
                                   if (Mac_parse(row[0], first) && Mac_parse(row[1], last))
                                       spans.push_back({first.bits, last.bits, 0});
                                   return true;
                               });
    std::sort(spans.begin(), spans.end(), [](const Lease_span &a, const Lease_span &b) { return a.first < b.first; });
    std::size_t kept = 0;
    for (const Lease_span &span : spans)
        if (kept > 0 && span.first <= spans[kept - 1].last + 1)
            spans[kept - 1].last = std::max(spans[kept - 1].last, span.last);
        else
            spans[kept++] = span;
    spans.resize(kept);
    return ok;
}

// Where a run of count from at may start, past every taken stretch that
// the run would touch.
std::uint64_t Past_taken(const std::vector<Lease_span> &spans, std::uint64_t at, std::uint64_t count)
{
    auto span = std::lower_bound(spans.begin(), spans.end(), at,
                                 [](const Lease_span &s, std::uint64_t bits) { return s.last < bits; });
    for (; span != spans.end() && span->first <= at + count - 1; ++span)
        at = span->last + 1;
    return at;
}

// The lowest run of count addresses of range that no address issued and
// no lease holds: *found false when there is none. Each step looks at a
// window from at, past the taken stretches: with no address issued, it is
// the run; all issued, it moves past it and doubles (a stretch issued whole
// is crossed in a few steps); else it moves past the highest.
bool Lowest_run(Ledger &ledger, Mac_range range, std::uint64_t count, std::uint64_t &first, bool *found)
{
    std::vector<Lease_span> spans;
    if (!Taken_spans(ledger, range, spans))
        return false;
    *found = false;
    std::uint64_t window = count;
    for (std::uint64_t at = range.first.bits; at + count - 1 <= range.last.bits;) {
        std::uint64_t past = Past_taken(spans, at, count);
        if (past != at) {
            at = past;
            window = count;
            continue;
        }
        window = std::min(window, range.last.bits - at + 1);
        std::vector<std::string> issued;
        if (!Chain_firstRow(ledger,
                            "SELECT CAST(count(*) AS TEXT), max(mac) FROM address WHERE mac BETWEEN '" + Hex(at) +
                                "' AND '" + Hex(at + window - 1) + "'",
                            issued))
            return false;
        std::uint64_t held = std::stoull(issued[0]);
        Mac_address highest{0};
        if (held == 0 && window >= count) {
            first = at;
            *found = true;
            return true;
        }
        if (held == window) {
            at += window;
            window *= 2;
            continue;
        }
        if (window > count) {
            window = count;
            continue;
        }
        at = Mac_parse(issued[1], highest) ? highest.bits + 1 : at + 1;
    }
    return true;
}

// The range that a lease comes from without -m: the centre's latest
// batch's that had one, of its own (not a site's, whose range is its lease).
bool Default_range(Ledger &ledger, Mac_range &range, bool *found)
{
    std::vector<std::string> row;
    if (!Chain_firstRow(ledger, "SELECT range_first, range_last FROM batch WHERE range_first IS NOT NULL AND id NOT IN"
                        " (SELECT central_id FROM lease_map WHERE tbl = 'batch') ORDER BY id DESC LIMIT 1",
                row))
        return false;
    *found = row.size() == 2 && Mac_parse(row[0], range.first) && Mac_parse(row[1], range.last);
    return true;
}

// The centre as a LOCAL names it: a file by its absolute path, a server by
// its URI without the password that messages elide.
bool Central_name(const Ledger &central, const char *where, std::string &name)
{
    name = central.name;
    if (central.ops->dialect->backend == LAYOUT_FILE) {
        char path[PATH_MAX];
        if (realpath(where, path) == nullptr)
            return false;
        name = path;
        return true;
    }
    for (std::string_view elided : {":***@", "&password=***", "password=***&", "?password=***"}) {
        std::string_view kept = elided[0] == ':' ? "@" : elided[0] == '?' ? "?" : "";
        for (std::size_t at; (at = name.find(elided)) != std::string::npos;)
            name = name.substr(0, at).append(kept).append(name.substr(at + elided.size()));
    }
    if (name.ends_with("?"))
        name.pop_back();
    return name.find("***") == std::string::npos;
}

// 32 lower-case hex digits from the system's random source.
bool Identity(std::string &local)
{
    unsigned char bytes[16];
    if (getrandom(bytes, sizeof bytes, 0) != sizeof bytes)
        return false;
    local.clear();
    for (unsigned char byte : bytes) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", byte);
        local += two;
    }
    return true;
}

// The fields of a LOCAL's site row, in the chain's order.
std::vector<std::string> Site_fields(const Ledger_lease &lease)
{
    return {lease.site, lease.central, lease.local, std::to_string(lease.id), Hex(lease.range.first.bits),
            Hex(lease.range.last.bits), std::to_string(lease.count), lease.granted};
}

std::vector<const char *> Pointers(const std::vector<std::string> &texts)
{
    std::vector<const char *> pointers;
    for (const std::string &text : texts)
        pointers.push_back(text.c_str());
    return pointers;
}

// Records the lease in the centre, within its transaction, with the hash of
// the LOCAL's first row as where its sync starts.
bool Record_lease(Ledger &central, Ledger_lease &lease)
{
    std::string id;
    std::string who;
    if (!Identity(lease.local)) {
        central.error = "no random identity: " + std::string(std::strerror(errno));
        return false;
    }
    if (!Chain_nextId(central, "lease", id) || !Chain_who(central, who))
        return false;
    lease.id = std::stoll(id);
    lease.granted = Ledger_now();
    std::vector<std::string> site = Site_fields(lease);
    std::vector<std::string_view> views(site.begin(), site.end());
    std::string hash = Chain_hash(std::string(64, '0'), "site", views);
    std::string count = std::to_string(lease.count);
    return Chain_insert(central, "lease",
                        {id.c_str(), lease.site.c_str(), site[4].c_str(), site[5].c_str(), count.c_str(),
                         lease.granted.c_str(), who.c_str(), lease.local.c_str()}) &&
           central.ops->put(central, "UPDATE lease SET kept_last = last, synced_seq = 1, synced_hash = $1 WHERE id = $2",
                            {hash.c_str(), id.c_str()});
}

// Syncs the file or folder at path to the disk.
bool Synced(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = fsync(fd) == 0;
    int error = errno;
    close(fd);
    errno = error;
    return ok;
}

// Makes the LOCAL at path, a name no one else knows, holding the lease as
// its first row; written whole, then synced once.
bool Make_local(const char *path, const Ledger_lease &lease, Fault &fault)
{
    Ledger_ptr local{nullptr, Ledger_close};
    if (!Ledger_make(path, local, fault))
        return false;
    Ledger &ledger = *local;
    std::vector<std::string> site = Site_fields(lease);
    bool ok = ledger.ops->begin(ledger) && Chain_insert(ledger, "site", Pointers(site)) && ledger.ops->end(ledger, true);
    if (!ok)
        return Fault_fail(fault, path, "%s", ledger.error.c_str());
    local.reset();
    return Synced(path) || Fault_system(fault, path, errno);
}

// The folder that holds path, as a path.
std::string Folder_of(const char *path)
{
    std::string folder = path;
    std::size_t slash = folder.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
}

// Ends the centre's transaction: rolled back with fault kept, or
// committed. A commit that fails leaves the lease perhaps recorded (a
// server may have committed and its answer been lost): *unknown says so.
bool Settle(Ledger &central, bool ok, bool *unknown, Fault &fault)
{
    *unknown = false;
    if (ok && central.ops->end(central, true))
        return true;
    *unknown = ok;
    std::string error = central.error;
    central.ops->end(central, false);
    if (fault.why[0] == '\0' && fault.errnum == 0)
        Fault_fail(fault, central.name.c_str(), "%s", error.c_str());
    return false;
}

// A new file named from the template, made as the ledger's other files are
// (readable by all that the umask lets read), and closed; false with errno.
bool Make_temporary(std::string &name)
{
    int fd = mkstemp(name.data());
    if (fd < 0)
        return false;
    mode_t mask = umask(0);
    umask(mask);
    bool ok = fchmod(fd, 0666 & ~mask) == 0;
    int error = errno;
    close(fd);
    if (!ok)
        unlink(name.c_str());
    errno = error;
    return ok;
}

} // namespace

bool Lease_spans(Ledger &ledger, std::vector<Lease_span> &spans)
{
    spans.clear();
    return ledger.ops->rows(ledger, "SELECT first, kept_last, CAST(id AS TEXT) FROM lease WHERE kept_last IS NOT NULL ORDER BY first",
                            [&](const Ledger_row &row) {
                                Mac_address first{0};
                                Mac_address last{0};
                                Mac_parse(row[0], first);
                                Mac_parse(row[1], last);
                                spans.push_back({first.bits, last.bits, std::stoll(std::string(row[2]))});
                                return true;
                            });
}

long long Lease_holding(const std::vector<Lease_span> &spans, std::uint64_t bits)
{
    for (const Lease_span &span : spans)
        if (span.first <= bits && bits <= span.last)
            return span.id;
    return 0;
}

bool Lease_of(Ledger &ledger, Mac_address mac, long long *id)
{
    std::vector<Lease_span> spans;
    *id = 0;
    if (!Lease_spans(ledger, spans))
        return false;
    *id = Lease_holding(spans, mac.bits);
    return true;
}

bool Lease_ofBatch(Ledger &ledger, long long id, long long *lease)
{
    *lease = 0;
    if (ledger.ops->rows == nullptr) // the null ledger: no lease, no site
        return true;
    std::vector<std::string> row;
    bool ok = Chain_firstRow(ledger,
                             "SELECT CAST(lease AS TEXT) FROM lease_map WHERE tbl = 'batch' AND central_id = " +
                                 std::to_string(id),
                             row);
    *lease = ok && !row.empty() ? std::stoll(row[0]) : 0;
    return ok;
}

bool Lease_clear(Ledger &ledger, long long id)
{
    std::string lease;
    Mac_address mac{0};
    bool ok = ledger.ops->rows(ledger,
                               "SELECT CAST(l.id AS TEXT), (SELECT a.mac FROM address a WHERE a.mac BETWEEN l.first AND"
                               " l.kept_last AND a.batch = " + std::to_string(id) + " LIMIT 1) FROM lease l WHERE l.kept_last IS NOT NULL",
                               [&](const Ledger_row &row) {
                                   if (row[1].data() == nullptr || !Mac_parse(row[1], mac))
                                       return true;
                                   lease = row[0];
                                   return false;
                               });
    if (!ok || lease.empty())
        return ok;
    ledger.error = std::string(Mac_colons(mac).data()) + " was leased to a site (lease " + lease +
                   ") while this batch was issued: run it again";
    return false;
}

bool Ledger_site(Ledger *ledger, bool *local, Ledger_lease &lease, Fault &fault)
{
    std::vector<std::string> row;
    *local = false;
    if (ledger->ops->rows == nullptr)
        return true;
    bool ok = Chain_firstRow(*ledger, "SELECT CAST(lease AS TEXT), site, central, local, first, last, CAST(count AS TEXT), " +
                                  Chain_text(*ledger, "granted") + " FROM site",
                     row);
    if (ok && !row.empty()) {
        *local = true;
        lease = {std::stoll(row[0]), row[1], row[2], row[3], {}, std::stoul(row[6]), row[7], true, {}};
        Mac_parse(row[4], lease.range.first);
        Mac_parse(row[5], lease.range.last);
        lease.kept = lease.range;
        ok = Chain_firstRow(*ledger, "SELECT min(first) FROM lease_return", row);
    }
    if (ok && *local && !row.empty() && !row[0].empty()) {
        Mac_address returned{0};
        Mac_parse(row[0], returned);
        lease.left = returned.bits > lease.range.first.bits;
        lease.kept.last = {returned.bits - 1};
    }
    return ok || Fault_fail(fault, ledger->name.c_str(), "%s", ledger->error.c_str());
}

bool Ledger_grant(Ledger *central, const std::string &site, std::size_t count, const Mac_range *range,
                  const char *local, Ledger_lease &lease, Fault &fault)
{
    struct stat st{};
    if (lstat(local, &st) == 0 || errno != ENOENT)
        return errno == ENOENT || errno == 0 ? Fault_refuse(fault, local, "exists: a lease makes a new ledger")
                                             : Fault_system(fault, local, errno);
    bool isLocal = false;
    if (!Ledger_site(central, &isLocal, lease, fault))
        return false;
    if (isLocal)
        return Fault_refuse(fault, central->name.c_str(), "a site's ledger (lease %lld) grants no leases", lease.id);
    lease = {0, site, "", "", {}, count, "", true, {}};
    if (!Central_name(*central, central->name.c_str(), lease.central))
        return Fault_fail(fault, central->name.c_str(), "its name cannot be kept without its password");
    std::string temporary = std::string(local) + ".XXXXXX";
    bool found = true;
    std::uint64_t first = 0;
    Ledger &ledger = *central;
    bool ok = ledger.ops->begin(ledger) && (range != nullptr ? (lease.range = *range, true)
                                                             : Default_range(ledger, lease.range, &found));
    if (ok && !found)
        ok = Fault_refuse(fault, "-m", "give the range to lease from: %s has no batch with one", ledger.name.c_str());
    ok = ok && Lowest_run(ledger, lease.range, count, first, &found);
    if (ok && !found)
        ok = Fault_refuse(fault, "-n", "no %sfree address%s in %s-%s",
                          count == 1 ? "" : ("run of " + std::to_string(count) + " ").c_str(), count == 1 ? "" : "es",
                          Mac_colons(lease.range.first).data(), Mac_colons(lease.range.last).data());
    lease.range = {{first}, {first + count - 1}};
    lease.kept = lease.range;
    bool made = ok && Make_temporary(temporary);
    if (ok && !made)
        ok = Fault_system(fault, local, errno); // its folder: named as the user gave it
    ok = ok && Record_lease(ledger, lease) && Make_local(temporary.c_str(), lease, fault);
    // The temporary name on the disk too before the centre commits: a lease
    // whose LOCAL a power cut took with the folder's last change is lost.
    if (ok && !Synced(Folder_of(local).c_str()))
        ok = Fault_system(fault, Folder_of(local).c_str(), errno);
    bool unknown = false;
    if (!Settle(ledger, ok, &unknown, fault)) {
        if (unknown)
            return Fault_fail(fault, ledger.name.c_str(), "%s; if it holds lease %lld, its ledger is %s, else remove that file",
                              std::string(fault.why).c_str(), lease.id, temporary.c_str());
        if (made)
            unlink(temporary.c_str());
        return false;
    }
    // Recorded: the addresses are the site's whatever follows.
    if (link(temporary.c_str(), local) != 0)
        return Fault_fail(fault, local, "%s; lease %lld is recorded in %s, and its ledger is %s", std::strerror(errno),
                          lease.id, ledger.name.c_str(), temporary.c_str());
    unlink(temporary.c_str());
    if (!Synced(Folder_of(local).c_str()))
        return Fault_fail(fault, local, "%s; lease %lld is recorded in %s, and its ledger may not be on the disk",
                          std::strerror(errno), lease.id, ledger.name.c_str());
    return true;
}
