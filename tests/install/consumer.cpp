// Built against an installed tavrin: reads a fax file's header, decodes its
// pages and prints what it found.
#include <tavrin/faxfile/fax_header.h>
#include <tavrin/t4/dectbls.h>  // includes its neighbours as "t4/..."
#include <tavrin/t4/t4dec.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

static bool read_exactly(int fd, unsigned char *to, size_t n)
{
    while (n > 0) {
        ssize_t got = read(fd, to, n);
        if (got <= 0)
            return false;
        to += got, n -= static_cast<size_t>(got);
    }
    return true;
}

int main(int argc, char **argv)
{
    int fd = argc == 2 ? open(argv[1], O_RDONLY) : -1;
    fax_header *header = fd < 0 ? nullptr : read_fax_header(fd);
    if (header == nullptr)
        return 1;
    const int mode = get_compression_mode(header);
    free_fax_header(header);
    // The pages follow the header, each a big-endian length and its coded data.
    int pages = 0;
    unsigned char length[4];
    while (read_exactly(fd, length, 4)) {
        size_t n = (size_t{length[0]} << 24) | (size_t{length[1]} << 16) | (size_t{length[2]} << 8) | length[3];
        std::vector<unsigned char> data(n);
        if (!read_exactly(fd, data.data(), n))
            return 1;
        t4dec_decode(data.data(), static_cast<int>(n), mode, nullptr,
                     [](const unsigned char *, int) {}, nullptr);
        t4dec_report report;
        t4dec_get_report(&report);
        std::printf("page %d: %d lines\n", ++pages, static_cast<int>(report.lines));
    }
    std::printf("%d pages\n", pages);
    close(fd);
    return 0;
}
