// Whole-code lookup tables for the table-driven decoders, generated at
// compile time from the code lists of t4/t4codes.h. Indexes are the next
// input bits with the first bit in bit 0, as the bit stream is packed.
//
// Run codes of each colour: a 9-bit primary table resolves every code that
// does not begin with 0000; those that do are resolved by a 9-bit secondary
// table indexed by the bits after the four zeros. Eight or more leading zeros
// (EOL, fill, or no code) are left to counting. Mode codes: one 7-bit table;
// six or more leading zeros are left to counting.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "t4/t4codes.h"
#include "t4/t4dec.h"

namespace t4tables {

enum entry_kind : uint8_t {
    EMPTY = 0,        // only while building
    CODE = 1,         // a mode code: token and bits are set
    SECONDARY = 2,    // four zeros: look in the secondary table
    ZEROS = 3,        // count the zeros
    TERMINATING = 4,  // a terminating run code: token and bits are set
    MAKEUP = 5,       // a make-up run code: token and bits are set
};

constexpr bool is_code(uint8_t kind)
{
    return kind == CODE || kind == TERMINATING || kind == MAKEUP;
}

struct lookup_entry {
    int16_t token;  // run (negative for black), RUN_EOL, or mode token
    uint8_t bits;   // length of the whole code
    uint8_t kind;
};

constexpr int RUN_BITS = 9;
constexpr int PREFIX_ZEROS = 4;  // secondary table: after this many zero bits
constexpr int MODE_BITS = 7;
constexpr int RUN_ZEROS = 8;     // run trees: leading zeros of no code but EOL
constexpr int MODE_ZEROS = 6;    // mode tree: leading zeros of no mode code

using run_table = std::array<lookup_entry, 1u << RUN_BITS>;
using mode_table_t = std::array<lookup_entry, 1u << MODE_BITS>;

struct run_tables {
    run_table primary{};
    run_table secondary{};
    bool broken = false;  // overlapping codes, a code too long, or a gap
};

namespace build {

constexpr bool starts_with_zeros(std::string_view bits, int n)
{
    if (bits.size() < static_cast<std::size_t>(n))
        return false;
    for (int i = 0; i < n; ++i)
        if (bits[static_cast<std::size_t>(i)] != '0')
            return false;
    return true;
}

// Every index whose low bits are the code gets the code.
template <std::size_t N>
constexpr bool place(std::array<lookup_entry, N> &table, std::string_view bits, int16_t token,
                     int total_bits, entry_kind kind)
{
    const std::size_t length = bits.size();
    if ((std::size_t{1} << length) > N)
        return false;
    const uint32_t value = t4codes::transmission_value(bits);
    for (std::size_t high = 0; (high << length) < N; ++high) {
        lookup_entry &e = table[value | (high << length)];
        if (e.kind != EMPTY)
            return false;
        e = lookup_entry{token, static_cast<uint8_t>(total_bits), kind};
    }
    return true;
}

constexpr void add_runs(run_tables &t, std::span<const t4codes::run_code> codes, int sign)
{
    for (const auto &c : codes) {
        const auto token = static_cast<int16_t>(sign * c.run);
        const int total = static_cast<int>(c.bits.size());
        const entry_kind kind = c.run > 63 ? MAKEUP : TERMINATING;
        const bool ok = starts_with_zeros(c.bits, PREFIX_ZEROS)
                            ? place(t.secondary, c.bits.substr(PREFIX_ZEROS), token, total, kind)
                            : place(t.primary, c.bits, token, total, kind);
        if (!ok)
            t.broken = true;
    }
}

// Indexes whose low `zeros` bits are all 0 get `kind`; all others must hold a code.
// Left-open entries get token -1, no mode token.
template <std::size_t N>
constexpr bool close_table(std::array<lookup_entry, N> &table, int zeros, entry_kind kind)
{
    const std::size_t mask = (std::size_t{1} << zeros) - 1;
    for (std::size_t i = 0; i < N; ++i) {
        if ((i & mask) == 0) {
            if (table[i].kind != EMPTY)
                return false;
            table[i] = lookup_entry{-1, 0, static_cast<uint8_t>(kind)};
        } else if (!is_code(table[i].kind)) {
            return false;
        }
    }
    return true;
}

constexpr run_tables make_run_tables(int sign, std::span<const t4codes::run_code> terminating,
                                     std::span<const t4codes::run_code> makeup)
{
    run_tables t;
    add_runs(t, terminating, sign);
    add_runs(t, makeup, sign);
    add_runs(t, t4codes::extended_makeup, sign);
    if (!close_table(t.primary, PREFIX_ZEROS, SECONDARY) ||
        !close_table(t.secondary, RUN_ZEROS - PREFIX_ZEROS, ZEROS))
        t.broken = true;
    return t;
}

struct mode_tables {
    mode_table_t table{};
    bool broken = false;
};

constexpr mode_tables make_mode_table()
{
    mode_tables m;
    for (const auto &c : t4codes::modes)
        if (!place(m.table, c.bits, static_cast<int16_t>(c.token),
                   static_cast<int>(c.bits.size()), CODE))
            m.broken = true;
    if (!close_table(m.table, MODE_ZEROS, ZEROS))
        m.broken = true;
    return m;
}

inline constexpr std::array<run_tables, 2> run_sets = {
    make_run_tables(1, t4codes::white_terminating, t4codes::white_makeup),
    make_run_tables(-1, t4codes::black_terminating, t4codes::black_makeup)};
inline constexpr mode_tables modes = make_mode_table();
static_assert(!run_sets[0].broken && !run_sets[1].broken, "run codes do not fit the lookup tables");
static_assert(!modes.broken, "mode codes do not fit the lookup table");

}  // namespace build

// [0] white, [1] black.
inline constexpr const std::array<run_tables, 2> &runs = build::run_sets;
inline constexpr const mode_table_t &modes = build::modes.table;

// A white terminating code and then a black one, both within the first
// PAIR_BITS bits: the commonest step of a one-dimensional line, in one lookup.
constexpr int PAIR_BITS = 11;
struct pair_entry {
    uint8_t white;  // length of the white run (terminating: below 64)
    uint8_t black;  // length of the black run
    uint8_t bits;   // of both codes; 0: the bits begin no such pair
    uint8_t white_bits;
};
using pair_table = std::array<pair_entry, 1u << PAIR_BITS>;

namespace build {

// The run code of a colour that `bits` begin with, by both tables.
constexpr lookup_entry run_code_at(const run_tables &t, std::size_t bits)
{
    constexpr std::size_t mask = (1u << RUN_BITS) - 1;
    const lookup_entry e = t.primary[bits & mask];
    return e.kind == SECONDARY ? t.secondary[(bits >> PREFIX_ZEROS) & mask] : e;
}

constexpr pair_table make_pair_table()
{
    pair_table t{};
    for (std::size_t i = 0; i < t.size(); ++i) {
        // Bits of the index past PAIR_BITS read as 0: a code found is whole
        // only if it ends within the index.
        const lookup_entry white = run_code_at(run_sets[0], i);
        if (white.kind != TERMINATING || white.bits >= PAIR_BITS)
            continue;
        const lookup_entry black = run_code_at(run_sets[1], i >> white.bits);
        if (black.kind != TERMINATING || white.bits + black.bits > PAIR_BITS)
            continue;
        t[i] = pair_entry{static_cast<uint8_t>(white.token), static_cast<uint8_t>(-black.token),
                          static_cast<uint8_t>(white.bits + black.bits), white.bits};
    }
    return t;
}

inline constexpr pair_table pair_set = make_pair_table();

}  // namespace build

inline constexpr const pair_table &pairs = build::pair_set;

}  // namespace t4tables
