// Arbitrary bytes as a fax file: the reader accepts exactly what
// read_fax_header accepts, with the same attributes; its pages tile the
// bytes after the header up to where the damage says they stop; and every
// page decodes to rows without harm.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "faxfile/fax_file.h"
#include "t4/page_rows.h"

namespace {

void quiet(void *, const char *) {}

fax_header *header_through_descriptor(const uint8_t *data, size_t size)
{
    int fd = memfd_create("fuzz_fax_file", MFD_CLOEXEC);
    if (fd < 0 || (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)))
        std::abort();
    fax_header *list = read_fax_header(fd);
    close(fd);
    return list;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fax_file_ptr file(fax_file_open_memory(data, size, quiet, nullptr));
    fax_header *list = header_through_descriptor(data, size);
    if (!file != !list)
        std::abort();
    if (!file)
        return 0;
    std::size_t i = 0;
    for (const fax_header *node = list; node; node = node->next, ++i)
        if (i >= file->attribute_count || std::strcmp(node->attr, file->attributes[i].name) != 0 ||
            std::strcmp(node->value, file->attributes[i].value) != 0)
            std::abort();
    if (i != file->attribute_count)
        std::abort();
    free_fax_header(list);

    uint64_t at = 8 + (uint64_t{data[4]} << 24 | uint64_t{data[5]} << 16 | uint64_t{data[6]} << 8 | data[7]);
    for (std::size_t p = 0; p < file->page_count; ++p) {
        const fax_page &page = file->pages[p];
        if (page.offset != at + 4 || page.offset + page.length > size ||
            std::memcmp(page.data, data + page.offset, page.length) != 0)
            std::abort();
        at = page.offset + page.length;
    }
    const bool whole = at == size;
    if (whole != (file->damage == FAX_DAMAGE_NONE || file->damage == FAX_DAMAGE_PAGES_MISSING))
        std::abort();

    t4dec_context *ctx = t4dec_context_new(T4_STANDARD_WIDTH);
    t4dec_context_set_messages(ctx, quiet, nullptr);
    t4_rows_owner rows;
    for (std::size_t p = 0; p < file->page_count; ++p) {
        const fax_page &page = file->pages[p];
        for (int mode : {T4DEC_MODE_MH, T4DEC_MODE_MR, T4DEC_MODE_MMR}) {
            const int keep = static_cast<int>(p % 2) == 0 ? T4_ROWS_OWN : T4_ROWS_DECODER_LINES;
            const int result = t4_page_to_rows(ctx, page.data, page.length, mode, keep, 4096, &rows.value, nullptr);
            if (result != T4_PAGE_OK && result != T4_PAGE_TOO_MANY_LINES)
                std::abort();
        }
    }
    t4dec_context_free(ctx);
    return 0;
}
