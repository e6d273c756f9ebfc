// The decoder entry, the run sink (putrunlen) and the MH decoder: the callback
// sequences, line-width checks and the concealment of broken lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "t4/t4dec.h"
#include "tests/support/decode_recorder.h"
#include "tests/support/test_pages.h"

namespace {

using namespace t4test;
using testpages::kLineBytes;
using testpages::kWidth;

std::string eol() { return eol_bits(); }
std::string white(int n) { return run_bits(false, n); }
std::string black(int n) { return run_bits(true, n); }

int decode_mh(const std::string &bits) { return decode(pack_bits(bits), 0); }

void expect_all_lines_full_size()
{
    for (const auto &e : rec.events) {
        if (e.kind == event::line) {
            EXPECT_EQ(e.bytes_per_line, kLineBytes);
            EXPECT_EQ(e.bitmap.size(), static_cast<std::size_t>(kLineBytes));
        }
    }
}

class Mh : public ::testing::Test {
protected:
    void SetUp() override { t4dec_set_width(kWidth); }
    void TearDown() override { putrunlen(1, 0, nullptr, nullptr, nullptr); }
};

TEST_F(Mh, SevenByteExampleGivesAWhiteLineThenABlackLine)
{
    const std::vector<uint8_t> data = {0x00, 0xC8, 0x0A, 0x4C, 0x61, 0x07, 0x40};
    EXPECT_EQ(decode(data, 0), 1);
    EXPECT_EQ(rec.summary(), "R1728 L E R0 R-1728 L E");
    auto lines = rec.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], testpages::white_line());
    EXPECT_EQ(lines[1], std::vector<uint8_t>(kLineBytes, 0xFF));
}

TEST_F(Mh, PageWithRtcGivesOpeningAndFiveClosingWhiteLines)
{
    std::string bits = eol() + line_bits({100, 50, 1578});
    for (int i = 0; i < 6; ++i)
        bits += eol();
    EXPECT_EQ(decode_mh(bits), 1);
    std::string want = "R1728 L E R100 R-50 R1578 L E";
    for (int i = 0; i < 5; ++i)
        want += " R1728 L E";
    EXPECT_EQ(rec.summary(), want);
    auto lines = rec.lines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[1], line_from_runs({100, 50, 1578}));
    for (std::size_t i : {0u, 2u, 3u, 4u, 5u, 6u})
        EXPECT_EQ(lines[i], testpages::white_line()) << i;
    expect_all_lines_full_size();
}

TEST_F(Mh, BlackMakeUpAndTerminatingZeroAreOneRun)
{
    decode_mh(eol() + white(10) + black(64) + white(1654) + eol());
    EXPECT_EQ(rec.summary(), "R1728 L E R10 R-64 R1654 L E");
    EXPECT_EQ(rec.lines()[1], line_from_runs({10, 64, 1654}));
}

TEST_F(Mh, ShortLineIsPaddedButNotKeptForConcealment)
{
    const std::string full = line_bits({10, 20, 1698});
    // A full line, a short one, then one whose second run would end at 1729.
    decode_mh(eol() + full + eol() + line_bits({1000, 700}) + eol() + line_bits({1000, 729}) +
              eol());
    EXPECT_EQ(rec.summary(), "R1728 L E R10 R-20 R1698 L E R1000 R-700 R28 L E R1000 R728 L E");
    auto lines = rec.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], line_from_runs({1000, 700, 28}));
    EXPECT_EQ(lines[3], line_from_runs({10, 20, 1698}));  // the last complete line stands in
}

TEST_F(Mh, LineErrorSkipsToTheNextEolAndConcealsWithWhiteBeforeAnyCompleteLine)
{
    decode_mh(eol() + line_bits({1728, 1}) + white(5) + black(5) + eol() + line_bits({1728}) +
              eol());
    // The overflowing run closes the line at once; the EOL that ends the skip
    // produces nothing; the next line decodes normally.
    EXPECT_EQ(rec.summary(), "R1728 L E R1728 L E R1728 L E");
    for (const auto &l : rec.lines())
        EXPECT_EQ(l, testpages::white_line());
}

TEST_F(Mh, MakeUpFollowedByEolIsALineErrorThatAlsoSkipsTheNextLine)
{
    const std::string good = line_bits({100, 1628});
    const std::string black_makeup_only = black(64).substr(0, 10);
    decode_mh(eol() + good + eol() + white(0) + black_makeup_only + eol() + good + eol() + good +
              eol());
    // The error closes the broken line at once (the previous line stands
    // in); the skip then lasts through the following line and its EOL.
    EXPECT_EQ(rec.summary(), "R1728 L E R100 R-1628 L E R0 R1728 L E R100 R-1628 L E");
    EXPECT_EQ(rec.lines()[2], line_from_runs({100, 1628}));
}

TEST_F(Mh, TwoMakeUpCodesInARowAreALineError)
{
    const std::string good = line_bits({100, 1628});
    const std::string white_makeup = white(64).substr(0, 5);
    decode_mh(eol() + good + eol() + white_makeup + white_makeup + white(0) + eol() + good + eol());
    EXPECT_EQ(rec.summary(), "R1728 L E R100 R-1628 L E R1728 L E R100 R-1628 L E");
}

TEST_F(Mh, DataWithoutEolGivesNothing)
{
    EXPECT_EQ(decode_mh(line_bits({100, 1628}) + line_bits({1728})), 1);
    EXPECT_TRUE(rec.events.empty()) << rec.summary();
}

TEST_F(Mh, FillBeforeEolAndNoCodeInsideALine)
{
    // Thirty zeros and a 1 are one EOL; nine zeros and a 1 are no code: the
    // rest of the line is skipped and its EOL closes it with a white run.
    decode_mh(std::string(30, '0') + "1" + white(100) + "0000000001" + black(50) + white(1578) +
              eol());
    EXPECT_EQ(rec.summary(), "R1728 L E R100 R1628 L E");
    EXPECT_EQ(rec.lines()[1], testpages::white_line());
}

TEST_F(Mh, LineLeftOpenStaysInTheSinkUntilADirectEol)
{
    decode_mh(eol() + white(100) + black(50));
    EXPECT_EQ(rec.summary(), "R1728 L E R100 R-50");
    rec.clear();
    putrunlen(0, RUN_EOL, record_run, record_line, record_eol);
    EXPECT_EQ(rec.summary(), "R1578 L E");
    EXPECT_EQ(rec.lines()[0], line_from_runs({100, 50, 1578}));
    // An idle sink (position 0) gives an all-white line.
    rec.clear();
    putrunlen(0, RUN_EOL, record_run, record_line, record_eol);
    EXPECT_EQ(rec.summary(), "R1728 L E");
    EXPECT_EQ(rec.lines()[0], testpages::white_line());
}

TEST_F(Mh, ResetForgetsTheOpenLineAndTheSkipState)
{
    putrunlen(0, 100, record_run, record_line, record_eol);
    putrunlen(0, 1700, record_run, record_line, record_eol);
    putrunlen(0, RUN_EOL, record_run, record_line, record_eol);  // make-up + EOL: skipping now
    putrunlen(1, 0, nullptr, nullptr, nullptr);
    rec.clear();
    putrunlen(0, 64, record_run, record_line, record_eol);
    putrunlen(0, 0, record_run, record_line, record_eol);
    putrunlen(0, RUN_EOL, record_run, record_line, record_eol);
    EXPECT_EQ(rec.summary(), "R64 R1664 L E");
}

TEST_F(Mh, NullCallbacksAndNullDataAreSafe)
{
    const auto data = pack_bits(eol() + line_bits({100, 1628}) + eol());
    EXPECT_EQ(t4dec_MH(data.data(), static_cast<int>(data.size()), nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(t4dec_MH(nullptr, 100, record_run, record_line, record_eol), 1);
    EXPECT_EQ(t4dec_MH(data.data(), -3, record_run, record_line, record_eol), 1);
}

class UnknownMode : public ::testing::TestWithParam<int> {};

TEST_P(UnknownMode, ReturnsZeroWithoutACallback)
{
    const std::vector<uint8_t> data = {0x00, 0x08, 0x80, 0x00, 0x08, 0x80};
    EXPECT_EQ(decode(data, GetParam()), 0);
    EXPECT_TRUE(rec.events.empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, UnknownMode, ::testing::Values(-1, 2, 4, 99), [](const auto &info) {
    return "Mode" + (info.param < 0 ? "Minus" + std::to_string(-info.param) : std::to_string(info.param));
});

// Line widths other than 1728 (only the recompression sets the width).
class LineWidth : public ::testing::Test {
protected:
    void TearDown() override
    {
        t4dec_set_width(kWidth);
        putrunlen(1, 0, nullptr, nullptr, nullptr);
    }
};

TEST_F(LineWidth, LinesHaveTheWidthsBytesAndRunsAreCheckedAgainstIt)
{
    t4dec_set_width(100);
    ASSERT_EQ(t4_line_width, 100);
    decode_mh(eol() + line_bits({30, 60}) + eol() + line_bits({30, 71}) + eol());
    EXPECT_EQ(rec.summary(), "R100 L E R30 R-60 R10 L E R30 R70 L E");
    for (const auto &e : rec.events) {
        if (e.kind == event::line) {
            EXPECT_EQ(e.bytes_per_line, 13);
        }
    }
}

TEST_F(LineWidth, WidthsThatDoNotFitSixteenBitPositionsAreRefused)
{
    for (int bad : {0, -8, 32761, 40000, 1 << 30}) {
        t4dec_set_width(bad);
        EXPECT_EQ(t4_line_width, kWidth) << bad;
    }
    t4dec_set_width(32760);
    EXPECT_EQ(t4_line_width, 32760);
    // The widest line, in runs that need extended make-up codes.
    std::string bits = eol();
    for (int i = 0; i < 13; ++i)
        bits += run_bits(i % 2, 2520);
    decode_mh(bits + eol());
    EXPECT_EQ(rec.runs().size(), 14u);
    EXPECT_EQ(rec.runs()[12], -2520);
    ASSERT_EQ(rec.lines().size(), 2u);
    EXPECT_EQ(rec.lines()[1].size(), 4095u);
    EXPECT_EQ(rec.lines()[1][3500], 0xFF);
    EXPECT_EQ(rec.lines()[1][4094], 0x00);
}

}  // namespace
