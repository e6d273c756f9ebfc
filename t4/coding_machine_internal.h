// The token steps of two-dimensional coding (MR, MMR), written once over a
// line model. The table-driven decoders keep lines as changing elements, the
// bit-by-bit reference as bitmaps; each gives, for its coding state S (found
// by argument-dependent lookup):
//   int32_t reference_change(S &, int32_t from, int colour, int &found_colour, bool from_a0)
//       the next changing element on the reference line that the coding
//       colour looks for, right of `from`, clamped to the width; from_a0:
//       the search starts at a0, where a line model may keep its place
//   void emit_run(S &, int16_t from, int32_t length, int colour)
//   void colour_changes_at(S &, int32_t x)
//       a run ended at x and the next is of the other colour
//   void start_line(S &)
//   void close_partial_line(S &, bool show_reference)
//       a line that began, padded with white and reported, or the reference
//       line in its place
//   void end_line_at_eol(S &, bool first_in_row)
//       an MR line ends at an EOL and the next starts; only the first of
//       EOLs in a row shows a line
//   void end_full_line(S &)
//       an MMR line ends full and the next starts
//   void hand_over_open_line(S &)
//       runs of a line that no end of line closes go to the span callback
//   void report_coding_line(S &)
//       the coding line, finished, to the line callback (no end of line)
// and S is a line_position with the lines of its own.
// The page loops at the end take a bit reader R of the decoder's own, with
//   bool read_token(R &, const code_node *&node, bool eol_without_tag, code_token &)
//   int64_t bits_read(const R &)
//   int32_t codes_dropped(const R &)    extension codes skipped
#pragma once

#include <cstdint>
#include <cstdio>

#include "t4/dectbls.h"
#include "t4/t4codes.h"
#include "t4/t4dec_internal.h"

namespace t4dec_detail {

enum class step_result { ok, line_error };

// Where the token steps are in the line being decoded, and for whom.
struct line_position {
    int32_t width;
    int bytes_per_line;
    callbacks cb;
    int16_t a0 = -1;          // -1: the imaginary white element before the line
    int colour = WHITE;       // of the run starting at a0
    int horizontal_runs = 0;  // runs of a horizontal mode still to read
    int32_t run_sum = 0;      // make-up lengths of the run being read
};

inline line_position position_at_start(int32_t width, const callbacks &cb)
{
    return line_position{width, bytes_for(width), cb};
}

// A new line starts white, before its first pixel.
inline void restart_position(line_position &p)
{
    p.a0 = -1;
    p.colour = WHITE;
    p.horizontal_runs = 0;
    p.run_sum = 0;
}

// a0 of -1 is the imaginary white element before the line.
template <typename S>
int16_t a0_or_zero(const S &cs)
{
    return cs.a0 < 0 ? int16_t{0} : cs.a0;
}

// A code at a0 = 0 after the line's first code (not at the imaginary pixel
// before the line): the legacy search took pixel 0 itself as b1, where a
// standard decoder looks right of a0.
template <typename S>
bool legacy_b1_at_pixel_0(const S &cs, int32_t b1)
{
    return cs.a0 == 0 && b1 == 0;
}

template <typename S>
step_result pass_mode(S &cs)
{
    int b1_colour = 0, unused = 0;
    const int32_t b1 = reference_change(cs, cs.a0, cs.colour, b1_colour, true);
    const int32_t b2 = reference_change(cs, b1, b1_colour, unused, false);
    // From the changes right of pixel 0 a standard decoder's b2 comes two
    // later: the same only when both are at the width.
    if (legacy_b1_at_pixel_0(cs, b1) && b2 < cs.width)
        ++cs.cb.report->nonstandard;
    cs.a0 = a0_or_zero(cs);
    if (b2 > cs.width || b2 < cs.a0)
        return step_result::line_error;
    emit_run(cs, cs.a0, b2 - cs.a0, cs.colour);
    cs.a0 = static_cast<int16_t>(b2);  // colour unchanged: the next run continues it
    return step_result::ok;
}

template <typename S>
step_result vertical_mode(S &cs, int32_t token)
{
    int unused = 0;
    const int32_t b1 = reference_change(cs, cs.a0, cs.colour, unused, true);
    if (legacy_b1_at_pixel_0(cs, b1))
        ++cs.cb.report->nonstandard;
    const int32_t a1 = b1 + t4codes::modes[token].offset;
    const int16_t from = a0_or_zero(cs);
    if (a1 > cs.width || a1 < from)
        return step_result::line_error;
    emit_run(cs, from, a1 - from, cs.colour);
    colour_changes_at(cs, a1);
    cs.a0 = static_cast<int16_t>(a1);
    cs.colour ^= 1;
    return step_result::ok;
}

// One run token (one-dimensional coding): make-up lengths gather in run_sum
// until a terminating code completes the run.
enum class run_result { pending, complete, line_error };

template <typename S>
run_result run_token(S &cs, int32_t token)
{
    const int32_t size = magnitude(token);
    if (size > MAX_TERMINATING) {
        cs.run_sum = add_run_sum(cs.run_sum, size);
        return run_result::pending;
    }
    cs.a0 = a0_or_zero(cs);
    const int32_t run = cs.run_sum + size;
    cs.run_sum = 0;
    if (cs.a0 + run > cs.width)
        return run_result::line_error;
    emit_run(cs, cs.a0, run, cs.colour);
    cs.a0 = static_cast<int16_t>(cs.a0 + run);
    colour_changes_at(cs, cs.a0);
    cs.colour ^= 1;
    return run_result::complete;
}

// The second and third parts of a horizontal mode code: two runs, the first
// in the current colour. An EOL counts as a make-up length here, so an EOL
// inside horizontal mode always fails the line.
template <typename S>
step_result horizontal_run(S &cs, int32_t token)
{
    const run_result r = run_token(cs, token);
    if (r == run_result::line_error)
        return step_result::line_error;
    if (r == run_result::complete)
        --cs.horizontal_runs;
    return step_result::ok;
}

template <typename S>
step_result coding_mode_step(S &cs, int32_t token)
{
    switch (token) {
    case MODE_PASS:
        return pass_mode(cs);
    case MODE_HORIZONTAL:
        cs.horizontal_runs = 2;
        cs.run_sum = 0;
        return step_result::ok;
    case MODE_V0: case MODE_VL1: case MODE_VL2: case MODE_VL3:
    case MODE_VR1: case MODE_VR2: case MODE_VR3:
        return vertical_mode(cs, token);
    default:
        std::printf("Bad tok: Can't happen!  runlen=%d\n", static_cast<int>(token));
        return step_result::ok;
    }
}

template <typename S>
const code_node *colour_tree(const S &cs)
{
    return cs.colour == BLACK ? black_tree : white_tree;
}

// ---------------------------------------------------------------------------
// MR: EOL-separated lines, each EOL's tag bit choosing 1-D or 2-D coding.

enum class mr_line { searching, one_dimensional, two_dimensional };

template <typename S>
struct mr_decoder {
    S cs;
    mr_line state = mr_line::searching;
    bool synchronised = false;
    bool coded = false;  // a code of some line came
    int eol_count = 0;
    const code_node *node = sync_chain;
};

enum { MR_GO_ON = -1 };

// Before any line, with the report cleared: 0 for data or a width MR cannot
// take, 1 when no callback would see a thing, else MR_GO_ON.
inline int mr_start(const unsigned char *data, int length, int32_t width, const callbacks &cb)
{
    *cb.report = t4dec_report{};
    if (data == nullptr || length <= 0 || !valid_width(width))
        return 0;
    if (cb.none())
        return 1;
    return MR_GO_ON;
}

template <typename S>
void mr_line_error(mr_decoder<S> &d)
{
    ++d.cs.cb.report->concealed;
    close_partial_line(d.cs, true);  // the previous line stands in
    d.state = mr_line::searching;
    d.synchronised = false;
    d.node = sync_chain;
    start_line(d.cs);
}

// The root the next code of the line is read from.
template <typename S>
const code_node *mr_restart(const mr_decoder<S> &d)
{
    if (d.state == mr_line::one_dimensional || d.cs.horizontal_runs > 0)
        return colour_tree(d.cs);
    return mode_tree;
}

// The next line's coding, as an EOL's tag bit chooses it.
template <typename S>
void mr_take_tag(mr_decoder<S> &d, int32_t token)
{
    d.state = token == TAG_ONE_DIMENSIONAL ? mr_line::one_dimensional : mr_line::two_dimensional;
    d.node = mr_restart(d);
}

// A counted EOL on a synchronised page ends the line; only the first of
// EOLs in a row shows a line. The fast loops end their lines here too, at
// the first EOL after a line's codes.
template <typename S>
[[gnu::always_inline]] inline void mr_end_line_at_eol(mr_decoder<S> &d, int32_t token)
{
    end_line_at_eol(d.cs, d.eol_count == 1);
    mr_take_tag(d, token);
}

// An EOL with its tag bit. Returns false at the sixth EOL in a row (RTC).
template <typename S>
bool mr_tagged_eol(mr_decoder<S> &d, int32_t token)
{
    if (++d.eol_count == RTC_EOLS)
        return false;
    if (d.synchronised) {
        mr_end_line_at_eol(d, token);
        return true;
    }
    d.synchronised = true;
    start_line(d.cs);
    mr_take_tag(d, token);
    return true;
}

template <typename S>
step_result mr_line_token(mr_decoder<S> &d, int32_t token)
{
    if (d.state == mr_line::one_dimensional)
        return run_token(d.cs, token) == run_result::line_error ? step_result::line_error
                                                                : step_result::ok;
    if (d.cs.horizontal_runs > 0)
        return horizontal_run(d.cs, token);
    return coding_mode_step(d.cs, token);
}

// One token, read from d.node; `tagged_eol` for an EOL with its tag bit.
// Returns false when decoding is over (RTC).
template <typename S>
bool mr_token(mr_decoder<S> &d, int32_t token, bool tagged_eol)
{
    const bool horizontal = d.cs.horizontal_runs > 0;
    if (token == RUN_EOL && !horizontal) {
        // A make-up code cut off by an EOL would leak its length into a
        // later run: the line is broken, and this EOL may resynchronise.
        if (d.state == mr_line::one_dimensional && d.cs.run_sum > 0) {
            d.cs.a0 = a0_or_zero(d.cs);
            mr_line_error(d);
        }
        d.node = tag_node;
        return true;
    }
    if (!d.synchronised && !(tagged_eol && token == TAG_ONE_DIMENSIONAL)) {
        d.state = mr_line::searching;
        d.node = sync_chain;
        return true;
    }
    if (tagged_eol)
        return mr_tagged_eol(d, token);
    d.eol_count = 0;
    d.coded = true;
    if (mr_line_token(d, token) == step_result::line_error)
        mr_line_error(d);
    else
        d.node = mr_restart(d);
    return true;
}

// Where the data may end cleanly: between lines of a synchronised page.
template <typename S>
bool mr_at_line_end(const mr_decoder<S> &d)
{
    return d.synchronised && d.cs.horizontal_runs == 0 && d.cs.run_sum == 0 &&
           (d.cs.a0 < 0 || d.cs.a0 >= d.cs.width);
}

// ---------------------------------------------------------------------------
// MMR: no EOLs between lines, a line ends at the width, no resynchronisation.

struct mmr_decoder_state {
    int eol_count = 0;
    bool coded = false;  // a code of some line came
};

// Codes follow: the EOLs before them were no part of an EOFB.
inline void mmr_codes_follow(mmr_decoder_state &m, t4dec_report &report)
{
    report.nonstandard += m.eol_count;
    m.eol_count = 0;
    m.coded = true;
}

enum class mmr_step { go_on, end_of_block, line_error };

// An MMR line ends when it is full, with no horizontal mode half read; the
// fast loops end theirs here too.
template <typename S>
[[gnu::always_inline]] inline void mmr_end_if_full(S &cs)
{
    if (cs.horizontal_runs == 0 && cs.a0 >= cs.width)
        end_full_line(cs);
}

// One token; a line that is full then ends.
template <typename S>
mmr_step mmr_token(S &cs, mmr_decoder_state &m, int32_t token, bool tagged_eol)
{
    if (cs.horizontal_runs > 0) {
        if (horizontal_run(cs, token) == step_result::line_error)
            return mmr_step::line_error;
    } else if (tagged_eol) {
        if (++m.eol_count == EOFB_EOLS) {
            if (cs.a0 >= 0)
                ++cs.cb.report->nonstandard;  // the line it cuts short
            return mmr_step::end_of_block;
        }
    } else {
        mmr_codes_follow(m, *cs.cb.report);
        if (coding_mode_step(cs, token) == step_result::line_error)
            return mmr_step::line_error;
    }
    mmr_end_if_full(cs);
    return mmr_step::go_on;
}

template <typename S>
const code_node *mmr_restart(const S &cs)
{
    return cs.horizontal_runs > 0 ? colour_tree(cs) : mode_tree;
}

// Between lines: the last one filled up, the next not begun.
template <typename S>
bool mmr_at_line_end(const S &cs)
{
    return cs.horizontal_runs == 0 && cs.run_sum == 0 && cs.a0 < 0;
}

// ---------------------------------------------------------------------------
// The page loops. `fast(d, in)` / `fast(cs, m, in)` may take codes between
// tokens, leaving the state as the token steps would; Lines is the decoder's
// line store, filled by alloc_lines(Lines &, width) and made a coding state by
// make_coding_state(Lines &, width, cb).

template <typename Lines, typename R, typename Fast>
int mr_decode(R in, const unsigned char *data, int length, int32_t width, const callbacks &cb,
              Fast fast)
{
    if (const int result = mr_start(data, length, width, cb); result != MR_GO_ON)
        return result;
    t4dec_report &report = *cb.report;
    Lines lines;
    if (!alloc_lines(lines, width))
        return 0;
    mr_decoder<decltype(make_coding_state(lines, width, cb))> d{make_coding_state(lines, width, cb)};
    code_token token{};
    int64_t last_code_end = 0;
    bool at_rtc = false;
    for (;;) {
        fast(d, in);
        last_code_end = bits_read(in);
        if (!read_token(in, d.node, false, token))
            break;
        if (!mr_token(d, token.value, token.tagged_eol)) [[unlikely]] {
            at_rtc = true;
            break;
        }
    }
    report.nonstandard += codes_dropped(in);
    if (at_rtc) {
        report.clean = page_clean(report, d.coded, true, only_fill_from(data, length, bits_read(in)));
    } else {
        report.clean = page_clean(report, d.coded, mr_at_line_end(d),
                                  only_fill_from(data, length, last_code_end));
        close_partial_line(d.cs, false);
    }
    hand_over_open_line(d.cs);
    return 1;
}

template <typename Lines, typename R, typename Fast>
int mmr_decode(R in, const unsigned char *data, int length, int32_t width, const callbacks &cb,
               Fast fast)
{
    t4dec_report &report = *cb.report;
    report = t4dec_report{};
    if (!valid_width(width))
        return 0;
    Lines lines;
    if (!alloc_lines(lines, width))
        return 0;
    auto cs = make_coding_state(lines, width, cb);
    const code_node *node = mode_tree;
    mmr_decoder_state m;
    bool at_eofb = false;
    code_token token{};
    int64_t last_code_end = 0;
    for (;;) {
        fast(cs, m, in);
        last_code_end = bits_read(in);
        if (!read_token(in, node, true, token))
            break;
        const mmr_step step = mmr_token(cs, m, token.value, token.tagged_eol);
        if (step == mmr_step::line_error) {
            hand_over_open_line(cs);
            return 0;
        }
        if (step == mmr_step::end_of_block) {
            at_eofb = true;
            last_code_end = bits_read(in);
            break;
        }
        node = mmr_restart(cs);
    }
    report.nonstandard += codes_dropped(in);
    report.clean = page_clean(report, m.coded, at_eofb || mmr_at_line_end(cs),
                              only_fill_from(data, length, last_code_end));
    report_coding_line(cs);
    cs.cb.end_of_line();
    return 1;
}

}  // namespace t4dec_detail
