// Leases, for the ledger's own files: the blocks of addresses that the
// centre granted to sites (lease.cpp grants them, sync.cpp brings back
// what the sites issued from them). An address of a lease's kept part
// (first to kept_last) is the site's: the centre never issues it itself.
#pragma once

#include "backend.h"

#include <cstdint>
#include <vector>

struct Lease_span {
    std::uint64_t first, last; // the kept part
    long long id;
};

// The kept part of every lease, lowest first (none on a LOCAL).
bool Lease_spans(Ledger &ledger, std::vector<Lease_span> &spans);

// The lease whose kept part holds bits, or 0.
long long Lease_holding(const std::vector<Lease_span> &spans, std::uint64_t bits);

// The lease whose kept part holds mac, in *id (0 for none): on the centre,
// such an address is the site's to claim, void and release.
bool Lease_of(Ledger &ledger, Mac_address mac, long long *id);

// The lease whose site issued the centre's batch id, in *lease (0 for
// none): that batch is finished by the site's own audit, which sync brings.
bool Lease_ofBatch(Ledger &ledger, long long id, long long *lease);

// Fails when an address of batch id lies in a lease (granted while the
// batch was being issued, before it held the issuing lock).
bool Lease_clear(Ledger &ledger, long long id);
