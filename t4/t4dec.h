// T.4/T.6 decoding: MH, MR and MMR coded pages to lines of pixels.
//
// Input bit order: the coded data is a bit stream whose first bit is bit 0
// (the least significant) of data[0]. Decoders take whole 16-bit words, as
// the pages are written: pass an even length (an odd last byte is ignored
// by callers such as faxtool and t4/page_rows.h).
// Output bit order: a line bitmap holds one bit a pixel, leftmost pixel in
// the most significant bit of its first byte, 1 for black; a line has
// (width + 7) / 8 bytes, 216 for the standard 1728 pixels.
// Runs: a positive run is white, a negative one black, 0 an empty run.
//
// Results: each decoding call returns 1 when the data was decoded to its
// end (or to RTC/EOFB); 0 for an unknown mode, a width out of range, no
// data (MR), a line buffer that cannot be had, or a broken MMR line (the
// lines before it were delivered). Broken MH and MR lines are no failure:
// the previous line stands in for them and the report counts them. Decoding is driven by the callbacks
// given: MR decoding with no callback at all does nothing, so the report
// stays zero; give at least an end-of-line callback to count lines.
//
// Lifetimes: a line handed to a line callback is valid only during that
// call, as are the spans handed to a spans callback.
// Threads: the plain functions (t4dec_decode, t4dec_MH, ...) share one
// process-wide default context and its report: one decoding at a time in
// the process. Contexts share nothing: threads that each use their own
// decode at once. A callback must not start another decoding on the
// context that called it.
#pragma once

#include <cstdint>

#include "util/api.h"
#include "util/message.h"

extern "C" {

// The decoding modes: the fax file's COMPRESSION codes that can be decoded.
enum { T4DEC_MODE_MH = 0, T4DEC_MODE_MR = 1, T4DEC_MODE_MMR = 3 };

// Pixels of the standard fax line.
enum { T4_STANDARD_WIDTH = 1728 };

typedef void (*run_callback)(int32_t run);
typedef void (*line_callback)(const unsigned char *line, int bytes_per_line);
typedef void (*eol_callback)(void);

// End-of-line token of the decoding graph and of putrunlen; never a run.
enum { RUN_EOL = 9999 };

// Pixels per coded line of the plain functions; 1728 unless
// t4dec_set_width changed it (a width outside 1..32760 is refused).
TAVRIN_API extern int32_t t4_line_width;
TAVRIN_API void t4dec_set_width(int width);

// mode: T4DEC_MODE_MH, _MR or _MMR; anything else returns 0 without a callback.
TAVRIN_API int t4dec_decode(const unsigned char *data, int length, int mode, run_callback,
                            line_callback, eol_callback);

// The run sink: turns run and EOL tokens into lines, conceals broken lines.
// A non-zero `reset` clears its state and does nothing else.
TAVRIN_API void putrunlen(int reset, int32_t run, run_callback, line_callback, eol_callback);

// What the last decoding saw, for tools that report on a page. `lines`
// counts ends of line, `concealed` the broken lines the previous line stood
// in for. `clean` is 1 when the data ended as a whole page does: nothing
// concealed, at least one line that carried a code, and the data ending at
// an end marker (RTC, EOFB) or right after a whole line, with only fill
// (0 bits) after the last code. Data in which no such line was found (all
// zeros, noise) or that ends inside a code or a line is not clean.
// `nonstandard` counts the codes that a decoder reading T.4/T.6 to the letter
// takes otherwise or refuses: a mode code read at pixel 0 after a line's
// first code left a0 there, where the legacy rule takes pixel 0 itself as
// b1 and a standard decoder a change right of it (unless both reach the
// width); an extension code, dropped here; in MMR an EOL that is not part of
// the EOFB, and an EOFB inside a line. Data with none of them, decoded
// clean, gives any standard decoder the lines given here.
typedef struct t4dec_report {
    int32_t lines;
    int32_t concealed;
    int clean;
    int32_t nonstandard;
} t4dec_report;
TAVRIN_API void t4dec_get_report(t4dec_report *out);

// Decoding on a context of one's own.
typedef struct t4dec_context t4dec_context;
// Null for a width outside 1..32760 or no memory.
TAVRIN_API t4dec_context *t4dec_context_new(int width);
TAVRIN_API void t4dec_context_free(t4dec_context *ctx);  // null is accepted
// The context's messages go to `message` (null: standard error, as the
// plain functions print them); see util/message.h.
TAVRIN_API void t4dec_context_set_messages(t4dec_context *ctx, tavrin_message_fn message,
                                           void *user);
typedef void (*t4dec_run_fn)(void *user, int32_t run);
typedef void (*t4dec_line_fn)(void *user, const unsigned char *line, int bytes_per_line);
typedef void (*t4dec_eol_fn)(void *user);
// As t4dec_decode, on ctx's own state; each callback gets `user`; any callback may be null.
TAVRIN_API int t4dec_decode_ctx(t4dec_context *ctx, const unsigned char *data, int length,
                                int mode, t4dec_run_fn, t4dec_line_fn, t4dec_eol_fn, void *user);
// Lines whole, for painters that want no call per run: t4dec_decode_spans_ctx
// hands over each line that t4dec_decode_ctx would give as runs and an end
// of line, once, as its black runs. `spans` holds `count` (even) ascending
// pixel positions from the line's start: black runs [spans[0], spans[1]),
// [spans[2], spans[3]), ..., no two touching, the empty runs dropped. LINE_ENDED
// says the end of line came; LINE_HAD_RUNS that any run came, even one of no
// pixels. Runs after the last end of line come in a last call without
// LINE_ENDED. LINE_CODED says a code of the line's own came: not set for a
// line that only an end of line or end marker makes, such as MH's first EOL
// or RTC's later ones, whose white the decoder supplies. Decoding, results
// and report are those of t4dec_decode_ctx.
enum { T4DEC_LINE_ENDED = 1, T4DEC_LINE_HAD_RUNS = 2, T4DEC_LINE_CODED = 4 };
typedef void (*t4dec_spans_fn)(void *user, const int16_t *spans, int count, int flags);
TAVRIN_API int t4dec_decode_spans_ctx(t4dec_context *ctx, const unsigned char *data, int length,
                                      int mode, t4dec_spans_fn spans, void *user);
// What the context's last decoding saw, as t4dec_get_report.
TAVRIN_API void t4dec_context_report(const t4dec_context *ctx, t4dec_report *out);
// Ends the line that ctx's last MH decoding left open (data that stop
// inside a line), as an EOL there would, through the given callbacks: a
// recoder keeps that line as the default context keeps it for putrunlen.
TAVRIN_API void t4dec_context_end_line(t4dec_context *ctx, t4dec_run_fn, t4dec_line_fn,
                                       t4dec_eol_fn, void *user);

// The decoders themselves, on the default context.
TAVRIN_API int t4dec_MH(const unsigned char *data, int length, run_callback, line_callback,
                        eol_callback);
TAVRIN_API int t4dec_MR(const unsigned char *data, int length, run_callback, line_callback,
                        eol_callback);
TAVRIN_API int t4dec_MMR(const unsigned char *data, int length, int width, run_callback,
                         line_callback, eol_callback);

// Rewrites the fax file at path with its pages coded in `compression` (0 MH,
// 1 MR, 3 MMR) through a temporary file beside it that then replaces it.
// 1 when rewritten or already so coded, 0 on failure; a failure before the
// final move leaves the file as it was. Messages go to standard error.
// page_callback (may be null) runs once per page before it is decoded;
// `reserved` is not read. Uses the default decoder and encoder contexts.
TAVRIN_API int t4dec_change_format(const char *path, int compression, int reserved,
                                   void (*page_callback)(void));

}  // extern "C"
