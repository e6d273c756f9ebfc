// The bit-by-bit decoders: every input bit is one step in the decoding graph
// of dectbls, and the lines are bitmaps searched by find_changing_element.
// They stay as the measure of the table-driven decoders (fastdec), which
// must give the same callbacks and results for every input.
#include "tests/support/t4dec_reference.h"

#include <cstdio>
#include <cstring>

#include "t4/bitmanip.h"
#include "t4/coding_machine_internal.h"
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

int64_t bits_read(const bit_reader &in) { return in.pos(); }
// Extension codes are skipped by the graph itself; only the table-driven
// decoders count them.
int32_t codes_dropped(const bit_reader &) { return 0; }

// One bit a step from `node`. A leaf without successors is never stepped
// from; should it be, the walk falls back to the EOL search rather than
// leave the graph.
const code_node *successor_or_sync(const code_node *node, int bit)
{
    if (const code_node *next = code_successor(node, bit))
        return next;
    return sync_chain;
}

// Walks from `node` to the next token, false at the end of the data. The
// leaves right below tag_node are EOLs with their tag bit; in MMR data no
// tag bit follows an EOL, so reaching tag_node completes it.
bool read_token(bit_reader &in, const code_node *&node, bool eol_without_tag, code_token &token)
{
    for (int bit = 0; in.next_bit(bit);) {
        const code_node *const parent = node;
        node = successor_or_sync(parent, bit);
        const bool tag_next = node == tag_node;
        if (code_is_leaf(node) || (tag_next && eol_without_tag)) {
            token = tag_next ? code_token{TAG_TWO_DIMENSIONAL, true}
                             : code_token{node->token, parent == tag_node};
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// Lines as bitmaps, for the two-dimensional token steps of MR and MMR.

struct coding_state : line_position {
    unsigned char *reference;
    unsigned char *coding;
};

// Next changing element on the reference line, searched in its bitmap from
// scratch every time; none is W (the search itself returns the bit length of
// the line, which may be past W).
int32_t reference_change(const coding_state &cs, int32_t from, int colour, int &found_colour,
                         bool /*from_a0*/)
{
    short found = 0;
    found_colour = find_changing_element(cs.reference, cs.bytes_per_line, static_cast<short>(from),
                                         &found, colour);
    return found > cs.width ? cs.width : found;
}

void emit_run(coding_state &cs, int16_t from, int32_t length, int colour)
{
    set_bit_run(cs.coding, from, static_cast<int>(length), colour);
    cs.cb.run_of(colour == BLACK ? -length : length);
}

// The bitmap holds the colours: nothing to note.
void colour_changes_at(coding_state &, int32_t) {}

void start_line(coding_state &cs)
{
    std::memset(cs.coding, 0, static_cast<std::size_t>(cs.bytes_per_line));
    restart_position(cs);
}

// The coding line becomes the reference line of the next.
void finish_line(coding_state &cs)
{
    std::memcpy(cs.reference, cs.coding, static_cast<std::size_t>(cs.bytes_per_line));
    start_line(cs);
}

// A line that began is reported padded with white: the coding line, or the
// reference line in its place.
void close_partial_line(coding_state &cs, bool show_reference)
{
    if (cs.a0 < 0)
        return;
    if (cs.a0 < cs.width)
        cs.cb.run_of(cs.width - cs.a0);
    cs.cb.line_of(show_reference ? cs.reference : cs.coding, cs.bytes_per_line);
    cs.cb.end_of_line();
}

// An MR line ends at an EOL; only the first of EOLs in a row shows a line.
void end_line_at_eol(coding_state &cs, bool first_in_row)
{
    std::memcpy(cs.reference, cs.coding, static_cast<std::size_t>(cs.bytes_per_line));
    if (first_in_row)
        cs.cb.line_of(cs.reference, cs.bytes_per_line);
    cs.cb.end_of_line();
    start_line(cs);
}

void report_coding_line(coding_state &cs) { cs.cb.line_of(cs.coding, cs.bytes_per_line); }

// Lines go out as bitmaps only: no span callback to hand runs to.
void hand_over_open_line(coding_state &) {}

// An MMR line ends when it is full.
void end_full_line(coding_state &cs)
{
    report_coding_line(cs);
    cs.cb.end_of_line();
    finish_line(cs);
}

struct line_pair {
    byte_buffer reference;
    byte_buffer coding;
};

// Reference line first; nothing is kept unless both are had.
bool alloc_lines(line_pair &lines, int32_t width)
{
    return alloc_line_pair(lines.reference, lines.coding, width);
}

coding_state make_coding_state(line_pair &lines, int32_t width, const callbacks &cb)
{
    return coding_state{position_at_start(width, cb), lines.reference.get(), lines.coding.get()};
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
        node = successor_or_sync(node, bit);
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

// No fast loops between the token steps.
int reference_MR(t4dec_context &, const unsigned char *data, int length, int32_t width,
                 const callbacks &cb)
{
    return mr_decode<line_pair>(make_reader(data, length), data, length, width, cb,
                                [](auto &, bit_reader &) {});
}

int reference_MMR(t4dec_context &, const unsigned char *data, int length, int32_t width,
                  const callbacks &cb)
{
    return mmr_decode<line_pair>(make_reader(data, length), data, length, width, cb,
                                 [](coding_state &, mmr_decoder_state &, bit_reader &) {});
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
