#include "faxfile/stated_pages.h"

#include <cerrno>
#include <cstdlib>

stated_pages read_stated_pages(const fax_header *header)
{
    stated_pages stated;
    const char *value = lookup_fax_header(header, "#PAGES");
    if (value == nullptr)
        return stated;
    stated.present = true;
    char *end = nullptr;
    const int saved_errno = errno;
    errno = 0;
    stated.leading = std::strtol(value, &end, 10);
    const bool in_range = errno == 0;
    errno = saved_errno;
    while (*end == ' ' || *end == '\t' || *end == '\r')
        ++end;
    stated.exact = end != value && in_range && stated.leading >= 0 && *end == '\0';
    return stated;
}
