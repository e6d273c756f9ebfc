// An independent fax codec (libtiff) as a black-box oracle for the decoder
// and encoder tests. Available when HAVE_LIBTIFF is defined; otherwise the
// functions fail (empty result / false) and tests should GTEST_SKIP.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/test_pages.h"

#if HAVE_LIBTIFF
#include <tiffio.h>
#endif

namespace tifforacle {

enum coding { MH = 0, MR = 1, MMR = 3 };

// True when the oracle is built in.
bool available();

// Codes the page (1728-pixel lines) with libtiff and returns the raw strip:
// first bit of the stream in bit 0 of the first byte (FillOrder LSB2MSB).
// G3 (compression 0 or 1) has an EOL before every line and an RTC of six
// EOLs (with tag bits for MR); G4 ends in an EOFB. k_factor (2 or 4) picks
// the MR K parameter through YResolution. Empty on failure.
std::vector<uint8_t> tiff_encode(const testpages::page &p, int compression, int k_factor = 2);

// Decodes coded data of `rows` lines of `width` pixels with libtiff, same
// bit order and conventions as tiff_encode. False when libtiff rejects it.
bool tiff_decode(const std::vector<uint8_t> &data, int compression, int width, int rows,
                 testpages::page &out);

#if HAVE_LIBTIFF
// A TIFF file in memory, for TIFFClientOpen.
struct mem_file {
    std::vector<uint8_t> bytes;
    toff_t pos = 0;
};

// Opens `f` from its start in libtiff's `mode` ("r" or "w").
TIFF *open_mem(mem_file &f, const char *mode);

// Sets the fields of a one-strip fax page of `rows` lines of `width`
// pixels coded `compression` (G3 in classic fax mode: an EOL before every
// line) as tiff_encode codes it.
bool set_fax_fields(TIFF *tif, int compression, int width, int rows, int k_factor);

// Writes into `f` a one-strip TIFF holding coded data of `rows` lines of
// `width` pixels as its raw strip, with the fields tiff_encode uses.
bool wrap_strip(mem_file &f, const std::vector<uint8_t> &data, int compression, int width,
                int rows, int k_factor);
#endif

}  // namespace tifforacle

// Unqualified names for the tests that use them.
using tifforacle::tiff_decode;
using tifforacle::tiff_encode;
