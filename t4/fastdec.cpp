// Table-driven decoding of lines. Codes come whole from code_reader; lines
// are arrays of changing elements, searched with a forward cursor and drawn
// as bitmaps only for a line callback. Fast loops take the common codes with
// the line state in registers and stop before anything else: the EOL search,
// line errors, the sink's skip and pending states, long zero runs and the
// last bytes of the data go through the token path, the same steps as the
// bit-by-bit decoders take.
#include "t4/fastdec.h"

#include <algorithm>
#include <cassert>
#include <bit>
#include <cstdio>
#include <cstring>

#include "t4/bitmanip.h"
#include "t4/code_reader.h"
#include "t4/coding_machine_internal.h"
#include "t4/dectbls.h"
#include "t4/lookup_tables.h"

namespace t4dec_detail {
namespace {

// ---------------------------------------------------------------------------
// MH: the run sink takes every token; a terminating code that fits the line
// is placed here without the sink's general checks.

// The root where decoding goes on after `token` read from `root`.
const code_node *mh_next_root(const code_node *root, int32_t token)
{
    if (token == RUN_EOL)
        return white_tree;  // every line starts white
    if (magnitude(token) <= MAX_TERMINATING)
        return root == white_tree ? black_tree : white_tree;
    return root;  // a make-up code keeps its colour
}

// ---------------------------------------------------------------------------
// Lines as changing elements: positions where the colour changes, from a
// white start; even entries begin black runs, odd ones white runs. A
// finished line ends with sentinels at the width, enough for b2 after a b1
// found on the last.
constexpr int SENTINELS = 3;
// And one before the first entry, below every a0, so that the b1 cursor may
// step back from entry 0.
constexpr int16_t BEFORE_LINE = -1;

// The line model of both the token path and the fast loops: every run that
// flips the colour adds its end, and one of no pixels cancels a change
// already there (the entry before a line, BEFORE_LINE, is below any x, so a
// first one is kept). The entries are the line's changes, then at most one
// at a0 when the colour flipped there with nothing painted after it; the
// count's parity is the colour at a0.
struct change_line {
    int16_t *at;
    int count = 0;
};

// The end of a line being added to, the last entry also in a register for
// the fast loops: reading it back from the line would make each flip wait
// on the store of the one before.
struct change_cursor {
    int16_t *out;
    int32_t last;

    explicit change_cursor(int16_t *end) : out(end), last(end[-1]) {}

    void flip(int32_t x)
    {
        if (x == last) [[unlikely]] {
            --out;
            last = out[-1];
        } else {
            *out++ = static_cast<int16_t>(x);
            last = x;
        }
    }
};

inline void flip_at(change_line &l, int32_t x)
{
    change_cursor c(l.at + l.count);
    c.flip(x);
    l.count = static_cast<int>(c.out - l.at);
}

// Ends a line at `end`: a flip there with nothing painted after it goes, a
// black run still open closes at `end`, and the sentinels follow. Finishing
// twice changes nothing.
inline void line_finish(change_line &l, int32_t end, int32_t width)
{
    if (l.count > 0 && l.at[l.count - 1] == end)
        --l.count;
    if ((l.count & 1) != 0 && end < width)
        l.at[l.count++] = static_cast<int16_t>(end);
    for (int i = 0; i < SENTINELS; ++i)
        l.at[l.count + i] = static_cast<int16_t>(width);
}

// The bitmap of a finished line, a 64-bit word at a time (pixel 0 in the
// top bit). Each change toggles the colour from its pixel to the end of its
// word; a running carry then spreads each word's last colour to the next.
// An odd count ends black, and the first sentinel, at the width, closes it.
// Changes in turn toggle words of two arrays, so that a change seldom waits
// on the store of the one before, which is often to the same word.
// `toggles` holds 2 * words_for(width) words, zero between calls.
int words_for(int32_t width) { return width / 64 + 1; }

inline void store_word(unsigned char *to, uint64_t v)
{
    if constexpr (std::endian::native == std::endian::little)
        v = __builtin_bswap64(v);
    std::memcpy(to, &v, sizeof v);
}

inline void toggle_at(uint64_t *toggles, int32_t x)
{
    toggles[x >> 6] ^= ~uint64_t{0} >> (x & 63);
}

void render(const change_line &l, uint64_t *toggles, int32_t width, unsigned char *bitmap,
            int bytes_per_line)
{
    const int words = words_for(width);
    uint64_t *const other = toggles + words;
    const int16_t *at = l.at;
    const int16_t *const end = at + l.count + (l.count & 1);
    for (; at + 4 <= end; at += 4) {
        toggle_at(toggles, at[0]);
        toggle_at(other, at[1]);
        toggle_at(toggles, at[2]);
        toggle_at(other, at[3]);
    }
    if (at < end) {
        toggle_at(toggles, at[0]);
        toggle_at(other, at[1]);
    }
    uint64_t carry = 0;
    const int whole = bytes_per_line / 8;
    for (int i = 0; i < whole; ++i) {
        const uint64_t v = toggles[i] ^ other[i] ^ carry;
        toggles[i] = 0;
        other[i] = 0;
        carry = 0 - (v & 1);
        store_word(bitmap + 8 * i, v);
    }
    for (int i = whole; i < words; ++i) {
        const uint64_t v = toggles[i] ^ other[i] ^ carry;
        toggles[i] = 0;
        other[i] = 0;
        for (int b = 8 * i; b < bytes_per_line; ++b)
            bitmap[b] = static_cast<unsigned char>(v >> (56 - 8 * (b - 8 * i)));
    }
}

struct coding_state;
using fast_mr_decoder = mr_decoder<coding_state>;

struct coding_state : line_position {
    change_line reference;
    change_line coding;
    unsigned char *reference_bitmap;
    unsigned char *coding_bitmap;
    uint64_t *toggles;         // render's scratch
    int cursor = 0;            // reference entries before it are <= a0
    bool line_runs = false;    // any run since the last end of line
    fast_mr_decoder *machine = nullptr;  // MR: the decoder whose lines these are
};

// The changing-element search of the bitmap decoders on the reference
// changes, clamped to the width: the next change of the target colour right
// of `from`. From a start of 0 or less the legacy rule holds: pixel 0 itself
// is a candidate. `from_a0` lets the search move the cursor for good.
int32_t reference_change(coding_state &cs, int32_t from, int colour, int &target, bool from_a0)
{
    const int16_t *at = cs.reference.at;
    target = (from < 0 || colour == WHITE) ? BLACK : WHITE;
    if (from <= 0) {
        if (target == BLACK)
            return at[0];
        return at[0] != 0 ? 0 : at[1];  // pixel 0 is white: found at once
    }
    if (from >= cs.width)
        return cs.width;
    int j = cs.cursor;
    while (at[j] <= from)
        ++j;
    if (from_a0)
        cs.cursor = j;
    if ((j & 1) != (target == WHITE ? 1 : 0))  // black changes at even entries
        ++j;
    return at[j];
}

void emit_run(coding_state &cs, int16_t, int32_t length, int colour)
{
    cs.cb.run_of(colour == BLACK ? -length : length);
    cs.line_runs = true;
}

void colour_changes_at(coding_state &cs, int32_t x) { flip_at(cs.coding, x); }

// The mode table as the fast loop wants it: what a vertical mode does to
// b1 and a1 without looking up its token again.
enum mode_kind : uint8_t { VERTICAL, PASS, HORIZONTAL, OTHER };
struct mode_step {
    int8_t offset;  // vertical: a1 - b1
    int8_t next;    // vertical: where the b1 search goes on, from b1's entry
    uint8_t bits;
    uint8_t kind;
};

constexpr std::array<mode_step, t4tables::modes.size()> make_mode_steps()
{
    std::array<mode_step, t4tables::modes.size()> steps{};
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto &e = t4tables::modes[i];
        const int token = e.kind == t4tables::CODE ? e.token : -1;
        mode_step &m = steps[i];
        m.bits = e.bits;
        m.kind = t4codes::is_vertical(token) ? VERTICAL
                 : token == MODE_PASS        ? PASS
                 : token == MODE_HORIZONTAL  ? HORIZONTAL
                                             : OTHER;
        if (m.kind == VERTICAL) {
            const int offset = t4codes::modes[token].offset;
            m.offset = static_cast<int8_t>(offset);
            // The search for the next b1 goes on from b1's entry: with
            // a1 >= b1 past b1 itself, else from the change before it.
            m.next = static_cast<int8_t>(offset >= 0 ? 1 : -1);
        }
    }
    return steps;
}
constexpr auto mode_steps = make_mode_steps();

void start_line(coding_state &cs)
{
    cs.coding.count = 0;
    restart_position(cs);
    cs.cursor = 0;
}

// The coding line, finished, becomes the reference line of the next.
inline void take_as_reference(coding_state &cs)
{
    std::swap(cs.reference, cs.coding);
    start_line(cs);
}

inline void finish_coding_line(coding_state &cs)
{
    line_finish(cs.coding, a0_or_zero(cs), cs.width);
}

inline void finish_line(coding_state &cs)
{
    finish_coding_line(cs);
    take_as_reference(cs);
}

// The span callback gets the runs of the line since the last end of line.
void hand_over_spans(coding_state &cs, const change_line &l, bool ended)
{
    cs.cb.spans_of(l.at, l.count, ended, cs.line_runs, cs.line_runs);
    cs.line_runs = false;
}

// The coding line, finished, as spans or as a bitmap.
void show_coding_line(coding_state &cs)
{
    if (cs.cb.spans != nullptr) {
        hand_over_spans(cs, cs.coding, true);
    } else if (cs.cb.line != nullptr) {
        render(cs.coding, cs.toggles, cs.width, cs.coding_bitmap, cs.bytes_per_line);
        cs.cb.line_of(cs.coding_bitmap, cs.bytes_per_line);
    }
}

void report_coding_line(coding_state &cs)
{
    if (cs.cb.line != nullptr || cs.cb.spans != nullptr) {
        finish_coding_line(cs);
        show_coding_line(cs);
    }
}

// Runs of a line that no end of line closes, at the end of the decoding.
void hand_over_open_line(coding_state &cs)
{
    if (cs.cb.spans != nullptr && cs.line_runs) {
        finish_coding_line(cs);
        hand_over_spans(cs, cs.coding, false);
    }
}

void report_reference_line(coding_state &cs)
{
    if (cs.cb.line != nullptr) {
        render(cs.reference, cs.toggles, cs.width, cs.reference_bitmap, cs.bytes_per_line);
        cs.cb.line_of(cs.reference_bitmap, cs.bytes_per_line);
    }
}

// An MMR line ends when it is full. (These two are inlined: the fast loops
// end their lines through them.)
[[gnu::always_inline]] inline void end_full_line(coding_state &cs)
{
    finish_coding_line(cs);
    show_coding_line(cs);
    cs.cb.end_of_line();
    take_as_reference(cs);
}

// An MR line ends at an EOL; only the first of EOLs in a row shows a line.
[[gnu::always_inline]] inline void end_line_at_eol(coding_state &cs, bool first_in_row)
{
    finish_line(cs);
    if (cs.cb.spans != nullptr)
        hand_over_spans(cs, cs.reference, true);
    else if (first_in_row)
        report_reference_line(cs);
    cs.cb.end_of_line();
}

// A line that began is reported padded with white: the coding line, or the
// reference line in its place. Spans are the runs that came: the coding line.
void close_partial_line(coding_state &cs, bool show_reference)
{
    if (cs.a0 < 0)
        return;
    if (cs.a0 < cs.width) {
        cs.cb.run_of(cs.width - cs.a0);
        cs.line_runs = true;
    }
    if (show_reference && cs.cb.spans == nullptr)
        report_reference_line(cs);
    else
        report_coding_line(cs);
    cs.cb.end_of_line();
}

// The bitmaps handed to line_callback, reference first, then the change
// arrays; nothing is kept unless all are had.
struct line_store {
    byte_buffer reference;
    byte_buffer coding;
    std::unique_ptr<int16_t[], free_deleter> changes;
    std::unique_ptr<uint64_t[], free_deleter> toggles;
};

bool alloc_lines(line_store &lines, int32_t width)
{
    // Each change line: at most one change a pixel, and the sentinels.
    if (alloc_line_pair(lines.reference, lines.coding, width))
        lines.changes.reset(static_cast<int16_t *>(std::malloc(
            2 * (static_cast<std::size_t>(width) + SENTINELS + 1) * sizeof(int16_t))));
    if (lines.changes) {
        const auto words = 2 * static_cast<std::size_t>(words_for(width));
        lines.toggles.reset(static_cast<uint64_t *>(std::calloc(words, sizeof(uint64_t))));
    }
    if (!lines.toggles) {
        lines = line_store{};
        return false;
    }
    return true;
}

coding_state make_coding_state(line_store &lines, int32_t width, const callbacks &cb)
{
    int16_t *changes = lines.changes.get();
    changes[0] = BEFORE_LINE;
    changes[width + SENTINELS + 1] = BEFORE_LINE;
    coding_state cs{position_at_start(width, cb),
                    change_line{changes + 1},
                    change_line{changes + width + SENTINELS + 2},
                    lines.reference.get(),
                    lines.coding.get(),
                    lines.toggles.get()};
    line_finish(cs.reference, 0, width);  // all white above the first line
    return cs;
}

// ---------------------------------------------------------------------------
// The common codes of a line straight from the tables, with the line state in
// registers. Each loop stops before anything it does not take whole (EOLs,
// errors, the legacy start-of-line choice, the end of the fast data), which
// the token path then handles exactly as the reference does.

// An EOL tagged two-dimensional right after codes of the line, taken by a
// fast loop: the first of EOLs in a row, on a synchronised page, so the MR
// decoder's end-of-line step ends the line.
[[gnu::always_inline]] inline void mr_eol_after_codes(coding_state &cs)
{
    fast_mr_decoder &d = *cs.machine;
    d.eol_count = 1;
    mr_end_line_at_eol(d, TAG_TWO_DIMENSIONAL);
}

// What a fast loop hands back to the token path, which then goes on from
// a0 in `colour`: the end of the coding line, and the line has runs (every
// code the loops take gives one).
inline void hand_back_line(coding_state &cs, int16_t *line_end, int32_t a0, int colour)
{
    cs.coding.count = static_cast<int>(line_end - cs.coding.at);
    cs.a0 = static_cast<int16_t>(a0);
    cs.colour = colour;
    cs.line_runs = true;
}

template <bool report>
inline void report_run(const callbacks &cb, int32_t length, int colour)
{
    if (report)
        cb.run(cb.user, colour == BLACK ? -length : length);
}

// Two-dimensional codes: vertical and pass modes, and horizontal modes whose
// two runs are whole runs, while a0 stays inside the line.
//
// b1 is at *b1 once the pointer, kept at the parity of the target colour
// (black changes sit at even entries), has moved past a0. It needs no search
// back: after a vertical mode the earliest candidate is the entry before b1
// (a1 >= b1 - 3 and the changes are distinct), after a pass mode the one
// after b2, after a horizontal mode b1 itself, and after V0 the entry after
// b1 is past a0 already. At the start of a line a0 of -1 and 0 behave alike
// in white: b1 is the first entry (a search from 0 takes pixel 0 itself).
// Each step returns false when the loop must stop: a code left to the token
// path (nothing taken), the line full, or a0 at 0 in black, where the legacy
// start-of-line choice is the token path's. Lines may end here too, as the
// decoders' loops would end them, and the next begin: MMR's full lines, and
// in MR a line at an EOL whose tag says a two-dimensional line follows.
enum class line_ends : uint8_t { outside, when_full, at_eols };

// What a fast loop took: nothing (the line state as it was), codes, or codes
// up to an EOL it took, the first in a row, that began the line now open.
enum class fast_outcome : uint8_t { nothing, codes, codes_to_eol };

// a0 at 0 or at the width: one unsigned comparison, as 0 < a0 < width wraps
// a0 - 1 below 0 to the top of the range.
inline bool a0_at_line_edge(int32_t a0, int32_t width)
{
    const bool edge = static_cast<uint32_t>(a0 - 1) >= static_cast<uint32_t>(width - 1);
    assert(edge == (a0 <= 0 || a0 >= width));
    return edge;
}

// a1 left of a0 or past the width, for a0 <= width: one unsigned comparison,
// as a1 < a0 wraps a1 - a0 to the top of the range.
inline bool a1_outside_run(int32_t a0, int32_t a1, int32_t width)
{
    assert(a0 <= width);
    const bool outside = static_cast<uint32_t>(a1 - a0) > static_cast<uint32_t>(width - a0);
    assert(outside == (a1 < a0 || a1 > width));
    return outside;
}

template <bool report>
struct fast_2d_line {
    const int16_t *b1;
    int32_t width;
    callbacks cb;
    change_cursor changes;
    bit_accumulator acc;
    int32_t a0;
    int colour;
    coding_state *lines = nullptr;
    line_ends ends = line_ends::outside;
    const int16_t *reference_end = nullptr;  // the reference line's first sentinel
    int64_t line_start = -1;  // where the last line begun here starts, or the entry
    bool after_eol = false;   // that line began after an EOL

    // The line as the coding state holds it, ended; the next starts at a0
    // -1, which is 0 here.
    void start_next_line()
    {
        coding_state &cs = *lines;
        b1 = cs.reference.at;
        reference_end = cs.reference.at + cs.reference.count;
        changes = change_cursor(cs.coding.at);
        a0 = 0;
        colour = WHITE;
        line_start = acc.pos();
    }

    void hand_back()
    {
        hand_back_line(*lines, changes.out, a0, colour);
    }

    // The line is full: MMR's next begins; in MR an EOL may follow at once.
    bool next_line()
    {
        if (ends == line_ends::at_eols && a0 >= width)
            return acc.fill() && eol_here(acc.bits);
        if (ends != line_ends::when_full || a0 < width)
            return false;
        hand_back();
        end_full_line(*lines);  // the line full, no horizontal mode half read
        start_next_line();
        return true;
    }

    // After a code of this line (so the EOL is the first in a row), as
    // mr_tagged_eol ends a line; an EOL tagged one-dimensional is left.
    bool eol_here(uint64_t w)
    {
        if (ends != line_ends::at_eols || acc.pos() == line_start)
            return false;
        const int zeros = std::countr_zero(w);
        if (zeros < FILL_ZEROS || zeros > MAX_COUNTED_ZEROS || ((w >> (zeros + 1)) & 1) != 0)
            return false;
        acc.consume(zeros + 2);
        hand_back();
        mr_eol_after_codes(*lines);
        start_next_line();
        after_eol = true;
        return true;
    }

    bool next_b1()
    {
        if (a0_at_line_edge(a0, width)) [[unlikely]]
            return a0 == 0 && colour == WHITE;  // at 0 b1 stays the first entry
        b1 += *b1 <= a0 ? 2 : 0;  // one step is common, and hard to predict
        while (*b1 <= a0)
            b1 += 2;
        return true;
    }

    // V0 codes, the commonest: a1 = b1. b1 is past a0 but at the start of
    // a line whose reference starts black; the changes after it rise up to
    // the width, where the line is full. `w` starts with a 1.
    bool v0_codes(uint64_t w)
    {
        if (*b1 == a0) [[unlikely]] {  // a0 = 0: no white pixel, black next
            report_run<report>(cb, 0, colour);
            colour ^= 1;
            changes.flip(a0);
            ++b1;
            acc.consume(1);
            return false;  // the legacy start-of-line choice
        }
        const int codes = std::min(std::countr_one(w), 56);  // fill() guarantees 56 bits
        if (!report)
            return v0_copies(codes);
        const int16_t *const stop = b1 + codes;
        int32_t a1 = a0;
        do {
            a1 = *b1++;
            if (report) {
                report_run<report>(cb, a1 - a0, colour);
                colour ^= 1;
                a0 = a1;
            }
            *changes.out++ = static_cast<int16_t>(a1);  // each past the last
            if (a1 >= width) [[unlikely]]
                break;
        } while (b1 != stop);
        changes.last = a1;
        const int taken = codes - static_cast<int>(stop - b1);
        if (!report)
            colour ^= taken & 1;
        a0 = a1;
        acc.consume(taken);
        return a1 < width;
    }

    // V0 codes without their runs: a1 takes b1's place up to the first
    // sentinel, the reference changes before it being all inside the line.
    bool v0_copies(int codes)
    {
        const int before_end = static_cast<int>(reference_end - b1);
        const int taken = before_end < codes ? std::max(before_end + 1, 1) : codes;
        for (int i = 0; i < taken; ++i) {
            assert(i == taken - 1 || b1[i] < width);
            changes.out[i] = b1[i];
        }
        const int32_t a1 = b1[taken - 1];
        b1 += taken;
        changes.out += taken;
        changes.last = a1;
        colour ^= taken & 1;
        a0 = a1;
        acc.consume(taken);
        return a1 < width;
    }

    bool vertical(mode_step m)
    {
        const int32_t a1 = *b1 + m.offset;
        if (a1_outside_run(a0, a1, width))
            return false;
        report_run<report>(cb, a1 - a0, colour);
        changes.flip(a1);
        a0 = a1;
        colour ^= 1;
        b1 += m.next;
        acc.consume(m.bits);
        return next_b1();
    }

    bool pass(mode_step m)
    {
        const int32_t b2 = b1[1];
        if (b2 < a0)
            return false;
        report_run<report>(cb, b2 - a0, colour);
        a0 = b2;
        b1 += 2;
        acc.consume(m.bits);
        return next_b1();
    }

    template <int first_colour>
    bool horizontal(mode_step m, uint64_t w)
    {
        int32_t first = 0, second = 0;
        int first_bits = 0, second_bits = 0;
        const uint64_t runs = w >> m.bits;
        // Two runs of no pixels at pixel 0 leave a0 there, where the next
        // code's b1 is the token path's: the legacy start-of-line choice.
        if (!whole_run<first_colour>(runs, first, first_bits) ||
            !whole_run<first_colour ^ 1>(runs >> first_bits, second, second_bits) ||
            static_cast<uint32_t>(a0 + first + second - 1) >= static_cast<uint32_t>(width))
            return false;
        report_run<report>(cb, first, first_colour);
        report_run<report>(cb, second, first_colour ^ 1);
        changes.flip(a0 + first);
        changes.flip(a0 + first + second);
        a0 += first + second;
        acc.consume(m.bits + first_bits + second_bits);
        return next_b1();
    }

    // Codes until one is left to the token path or the line is full.
    void decode()
    {
        while (acc.fill()) {
            const uint64_t w = acc.bits;
            if ((w & 1) != 0) {
                if (!v0_codes(w) && !next_line())
                    return;
                continue;
            }
            const mode_step m = mode_steps[w & ((1u << t4tables::MODE_BITS) - 1)];
            const bool go_on = m.kind == VERTICAL ? vertical(m)
                               : m.kind == PASS   ? pass(m)
                               : m.kind == HORIZONTAL
                                   ? (colour == WHITE ? horizontal<WHITE>(m, w)
                                                      : horizontal<BLACK>(m, w))
                                   : false;
            if (!go_on && !next_line() && !(m.kind == OTHER && eol_here(w)))
                return;
        }
    }
};

// The two-dimensional fast loop starts inside the line, and never where the
// legacy start-of-line choice is left to the token path: a0 on pixel 0 after
// the line's first code, in black or after two runs of no pixels.
inline bool fast_2d_may_start(const coding_state &cs, const bit_cursor &in)
{
    return in.fast() && cs.a0 < cs.width && cs.a0 != 0;
}

template <bool report>
fast_outcome fast_2d(coding_state &cs, bit_cursor &in, line_ends ends)
{
    if (!fast_2d_may_start(cs, in))
        return fast_outcome::nothing;
    const int16_t *ref = cs.reference.at;
    const int32_t a0 = a0_or_zero(cs);
    int k = 0;
    if (a0 > 0) {
        k = cs.cursor;
        while (ref[k] <= a0)
            ++k;
        k += (k & 1) ^ cs.colour;
    }
    fast_2d_line<report> l{ref + k, cs.width, cs.cb,
                           change_cursor(cs.coding.at + cs.coding.count),
                           bit_accumulator(in), a0, cs.colour};
    l.lines = &cs;
    l.ends = ends;
    l.reference_end = ref + cs.reference.count;
    l.line_start = in.pos;
    l.decode();
    const int64_t pos = l.acc.pos();
    if (pos == in.pos)
        return fast_outcome::nothing;  // a0 as it was
    in.pos = pos;
    if (pos == l.line_start)  // at the start of a line begun here, as finish_line left it
        return l.after_eol ? fast_outcome::codes_to_eol : fast_outcome::codes;
    // The token path's cursor: every entry before it is at most a0.
    ref = cs.reference.at;
    cs.cursor = 0;
    if (l.a0 > 0 && l.a0 < l.width) {
        while (*l.b1 <= l.a0)
            l.b1 += 2;
        cs.cursor = l.b1 > ref ? static_cast<int>(l.b1 - ref) - 1 : 0;
    }
    l.hand_back();
    return fast_outcome::codes;
}

// One-dimensional lines of MR: whole runs that fit, a white and a black run
// a round. True when any was taken.
struct run_state {
    bit_accumulator acc;
    change_cursor changes;
    int32_t a0;
};

template <bool report, int colour>
inline bool take_run(run_state &r, const callbacks &cb, int32_t width)
{
    int32_t length = 0;
    int bits = 0;
    if (!whole_run<colour>(r.acc.bits, length, bits) || r.a0 + length > width)
        return false;
    report_run<report>(cb, length, colour);
    r.a0 += length;
    r.changes.flip(r.a0);
    r.acc.consume(bits);
    return true;
}

template <bool report>
fast_outcome fast_1d(coding_state &cs, bit_cursor &in)
{
    if (!in.fast())
        return fast_outcome::nothing;
    const int32_t width = cs.width;
    const callbacks cb = cs.cb;
    const int32_t a0 = a0_or_zero(cs);
    run_state r{bit_accumulator(in), change_cursor(cs.coding.at + cs.coding.count), a0};
    int colour = cs.colour;
    if (colour == BLACK && take_run<report, BLACK>(r, cb, width))
        colour = WHITE;
    const auto pair = [&](int32_t at, int32_t white, int32_t black) {
        report_run<report>(cb, white, WHITE);
        report_run<report>(cb, black, BLACK);
        r.changes.flip(at + white);
        r.changes.flip(at + white + black);
    };
    if (colour == WHITE)
        while (r.acc.fill()) {
            if (const int32_t after = take_pairs(r.acc, r.a0, width, pair); after != r.a0) {
                r.a0 = after;
                continue;
            }
            if (!take_run<report, WHITE>(r, cb, width))
                break;
            if (!take_run<report, BLACK>(r, cb, width)) {
                colour = BLACK;
                break;
            }
        }
    const int64_t pos = r.acc.pos();
    if (pos == in.pos)
        return fast_outcome::nothing;
    hand_back_line(cs, r.changes.out, r.a0, colour);
    in.pos = pos;
    return fast_outcome::codes;
}

// Every code the fast loops take gives a run: the line has runs.
fast_outcome fast_codes(coding_state &cs, bit_cursor &in, bool two_dimensional, line_ends ends)
{
    if (two_dimensional)
        return cs.cb.run != nullptr ? fast_2d<true>(cs, in, ends) : fast_2d<false>(cs, in, ends);
    return cs.cb.run != nullptr ? fast_1d<true>(cs, in) : fast_1d<false>(cs, in);
}

// ---------------------------------------------------------------------------
// MR: EOL-separated lines, each EOL's tag bit choosing 1-D or 2-D coding.

// Where the fast loops may take over: in a line of a synchronised page, at
// the root its next code starts from, with no run half read.
bool mr_between_codes(const fast_mr_decoder &d)
{
    return d.synchronised && d.state != mr_line::searching && d.cs.horizontal_runs == 0 &&
           d.cs.run_sum == 0 && d.node == mr_restart(d);
}

// The fast loops between the MR token steps.
void mr_fast_codes(fast_mr_decoder &d, bit_cursor &in)
{
    if (!mr_between_codes(d))
        return;
    d.cs.machine = &d;
    const fast_outcome taken =
        fast_codes(d.cs, in, d.state == mr_line::two_dimensional, line_ends::at_eols);
    if (taken == fast_outcome::nothing)
        return;
    if (taken == fast_outcome::codes)  // a code last, not an EOL
        d.eol_count = 0;
    d.node = mr_restart(d);
    d.coded = true;
}

// The fast loops between the MMR token steps, while they take codes.
void mmr_fast_codes(coding_state &cs, mmr_decoder_state &m, bit_cursor &in)
{
    while (cs.horizontal_runs == 0 &&
           fast_codes(cs, in, true, line_ends::when_full) != fast_outcome::nothing) {
        mmr_codes_follow(m, *cs.cb.report);
        mmr_end_if_full(cs);
    }
}

// MH runs straight into the sink's line while each is a whole run that fits.
// Black goes into the sink's bitmap, or its span line when lines go out as
// spans; then an EOL is taken here too, as the sink takes it: with no pad
// run reported and no bitmap kept, only the span line goes out.
template <bool report, bool spans>
struct mh_line {
    sink_state &sink;
    const callbacks &cb;
    int32_t width;
    bit_accumulator acc;
    unsigned char *line;  // the last complete line follows it
    int16_t *span_line;
    int16_t *out;
    // The end of the last black run, kept here: reading it back from the
    // line would make each run wait on the store of the one before.
    int32_t last_end;
    int32_t position;
    bool runs;

    mh_line(sink_state &s, bit_cursor &in, int32_t w, const callbacks &c)
        : sink(s), cb(c), width(w), acc(in), line(s.buffer.get()),
          span_line(spans ? s.spans.get() : nullptr),
          out(spans ? span_line + s.span_count : nullptr),
          last_end(spans && s.span_count > 0 ? out[-1] : -1), position(s.position),
          runs(s.line_runs)
    {
    }

    void hand_back(bit_cursor &in)
    {
        if (spans)
            sink.span_count = static_cast<int>(out - span_line);
        sink.line_runs = runs;
        in.pos = acc.pos();
        sink.position = position;
    }

    [[gnu::always_inline]] void report_run(int32_t run) const
    {
        if (report)
            cb.run(cb.user, run);
    }

    [[gnu::always_inline]] void paint_black(int32_t from, int32_t count)
    {
        if (spans)
            append_span(out, last_end, from, count);
        else  // the last complete line follows: the byte after a run is there
            paint_black_bits<true>(line, from, count);
    }

    // An EOL (eleven or more zeros and a 1, none of them past the window's
    // data) where a run code should be.
    [[gnu::always_inline]] bool end_of_line(uint64_t w)
    {
        const int zeros = std::countr_zero(w);
        if (!spans || zeros < FILL_ZEROS || zeros > MAX_COUNTED_ZEROS)
            return false;
        acc.consume(zeros + 1);
        cb.spans_of(span_line, static_cast<int>(out - span_line), true, runs || position < width,
                    runs);
        sink.coded_seen = sink.coded_seen || runs;
        cb.end_of_line();
        out = span_line;
        last_end = -1;
        runs = false;
        position = 0;
        return true;
    }

    // The black run a line's state starts with, or an EOL in its place.
    // True when a white run comes next.
    [[gnu::always_inline]] bool take_black()
    {
        int32_t length = 0;
        int bits = 0;
        if (whole_run<BLACK>(acc.bits, length, bits) && position + length <= width) {
            acc.consume(bits);
            paint_black(position, length);
            position += length;
            runs = true;
            report_run(-length);
            return true;
        }
        return end_of_line(acc.bits);
    }

    enum class round { go_on, stop_at_white, stop_at_black };

    // A round takes a white and a black run from one window (two whole runs
    // need at most 52 bits), or an EOL.
    [[gnu::always_inline]] round take_round()
    {
        const uint64_t w = acc.bits;
        const auto pair = [this](int32_t at, int32_t white, int32_t black) {
            report_run(white);
            paint_black(at + white, black);
            report_run(-black);
        };
        if (const int32_t after = take_pairs(acc, position, width, pair); after != position) {
            position = after;
            runs = true;
            return round::go_on;
        }
        int32_t white = 0, black = 0;
        int white_bits = 0, black_bits = 0;
        if (!whole_run<WHITE>(w, white, white_bits) || position + white > width)
            return end_of_line(w) ? round::go_on : round::stop_at_white;
        acc.consume(white_bits);
        position += white;
        runs = true;
        report_run(white);
        if (!whole_run<BLACK>(w >> white_bits, black, black_bits) || position + black > width)
            return acc.fill() && end_of_line(acc.bits) ? round::go_on : round::stop_at_black;
        acc.consume(black_bits);
        paint_black(position, black);
        position += black;
        report_run(-black);
        return round::go_on;
    }
};

// Takes MH runs while they are whole and fit; stops before anything else.
// Returns the tree of the colour that comes next.
template <bool report, bool spans>
const code_node *mh_runs(sink_state &sink, bit_cursor &in, int32_t width, const callbacks &cb,
                         bool black)
{
    if (!in.fast())
        return black ? black_tree : white_tree;
    mh_line<report, spans> l(sink, in, width, cb);
    using round = typename mh_line<report, spans>::round;
    bool white_next = !black || l.take_black();
    if (white_next)
        while (l.acc.fill()) {
            const round r = l.take_round();
            if (r != round::go_on) {
                white_next = r == round::stop_at_white;
                break;
            }
        }
    l.hand_back(in);
    return white_next ? white_tree : black_tree;
}

}  // namespace

// ---------------------------------------------------------------------------

int fast_MH(t4dec_context &ctx, const unsigned char *data, int length, int32_t width,
            const callbacks &cb)
{
    sink_state &sink = ctx.sink;
    sink_reset(sink);
    *cb.report = t4dec_report{};
    const int bytes = valid_width(width) ? bytes_for(width) : -1;
    bit_cursor in = make_cursor(data, length);
    const code_node *node = sync_chain;  // nothing counts before the first EOL
    code_token t{};
    int64_t last_code_end = 0;
    for (;;) {
        // Run codes in a line being assembled, while the sink has its buffer
        // and is not skipping: terminating codes that fit and make-up codes
        // are placed here; anything else goes to the sink.
        if (node != sync_chain && sink.bytes_per_line == bytes && !sink.skipping &&
            !sink.makeup_pending) {
            const bool black = node == black_tree;
            if (cb.spans != nullptr)
                node = sink.spans ? mh_runs<false, true>(sink, in, width, cb, black) : node;
            else if (cb.run != nullptr)
                node = mh_runs<true, false>(sink, in, width, cb, black);
            else
                node = mh_runs<false, false>(sink, in, width, cb, black);
        }
        const code_node *root = node;
        last_code_end = in.pos;
        if (!read_token(in, node, false, t))
            break;
        node = mh_next_root(root, t.value);
        sink_token(sink, cb, width, t.value);
    }
    const bool coded = sink_coded_line(sink, width);
    sink_finish_spans(sink, cb);
    cb.report->clean = page_clean(*cb.report, coded, sink_at_line_end(sink, width),
                                  only_fill_from(data, length, last_code_end));
    return 1;
}

int fast_MR(t4dec_context &, const unsigned char *data, int length, int32_t width,
            const callbacks &cb)
{
    return mr_decode<line_store>(make_cursor(data, length), data, length, width, cb,
                                 [](fast_mr_decoder &d, bit_cursor &in) { mr_fast_codes(d, in); });
}

int fast_MMR(t4dec_context &, const unsigned char *data, int length, int32_t width,
             const callbacks &cb)
{
    return mmr_decode<line_store>(
        make_cursor(data, length), data, length, width, cb,
        [](coding_state &cs, mmr_decoder_state &m, bit_cursor &in) { mmr_fast_codes(cs, m, in); });
}

}  // namespace t4dec_detail
