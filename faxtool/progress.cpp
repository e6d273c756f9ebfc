// The progress line.
#include "faxtool/progress.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

namespace {

constexpr int MIN_STEPS_SHOWN = 4;
constexpr int64_t PAGE_REDRAW_NS = 100'000'000;

struct progress_state {
    int terminal = -1;  // a copy of descriptor 2 while it is a terminal
    const char *what = "";
    int total = 0;
    int done = 0;
    bool shown = false;
    long pages_total = 0;
    long pages_begun = 0;
    bool pages_shown = false;
    int64_t drawn_at = 0;  // when the page count was last drawn; 0 to draw at once
};

progress_state progress;
// Work on a pool thread draws nothing: the run draws one line for it all.
thread_local bool quiet = false;

int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

void put(const std::string &text)
{
    std::size_t at = 0;
    while (at < text.size()) {
        const ssize_t n = write(progress.terminal, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // a progress line is not worth a failure
        at += static_cast<std::size_t>(n);
    }
}

void draw()
{
    std::string line = "\rfaxtool: ";
    if (progress.shown) {
        // Appended piece by piece: g++ 12's -Wrestrict misfires on "x" + std::string at -O3.
        line += std::to_string(progress.done);
        line += '/';
        line += std::to_string(progress.total);
        line += ' ';
        line += progress.what;
    }
    if (progress.pages_shown) {
        if (progress.shown)
            line += ", ";
        line += std::to_string(progress.pages_begun);
        if (progress.pages_total >= 0) {
            line += '/';
            line += std::to_string(progress.pages_total);
        }
        line += " pages";
    }
    line += "\033[K";
    put(line);
}

void clear_line()
{
    if (progress.shown || progress.pages_shown)
        put("\r\033[K");
}

}  // namespace

void progress_begin(const char *what, int total)
{
    if (quiet)
        return;
    if (progress.terminal < 0 && isatty(2) != 0)
        progress.terminal = fcntl(2, F_DUPFD_CLOEXEC, 3);
    progress.what = what;
    progress.total = total;
    progress.done = 0;
    progress.shown = total >= MIN_STEPS_SHOWN && progress.terminal >= 0;
    progress.pages_shown = false;
}

void progress_step(int done)
{
    if (quiet)
        return;
    progress.done = done;
    if (progress.shown)
        draw();
}

void progress_end()
{
    if (quiet)
        return;
    clear_line();
    progress.shown = false;
    progress.pages_shown = false;
    if (progress.terminal >= 0)
        close(progress.terminal);
    progress.terminal = -1;
}

void progress_interrupt()
{
    if (quiet)
        return;
    clear_line();
    progress.drawn_at = 0;
}

void progress_pages_begin(long total)
{
    if (quiet)
        return;
    progress.pages_total = total;
    progress.pages_begun = 0;
    progress.pages_shown = progress.terminal >= 0 && (total < 0 || total >= MIN_STEPS_SHOWN);
    // A count of unknown end waits until the work has lasted a moment.
    progress.drawn_at = total < 0 ? now_ns() : 0;
}

void progress_next_page()
{
    if (quiet)
        return;
    ++progress.pages_begun;
    if (!progress.pages_shown)
        return;
    const int64_t now = now_ns();
    if (progress.drawn_at != 0 && now - progress.drawn_at < PAGE_REDRAW_NS)
        return;
    progress.drawn_at = now;
    draw();
}

void progress_pages_end()
{
    if (quiet)
        return;
    if (!progress.pages_shown)
        return;
    if (!progress.shown)
        clear_line();
    progress.pages_shown = false;
    if (progress.shown)
        draw();
}

void progress_quiet_on_this_thread()
{
    quiet = true;
}
