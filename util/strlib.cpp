// Text splitting.
#include "util/strlib.h"

#include "util/whitespace.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

[[maybe_unused]] static const char what_string[] = "@(#)|strlib|9|01|2|0|0|07/26/99|14:47:50";

namespace {

std::size_t count_fields(const char *text, char separator)
{
    std::size_t fields = 1;
    for (const char *p = text; *p != '\0'; ++p)
        if (*p == separator)
            ++fields;
    return fields;
}

}  // namespace

int split_fields(const char *text, char separator, char ***out)
{
    if (!text) {
        errno = EINVAL;
        return -1;
    }
    std::size_t fields = count_fields(text, separator);
    if (fields > INT_MAX) {
        errno = EOVERFLOW;
        return -1;
    }
    if (!out)
        return static_cast<int>(fields);

    // One block, so the caller frees fields and text together.
    std::size_t length = std::strlen(text);
    std::size_t table_bytes = (fields + 1) * sizeof(char *);
    if (fields + 1 > SIZE_MAX / sizeof(char *) || length + 1 > SIZE_MAX - table_bytes)
        return -1;
    void *block = std::calloc(1, table_bytes + length + 1);
    if (!block)
        return -1;
    char **table = static_cast<char **>(block);
    char *copy = static_cast<char *>(block) + table_bytes;
    std::memcpy(copy, text, length + 1);

    char *field = copy;
    for (std::size_t i = 0; i < fields; ++i) {
        char *end = std::strchr(field, separator);
        if (end)
            *end = '\0';
        table[i] = skip_white(field);
        trim_white(table[i]);
        field = end ? end + 1 : field + std::strlen(field);
    }
    *out = table;
    return static_cast<int>(fields);
}
