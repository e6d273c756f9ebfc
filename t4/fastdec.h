// The table-driven decoders: whole codes by table lookup from a 64-bit
// window, lines kept as arrays of changing elements. They give the same
// callbacks and results as the bit-by-bit reference decoders of the tests for
// every input.
#pragma once

#include "t4/t4dec_internal.h"

namespace t4dec_detail {

page_decoder fast_MH, fast_MR, fast_MMR;

}  // namespace t4dec_detail
