// Encoder code tables, built at compile time from the T.4 code lists so that
// the encoder and the decoding graph can never disagree about a code.
#include "t4/enctbls.h"

#include <string_view>

#include "t4/t4codes.h"

[[maybe_unused]] static const char what_string[] = "@(#)|enctbls|9|01|2|0|0|07/26/99|14:47:50";

namespace {

constexpr code_entry entry(std::string_view bits)
{
    return {static_cast<int32_t>(t4codes::transmission_value(bits)),
            static_cast<int32_t>(bits.size())};
}

// The tables are indexed by run length, so the lists must be in run order.
template <std::size_t N>
constexpr bool in_run_order(const t4codes::run_code (&list)[N], int32_t first, int32_t step)
{
    for (std::size_t i = 0; i < N; ++i)
        if (list[i].run != first + static_cast<int32_t>(i) * step)
            return false;
    return true;
}

static_assert(in_run_order(t4codes::white_terminating, 0, 1));
static_assert(in_run_order(t4codes::black_terminating, 0, 1));
static_assert(in_run_order(t4codes::white_makeup, 64, 64));
static_assert(in_run_order(t4codes::black_makeup, 64, 64));
static_assert(in_run_order(t4codes::extended_makeup, 1792, 64));
static_assert(ENC_EXTENDED_FIRST - ENC_MAKEUP_FIRST == 27);
static_assert(ENC_EOL_INDEX - ENC_EXTENDED_FIRST == 13);

constexpr std::array<code_entry, ENC_RUN_TABLE_SIZE> build_run_table(
    const t4codes::run_code (&terminating)[ENC_TERMINATING_COUNT],
    const t4codes::run_code (&makeup)[27])
{
    std::array<code_entry, ENC_RUN_TABLE_SIZE> table{};
    for (int i = 0; i < ENC_TERMINATING_COUNT; ++i)
        table[i] = entry(terminating[i].bits);
    for (int i = 0; i < 27; ++i)
        table[ENC_MAKEUP_FIRST + i] = entry(makeup[i].bits);
    for (int i = 0; i < 13; ++i)
        table[ENC_EXTENDED_FIRST + i] = entry(t4codes::extended_makeup[i].bits);
    table[ENC_EOL_INDEX] = entry(t4codes::eol);
    return table;
}

// EOL followed by its tag bit (T.4 clause 4.2.3: 1 next line 1-D, 0 2-D).
constexpr code_entry eol_with_tag(uint32_t tag)
{
    code_entry e = entry(t4codes::eol);
    e.code |= static_cast<int32_t>(tag << e.length);
    e.length += 1;
    return e;
}

constexpr std::array<code_entry, ENC_MODE_TABLE_SIZE> build_mode_table()
{
    std::array<code_entry, ENC_MODE_TABLE_SIZE> table{};
    for (const auto &m : t4codes::modes)
        table[static_cast<std::size_t>(m.token)] = entry(m.bits);
    table[9] = eol_with_tag(1);
    table[10] = eol_with_tag(0);
    return table;
}

}  // namespace

constexpr std::array<code_entry, ENC_RUN_TABLE_SIZE> white_codes =
    build_run_table(t4codes::white_terminating, t4codes::white_makeup);
constexpr std::array<code_entry, ENC_RUN_TABLE_SIZE> black_codes =
    build_run_table(t4codes::black_terminating, t4codes::black_makeup);
constexpr std::array<code_entry, ENC_MODE_TABLE_SIZE> mode_codes = build_mode_table();

namespace {

// Make-up then terminating code: at most 13 + 12 bits, so the pair fits one
// packed entry.
constexpr uint32_t whole_run(const std::array<code_entry, ENC_RUN_TABLE_SIZE> &table, int run)
{
    const code_entry terminating = table[static_cast<std::size_t>(run % 64)];
    if (run < 64)
        return pack_code(terminating);
    const code_entry makeup = table[static_cast<std::size_t>(ENC_MAKEUP_FIRST - 1 + run / 64)];
    return pack_code({makeup.code | terminating.code << makeup.length,
                      makeup.length + terminating.length});
}

constexpr packed_run_table build_packed_runs()
{
    packed_run_table t{};
    for (int run = 0; run < ENC_PACKED_RUNS; ++run) {
        t[0][static_cast<std::size_t>(run)] = whole_run(white_codes, run);
        t[1][static_cast<std::size_t>(run)] = whole_run(black_codes, run);
    }
    return t;
}

}  // namespace

constexpr packed_run_table packed_run_codes = build_packed_runs();

namespace {

constexpr split_run_table build_split_runs()
{
    split_run_table t{};
    for (std::size_t colour = 0; colour < 2; ++colour)
        for (std::size_t run = 0; run < ENC_PACKED_RUNS; ++run)
            t[colour][run] = {packed_run_codes[colour][run] & ENC_CODE_MASK,
                              packed_run_codes[colour][run] >> ENC_LENGTH_SHIFT};
    return t;
}

}  // namespace

constexpr split_run_table split_run_codes = build_split_runs();

static_assert(packed_run_codes[0][1728] == pack_code({0x1B2 | 0xAC << 9, 17}));
static_assert(white_codes[0].code == 0xAC && white_codes[0].length == 8);
static_assert(white_codes[ENC_EOL_INDEX].code == 0x800 && white_codes[ENC_EOL_INDEX].length == 12);
static_assert(mode_codes[9].code == 0x1800 && mode_codes[10].code == 0x800);
