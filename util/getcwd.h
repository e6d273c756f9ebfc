// The process's working directory, fetched once and cached.
#pragma once

#include <cstddef>

// Process-wide cache: null until the first successful ox_getcwd, then a
// malloc'ed copy of the working directory kept for the life of the process
// (later chdir calls are not seen).
struct cwd_cache_record {
    char *text;
};
extern cwd_cache_record cwd_cache;

// Fills buffer (size bytes, NUL included) with the working directory and
// returns it, or returns null with a message on standard error.
char *ox_getcwd(char *buffer, std::size_t size);
