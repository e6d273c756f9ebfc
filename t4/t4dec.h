// T.4/T.6 decoding: the decoder entry, the run sink and the MH, MR and MMR
// decoders. Callers get a page through three callbacks, never codes or bits.
#pragma once

#include <cstdint>

extern "C" {

typedef void (*run_callback)(int32_t run);
typedef void (*line_callback)(const unsigned char *line, int bytes_per_line);
typedef void (*eol_callback)(void);

// End-of-line token of the decoding graph and of putrunlen; never a run.
enum { RUN_EOL = 9999 };

// Pixels per coded line; 1728 unless t4dec_set_width changed it.
extern int32_t t4_line_width;
void t4dec_set_width(int width);

// mode: 0 MH, 1 MR, 3 MMR; anything else returns 0 without a callback.
int t4dec_decode(const unsigned char *data, int length, int mode,
                 run_callback, line_callback, eol_callback);

// The run sink: turns run and EOL tokens into lines, conceals broken lines.
void putrunlen(int reset, int32_t run, run_callback, line_callback, eol_callback);

// What the last decoding saw, for tools that report on a page. `lines`
// counts ends of line, `concealed` the broken lines the previous line stood
// in for. `clean` is 1 when the data ended as a whole page does: nothing
// concealed, at least one line that carried a code, and the data ending at
// an end marker (RTC, EOFB) or right after a whole line, with only fill
// (0 bits) after the last code. Data in which no such line was found (all
// zeros, noise) or that ends inside a code or a line is not clean.
typedef struct t4dec_report {
    int32_t lines;
    int32_t concealed;
    int clean;
} t4dec_report;
void t4dec_get_report(t4dec_report *out);

// Decoding on a context of one's own: contexts share nothing, so threads
// that each use their own decode at once. The functions above work on one
// process-wide default context.
typedef struct t4dec_context t4dec_context;
t4dec_context *t4dec_context_new(int width);  /* null for a width outside 1..32760 or no memory */
void t4dec_context_free(t4dec_context *ctx);
typedef void (*t4dec_run_fn)(void *user, int32_t run);
typedef void (*t4dec_line_fn)(void *user, const unsigned char *line, int bytes_per_line);
typedef void (*t4dec_eol_fn)(void *user);
/* As t4dec_decode, on ctx's own state; each callback gets `user`; any callback may be null. */
int t4dec_decode_ctx(t4dec_context *ctx, const unsigned char *data, int length, int mode,
                     t4dec_run_fn, t4dec_line_fn, t4dec_eol_fn, void *user);
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
int t4dec_decode_spans_ctx(t4dec_context *ctx, const unsigned char *data, int length, int mode,
                           t4dec_spans_fn spans, void *user);
// What the context's last decoding saw, as t4dec_get_report.
void t4dec_context_report(const t4dec_context *ctx, t4dec_report *out);

int t4dec_MH(const unsigned char *data, int length, run_callback, line_callback, eol_callback);
int t4dec_MR(const unsigned char *data, int length, run_callback, line_callback, eol_callback);
int t4dec_MMR(const unsigned char *data, int length, int width,
              run_callback, line_callback, eol_callback);

// Rewrites the fax file at path with its pages coded in `compression` (0 MH,
// 1 MR, 3 MMR) through a temporary file beside it that then replaces it.
// 1 when rewritten or already so coded, 0 on failure; a failure before the
// final move leaves the file as it was.
// page_callback (may be null) runs once per page before it is decoded;
// `reserved` is not read.
int t4dec_change_format(const char *path, int compression, int reserved,
                        void (*page_callback)(void));

}  // extern "C"
