// Arbitrary bytes as PBM input of faxtool import: the reader must accept or
// refuse them without harm, and never hold more image than the bytes carry.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "faxtool/image_readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<uint8_t> bytes(data, data + size);
    std::vector<page_image> pages;
    std::string reason;
    const bool ok = read_pbm_pages(bytes, pages, reason);
    if (!ok && reason.empty())
        std::abort();
    std::size_t held = 0;
    for (const page_image &page : pages) {
        if (page.width <= 0 || page.height <= 0 ||
            page.bits.size() != static_cast<std::size_t>(page.row_bytes) * static_cast<std::size_t>(page.height))
            std::abort();
        held += page.bits.size();
    }
    // A raw row byte is a byte of input, a plain pixel at least one.
    if (held > size)
        std::abort();
    return 0;
}
