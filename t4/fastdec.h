// The table-driven decoders: whole codes by table lookup from a 64-bit
// window, lines kept as arrays of changing elements. They give the same
// callbacks and results as the bit-by-bit reference decoders of the tests for
// every input.
#pragma once

#include "t4/t4dec_internal.h"

namespace t4dec_detail {

int fast_MH(t4dec_context &ctx, const unsigned char *data, int length, int32_t width,
            const callbacks &cb);
int fast_MR(t4dec_context &ctx, const unsigned char *data, int length, int32_t width,
            const callbacks &cb);
int fast_MMR(t4dec_context &ctx, const unsigned char *data, int length, int32_t width,
             const callbacks &cb);

}  // namespace t4dec_detail
