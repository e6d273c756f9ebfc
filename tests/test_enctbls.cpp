// The encoder tables hold exactly the T.4 codes, each as its bit string read
// backwards (first transmitted bit in bit 0), at the index the emitter uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "t4/enctbls.h"
#include "t4/t4codes.h"

namespace {

// Independent of t4codes::transmission_value: reverse the text, read binary.
code_entry expected_entry(std::string_view bits)
{
    std::string reversed(bits);
    std::reverse(reversed.begin(), reversed.end());
    return {static_cast<int32_t>(std::stoul(reversed, nullptr, 2)),
            static_cast<int32_t>(bits.size())};
}

void expect_entry(const code_entry &stored, std::string_view bits, const std::string &where)
{
    const code_entry want = expected_entry(bits);
    EXPECT_EQ(stored.code, want.code) << where << " (" << bits << ")";
    EXPECT_EQ(stored.length, want.length) << where << " (" << bits << ")";
}

struct run_table_case {
    const char *name;
    const std::array<code_entry, ENC_RUN_TABLE_SIZE> *table;
    const t4codes::run_code (*terminating)[64];
    const t4codes::run_code (*makeup)[27];
};

class RunTable : public testing::TestWithParam<run_table_case> {};

TEST_P(RunTable, EveryEntryIsItsCodeReadBackwardsAtItsRunIndex)
{
    const auto &c = GetParam();
    const auto &table = *c.table;
    for (const auto &code : *c.terminating)
        expect_entry(table[static_cast<std::size_t>(code.run)], code.bits,
                     "terminating " + std::to_string(code.run));
    for (const auto &code : *c.makeup)
        expect_entry(table[static_cast<std::size_t>(63 + code.run / 64)], code.bits,
                     "make-up " + std::to_string(code.run));
    for (const auto &code : t4codes::extended_makeup)
        expect_entry(table[static_cast<std::size_t>(63 + code.run / 64)], code.bits,
                     "extended make-up " + std::to_string(code.run));
    expect_entry(table[ENC_EOL_INDEX], t4codes::eol, "EOL");
}

INSTANTIATE_TEST_SUITE_P(
    Colours, RunTable,
    testing::Values(run_table_case{"white", &white_codes, &t4codes::white_terminating,
                                   &t4codes::white_makeup},
                    run_table_case{"black", &black_codes, &t4codes::black_terminating,
                                   &t4codes::black_makeup}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(RunTable, WorkedExamples)
{
    EXPECT_EQ(white_codes[0].code, 0xAC);  // 00110101
    EXPECT_EQ(white_codes[0].length, 8);
    EXPECT_EQ(white_codes[ENC_EOL_INDEX].code, 0x800);  // 000000000001
    EXPECT_EQ(white_codes[ENC_EOL_INDEX].length, 12);
    EXPECT_EQ(black_codes[ENC_EOL_INDEX].code, 0x800);
    EXPECT_EQ(white_codes[90].code, 0x1B2);  // make-up 1728: 010011011
    EXPECT_EQ(white_codes[90].length, 9);
}

struct mode_row {
    int index;
    const char *bits;
    int32_t value;
    int32_t length;
};

constexpr const char *mode_names[ENC_MODE_TABLE_SIZE] = {
    "Pass", "Horizontal", "V0", "VL1", "VL2", "VL3", "VR1", "VR2", "VR3", "EolTag1", "EolTag0"};

class ModeTable : public testing::TestWithParam<mode_row> {};

TEST_P(ModeTable, MatchesTheCodeAndItsStoredValue)
{
    const auto &row = GetParam();
    const code_entry &stored = mode_codes[static_cast<std::size_t>(row.index)];
    EXPECT_EQ(stored.code, row.value);
    EXPECT_EQ(stored.length, row.length);
    expect_entry(stored, row.bits, "mode " + std::to_string(row.index));
    if (row.index < 9) {  // the two-dimensional codes come from the shared list
        EXPECT_EQ(t4codes::modes[row.index].bits, row.bits);
    }
}

INSTANTIATE_TEST_SUITE_P(
    T4Table4, ModeTable,
    testing::Values(mode_row{0, "0001", 0x8, 4}, mode_row{1, "001", 0x4, 3},
                    mode_row{2, "1", 0x1, 1}, mode_row{3, "010", 0x2, 3},
                    mode_row{4, "000010", 0x10, 6}, mode_row{5, "0000010", 0x20, 7},
                    mode_row{6, "011", 0x6, 3}, mode_row{7, "000011", 0x30, 6},
                    mode_row{8, "0000011", 0x60, 7}, mode_row{9, "0000000000011", 0x1800, 13},
                    mode_row{10, "0000000000010", 0x800, 13}),
    [](const auto &info) { return std::string(mode_names[info.param.index]); });

}  // namespace
