// Arbitrary bytes as a fax file: read_fax_header must refuse or accept them
// without harm, and an accepted header must survive a write and re-read.
// Run with -close_fd_mask=3 to keep the module's messages off the terminal.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "faxfile/fax_header.h"

namespace {

int file_with(const uint8_t *data, size_t size)
{
    int fd = memfd_create("fuzz_fax_header", MFD_CLOEXEC);
    if (fd < 0)
        std::abort();
    for (size_t done = 0; done < size;) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0)
            std::abort();
        done += static_cast<size_t>(n);
    }
    return fd;
}

bool same_list(const fax_header *a, const fax_header *b)
{
    for (; a && b; a = a->next, b = b->next)
        if (std::strcmp(a->attr, b->attr) != 0 || std::strcmp(a->value, b->value) != 0)
            return false;
    return !a && !b;
}

uint32_t header_length(const uint8_t *data)
{
    return uint32_t{data[4]} << 24 | uint32_t{data[5]} << 16 | uint32_t{data[6]} << 8 | data[7];
}

void check_round_trip(const fax_header *list)
{
    int fd = file_with(nullptr, 0);
    if (write_fax_header(fd, list) != 1)
        std::abort();
    fax_header *again = read_fax_header(fd);
    if (!same_list(list, again))
        std::abort();
    free_fax_header(again);
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fd = file_with(data, size);
    fax_header *list = read_fax_header(fd);
    if (list) {
        // Accepted: the descriptor stands at the first page.
        if (lseek(fd, 0, SEEK_CUR) != static_cast<off_t>(8 + header_length(data)))
            std::abort();
        get_vertical_resolution(list);
        get_compression_mode(list);
        check_round_trip(list);
    }
    free_fax_header(list);
    close(fd);
    return 0;
}
