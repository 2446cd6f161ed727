#include "progress.h"

#include <cstdio>

void Progress_start(Progress &progress, bool on, const char *what, std::size_t total)
{
    progress = {on, what, total, std::chrono::steady_clock::now(), {}, false};
    progress.shown = progress.start;
}

void Progress_show(Progress &progress, std::size_t done)
{
    if (!progress.on || ((done & 255) != 0 && done < progress.total))
        return;
    auto now = std::chrono::steady_clock::now();
    if (now - progress.start < std::chrono::seconds(1) ||
        (progress.any && now - progress.shown < std::chrono::milliseconds(250) && done < progress.total))
        return;
    double seconds = std::chrono::duration<double>(now - progress.start).count();
    std::fprintf(stderr, "\rrecbatch: %zu of %zu %s, %.0f %s/s", done, progress.total, progress.what, done / seconds,
                 progress.what);
    progress.shown = now;
    progress.any = true;
}

void Progress_end(Progress &progress)
{
    if (!progress.any)
        return;
    Progress_show(progress, progress.total);
    std::fputc('\n', stderr);
}
