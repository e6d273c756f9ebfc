// The pelmorin converter: command line, the page-by-page conversion of one
// fax file into Sun raster files, and the page bitmap painter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "driver/glibc_random.h"
#include "t4/standard_page.h"
#include "t4/t4dec.h"
#include "util/free_deleter.h"

// What the command line asks for.
enum scan_action { SCAN_RUN = 0, SCAN_USAGE = 1, SCAN_REV = 2, SCAN_HELP2 = 3 };

struct run_settings {
    std::string infile;              // no length limit: page names are built as std::string
    std::string outfile;             // output stem; pages are outfile1, outfile2, ...
    int output_resolution = 1;       // 1: 864-pixel rows, 2: 1728-pixel rows
    bool scramble_requested = false;
    std::string scramble_key;
};

// Scans argv[1..argc-1] into *out (reset to defaults first). Pure: prints
// nothing and never ends the process; returns a scan_action.
int scan_arguments(int argc, char **argv, run_settings *out);

struct t4dec_context_deleter {
    void operator()(t4dec_context *ctx) const { t4dec_context_free(ctx); }
};

constexpr int INPUT_LINE_WIDTH = T4_STANDARD_WIDTH;
constexpr int LINE_WORDS = INPUT_LINE_WIDTH / 64;
// Output rows: the input line's width (-2), or half of it (-1).
constexpr int FULL_ROW_BYTES = STANDARD_LINE_BYTES;
constexpr int HALF_ROW_BYTES = FULL_ROW_BYTES / 2;
constexpr std::size_t INITIAL_BITMAP_SIZE = 4800 * FULL_ROW_BYTES;
constexpr std::size_t BITMAP_GROWTH = 1000 * FULL_ROW_BYTES;
constexpr int PAINTED_SPANS = 64;

// How input lines become output rows, as the two resolutions set it; every
// row writer follows it.
struct page_geometry {
    int row_bytes;      // FULL_ROW_BYTES or HALF_ROW_BYTES
    int rows_per_line;  // 2: each line doubled (normal input, full-width rows)
    int lines_per_row;  // 2: line pairs merge into one row (finer input, half-width rows)
    bool halve_pixels;  // half-width rows: input pixels 2k and 2k+1 merge

    bool doubled() const { return rows_per_line == 2; }
};
page_geometry page_geometry_for(int output_resolution, int input_resolution);

// Bytes of the bitmap that a page painted.
struct byte_span {
    std::size_t from;
    std::size_t to;
};

// The painter's line state. Black pixels of a line gather here, already
// rotated, and reach the bitmap's rows at once at the line's end; lines
// without black never touch the bitmap.
struct painter_line {
    // Input pixel x: word x / 64, bit 63 - x % 64; the last word takes a
    // toggle at the line's end.
    uint64_t bits[LINE_WORDS + 1] = {};
    // A whole line's black comes as toggles at the starts of its runs in
    // `bits` and at their ends here (all zero otherwise): two arrays, so
    // that a toggle seldom waits on the one before in the same word.
    uint64_t ends[LINE_WORDS + 1] = {};
    // The line whose black is gathering in `bits` (all zero otherwise), or -1.
    int64_t black_line = -1;
    int shift = 0;                   // its rotation
    page_geometry geometry{FULL_ROW_BYTES, 1, 1, false};  // of its row(s)
    uint64_t first_row = 0;          // byte offsets of its row(s)
    uint64_t second_row = 0;         // of the copy when doubled
    // Lines past line_cap are neither painted nor counted.
    int64_t line_cap = INT64_MAX;
    // Runs of lines up to this one need no growth: the bitmap holds their
    // rows. -1 while it holds none, is missing or has failed.
    int64_t last_held_line = -1;
    // What the page painted, so far: all a page start has to clear. When the
    // spans run out the last one widens over the gap.
    byte_span painted[PAINTED_SPANS] = {};
    int painted_count = 0;
};

// Everything the converter keeps for the run. Tests drive the painter
// through it directly.
struct pelmorin_state {
    run_settings settings;
    int page_number = 1;
    bool raw_input = false;
    int input_resolution = 0;
    int input_compression = 0;
    int input_fd = -1;

    // Page bitmap: malloc-family so that it can grow in place with realloc.
    std::unique_ptr<unsigned char, free_deleter> page_bitmap;
    std::size_t bitmap_size = INITIAL_BITMAP_SIZE;
    bool bitmap_failed = false;   // a growth failed during the page

    int64_t run_position = 0;
    int64_t line_count = 0;
    int32_t scramble_seed = 0;

    // The shift of the line last asked for; every run of a line needs it.
    int64_t shift_line = -1;
    int32_t shift_seed = 0;
    int shift_pixels = 0;

    glibc_random_state random{};

    painter_line painter;

    // The converter's own decoding context, for lines of decoder_width.
    std::unique_ptr<t4dec_context, t4dec_context_deleter> decoder;
    int32_t decoder_width = 0;
};

extern pelmorin_state pelmorin;

// --- painter ---------------------------------------------------------------

// Decoder callbacks (run value: >0 white, <0 black, 0 empty).
extern "C" void paint_run(int32_t n);
extern "C" void end_of_line(void);
// The same for t4dec_decode_ctx; `user` is not read.
void paint_run_ctx(void *user, int32_t n);
void end_of_line_ctx(void *user);
// A line whole, for t4dec_decode_spans_ctx: the same bitmap, counts and
// growth as its runs and end of line one by one.
void paint_line_spans(void *user, const int16_t *spans, int count, int flags);

int32_t scramble_key_hash(std::string_view key);
// Cyclic left shift, in input pixels, of line `line` of a scrambled page.
int scramble_line_shift(int64_t line, int32_t seed);

// Makes the bitmap on first use, clears what the last page painted and
// resets the line state. Lines past `line_cap` are then neither painted nor
// counted: line_count stops at line_cap + 1. 0, or -1 when the bitmap
// cannot be had.
int begin_page_bitmap(int64_t line_cap = INT64_MAX);
// A line's runs reach the bitmap at its end_of_line; this paints those of a
// line still open (never visible in the page's image) for callers that look
// at the whole bitmap. More runs of that line may follow.
void finish_page_bitmap();
// Grows the bitmap in BITMAP_GROWTH steps until it holds `bytes`.
// 0, or -1 when it cannot grow.
int ensure_bitmap_holds(std::size_t bytes);
void release_page_bitmap();

struct image_size {
    int64_t width;
    int64_t height;
};
image_size page_image_size(int output_resolution, int input_resolution, int64_t line_count);
int row_bytes_for(int output_resolution);

// --- conversion --------------------------------------------------------------

// Converts settings.infile into the page files. Returns the exit status:
// 0 for a finished run (also for an unusable header or a cut page), 1 after
// printing one of the fatal messages. Never ends the process.
int convert_fax_file(const run_settings &settings);

// The program: scan, answer -rev/-help/-help2, convert, release. Returns the
// exit status.
int pelmorin_main(int argc, char **argv);
