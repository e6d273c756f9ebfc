// The MR decoder: synchronisation on EOL + tag bit 1, the RTC, the shared
// coding-mode step, and concealment with resynchronisation after damage.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "t4/t4dec.h"
#include "tests/support/decode_recorder.h"
#include "tests/support/test_pages.h"

namespace {

using namespace t4test;
using testpages::kLineBytes;
using testpages::kWidth;

std::string eol1() { return eol_bits() + "1"; }
std::string eol0() { return eol_bits() + "0"; }
std::string rtc()
{
    std::string out;
    for (int i = 0; i < 6; ++i)
        out += eol1();
    return out;
}
std::string v0() { return mode_bits(2); }
std::string pass() { return mode_bits(0); }
std::string horizontal(int first, int second, bool first_black = false)
{
    return mode_bits(1) + run_bits(first_black, first) + run_bits(!first_black, second);
}

int decode_mr(const std::string &bits) { return decode(pack_bits(bits), 1); }

const std::string kFirstLine = line_bits({100, 50, 1578});

TEST(Mr, NineteenBytePageGivesTheLineTwiceAndFourBareEols)
{
    const std::vector<uint8_t> page = {0x00, 0x78, 0xA3, 0x82, 0x92, 0x4C, 0x6A, 0x00, 0x74, 0x00,
                                       0x0C, 0x80, 0x01, 0x30, 0x00, 0x06, 0xC0, 0x00, 0x18};
    EXPECT_EQ(pack_bits(eol1() + kFirstLine + eol0() + v0() + v0() + v0() + rtc()), page);
    EXPECT_EQ(decode(page, 1), 1);
    EXPECT_EQ(rec.summary(), "R100 R-50 R1578 L E R100 R-50 R1578 L E E E E E");
    testpages::line want = testpages::white_line();
    want[12] = 0x0F;
    for (int i = 13; i <= 17; ++i)
        want[i] = 0xFF;
    want[18] = 0xFC;
    for (const auto &l : rec.lines())
        EXPECT_EQ(l, want);
}

TEST(Mr, EolWithTagZeroDoesNotSynchronise)
{
    decode_mr(eol0() + v0() + eol1() + line_bits({10, 1718}) + eol0() + v0() + v0() + eol1());
    EXPECT_EQ(rec.summary(), "R10 R-1718 L E R10 R-1718 L E");
}

// Regression: white runs 9 and 10 share their values with the tag tokens and
// were once taken for EOLs.
TEST(Mr, WhiteRunsNineAndTenAreRunsNotEols)
{
    decode_mr(eol1() + line_bits({9, 10, 10, 9, 1690}) + eol0() + horizontal(10, 9) +
              horizontal(9, 1700) + eol1());
    EXPECT_EQ(rec.summary(),
              "R9 R-10 R10 R-9 R1690 L E R10 R-9 R9 R-1700 L E");
}

TEST(Mr, RtcEndsDecodingAndLaterDataIsIgnored)
{
    EXPECT_EQ(decode_mr(eol1() + line_bits({1728}) + rtc() + eol1() + line_bits({5, 1723}) +
                        eol1()),
              1);
    EXPECT_EQ(rec.summary(), "R1728 L E E E E E");
}

TEST(Mr, PassModeThenV0GivesTwoRunsOfOneColour)
{
    // Reference: black 100-149. Pass mode skips it (b2 = 150) in white; V0
    // then puts a1 at the next b1, which is the line's end.
    decode_mr(eol1() + kFirstLine + eol0() + pass() + v0() + eol1());
    EXPECT_EQ(rec.summary(), "R100 R-50 R1578 L E R150 R1578 L E");
    EXPECT_EQ(rec.lines()[1], testpages::white_line());
}

TEST(Mr, TwoDimensionalLineStartingBlackReportsWhiteZeroFirst)
{
    // Reference black from 0 to 49: V0 gives a1 = b1 = 0.
    decode_mr(eol1() + line_bits({0, 50, 1678}) + eol0() + v0() + mode_bits(6) + v0() + eol1());
    EXPECT_EQ(rec.summary(), "R0 R-50 R1678 L E R0 R-51 R1677 L E");
    EXPECT_EQ(rec.lines()[1], line_from_runs({0, 51, 1677}));
}

TEST(Mr, DataEndingMidLineIsPaddedWithWhite)
{
    decode_mr(eol1() + kFirstLine + eol0() + horizontal(30, 40));
    EXPECT_EQ(rec.summary(), "R100 R-50 R1578 L E R30 R-40 R1658 L E");
    EXPECT_EQ(rec.lines()[1], line_from_runs({30, 40, 1658}));
}

TEST(Mr, HorizontalRunBeyondTheWidthConcealsAndSkipsToTheNextOneDimensionalLine)
{
    const std::string full = line_bits({10, 20, 1698});
    decode_mr(eol1() + full + eol0() + horizontal(1000, 800) + v0() + eol0() + v0() + v0() +
              v0() + eol1() + line_bits({1728}) + eol1());
    EXPECT_EQ(rec.summary(), "R10 R-20 R1698 L E R1000 R728 L E R1728 L E");
    auto lines = rec.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], line_from_runs({10, 20, 1698}));  // the line above stands in
}

TEST(Mr, VerticalModeLeftOfA0ConcealsMidLine)
{
    // Reference black 100-149: V0 (white 100), VL3 (black 47), pass mode to
    // the end (white 1581), then VL3 puts a1 at 1725, left of a0 = 1728.
    decode_mr(eol1() + kFirstLine + eol0() + v0() + mode_bits(5) + pass() + mode_bits(5) + eol0() +
              v0() + v0() + v0() + eol1() + line_bits({1728}) + eol1());
    EXPECT_EQ(rec.summary(), "R100 R-50 R1578 L E R100 R-47 R1581 L E R1728 L E");
    EXPECT_EQ(rec.lines()[1], line_from_runs({100, 50, 1578}));
}

TEST(Mr, LineErrorBeforeTheLineBeginsReportsNothing)
{
    // VL1 at the line start with b1 = 0 puts a1 at -1.
    decode_mr(eol1() + line_bits({0, 50, 1678}) + eol0() + mode_bits(3) + v0() + eol1() +
              line_bits({1728}) + eol1());
    EXPECT_EQ(rec.summary(), "R0 R-50 R1678 L E R1728 L E");
}

TEST(Mr, BadCodeOnOneDimensionalLineEndsItAtTheEolWithoutPadding)
{
    decode_mr(eol1() + run_bits(false, 100) + "0000000001" + run_bits(true, 50) + eol0() + v0() +
              eol1());
    EXPECT_EQ(rec.summary(), "R100 L E R1728 L E");
}

TEST(Mr, MakeUpCutOffByEolIsALineErrorAndThatEolResynchronises)
{
    const std::string makeup64 = run_bits(false, 64).substr(0, 5);
    const std::string black_makeup64 = run_bits(true, 64).substr(0, 10);
    decode_mr(eol1() + kFirstLine + eol1() + run_bits(false, 10) + black_makeup64 + eol1() +
              line_bits({10, 1718}) + eol1());
    EXPECT_EQ(rec.summary(), "R100 R-50 R1578 L E R10 R1718 L E R10 R-1718 L E");
    EXPECT_EQ(rec.lines()[1], line_from_runs({100, 50, 1578}));

    // The broken line's make-up length never reaches a later run.
    decode_mr(eol1() + makeup64 + eol1() + line_bits({10, 1718}) + eol1());
    EXPECT_EQ(rec.summary(), "R1728 L E R10 R-1718 L E");
    // An EOL with tag 0 there is no synchronisation: the 2-D line is lost.
    decode_mr(eol1() + makeup64 + eol0() + v0() + eol1() + line_bits({1728}) + eol1());
    EXPECT_EQ(rec.summary(), "R1728 L E R1728 L E");
}

TEST(Mr, PendingMakeUpDoesNotSurviveTheCall)
{
    decode_mr(eol1() + run_bits(false, 128).substr(0, 5));
    EXPECT_EQ(rec.summary(), "");
    decode_mr(eol1() + line_bits({10, 1718}) + eol1());
    EXPECT_EQ(rec.summary(), "R10 R-1718 L E");
}

TEST(Mr, OneDimensionalRunMayUseSeveralMakeUpCodes)
{
    // 2560 + 2560 + 40 is one run; the MH sink would refuse the second
    // make-up, MR keeps adding (widths above 2623 need it).
    t4dec_set_width(5200);
    decode_mr(eol1() + run_bits(false, 5160) + run_bits(true, 40) + eol1());
    t4dec_set_width(kWidth);
    EXPECT_EQ(rec.summary(), "R5160 R-40 L E");
}

TEST(Mr, EmptyDataAndNullCallbacks)
{
    const auto data = pack_bits(eol1() + kFirstLine + eol1());
    EXPECT_EQ(t4dec_MR(nullptr, 10, record_run, record_line, record_eol), 0);
    EXPECT_EQ(t4dec_MR(data.data(), 0, record_run, record_line, record_eol), 0);
    EXPECT_EQ(t4dec_MR(data.data(), -1, record_run, record_line, record_eol), 0);
    EXPECT_EQ(t4dec_MR(data.data(), static_cast<int>(data.size()), nullptr, nullptr, nullptr), 1);
}

// Random damage anywhere in a real page: the callbacks keep their contract
// (runs of a line never exceed the width, each line is 216 bytes, ends of
// line follow lines) and decoding resumes.
TEST(Mr, DamagedPagesKeepTheCallbackContract)
{
    std::string bits = eol1() + kFirstLine;
    for (int i = 0; i < 20; ++i)
        bits += (i % 3 ? eol0() + v0() + v0() + v0() : eol1() + line_bits({100, 50, 1578}));
    bits += rtc();
    const auto clean = pack_bits(bits);
    std::mt19937 rng(3);
    for (int trial = 0; trial < 300; ++trial) {
        auto data = clean;
        for (int flips = 1 + static_cast<int>(rng() % 4); flips > 0; --flips)
            data[rng() % data.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        ASSERT_EQ(decode(data, 1), 1);
        for (const auto &runs : rec.runs_per_line()) {
            int64_t sum = 0;
            for (int32_t r : runs)
                sum += r < 0 ? -static_cast<int64_t>(r) : r;
            ASSERT_LE(sum, kWidth) << "trial " << trial;
        }
        for (const auto &e : rec.events) {
            if (e.kind == event::line) {
                ASSERT_EQ(e.bytes_per_line, kLineBytes);
            }
        }
    }
}

}  // namespace
