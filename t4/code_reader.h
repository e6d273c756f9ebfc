// Reading codes for the table-driven decoders: a bit cursor over the data,
// whole codes from the lookup tables through a 64-bit window, and the graph
// walk, one bit a step, for everything the tables do not take. A table hit
// is taken only when the window lies wholly inside the data and the code
// ends inside it, so it is the very token the graph walk would reach.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "t4/dectbls.h"
#include "t4/lookup_tables.h"
#include "t4/t4dec_internal.h"

namespace t4dec_detail {

using t4tables::lookup_entry;

using t4codes::FILL_ZEROS;
// Zero runs longer than this are left to the walk: the window holds at
// least 57 data bits, and the count, its 1 bit and a tag bit must fit.
inline constexpr int MAX_COUNTED_ZEROS = 48;

// The next 57 to 64 bits from bit `pos` on, the next bit in bit 0; the 8
// bytes from pos / 8 on must be data.
inline uint64_t window_at(const unsigned char *data, int64_t pos)
{
    uint64_t w;
    std::memcpy(&w, data + (pos >> 3), sizeof w);
    if constexpr (std::endian::native == std::endian::big)
        w = __builtin_bswap64(w);
    return w >> (pos & 7);
}

// The run code of `colour` at the start of the window, or a ZEROS entry.
inline lookup_entry run_entry(uint64_t w, int colour)
{
    constexpr uint64_t mask = (1u << t4tables::RUN_BITS) - 1;
    const t4tables::run_tables &t = t4tables::runs[static_cast<std::size_t>(colour)];
    const lookup_entry e = t.primary[w & mask];
    if (e.kind != t4tables::SECONDARY)
        return e;
    return t.secondary[(w >> t4tables::PREFIX_ZEROS) & mask];
}

// One run of `colour` from the window: a terminating code, or a make-up
// code and a terminating code. False for anything else (two make-ups, EOL,
// no code). Short terminating codes, the commonest, are found in the
// primary table.
template <int colour>
inline bool whole_run(uint64_t w, int32_t &length, int &bits)
{
    constexpr uint64_t mask = (1u << t4tables::RUN_BITS) - 1;
    constexpr int sign = colour == BLACK ? -1 : 1;  // black tokens are negative
    const t4tables::run_tables &t = t4tables::runs[static_cast<std::size_t>(colour)];
    lookup_entry e = t.primary[w & mask];
    if (e.kind == t4tables::TERMINATING) [[likely]] {
        length = sign * e.token;
        bits = e.bits;
        return true;
    }
    if (e.kind == t4tables::SECONDARY)
        e = t.secondary[(w >> t4tables::PREFIX_ZEROS) & mask];
    if (e.kind == t4tables::TERMINATING) {
        length = sign * e.token;
        bits = e.bits;
        return true;
    }
    if (e.kind != t4tables::MAKEUP)
        return false;
    const int32_t makeup = e.token;
    const int makeup_bits = e.bits;
    e = run_entry(w >> makeup_bits, colour);
    if (e.kind != t4tables::TERMINATING)
        return false;
    length = sign * (makeup + e.token);
    bits = makeup_bits + e.bits;
    return true;
}

// White-then-black pairs of terminating codes from the register, while each
// fits the line: at most four, as one top-up leaves 56 bits and a pair takes
// at most 11. `take(at, white, black)` places a pair at `at`. Returns the
// position after the pairs taken; each moves it, a black run of a pair never
// being empty.
template <typename Accumulator, typename Take>
[[gnu::always_inline]] inline int32_t take_pairs(Accumulator &acc, int32_t position, int32_t width, Take take)
{
    for (int taken = 0; taken < 4; ++taken) {
        const t4tables::pair_entry pair = t4tables::pairs[acc.bits & ((1u << t4tables::PAIR_BITS) - 1)];
        if (pair.bits == 0 || position + pair.white + pair.black > width)
            break;
        acc.consume(pair.bits);
        take(position, int32_t{pair.white}, int32_t{pair.black});
        position += pair.white + pair.black;
    }
    return position;
}

struct bit_cursor {
    const unsigned char *data;
    int64_t pos = 0;       // bits consumed
    int64_t end = 0;       // bits in the data
    int64_t fast_end = 0;  // below it, the 8 bytes from pos / 8 on are data
    int32_t dropped = 0;   // extension codes skipped

    bool fast() const { return pos < fast_end; }

    // The next 57 to 64 bits, the next bit in bit 0.
    uint64_t window() const { return window_at(data, pos); }

    bool next_bit(int &bit)
    {
        if (pos >= end)
            return false;
        bit = (data[pos >> 3] >> (pos & 7)) & 1;
        ++pos;
        return true;
    }
};

inline int64_t bits_read(const bit_cursor &in) { return in.pos; }
inline int32_t codes_dropped(const bit_cursor &in) { return in.dropped; }

inline bit_cursor make_cursor(const unsigned char *data, int length)
{
    bit_cursor in{data};
    if (data != nullptr && length > 0) {
        in.end = static_cast<int64_t>(length) * 8;
        in.fast_end = length >= 8 ? (static_cast<int64_t>(length) - 7) * 8 : 0;
    }
    return in;
}

// The bits ahead in a register for the fast loops: consuming is a shift.
// Each fill() tops the register up without a test of how much is left in
// it, which would be hard to predict. While fill() holds, at least 56 bits
// are there, all of them data; bits above `count` are 0.
struct bit_accumulator {
    const unsigned char *next;  // next byte to load
    const unsigned char *last;  // last byte at which 8 can be loaded
    uint64_t bits;
    int count;                  // bits of `bits` that are data, below 64
    const unsigned char *data;  // for pos() only, off the loop's registers

    // The cursor must be fast().
    explicit bit_accumulator(const bit_cursor &in)
        : next(in.data + (in.pos >> 3) + 7), last(in.data + (in.end / 8 - 8)),
          count(56 - static_cast<int>(in.pos & 7)), data(in.data)
    {
        bits = window_at(in.data, in.pos) & ((uint64_t{1} << count) - 1);
    }

    bool fill()
    {
        if (next > last) [[unlikely]]
            return count >= 56;
        uint64_t more;
        std::memcpy(&more, next, sizeof more);
        if constexpr (std::endian::native == std::endian::big)
            more = __builtin_bswap64(more);
        bits |= more << count;
        next += (63 - count) >> 3;
        count |= 56;  // count + 8 * the bytes taken
        return true;
    }

    void consume(int n)  // n < 64
    {
        bits >>= n;
        count -= n;
    }

    int64_t pos() const { return (next - data) * 8 - count; }
};

// ---------------------------------------------------------------------------
// The exact step: the graph walk, one bit at a time.

inline const code_node *step(const code_node *node, int bit)
{
    const code_node *next = code_successor(node, bit);
    return next != nullptr ? next : sync_chain;
}

inline bool is_tag_leaf(const code_node *node)
{
    return node == code_successor(tag_node, 0) || node == code_successor(tag_node, 1);
}

[[gnu::noinline]] inline bool walk_token(bit_cursor &in, const code_node *&node,
                                         bool eol_without_tag, code_token &token)
{
    int bit = 0;
    while (in.next_bit(bit)) {
        node = step(node, bit);
        if (node == mode_tree)  // only the extension-code skip leads back to the root
            ++in.dropped;
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

// A code the table gave whole.
inline bool take_code(bit_cursor &in, lookup_entry e, code_token &token)
{
    in.pos += e.bits;
    token = {e.token, false};
    return true;
}

// The zeros at the start of the window and the 1 after them; false, with
// nothing taken, when they may run past the window.
inline bool take_zeros(bit_cursor &in, uint64_t w, int &zeros)
{
    zeros = std::countr_zero(w);
    if (zeros > MAX_COUNTED_ZEROS)
        return false;
    in.pos += zeros + 1;
    return true;
}

// The next token from `node` (a tree root, tag_node or the EOL search); false
// at the end of the data. In MMR data no tag bit follows an EOL.
inline bool read_token(bit_cursor &in, const code_node *&node, bool eol_without_tag,
                       code_token &token)
{
    while (in.fast()) {
        const uint64_t w = in.window();
        if (node == mode_tree) {
            const lookup_entry e = t4tables::modes[w & ((1u << t4tables::MODE_BITS) - 1)];
            if (e.kind == t4tables::CODE)
                return take_code(in, e, token);
            int zeros = 0;
            if (!take_zeros(in, w, zeros))
                break;
            if (zeros < FILL_ZEROS) {
                ++in.dropped;
                continue;  // an extension code, dropped: back at the root
            }
            if (eol_without_tag) {
                token = {TAG_TWO_DIMENSIONAL, true};
            } else {
                token = {(w >> (zeros + 1)) & 1 ? TAG_ONE_DIMENSIONAL : TAG_TWO_DIMENSIONAL, true};
                ++in.pos;
            }
            return true;
        }
        if (node == white_tree || node == black_tree) {
            const lookup_entry e = run_entry(w, node == black_tree ? BLACK : WHITE);
            if (e.kind >= t4tables::TERMINATING)
                return take_code(in, e, token);
            int zeros = 0;
            if (!take_zeros(in, w, zeros))
                break;
            if (zeros >= FILL_ZEROS) {
                token = {RUN_EOL, false};
                return true;
            }
            node = sync_chain;  // no code: the EOL search takes over
            break;
        }
        if (node == tag_node) {
            token = {w & 1 ? TAG_ONE_DIMENSIONAL : TAG_TWO_DIMENSIONAL, true};
            ++in.pos;
            return true;
        }
        break;
    }
    return walk_token(in, node, eol_without_tag, token);
}

}  // namespace t4dec_detail
