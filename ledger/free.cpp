// The search for free runs of a range, which both backends' free share: the
// backend hands it the stretches of the range that are not free, lowest
// first, and it takes the lowest aligned runs that none of them touches.
#include "backend.h"

Free_search Free_start(Mac_range range, std::size_t need, std::size_t run,
                       const std::unordered_set<std::uint64_t> &taken, std::vector<Mac_address> &out)
{
    return {range, need, run == 0 ? 1 : run, &taken, &out, range.first.bits};
}

bool Free_blocked(Free_search &search, std::uint64_t first, std::uint64_t last)
{
    while (search.out->size() < search.need) {
        std::uint64_t base = (search.next + search.run - 1) / search.run * search.run;
        std::uint64_t end = base + search.run - 1;
        if (end > search.range.last.bits || end >= first)
            break;
        bool clear = true;
        for (std::uint64_t at = base; clear && !search.taken->empty() && at <= end; ++at)
            clear = !search.taken->contains(at);
        if (clear)
            search.out->push_back({base});
        search.next = end + 1;
    }
    if (last >= search.next)
        search.next = last + 1;
    return search.out->size() < search.need && search.next <= search.range.last.bits;
}

void Free_end(Free_search &search)
{
    std::uint64_t past = search.range.last.bits + 1;
    Free_blocked(search, past, past);
}
