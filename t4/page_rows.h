// Whole pages: coded data to rows of pixels, and rows to coded data.
//
// Rows: one bit a pixel, leftmost pixel in the most significant bit of a
// row's first byte, 1 for black; row_bytes = (width + 7) / 8, so 216 bytes
// for the standard 1728 pixels; rows back to back, top row first.
// Coded data: as in t4/t4dec.h and t4/enct4.h (first bit of the stream in
// bit 0 of the first byte).
//
// Results: T4_PAGE_OK (1) or a negative T4_PAGE_* code below; nothing is
// printed by these calls themselves (the contexts' messages go where
// t4dec_context_set_messages and enct4_context_set_messages say).
//
// Lifetimes: the buffers of t4_rows and t4_coded belong to the caller once
// filled and are released with t4_rows_free and t4_coded_free (or the
// owners below); a call reuses the buffer it is given and keeps nothing.
// Threads: a call uses only the context it is given (or one of its own
// when given none): calls on different contexts run at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "t4/enct4.h"
#include "t4/t4dec.h"
#include "util/api.h"

extern "C" {

enum {
    T4_PAGE_OK = 1,
    T4_PAGE_BAD_MODE = -1,        // a compression that cannot be decoded or coded
    T4_PAGE_TOO_MANY_LINES = -2,  // more lines than the call allows
    T4_PAGE_NO_MEMORY = -3,
    T4_PAGE_CODER_FAILED = -4,    // the encoder refused the rows (see its message)
};

// The most lines t4_page_to_rows gives when its `max_lines` is 0: a page a
// few metres long, so that a small input cannot ask for gigabytes.
enum { T4_PAGE_DEFAULT_MAX_LINES = 1 << 18 };

typedef struct t4_rows {
    uint8_t *bits;        // lines * row_bytes bytes
    int32_t lines;
    int32_t row_bytes;
    std::size_t capacity; // bytes held at bits
} t4_rows;

// What t4_page_to_rows keeps, and how it lays out a row: flags, or'ed.
enum {
    // Every line the decoder ends, as the converter paints a page: also the
    // white line that an MH page's first EOL closes and those that RTC's
    // later EOLs and MMR's EOFB close.
    T4_ROWS_DECODER_LINES = 0,
    // The page's own rows: not the white line of MH's first EOL, nor the
    // lines after the last that carried a code (T4DEC_LINE_CODED), so that a
    // page keeps its size when it is coded again. Lines inside stay as decoded.
    T4_ROWS_OWN = 1,
    // One byte a pixel, 1 for black, 0 for white: row_bytes is the width.
    // Without it the rows are packed, as above.
    T4_ROWS_BYTE_PIXELS = 2,
};

// Decodes one page's data in `mode` (T4DEC_MODE_*) into rows of the
// context's width (1728 with a null ctx). The rows are the lines as the
// decoder's runs and ends of line give them (t4dec_decode_ctx), as the
// converter paints a page: every end of line closes a row (one with no runs
// is white, a broken one holds the runs before the break) and runs after
// the last end of line are dropped; `flags` (T4_ROWS_*) say which rows stay
// and how they are laid out.
// An odd last byte is ignored: the decoders take whole 16-bit words.
// `report`, when given, gets the decoder's report of the page. More than
// `max_lines` rows (0: T4_PAGE_DEFAULT_MAX_LINES) give
// T4_PAGE_TOO_MANY_LINES with no rows; under T4_ROWS_OWN only the rows that
// stay count, so a page of max_lines rows coded by t4_rows_to_page decodes.
TAVRIN_API int t4_page_to_rows(t4dec_context *ctx, const unsigned char *data, std::size_t length,
                               int mode, int flags, int32_t max_lines, t4_rows *rows,
                               t4dec_report *report);
TAVRIN_API void t4_rows_free(t4_rows *rows);  // leaves an empty record

typedef struct t4_coded {
    uint8_t *bytes;
    std::size_t length;
    std::size_t capacity;
} t4_coded;

// How t4_rows_to_page codes.
enum {
    // 2-D lines as standard T.4/T.6 readers take them (enct4_set_conforming);
    // without it the legacy coding that the stored pages and this library's
    // decoders use.
    T4_PAGE_CONFORMING = 1,
    // The bare coder output: no RTC after MH and MR, no padding. Without it
    // the page is as a fax file holds it: MH and MR end with RTC, and a
    // zero byte makes the length even.
    T4_PAGE_BARE = 2,
};

// Codes `lines` rows of `row_bytes` bytes (at most 3999) in `compression`
// (ENCT4_MODE_*) at the RESOLUTION code `resolution` (MR's K), with
// `flags` (T4_PAGE_* above; the context's own conforming choice is set
// for the call). ctx may be null: a context of the call's own is used.
TAVRIN_API int t4_rows_to_page(enct4_context *ctx, const uint8_t *rows, int32_t lines,
                               int32_t row_bytes, int compression, int resolution, int flags,
                               t4_coded *out);
TAVRIN_API void t4_coded_free(t4_coded *coded);  // leaves an empty record

// The bytes that close a page coded in `compression` (ENCT4_MODE_*) whose
// coder output was `coded_length` bytes, as a fax file holds it and as
// t4_rows_to_page without T4_PAGE_BARE appends them: RTC after MH and MR,
// then a zero byte when the length would be odd. For callers that code a
// page in pieces. Writes at most T4_PAGE_END_MAX bytes to `out` and returns
// how many.
enum { T4_PAGE_END_MAX = 11 };
TAVRIN_API std::size_t t4_page_end(int compression, std::size_t coded_length, uint8_t out[T4_PAGE_END_MAX]);

}  // extern "C"

// Owners that release the buffers: t4_rows_owner rows; t4_page_to_rows(..., &rows.value, ...).
struct t4_rows_owner {
    t4_rows value{};
    t4_rows_owner() = default;
    t4_rows_owner(const t4_rows_owner &) = delete;
    t4_rows_owner &operator=(const t4_rows_owner &) = delete;
    ~t4_rows_owner() { t4_rows_free(&value); }
};
struct t4_coded_owner {
    t4_coded value{};
    t4_coded_owner() = default;
    t4_coded_owner(const t4_coded_owner &) = delete;
    t4_coded_owner &operator=(const t4_coded_owner &) = delete;
    ~t4_coded_owner() { t4_coded_free(&value); }
};
