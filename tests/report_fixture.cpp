#include "report_fixture.h"

#include <cstdio>

namespace {

Mac_address Mac(std::uint64_t bits)
{
    return {bits};
}

} // namespace

Ledger_report Report_fixture()
{
    Ledger_report report{};
    report.made = "2026-03-04T18:05:00Z";
    const char *started[] = {"2026-03-01T05:40:12Z", "2026-03-01T21:02:40Z", "2026-03-02T13:30:00Z",
                             "2026-03-03T06:15:51Z", "2026-03-04T05:58:03Z"};
    for (int i = 0; i < 5; ++i) {
        std::size_t units = i == 4 ? 1200 : 1000;
        std::size_t never = i == 4 ? 310 : i == 3 ? 14 : 2 + static_cast<std::size_t>(i);
        std::size_t failed = 3 + static_cast<std::size_t>(i * 2 % 5);
        std::size_t voided = static_cast<std::size_t>(i % 3);
        report.batches.push_back({101 + i, started[i], units, units - never, units - never - failed - voided, failed,
                                  never, voided});
    }
    const char *stations[] = {"line1-st1", "line1-st2", "line1-st3", "line2-st1", "line2-st2", "line2-st3"};
    const double yields[] = {0.991, 0.984, 0.962, 0.978, 0.893, 0.995};
    std::uint64_t seed = 7;
    auto next = [&seed]() { return (seed = seed * 6364136223846793005ULL + 1442695040888963407ULL) >> 33; };
    for (int s = 0; s < 6; ++s) {
        std::size_t readBack = 690 + next() % 60;
        auto firstPass = static_cast<std::size_t>(yields[s] * static_cast<double>(readBack));
        report.stations.push_back({stations[s], readBack + (readBack - firstPass), readBack, firstPass,
                                   readBack - firstPass});
    }
    for (int day = 2; day <= 4; ++day) {
        for (int hour = 6; hour < 22 && (day < 4 || hour < 18); ++hour) {
            for (int s = 0; s < 6; ++s) {
                if ((s >= 3 && hour >= 14 && day == 3) || (hour == 12 && s % 2 == 0))
                    continue; // line 2 stopped one afternoon; lunch
                char text[16];
                std::snprintf(text, sizeof text, "2026-03-%02dT%02d", day, hour);
                report.hours.push_back({text, stations[s], 14 + next() % 9 - (s == 4 ? 5 : 0)});
            }
        }
    }
    report.ranges.push_back({{Mac(0x0050c2100000), Mac(0x0050c2100fff)}, 4096, 3, 0, 1200});
    report.ranges.push_back({{Mac(0x0050c2101000), Mac(0x0050c2103fff)}, 1104, 1, 11184, 2000});
    report.ranges.push_back({{Mac(0x0050c2a00000), Mac(0x0050c2afffff)}, 0, 0, 1048576, 0});
    return report;
}
