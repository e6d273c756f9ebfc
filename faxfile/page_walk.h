// The pages of a fax file stand back to back after its header, each a
// 32-bit big-endian length and that many bytes. Every reader walks them
// here, so that all find the same pages and word the same damage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "faxfile/fax_file.h"

// How a walk ended: FAX_DAMAGE_NONE, or why the pages stop early, in words.
struct page_walk_end {
    int damage = FAX_DAMAGE_NONE;
    std::string text;
};

// Walks the length fields from `first` to `size` (the file's length), each
// complete page to on_page(offset of its data, length). length_at(offset,
// length) reads a field and is false when it cannot; the walk then stops
// and is false.
template <typename LengthAt, typename OnPage>
bool walk_fax_pages(std::size_t first, std::size_t size, long stated, LengthAt length_at, OnPage on_page,
                    page_walk_end &end)
{
    std::size_t at = first;
    std::size_t pages = 0;
    while (at < size) {
        const std::size_t number = pages + 1;
        if (size - at < 4) {
            // Too few for a page's length: no page, and not the end of one.
            end.damage = FAX_DAMAGE_STRAY_BYTES;
            end.text = std::to_string(size - at) + (size - at == 1 ? " stray byte after " : " stray bytes after ") +
                       (number == 1 ? std::string("the header") : "page " + std::to_string(number - 1));
            return true;
        }
        uint32_t length = 0;
        if (!length_at(at, length))
            return false;
        at += 4;
        if (length > size - at) {
            end.damage = FAX_DAMAGE_PAGE_CUT_SHORT;
            end.text = "page " + std::to_string(number) + " is cut short: " + std::to_string(size - at) + " of its " +
                       std::to_string(length) + " bytes are there";
            return true;
        }
        on_page(at, length);
        ++pages;
        at += length;
    }
    if (stated > static_cast<long>(pages)) {
        end.damage = FAX_DAMAGE_PAGES_MISSING;
        end.text = "the header states " + std::to_string(stated) + " pages, the file holds " + std::to_string(pages);
    }
    return true;
}
