// T.4/T.6 encoding: lines of pixels to MH, MR (K = 2 or 4) or MMR coded data.
//
// Input bit order: a line holds one bit a pixel, leftmost pixel in the most
// significant bit of its first byte, 1 for black; all lines of one call
// have the same byte length (at most 3999).
// Output bit order: 16-bit code words whose bit 0 is the first bit of the
// stream; written to a file low byte first, they give data that
// t4/t4dec.h decodes. MH and MR lines begin with an EOL; RTC is not added
// (t4/page_rows.h adds it); MMR ends with EOFB.
//
// Modes: `compression` is a fax file COMPRESSION code: ENCT4_MODE_MH,
// ENCT4_MODE_MR, ENCT4_MODE_MMR; `resolution` a RESOLUTION code, which sets
// MR's K: 4 at fine resolution (1), 2 at any other.
//
// Results: a coder returns 1 for its own failure (a line too wide, a line
// length that changes, no memory), the sink's negative result when the sink
// failed, and otherwise the source's negative end value: negative with a
// source that ends with -1 means success.
//
// Lifetimes: lines that the source hands over must stay valid until the
// source is called again; words handed to the sink only during its call.
// Threads: the plain functions share one process-wide default context: one
// coding at a time. Contexts share nothing, so threads that each use their
// own code at once. A callback must not start a coding on its own context.
#pragma once

#include <cstdint>

#include "util/api.h"
#include "util/message.h"

extern "C" {

enum { ENCT4_MODE_MH = 0, ENCT4_MODE_MR = 1, ENCT4_MODE_MMR = 3 };

// Returns the byte length of each line and a batch of lines back to back;
// a negative result ends the lines.
typedef int (*line_source)(unsigned char **first_line, int *line_count);
// Receives code words (first bit of the stream in bit 0 of the first word);
// a negative result is a failure.
typedef int (*word_sink)(const uint16_t *words, int word_count);

TAVRIN_API int encode_g3_fax(line_source source, word_sink sink, int compression, int resolution);
TAVRIN_API int enct4_MMR(line_source source, word_sink sink);
TAVRIN_API int encode_mh_fax(line_source source, word_sink sink);

// Legacy 2-D coding (the default) takes pixel 0 itself as b1 after a line
// that starts black, as the stored pages and this library's decoders do.
// Conforming coding follows T.4/T.6 (a0 starts on the imaginary white pixel
// before the line), for data that standard readers decode. MH is the same
// in both. The choice holds for every later coder call.
TAVRIN_API void enct4_set_conforming(int on);
TAVRIN_API int enct4_conforming(void);

// Coding on a context of one's own.
typedef struct enct4_context enct4_context;
TAVRIN_API enct4_context *enct4_context_new(void);  /* null when out of memory; codes the legacy way */
TAVRIN_API void enct4_context_free(enct4_context *ctx);
typedef int (*enct4_line_fn)(void *user, unsigned char **first_line, int *line_count);
typedef int (*enct4_word_fn)(void *user, const uint16_t *words, int word_count);
/* As enct4_set_conforming, for ctx alone. */
TAVRIN_API void enct4_context_set_conforming(enct4_context *ctx, int on);
/* The context's messages go to `message` (null: standard output, as the
   plain functions print them); see util/message.h. */
TAVRIN_API void enct4_context_set_messages(enct4_context *ctx, tavrin_message_fn message,
                                           void *user);
/* As encode_g3_fax, enct4_MMR and encode_mh_fax, on ctx's own state; each
   callback gets `user`. */
TAVRIN_API int enct4_g3_ctx(enct4_context *ctx, enct4_line_fn source, enct4_word_fn sink,
                            void *user, int compression, int resolution);
TAVRIN_API int enct4_MMR_ctx(enct4_context *ctx, enct4_line_fn source, enct4_word_fn sink,
                             void *user);
TAVRIN_API int enct4_mh_ctx(enct4_context *ctx, enct4_line_fn source, enct4_word_fn sink,
                            void *user);

// Lines given as their changing elements rather than as bitmaps, for
// transcoding without drawing rows. The source hands out one line a call:
// it returns the line's width in pixels (the same for every line, at most
// 8 x 3999) and stores `count` (even) ascending positions, the black runs
// [spans[0], spans[1]), [spans[2], spans[3]), ... (the form the decoders'
// spans callback gives); a negative result ends the lines. Coding is as
// enct4_g3_ctx on lines of width / 8 bytes; spans that are not ascending or
// lie beyond the width are the coder's own failure (result 1).
typedef int (*enct4_spans_fn)(void *user, const int16_t **spans, int *count);
TAVRIN_API int enct4_g3_spans_ctx(enct4_context *ctx, enct4_spans_fn source, enct4_word_fn sink,
                                  void *user, int compression, int resolution);

}  // extern "C"
