// The bit-by-bit decoders: every input bit is one step in the decoding graph
// of dectbls, and the lines are bitmaps searched by find_changing_element.
// They stay as the measure of the table-driven decoders (fastdec), which
// must give the same callbacks and results for every input.
#include "tests/support/t4dec_reference.h"

#include <cstdio>
#include <cstring>

#include "t4/bitmanip.h"
#include "t4/dectbls.h"

namespace t4dec_detail {
namespace {

// ---------------------------------------------------------------------------
// Reading codes: bit 0 of each byte first, one graph step per bit.

struct bit_reader {
    const unsigned char *data;
    int length;
    int index = 0;
    unsigned current = 0;
    int bits_left = 0;

    bool next_bit(int &bit)
    {
        if (bits_left == 0) {
            if (index >= length)
                return false;
            current = data[index++];
            bits_left = 8;
        }
        bit = static_cast<int>(current & 1u);
        current >>= 1;
        --bits_left;
        return true;
    }

    int64_t pos() const { return int64_t{index} * 8 - bits_left; }  // bits read
};

bit_reader make_reader(const unsigned char *data, int length)
{
    return bit_reader{data, data == nullptr || length < 0 ? 0 : length};
}

// A leaf without successors is never stepped from; should it be, the walk
// falls back to the EOL search rather than leave the graph.
const code_node *step(const code_node *node, int bit)
{
    const code_node *next = code_successor(node, bit);
    return next != nullptr ? next : sync_chain;
}

// A decoded code. Tokens are read in the context of the node that gave them:
// the tag leaves' 9 and 10 are EOLs, the same values from a run tree are runs.
struct code_token {
    int32_t value;
    bool tagged_eol;  // EOL with its tag bit (TAG_ONE_DIMENSIONAL / TAG_TWO_DIMENSIONAL)
};

bool is_tag_leaf(const code_node *node)
{
    return node == code_successor(tag_node, 0) || node == code_successor(tag_node, 1);
}

// Walks from `node` to the next token. In MMR data no tag bit follows an
// EOL, so reaching tag_node completes it. False at the end of the data.
bool read_token(bit_reader &in, const code_node *&node, bool eol_without_tag, code_token &token)
{
    int bit = 0;
    while (in.next_bit(bit)) {
        node = step(node, bit);
        if (eol_without_tag && node == tag_node) {
            token = {TAG_TWO_DIMENSIONAL, true};
            return true;
        }
        if (code_is_leaf(node)) {
            token = {node->token, is_tag_leaf(node)};
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// Two-dimensional coding, shared by MR and MMR (T.4 clause 4.2.1.3, T.6).

enum class step_result { ok, line_error };

struct coding_state {
    unsigned char *reference;
    unsigned char *coding;
    int32_t width;
    int bytes_per_line;
    callbacks cb;
    int16_t a0 = -1;           // -1: the imaginary white element before the line
    int colour = WHITE;        // of the run starting at a0
    int horizontal_runs = 0;   // runs of a horizontal mode still to read
    int32_t run_sum = 0;       // make-up lengths of the run being read
};

int16_t a0_or_zero(const coding_state &cs) { return cs.a0 < 0 ? int16_t{0} : cs.a0; }

// Next changing element on the reference line; none is W (the search itself
// returns the bit length of the line, which may be past W).
int32_t reference_change(const coding_state &cs, int16_t from, int colour, int &found_colour)
{
    short found = 0;
    found_colour = find_changing_element(cs.reference, cs.bytes_per_line, from, &found, colour);
    return found > cs.width ? cs.width : found;
}

void emit_run(coding_state &cs, int16_t from, int32_t length, int colour)
{
    set_bit_run(cs.coding, from, static_cast<int>(length), colour);
    cs.cb.run_of(colour == BLACK ? -length : length);
}

step_result pass_mode(coding_state &cs)
{
    int b1_colour = 0, unused = 0;
    const int32_t b1 = reference_change(cs, cs.a0, cs.colour, b1_colour);
    const int32_t b2 = reference_change(cs, static_cast<int16_t>(b1), b1_colour, unused);
    cs.a0 = a0_or_zero(cs);
    if (b2 > cs.width || b2 < cs.a0)
        return step_result::line_error;
    emit_run(cs, cs.a0, b2 - cs.a0, cs.colour);
    cs.a0 = static_cast<int16_t>(b2);  // colour unchanged: the next run continues it
    return step_result::ok;
}

step_result vertical_mode(coding_state &cs, int32_t token)
{
    int unused = 0;
    const int32_t a1 = reference_change(cs, cs.a0, cs.colour, unused) +
                       t4codes::modes[token].offset;
    const int16_t from = a0_or_zero(cs);
    if (a1 > cs.width || a1 < from)
        return step_result::line_error;
    emit_run(cs, from, a1 - from, cs.colour);
    cs.a0 = static_cast<int16_t>(a1);
    cs.colour ^= 1;
    return step_result::ok;
}

// One run token (T.4 one-dimensional coding): make-up lengths gather in
// run_sum until a terminating code completes the run.
enum class run_result { pending, complete, line_error };

run_result run_token(coding_state &cs, int32_t token)
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
    cs.colour ^= 1;
    return run_result::complete;
}

// The second and third parts of a horizontal mode code: two runs, the first
// in the current colour. An EOL counts as a make-up length here, so an EOL
// inside horizontal mode always fails the line.
step_result horizontal_run(coding_state &cs, int32_t token)
{
    const run_result r = run_token(cs, token);
    if (r == run_result::line_error)
        return step_result::line_error;
    if (r == run_result::complete)
        --cs.horizontal_runs;
    return step_result::ok;
}

step_result coding_mode_step(coding_state &cs, int32_t token)
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

const code_node *colour_tree(const coding_state &cs)
{
    return cs.colour == BLACK ? black_tree : white_tree;
}

void start_line(coding_state &cs)
{
    std::memset(cs.coding, 0, static_cast<std::size_t>(cs.bytes_per_line));
    cs.a0 = -1;
    cs.colour = WHITE;
    cs.horizontal_runs = 0;
    cs.run_sum = 0;
}

// The coding line becomes the reference line of the next.
void finish_line(coding_state &cs)
{
    std::memcpy(cs.reference, cs.coding, static_cast<std::size_t>(cs.bytes_per_line));
    start_line(cs);
}

// A line that began is reported padded with white.
void close_partial_line(coding_state &cs, const unsigned char *shown)
{
    if (cs.a0 < 0)
        return;
    if (cs.a0 < cs.width)
        cs.cb.run_of(cs.width - cs.a0);
    cs.cb.line_of(shown, cs.bytes_per_line);
    cs.cb.end_of_line();
}

struct line_pair {
    byte_buffer reference;
    byte_buffer coding;
};

// Reference line first; nothing is kept unless both are had.
bool alloc_lines(line_pair &lines, int bytes_per_line)
{
    lines.reference = alloc_cleared(static_cast<std::size_t>(bytes_per_line));
    if (!lines.reference)
        return false;
    lines.coding = alloc_cleared(static_cast<std::size_t>(bytes_per_line));
    if (!lines.coding) {
        lines.reference.reset();
        return false;
    }
    return true;
}

coding_state make_coding_state(line_pair &lines, int32_t width, const callbacks &cb)
{
    coding_state cs{lines.reference.get(), lines.coding.get(), width, bytes_for(width), cb};
    return cs;
}

// ---------------------------------------------------------------------------
// MR: EOL-separated lines, each EOL's tag bit choosing 1-D or 2-D coding.

enum class mr_line { searching, one_dimensional, two_dimensional };

struct mr_decoder {
    coding_state cs;
    mr_line state = mr_line::searching;
    bool synchronised = false;
    bool coded = false;  // a code of some line came
    int eol_count = 0;
    const code_node *node = sync_chain;
};

void mr_line_error(mr_decoder &d)
{
    ++d.cs.cb.report->concealed;
    close_partial_line(d.cs, d.cs.reference);  // the previous line stands in
    d.state = mr_line::searching;
    d.synchronised = false;
    d.node = sync_chain;
    start_line(d.cs);
}

const code_node *mr_restart(const mr_decoder &d)
{
    if (d.state == mr_line::one_dimensional || d.cs.horizontal_runs > 0)
        return colour_tree(d.cs);
    return mode_tree;
}

// An EOL with its tag bit. Returns false at the sixth EOL in a row (RTC).
bool mr_tagged_eol(mr_decoder &d, int32_t token)
{
    if (++d.eol_count == RTC_EOLS)
        return false;
    if (!d.synchronised) {
        d.synchronised = true;
    } else {
        std::memcpy(d.cs.reference, d.cs.coding, static_cast<std::size_t>(d.cs.bytes_per_line));
        if (d.eol_count == 1)
            d.cs.cb.line_of(d.cs.reference, d.cs.bytes_per_line);
        d.cs.cb.end_of_line();
    }
    start_line(d.cs);
    d.state = token == TAG_ONE_DIMENSIONAL ? mr_line::one_dimensional : mr_line::two_dimensional;
    d.node = mr_restart(d);
    return true;
}

step_result mr_line_token(mr_decoder &d, int32_t token)
{
    if (d.state == mr_line::one_dimensional)
        return run_token(d.cs, token) == run_result::line_error ? step_result::line_error
                                                                : step_result::ok;
    if (d.cs.horizontal_runs > 0)
        return horizontal_run(d.cs, token);
    return coding_mode_step(d.cs, token);
}

// Returns false when decoding is over (RTC).
bool mr_token(mr_decoder &d, code_token t)
{
    const int32_t token = t.value;
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
    if (!d.synchronised && !(t.tagged_eol && token == TAG_ONE_DIMENSIONAL)) {
        d.state = mr_line::searching;
        d.node = sync_chain;
        return true;
    }
    if (t.tagged_eol)
        return mr_tagged_eol(d, token);
    d.eol_count = 0;
    d.coded = true;
    if (mr_line_token(d, token) == step_result::line_error)
        mr_line_error(d);
    else
        d.node = mr_restart(d);
    return true;
}

// ---------------------------------------------------------------------------
// MMR: no EOLs between lines, a line ends at the width, no resynchronisation.

void mmr_report_line(coding_state &cs)
{
    cs.cb.line_of(cs.coding, cs.bytes_per_line);
    cs.cb.end_of_line();
}

}  // namespace

int reference_MH(t4dec_context &ctx, const unsigned char *data, int length, int32_t width,
                 const callbacks &cb)
{
    sink_reset(ctx.sink);
    *cb.report = t4dec_report{};
    bit_reader in = make_reader(data, length);
    // Leaves carry the successors of the next code's root, so the walk never
    // restarts; nothing counts before the first EOL.
    const code_node *node = sync_chain;
    int bit = 0;
    int64_t last_code_end = 0;
    while (in.next_bit(bit)) {
        node = step(node, bit);
        if (code_is_leaf(node)) {
            sink_token(ctx.sink, cb, width, node->token);
            last_code_end = in.pos();
        }
    }
    cb.report->clean = page_clean(*cb.report, sink_coded_line(ctx.sink, width),
                                  sink_at_line_end(ctx.sink, width),
                                  only_fill_from(data, length, last_code_end));
    return 1;
}

int reference_MR(t4dec_context &, const unsigned char *data, int length, int32_t width,
                 const callbacks &cb)
{
    t4dec_report &report = *cb.report;
    report = t4dec_report{};
    if (data == nullptr || length <= 0 || !valid_width(width))
        return 0;
    if (cb.none())
        return 1;
    line_pair lines;
    if (!alloc_lines(lines, bytes_for(width)))
        return 0;
    mr_decoder d{make_coding_state(lines, width, cb)};
    bit_reader in = make_reader(data, length);
    code_token token{};
    int64_t last_code_end = 0;
    while (read_token(in, d.node, false, token)) {
        last_code_end = in.pos();
        if (!mr_token(d, token)) {
            report.clean = page_clean(report, d.coded, true, only_fill_from(data, length, last_code_end));
            return 1;
        }
    }
    const bool line_end = d.synchronised && d.cs.horizontal_runs == 0 && d.cs.run_sum == 0 &&
                          (d.cs.a0 < 0 || d.cs.a0 >= d.cs.width);
    report.clean = page_clean(report, d.coded, line_end, only_fill_from(data, length, last_code_end));
    close_partial_line(d.cs, d.cs.coding);
    return 1;
}

int reference_MMR(t4dec_context &, const unsigned char *data, int length, int32_t width,
                  const callbacks &cb)
{
    t4dec_report &report = *cb.report;
    report = t4dec_report{};
    if (!valid_width(width))
        return 0;
    line_pair lines;
    if (!alloc_lines(lines, bytes_for(width)))
        return 0;
    coding_state cs = make_coding_state(lines, width, cb);
    bit_reader in = make_reader(data, length);
    const code_node *node = mode_tree;
    int eol_count = 0;
    bool coded = false;  // a code of some line came
    bool at_eofb = false;
    code_token token{};
    int64_t last_code_end = 0;
    while (read_token(in, node, true, token)) {
        last_code_end = in.pos();
        if (cs.horizontal_runs > 0) {
            if (horizontal_run(cs, token.value) == step_result::line_error)
                return 0;
        } else if (token.tagged_eol) {
            if (++eol_count == EOFB_EOLS) {
                at_eofb = true;
                break;
            }
        } else {
            eol_count = 0;
            coded = true;
            if (coding_mode_step(cs, token.value) == step_result::line_error)
                return 0;
        }
        if (cs.horizontal_runs == 0 && cs.a0 >= cs.width) {
            mmr_report_line(cs);
            finish_line(cs);
        }
        node = cs.horizontal_runs > 0 ? colour_tree(cs) : mode_tree;
    }
    // Between lines: the last one filled up, the next not begun.
    const bool line_end = at_eofb || (cs.horizontal_runs == 0 && cs.run_sum == 0 && cs.a0 < 0);
    report.clean = page_clean(report, coded, line_end, only_fill_from(data, length, last_code_end));
    mmr_report_line(cs);
    return 1;
}

}  // namespace t4dec_detail

extern "C" int t4dec_reference_decode_ctx(t4dec_context *ctx, const unsigned char *data,
                                          int length, int mode, t4dec_run_fn run,
                                          t4dec_line_fn line, t4dec_eol_fn eol, void *user)
{
    using namespace t4dec_detail;
    if (ctx == nullptr)
        return 0;
    const callbacks cb{run, line, eol, user, &ctx->report};
    switch (mode) {
    case 0:
        return reference_MH(*ctx, data, length, ctx->width, cb);
    case 1:
        return reference_MR(*ctx, data, length, ctx->width, cb);
    case 3:
        return reference_MMR(*ctx, data, length, ctx->width, cb);
    default:
        return 0;
    }
}
