// The standard fax page the programs work with: its line bytes and the most
// lines they take from one page.
#pragma once

#include <cstdint>

#include "t4/t4dec.h"

// The bytes of a standard line of T4_STANDARD_WIDTH pixels: the decoders'
// default width, the width of every page the programs read or write.
inline constexpr int32_t STANDARD_LINE_BYTES = T4_STANDARD_WIDTH / 8;

// Damaged data can decode to millions of lines. pelmorin writes a raster
// file per page and keeps a page at over 8 metres of paper at fine
// resolution; faxtool holds a page's rows in memory only, doubled for
// normal resolution, and allows four times as many.
inline constexpr int64_t MAX_CONVERTED_PAGE_LINES = 65536;
inline constexpr int32_t MAX_PAGE_ROWS = 1 << 18;
