// A scratch directory under /tmp for one fuzz target's run, made on first
// use and removed at exit (the target removes what it put there).
#pragma once

#include <unistd.h>

#include <cstdlib>

inline const char *fuzz_work_dir()
{
    // A plain array, so that the exit handler never meets a destroyed string.
    static char dir[] = "/tmp/fuzz_work.XXXXXX";
    static bool made = false;
    if (!made) {
        if (mkdtemp(dir) == nullptr)
            std::abort();
        made = true;
        std::atexit([] { rmdir(dir); });
    }
    return dir;
}
