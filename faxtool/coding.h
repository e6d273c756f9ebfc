// Pages coded by the library's encoder: conforming MMR for the TIFF and PDF
// exports, legacy MH, MR or MMR for the pages of a fax file.
#pragma once

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

// A fax file page in compression (COMP_MH, COMP_MR, COMP_MMR) at the
// RESOLUTION code, with the legacy coding the library's decoders read.
// MH and MR pages end with RTC, and the length is made even with a zero
// byte, because the decoders take whole 16-bit words.
bool code_fax_page(const page_image &page, int compression, int resolution,
                   std::vector<uint8_t> &out);
