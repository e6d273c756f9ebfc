// Pages coded by the library's encoder: conforming MMR for the TIFF and PDF
// exports, legacy MH, MR or MMR for the pages of a fax file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "faxtool/pages.h"

// T.6 data of a 1728-pixel page, ended by EOFB, coded as standard readers
// decode it; first bit of the stream in bit 0 of the first byte. False when
// the encoder fails.
bool code_page_conforming_mmr(const page_image &page, std::vector<uint8_t> &out);

// A page's T.6 data as the TIFF and PDF exports embed it: first bit of the
// stream in bit 0 of each byte, `height` rows of `width` pixels.
struct mmr_page {
    int32_t width = FAX_WIDTH;
    int32_t height = 0;
    int resolution = 1;  // RESOLUTION code of the rows
    const uint8_t *data = nullptr;
    std::size_t size = 0;
};
inline mmr_page mmr_page_of(const page_image &page, const std::vector<uint8_t> &coded)
{
    return {page.width, page.height, page.resolution, coded.data(), coded.size()};
}

// Where a fax file page being coded comes from and goes to. `rows` fills up
// to `max` rows of FAX_ROW_BYTES bytes at `out` and returns how many, 0 at
// the end of the page, -1 when it failed; `bytes` takes the coded bytes in
// stream order and returns false when it failed.
struct page_stream {
    int32_t (*rows)(void *user, uint8_t *out, int32_t max);
    bool (*bytes)(void *user, const uint8_t *data, std::size_t count);
    void *user;
    // When set, the rows come from here instead, with no copy: up to `max`
    // rows where they lie, back to back from *first, `row_bytes` each (at
    // most FAX_ROW_BYTES; the rest of a line is white), valid until the next
    // call; their count, 0 at the end of the page, -1 when it failed.
    int32_t (*rows_in_place)(void *user, int32_t max, const uint8_t **first) = nullptr;
    std::size_t row_bytes = FAX_ROW_BYTES;
};

// Codes the rows into a fax file page in compression (COMP_MH, COMP_MR,
// COMP_MMR) at the RESOLUTION code, with the legacy coding the library's
// decoders read, a few rows at a time. MH and MR pages end with RTC, and the
// length is made even with a zero byte, because the decoders take whole
// 16-bit words. `length` gets the bytes given. False when the encoder or
// either callback failed.
bool code_fax_page(const page_stream &stream, int compression, int resolution, uint64_t &length);
