// The page bitmap painter: paints decoded runs into output rows at the
// chosen resolution, with the optional scramble rotation. A line's black
// runs gather in 64-bit words as they come; at its end they are written
// into its row(s) word by word, halved or doubled as the resolutions ask.
#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "driver/pelmorin.h"
#include "t4/span_words.h"

// ---------------------------------------------------------------------------
// Page bitmap painter

int32_t scramble_key_hash(std::string_view key)
{
    glibc_random_state *random = &pelmorin.random;
    glibc_srand(random, 1);
    uint32_t hash = 0;
    for (char ch : key) {
        // Characters count as signed 8-bit values, as a plain char did.
        auto c = static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(ch)));
        auto r = static_cast<uint32_t>(glibc_rand(random));
        glibc_srand(random, r + 128u * hash + c);
        hash = static_cast<uint32_t>(glibc_rand(random));
    }
    return static_cast<int32_t>(hash);
}

int scramble_line_shift(int64_t line, int32_t seed)
{
    glibc_random_state *random = &pelmorin.random;
    glibc_srand(random, static_cast<uint32_t>(line - 1));
    auto r = static_cast<uint32_t>(glibc_rand(random)) & 0xFFFFu;
    glibc_srand(random, r * static_cast<uint32_t>(seed));
    int e;
    do
        e = glibc_rand(random) & 0xFF;
    while (e >= STANDARD_LINE_BYTES);
    return 8 * e;  // whole bytes of the input line
}

// Every run of a line needs the same shift; compute it once per line.
static int current_line_shift()
{
    pelmorin_state &s = pelmorin;
    if (s.shift_line != s.line_count || s.shift_seed != s.scramble_seed) {
        s.shift_pixels = scramble_line_shift(s.line_count, s.scramble_seed);
        s.shift_line = s.line_count;
        s.shift_seed = s.scramble_seed;
    }
    return s.shift_pixels;
}

page_geometry page_geometry_for(int output_resolution, int input_resolution)
{
    const bool normal = input_resolution == 0;
    if (output_resolution == 2)
        return {FULL_ROW_BYTES, normal ? 2 : 1, 1, false};
    // Fine and the finer or unknown resolutions merge line pairs into one
    // half-width row.
    return {HALF_ROW_BYTES, 1, normal ? 1 : 2, true};
}

int row_bytes_for(int output_resolution)
{
    return page_geometry_for(output_resolution, 0).row_bytes;
}

image_size page_image_size(int output_resolution, int input_resolution, int64_t line_count)
{
    const page_geometry g = page_geometry_for(output_resolution, input_resolution);
    // The height is what the painter filled: a last unpaired line makes no row.
    return {8 * int64_t{g.row_bytes}, line_count * g.rows_per_line / g.lines_per_row};
}

namespace {

page_geometry current_geometry(const pelmorin_state &s)
{
    return page_geometry_for(s.settings.output_resolution, s.input_resolution);
}

// Byte offset of the first row that input line `line` paints; a doubled
// line paints the row after it too.
uint64_t first_row_of(const page_geometry &g, int64_t line)
{
    const auto rows = static_cast<uint64_t>(line) / static_cast<uint64_t>(g.lines_per_row);
    return rows * static_cast<uint64_t>(g.rows_per_line * g.row_bytes);
}

// Every run asks the bitmap to hold more than ROW_MARGIN bytes from its
// line's first row on: a strict comparison, hence the one byte more.
constexpr std::size_t ROW_MARGIN = 1000;
constexpr std::size_t ROOM_AFTER_FIRST_ROW = ROW_MARGIN + 1;

// The last line whose first row lies more than ROW_MARGIN bytes before
// `bytes`; -1 when there is none.
int64_t last_line_within(const page_geometry &g, std::size_t bytes)
{
    if (bytes < ROOM_AFTER_FIRST_ROW)
        return -1;
    const auto room = static_cast<int64_t>(
        std::min<std::size_t>(bytes - ROOM_AFTER_FIRST_ROW, INT64_MAX / 4));
    const int64_t rows = room / (g.rows_per_line * g.row_bytes);
    return rows * g.lines_per_row + (g.lines_per_row - 1);
}

void update_held_lines(pelmorin_state &s)
{
    painter_line &p = s.painter;
    p.last_held_line = !s.page_bitmap || s.bitmap_failed
                           ? -1
                           : std::min(last_line_within(current_geometry(s), s.bitmap_size),
                                      p.line_cap);
}

using span_words::FROM_MASK;

// Marks input pixels [from, to) of the gathering line black; from < to <= INPUT_LINE_WIDTH.
void mark_span(painter_line &p, int from, int to) { span_words::mark_span(p.bits, from, to); }

// Marks input pixels [from, to) black; 0 <= from < to <= INPUT_LINE_WIDTH.
inline void mark(painter_line &p, int from, int to) { span_words::mark(p.bits, from, to); }

// Rows store 16-pixel units little-endian, leftmost pixel in the unit's top
// bit: a word of 64 pixels, leftmost on top, has its four units reversed.
constexpr uint64_t row_order64(uint64_t v)
{
    v = (v << 32) | (v >> 32);
    return ((v & 0x0000FFFF0000FFFFu) << 16) | ((v >> 16) & 0x0000FFFF0000FFFFu);
}

// FROM_MASK with the units in row order: a word of such toggles, once the
// colour carried in is taken on, is the row's word as it is stored.
constexpr auto make_row_masks()
{
    std::array<uint64_t, 64> masks{};
    for (int k = 0; k < 64; ++k)
        masks[k] = row_order64(FROM_MASK[k]);
    return masks;
}
constexpr std::array<uint64_t, 64> FROM_ROW_MASK = make_row_masks();
// Where a row-order word keeps its last pixel, the one whose colour carries.
constexpr int ROW_LAST_PIXEL_BIT = 48;
static_assert(row_order64(uint64_t{1}) == uint64_t{1} << ROW_LAST_PIXEL_BIT);

uint32_t row_order32(uint32_t v)
{
    return (v << 16) | (v >> 16);
}

// 64 input pixels to 32 output pixels, each the OR of a pair.
uint32_t halve(uint64_t v)
{
    uint64_t x = ((v | (v << 1)) >> 1) & 0x5555555555555555u;
    x = (x | (x >> 1)) & 0x3333333333333333u;
    x = (x | (x >> 2)) & 0x0F0F0F0F0F0F0F0Fu;
    x = (x | (x >> 4)) & 0x00FF00FF00FF00FFu;
    x = (x | (x >> 8)) & 0x0000FFFF0000FFFFu;
    x = (x | (x >> 16)) & 0x00000000FFFFFFFFu;
    return static_cast<uint32_t>(x);
}

// ORs `value` into the bytes at `at` as a little-endian number.
template <typename T>
void or_little_endian(unsigned char *at, T value)
{
    if constexpr (std::endian::native == std::endian::little) {
        T old;
        std::memcpy(&old, at, sizeof old);
        old |= value;
        std::memcpy(at, &old, sizeof old);
    } else {
        for (std::size_t i = 0; i < sizeof value; ++i)
            at[i] |= static_cast<unsigned char>(value >> (8 * i));
    }
}

// Notes bytes [from, to) as painted. Rows come in order, so a span near the
// last one joins it.
void note_painted(painter_line &p, std::size_t from, std::size_t to)
{
    constexpr std::size_t JOIN_GAP = 1024;  // clearing a small gap costs less than a span
    if (p.painted_count > 0) {
        byte_span &last = p.painted[p.painted_count - 1];
        bool near = from <= last.to + JOIN_GAP && to + JOIN_GAP >= last.from;
        if (near || p.painted_count == PAINTED_SPANS) {
            last.from = std::min(last.from, from);
            last.to = std::max(last.to, to);
            return;
        }
    }
    p.painted[p.painted_count++] = {from, to};
}

// What a row writer finds in the line's words.
enum class line_words {
    marks,          // black pixels in pixel order (mark); words without any are skipped
    row_toggles,    // toggles in the rows' own order: each word takes the colour carried in
    pixel_toggles,  // toggles in pixel order, carried as such and halved when written
};

// The row writer: words [first, last] of the gathered line into its row(s)
// as the line's geometry lays them out, the words cleared behind it. Full
// rows take a word as 8 row bytes, twice when doubled. Half rows take a
// word of pixels halved into 4 bytes; row toggles of half rows are at pixel
// pairs already, 8 bytes a word and 4 for the row's last half word.
template <line_words words, bool halve_pixels, bool doubled>
void write_line_rows(pelmorin_state &s, int first, int last)
{
    constexpr bool toggles = words != line_words::marks;
    constexpr bool halving = halve_pixels && words != line_words::row_toggles;
    constexpr int stride = halving ? 4 : 8;  // row bytes a word becomes
    constexpr int HALF_ROW_WORDS = INPUT_LINE_WIDTH / 2 / 64;  // whole words of a half row
    painter_line &p = s.painter;
    unsigned char *const row = s.page_bitmap.get() + p.first_row;
    unsigned char *const copy = s.page_bitmap.get() + p.second_row;
    uint64_t carry = 0;
    int written = -1;
    for (int w = first; w <= last; ++w) {
        uint64_t v = p.bits[w];
        p.bits[w] = 0;
        if constexpr (toggles) {
            v ^= p.ends[w] ^ carry;
            p.ends[w] = 0;
            const int carried = words == line_words::row_toggles ? ROW_LAST_PIXEL_BIT : 0;
            carry = 0 - ((v >> carried) & 1);
        } else if (v == 0) {
            continue;
        }
        written = w;
        if constexpr (halving) {
            or_little_endian(row + 4 * w, row_order32(halve(v)));
        } else if constexpr (halve_pixels) {
            if (w < HALF_ROW_WORDS)
                or_little_endian(row + 8 * w, v);
            else  // row order keeps a word's first 32 pixels in its low half
                or_little_endian(row + 8 * w, static_cast<uint32_t>(v));
        } else {
            const uint64_t units = toggles ? v : row_order64(v);
            or_little_endian(row + 8 * w, units);
            if (doubled)
                or_little_endian(copy + 8 * w, units);
        }
    }
    if constexpr (toggles)
        p.ends[last + 1] = 0;  // the last run's end may toggle the word after its last black
    p.black_line = -1;
    if (written < 0)
        return;
    const auto end = std::min<std::size_t>(stride * (written + 1), p.geometry.row_bytes);
    note_painted(p, p.first_row + stride * first, (doubled ? p.second_row : p.first_row) + end);
}

// The row writer of the gathered line's geometry `g` (a copy, so that a
// caller's own tests of it carry over).
template <line_words words>
[[gnu::always_inline]] inline void write_rows(pelmorin_state &s, page_geometry g, int first, int last)
{
    if (g.halve_pixels)
        write_line_rows<words, true, false>(s, first, last);
    else if (g.doubled())
        write_line_rows<words, false, true>(s, first, last);
    else
        write_line_rows<words, false, false>(s, first, last);
}

// The marked black pixels of the gathered line into its row(s).
[[gnu::noinline]] void write_marked_line(pelmorin_state &s)
{
    write_rows<line_words::marks>(s, s.painter.geometry, 0, LINE_WORDS - 1);
}

void forget_gathered_line(painter_line &p)
{
    if (p.black_line >= 0)
        std::fill(std::begin(p.bits), std::end(p.bits), uint64_t{0});
    p.black_line = -1;
}

// Makes the bitmap hold the rows of line `line_count`. False when it cannot
// grow (bitmap_failed is then set) or has failed before.
bool hold_line(pelmorin_state &s)
{
    if (s.bitmap_failed || !s.page_bitmap)
        return false;
    const uint64_t first_row = first_row_of(current_geometry(s), s.line_count);
    // Lines that end without any run never come through here, so the row
    // may be several growth steps past the end: grow until it fits.
    if (first_row > SIZE_MAX - ROOM_AFTER_FIRST_ROW ||
        ensure_bitmap_holds(first_row + ROOM_AFTER_FIRST_ROW) != 0) {
        s.bitmap_failed = true;
        update_held_lines(s);
        return false;
    }
    update_held_lines(s);
    return true;
}

// The first black run of line `line_count` comes; the bitmap holds its rows.
void gather_line(pelmorin_state &s)
{
    painter_line &p = s.painter;
    p.geometry = current_geometry(s);
    p.first_row = first_row_of(p.geometry, s.line_count);
    p.second_row = p.first_row + static_cast<uint64_t>(p.geometry.row_bytes);
    // Pages after the first rotate every line.
    p.shift = s.scramble_seed != 0 && s.page_number != 1 ? current_line_shift() : 0;
    p.black_line = s.line_count;
}

// A black run anywhere: one that starts past the line's end or wraps too.
void mark_any_run(pelmorin_state &s, int64_t position, int64_t magnitude)
{
    painter_line &p = s.painter;
    auto x = static_cast<int>(position % INPUT_LINE_WIDTH) - p.shift;
    if (x < 0)
        x += INPUT_LINE_WIDTH;
    // Past one full line a wrapping run only repaints the same pixels.
    int end = x + static_cast<int>(std::min<int64_t>(magnitude, INPUT_LINE_WIDTH));
    if (end > INPUT_LINE_WIDTH) {
        mark_span(p, x, INPUT_LINE_WIDTH);
        mark_span(p, 0, end - INPUT_LINE_WIDTH);
    } else {
        mark_span(p, x, end);
    }
}

// Any run the quick cases of paint_one_run() leave: a run of a line the bitmap may
// not hold yet, the first black run of a line, one that wraps or starts past
// the line's end, or one past the cap.
[[gnu::noinline]] void paint_run_slowly(pelmorin_state &s, int32_t n)
{
    painter_line &p = s.painter;
    if (s.line_count > p.line_cap)
        return;
    int64_t position = s.run_position;
    int64_t magnitude = n < 0 ? -static_cast<int64_t>(n) : n;
    s.run_position = position + magnitude;
    if (p.black_line != s.line_count) {
        if (s.bitmap_failed || !s.page_bitmap)
            return;
        if (p.black_line >= 0)
            write_marked_line(s);  // the line count moved under a line with black
        if (s.line_count > p.last_held_line && !hold_line(s))
            return;
        if (n >= 0)
            return;
        gather_line(s);
    }
    if (n < 0)
        mark_any_run(s, position, magnitude);
}

// The quick cases: a white run of a line the bitmap holds, and a black run
// that lies within the line's INPUT_LINE_WIDTH pixels, after the line's first.
[[gnu::always_inline]] inline void paint_one_run(pelmorin_state &s, int32_t n)
{
    painter_line &p = s.painter;
    const int64_t line = s.line_count;
    const int64_t position = s.run_position;
    if (n >= 0) {
        if (line <= p.last_held_line) {
            s.run_position = position + n;
            return;
        }
    } else if (line == p.black_line) {
        const int64_t magnitude = -static_cast<int64_t>(n);
        const int64_t x = position - p.shift;
        const int64_t end = x + magnitude;
        if (x >= 0 && end <= INPUT_LINE_WIDTH) {
            s.run_position = position + magnitude;
            mark(p, static_cast<int>(x), static_cast<int>(end));
            return;
        }
    }
    paint_run_slowly(s, n);
}

[[gnu::always_inline]] inline void end_line(pelmorin_state &s)
{
    painter_line &p = s.painter;
    if (s.line_count > p.line_cap)
        return;
    if (p.black_line >= 0)
        write_marked_line(s);
    s.run_position = 0;
    s.line_count += 1;
}

// Calls start() on each run's first pixel and end() on the pixel after it,
// four positions a round: toggles of one run seldom wait on each other.
template <typename Start, typename End>
[[gnu::always_inline]] inline void toggle_each_run(const int16_t *spans, int count, Start start, End end)
{
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        start(spans[i]);
        end(spans[i + 1]);
        start(spans[i + 2]);
        end(spans[i + 3]);
    }
    if (i < count) {
        start(spans[i]);
        end(spans[i + 1]);
    }
}

// Toggles a line's runs at their starts in `bits` and their ends in
// `ends`: rotated or not, the runs do not overlap, so the toggles pair up. A
// run that the rotation wraps toggles at 0 too; one of the whole line
// toggles twice at its start.
template <const std::array<uint64_t, 64> &masks>
void toggle_runs_at_pixels(painter_line &p, const int16_t *spans, int count)
{
    const auto start = [&p](int x) { p.bits[x >> 6] ^= masks[x & 63]; };
    const auto end = [&p](int x) { p.ends[x >> 6] ^= masks[x & 63]; };
    const int shift = p.shift;
    if (shift == 0) {
        toggle_each_run(spans, count, start, end);
        return;
    }
    for (int i = 0; i < count; i += 2) {
        int from = spans[i] - shift;
        if (from < 0)
            from += INPUT_LINE_WIDTH;
        const int to = from + (spans[i + 1] - spans[i]);
        start(from);
        if (to < INPUT_LINE_WIDTH) {
            end(to);
        } else if (to > INPUT_LINE_WIDTH) {
            end(0);
            end(to - INPUT_LINE_WIDTH);
        }
    }
}

// Half-width rows of unrotated lines toggle at half-width positions
// straight away: a run [a, b) blackens the pixel pairs [a / 2, (b + 1) / 2).
// Runs that do not touch give pair runs that do not overlap (at most they
// touch, and touching toggles cancel), so the toggles pair up as before.
// Pixel x lies in pair x / 2: in word x / 128, with the mask at x % 128 here.
constexpr auto make_half_row_masks()
{
    std::array<uint64_t, 128> masks{};
    for (int k = 0; k < 128; ++k)
        masks[k] = FROM_ROW_MASK[k >> 1];
    return masks;
}
constexpr std::array<uint64_t, 128> FROM_HALF_ROW_MASK = make_half_row_masks();

void toggle_runs_at_pairs(painter_line &p, const int16_t *spans, int count)
{
    const auto start = [&p](int x) { p.bits[x >> 7] ^= FROM_HALF_ROW_MASK[x & 127]; };
    const auto end = [&p](int x) { p.ends[(x + 1) >> 7] ^= FROM_HALF_ROW_MASK[(x + 1) & 127]; };
    toggle_each_run(spans, count, start, end);
}

// The black runs of an ended line, none past its INPUT_LINE_WIDTH pixels,
// toggled and then written into its rows. Unrotated lines touch only the
// words from their runs' first to their last.
void write_ended_line(pelmorin_state &s, const int16_t *spans, int count)
{
    painter_line &p = s.painter;
    gather_line(s);
    const page_geometry g = p.geometry;
    if (p.shift == 0 && g.halve_pixels) {
        // A rotation can make runs touch across the wrap at an odd pixel,
        // where their pairs would overlap: only unrotated lines toggle pairs.
        toggle_runs_at_pairs(p, spans, count);
        const int first_pair = spans[0] >> 1, last_pair = ((spans[count - 1] + 1) >> 1) - 1;
        write_rows<line_words::row_toggles>(s, g, first_pair >> 6, last_pair >> 6);
    } else if (g.halve_pixels) {
        toggle_runs_at_pixels<FROM_MASK>(p, spans, count);
        write_rows<line_words::pixel_toggles>(s, g, 0, LINE_WORDS - 1);
    } else {
        int first = 0, last = LINE_WORDS - 1;
        if (p.shift == 0) {
            first = spans[0] >> 6;
            last = (spans[count - 1] - 1) >> 6;
        }
        toggle_runs_at_pixels<FROM_ROW_MASK>(p, spans, count);
        write_rows<line_words::row_toggles>(s, g, first, last);
    }
}

// A whole line: what its runs would do one by one, the first deciding the
// growth, then its end. Black runs come rotated by the line's shift.
void paint_span_line(pelmorin_state &s, const int16_t *spans, int count, int flags)
{
    painter_line &p = s.painter;
    if (s.line_count > p.line_cap)
        return;
    if ((flags & T4DEC_LINE_HAD_RUNS) != 0 && !s.bitmap_failed && s.page_bitmap) {
        if (p.black_line >= 0 && p.black_line != s.line_count)
            write_marked_line(s);
        // White runs alone grow the bitmap too.
        const bool held = s.line_count <= p.last_held_line || hold_line(s);
        if (held && count > 0 && (flags & T4DEC_LINE_ENDED) != 0 &&
            spans[count - 1] <= INPUT_LINE_WIDTH && p.black_line != s.line_count) {
            write_ended_line(s, spans, count);
        } else if (held && count > 0) {
            if (p.black_line != s.line_count)
                gather_line(s);
            for (int i = 0; i < count; i += 2) {
                const int from = spans[i] - p.shift, to = spans[i + 1] - p.shift;
                if (from >= 0 && to <= INPUT_LINE_WIDTH)
                    mark(p, from, to);
                else
                    mark_any_run(s, spans[i], spans[i + 1] - spans[i]);
            }
        }
    }
    if ((flags & T4DEC_LINE_ENDED) != 0)
        end_line(s);
}

}  // namespace

int ensure_bitmap_holds(std::size_t bytes)
{
    pelmorin_state &s = pelmorin;
    if (!s.page_bitmap)
        return -1;
    if (bytes <= s.bitmap_size)
        return 0;
    std::size_t steps = (bytes - s.bitmap_size + BITMAP_GROWTH - 1) / BITMAP_GROWTH;
    if (steps > (SIZE_MAX - s.bitmap_size) / BITMAP_GROWTH)
        return -1;
    std::size_t new_size = s.bitmap_size + steps * BITMAP_GROWTH;
    if (new_size > static_cast<std::size_t>(PTRDIFF_MAX))
        return -1;
    void *grown = std::realloc(s.page_bitmap.get(), new_size);
    if (grown == nullptr)
        return -1;  // the old block stays owned and valid
    s.page_bitmap.release();
    s.page_bitmap.reset(static_cast<unsigned char *>(grown));
    std::memset(s.page_bitmap.get() + s.bitmap_size, 0, new_size - s.bitmap_size);
    s.bitmap_size = new_size;
    update_held_lines(s);
    return 0;
}

int begin_page_bitmap(int64_t line_cap)
{
    pelmorin_state &s = pelmorin;
    painter_line &p = s.painter;
    s.run_position = 0;
    s.line_count = 0;
    s.bitmap_failed = false;
    forget_gathered_line(p);
    p.line_cap = line_cap;
    if (!s.page_bitmap) {
        s.bitmap_size = INITIAL_BITMAP_SIZE;
        s.page_bitmap.reset(static_cast<unsigned char *>(std::calloc(s.bitmap_size, 1)));
        p.painted_count = 0;
    }
    update_held_lines(s);
    if (!s.page_bitmap)
        return -1;
    // Only what the last page painted can be black: rows it grew into
    // without painting were cleared when they were added.
    for (int i = 0; i < p.painted_count; ++i) {
        std::size_t from = std::min(p.painted[i].from, s.bitmap_size);
        std::memset(s.page_bitmap.get() + from, 0, std::min(p.painted[i].to, s.bitmap_size) - from);
    }
    p.painted_count = 0;
    return 0;
}

void finish_page_bitmap()
{
    pelmorin_state &s = pelmorin;
    if (s.painter.black_line >= 0)
        write_marked_line(s);
}

void release_page_bitmap()
{
    pelmorin_state &s = pelmorin;
    s.page_bitmap.reset();
    s.bitmap_size = INITIAL_BITMAP_SIZE;
    forget_gathered_line(s.painter);
    s.painter.painted_count = 0;
    update_held_lines(s);
}

extern "C" void paint_run(int32_t n)
{
    paint_one_run(pelmorin, n);
}

extern "C" void end_of_line(void)
{
    end_line(pelmorin);
}

void paint_line_spans(void *, const int16_t *spans, int count, int flags)
{
    paint_span_line(pelmorin, spans, count, flags);
}

void paint_run_ctx(void *, int32_t n)
{
    paint_one_run(pelmorin, n);
}

void end_of_line_ctx(void *)
{
    end_line(pelmorin);
}
