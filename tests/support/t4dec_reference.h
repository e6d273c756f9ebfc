// The bit-by-bit decoders, one graph step per input bit. The table-driven
// decoders must match them callback for callback; tests and the differential
// fuzz target run both.
#pragma once

#include "t4/t4dec_internal.h"

namespace t4dec_detail {

page_decoder reference_MH, reference_MR, reference_MMR;

}  // namespace t4dec_detail

// As t4dec_decode_ctx, by the bit-by-bit decoders.
extern "C" int t4dec_reference_decode_ctx(t4dec_context *ctx, const unsigned char *data,
                                          int length, int mode, t4dec_run_fn run,
                                          t4dec_line_fn line, t4dec_eol_fn eol, void *user);
