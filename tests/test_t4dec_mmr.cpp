// The MMR decoder: lines end at the width, the EOFB adds a white line, and
// the first coding error ends the page with result 0. Also pins the legacy
// b1 reading shared with MR.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "t4/t4dec.h"
#include "tests/support/decode_recorder.h"
#include "tests/support/test_pages.h"
#include "tests/support/tiff_oracle.h"

namespace {

using namespace t4test;
using testpages::kLineBytes;
using testpages::kWidth;

std::string v0() { return mode_bits(2); }
std::string eofb() { return eol_bits() + eol_bits(); }
std::string horizontal(int first, int second, bool first_black = false)
{
    return mode_bits(1) + run_bits(first_black, first) + run_bits(!first_black, second);
}

int decode_mmr(const std::string &bits) { return decode(pack_bits(bits), 3); }

std::string repeat(const std::string &s, int n)
{
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}

TEST(Mmr, EofbAloneGivesOneWhiteLine)
{
    EXPECT_EQ(decode({0x00, 0x08, 0x80}, 3), 1);
    EXPECT_EQ(rec.summary(), "L E");
    EXPECT_EQ(rec.lines()[0], std::vector<uint8_t>(kLineBytes, 0));
}

TEST(Mmr, EightV0LinesThenEofb)
{
    EXPECT_EQ(decode({0xFF, 0x00, 0x08, 0x80}, 3), 1);
    EXPECT_EQ(rec.summary(), repeat("R1728 L E ", 8) + "L E");
    for (const auto &l : rec.lines())
        EXPECT_EQ(l, testpages::white_line());
}

TEST(Mmr, HorizontalModeExamplePage)
{
    const std::vector<uint8_t> page = {0xDC, 0xA8, 0xA0, 0xF4, 0x00, 0x08, 0x80};
    EXPECT_EQ(pack_bits(horizontal(100, 50) + v0() + v0() + v0() + v0() + eofb()), page);
    EXPECT_EQ(decode(page, 3), 1);
    EXPECT_EQ(rec.summary(), "R100 R-50 R1578 L E R100 R-50 R1578 L E L E");
    auto lines = rec.lines();
    ASSERT_EQ(lines.size(), 3u);
    testpages::line want = testpages::white_line();
    want[12] = 0x0F;
    for (int i = 13; i <= 17; ++i)
        want[i] = 0xFF;
    want[18] = 0xFC;
    EXPECT_EQ(lines[0], want);
    EXPECT_EQ(lines[1], want);
    EXPECT_EQ(lines[2], testpages::white_line());
}

TEST(Mmr, SingleEolBetweenLinesIsSkipped)
{
    EXPECT_EQ(decode_mmr(v0() + eol_bits() + v0() + eol_bits() + "0000" + eol_bits()), 1);
    EXPECT_EQ(rec.summary(), "R1728 L E R1728 L E L E");
}

TEST(Mmr, FirstRunReachingTheWidthWaitsForTheSecondRunOfHorizontalMode)
{
    EXPECT_EQ(decode_mmr(horizontal(1728, 0) + v0() + eofb()), 1);
    EXPECT_EQ(rec.summary(), "R1728 R0 L E R1728 L E L E");
}

// Regression: white runs 9 and 10 share their values with the EOL tokens.
TEST(Mmr, WhiteRunsNineAndTenInHorizontalModeAreRuns)
{
    EXPECT_EQ(decode_mmr(horizontal(9, 10) + horizontal(10, 1699) + eofb()), 1);
    EXPECT_EQ(rec.summary(), "R9 R-10 R10 R-1699 L E L E");
}

TEST(Mmr, CodingErrorStopsAtOnceKeepingEarlierLines)
{
    // VR1 on a white reference line puts a1 at 1729.
    EXPECT_EQ(decode_mmr(v0() + v0() + mode_bits(6) + v0() + eofb()), 0);
    EXPECT_EQ(rec.summary(), "R1728 L E R1728 L E");
    // A run beyond the width in horizontal mode: no padding, no line.
    EXPECT_EQ(decode_mmr(horizontal(1000, 100) + horizontal(600, 100) + eofb()), 0);
    EXPECT_EQ(rec.summary(), "R1000 R-100 R600");
    // An EOL inside horizontal mode makes the run too long.
    EXPECT_EQ(decode_mmr(mode_bits(1) + run_bits(false, 20) + eol_bits() + run_bits(true, 3) +
                         eofb()),
              0);
    EXPECT_EQ(rec.summary(), "R20");
}

TEST(Mmr, DataEndingMidLineGivesThatLineUnpadded)
{
    EXPECT_EQ(decode_mmr(horizontal(100, 50)), 1);
    EXPECT_EQ(rec.summary(), "R100 R-50 L E");
    EXPECT_EQ(rec.lines()[0], line_from_runs({100, 50, 1578}));
    EXPECT_EQ(decode({}, 3), 1);
    EXPECT_EQ(rec.summary(), "L E");
}

TEST(Mmr, WidthsThatDoNotFitArePassedOverWithResultZero)
{
    const auto data = pack_bits(v0() + eofb());
    for (int width : {0, -1, 32761, 100000})
        EXPECT_EQ(t4dec_MMR(data.data(), static_cast<int>(data.size()), width, record_run,
                            record_line, record_eol),
                  0)
            << width;
    rec.clear();
    EXPECT_EQ(t4dec_MMR(data.data(), static_cast<int>(data.size()), 100, record_run, record_line,
                        record_eol),
              1);
    EXPECT_EQ(rec.summary(), "R100 L E L E");
    EXPECT_EQ(rec.events[1].bytes_per_line, 13);
}

// The legacy b1 rule: a line that starts black (a0 = 0 after a white run of
// 0) below a reference line white at 0 and black at 2-9 takes b1 = 0, where
// T.4 takes b1 = 10. Coded per T.4 as VL2, VR2, V0 the line (black 0-11)
// thus decodes as black 0-1. Stored pages were made with this reading.
struct legacy_case {
    const char *name;
    int mode;
    std::string bits;
};

class LegacyB1 : public ::testing::TestWithParam<legacy_case> {};

TEST_P(LegacyB1, LineStartingBlackTakesB1FromPixelZero)
{
    decode(pack_bits(GetParam().bits), GetParam().mode);
    auto runs = rec.runs_per_line();
    ASSERT_GE(runs.size(), 2u);
    EXPECT_EQ(runs[0], (std::vector<int32_t>{2, -8, 1718}));
    EXPECT_EQ(runs[1], (std::vector<int32_t>{0, -2, 1726}));
    auto lines = rec.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], line_from_runs({0, 2, 1726}));
}

const std::string kLegacySecondLine = mode_bits(4) + mode_bits(7) + mode_bits(2);

INSTANTIATE_TEST_SUITE_P(
    Codings, LegacyB1,
    ::testing::Values(
        legacy_case{"Mmr", 3, horizontal(2, 8) + mode_bits(2) + kLegacySecondLine + eofb()},
        legacy_case{"Mr", 1,
                    eol_bits() + "1" + line_bits({2, 8, 1718}) + eol_bits() + "0" +
                        kLegacySecondLine + eol_bits() + "1"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(LegacyB1Oracle, AnIndependentDecoderReadsTheSameBitsPerT4)
{
#if !HAVE_LIBTIFF
    GTEST_SKIP() << "libtiff not available";
#else
    const auto data = pack_bits(horizontal(2, 8) + mode_bits(2) + kLegacySecondLine + eofb());
    testpages::page out;
    ASSERT_TRUE(tiff_decode(data, 3, kWidth, 2, out));
    EXPECT_EQ(out.lines[1], line_from_runs({0, 12, 1716}));
#endif
}

}  // namespace
