// The progress line.
#include "faxtool/progress.h"

#include <unistd.h>

#include <cstdio>

namespace {

constexpr int MIN_STEPS_SHOWN = 4;

struct progress_state {
    const char *what = "";
    int total = 0;
    bool shown = false;
};

progress_state progress;

}  // namespace

void progress_begin(const char *what, int total)
{
    progress.what = what;
    progress.total = total;
    progress.shown = total >= MIN_STEPS_SHOWN && isatty(2) != 0;
}

void progress_step(int done)
{
    if (progress.shown)
        std::fprintf(stderr, "\rfaxtool: %d/%d %s", done, progress.total, progress.what);
}

void progress_end()
{
    if (progress.shown)
        std::fputs("\r\033[K", stderr);
    progress.shown = false;
}

void progress_interrupt()
{
    if (progress.shown)
        std::fputs("\r\033[K", stderr);
}
