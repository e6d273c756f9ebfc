// The working directory, fetched once and cached for the life of the process.
#include "util/getcwd.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

[[maybe_unused]] static const char what_string[] = "@(#)|getcwd|9|01|2|0|0|07/26/99|14:47:50";

cwd_cache_record cwd_cache = {nullptr};

char *ox_getcwd(char *buffer, std::size_t size)
{
    if (!buffer || size == 0) {
        // getcwd would allocate a buffer the caller doesn't expect to free.
        std::fprintf(stderr, "ox_getcwd: getcwd: %s\n", std::strerror(EINVAL));
        errno = EINVAL;
        return nullptr;
    }
    if (cwd_cache.text) {
        std::size_t length = std::strlen(cwd_cache.text);
        if (length >= size) {
            std::fprintf(stderr, "ox_getcwd: getcwd: %s\n", std::strerror(ERANGE));
            errno = ERANGE;
            return nullptr;
        }
        std::memcpy(buffer, cwd_cache.text, length + 1);
        return buffer;
    }
    if (!getcwd(buffer, size)) {
        int error = errno;
        std::fprintf(stderr, "ox_getcwd: getcwd: %s\n", std::strerror(error));
        errno = error;
        return nullptr;
    }
    cwd_cache.text = strdup(buffer);
    if (!cwd_cache.text)
        std::fprintf(stderr, "ox_getcwd: strdup: %s\n", std::strerror(errno));
    return buffer;
}
