// Bit-line primitives: the changing-element search against a pixel-by-pixel
// model (which catches slips in the whole-byte skipping), the worked
// examples, and black-run painting.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "t4/bitmanip.h"
#include "tests/support/test_pages.h"

namespace {

using testpages::kLineBytes;
using testpages::kWidth;

struct fce_result {
    short position;
    short colour;
};

fce_result fce(const testpages::line &l, int start, int colour)
{
    short pos = -2;
    short c = find_changing_element(l.data(), static_cast<int>(l.size()), static_cast<short>(start),
                                    &pos, colour);
    return {pos, c};
}

// The rule written pixel by pixel: strictly right of a positive start a
// changing element of the target colour; from a start <= 0 the first pixel of
// the target colour (the legacy start-0 rule included).
fce_result model(const testpages::line &l, int start, int colour)
{
    const int n = static_cast<int>(l.size()) * 8;
    const int target = (start < 0 || colour == 0) ? 1 : 0;
    if (start <= 0) {
        for (int p = 0; p < n; ++p)
            if (testpages::pixel(l, p) == target)
                return {static_cast<short>(p), static_cast<short>(target)};
        return {static_cast<short>(n), static_cast<short>(target)};
    }
    for (int p = start + 1; p < n; ++p)
        if (testpages::pixel(l, p) == target && testpages::pixel(l, p - 1) != target)
            return {static_cast<short>(p), static_cast<short>(target)};
    return {static_cast<short>(n), static_cast<short>(target)};
}

struct fce_case {
    const char *name;
    int black_from, black_count;  // the line's only black run
    int start, colour;
    int expected, expected_colour;
};

class FindChangingElementExample : public ::testing::TestWithParam<fce_case> {};

TEST_P(FindChangingElementExample, GivesPositionAndTargetColour)
{
    const fce_case &c = GetParam();
    testpages::line l = testpages::white_line();
    testpages::set_pixels(l, c.black_from, c.black_count);
    fce_result r = fce(l, c.start, c.colour);
    EXPECT_EQ(r.position, c.expected);
    EXPECT_EQ(r.colour, c.expected_colour);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FindChangingElementExample,
    ::testing::Values(
        fce_case{"FirstBlackFromBeforeLine", 100, 50, -1, 0, 100, 1},
        fce_case{"EndOfBlackRun", 100, 50, 100, 1, 150, 0},
        fce_case{"NoFurtherBlack", 100, 50, 150, 0, kWidth, 1},
        fce_case{"SkipsBlackRunHoldingStart", 100, 50, 100, 0, kWidth, 1},
        fce_case{"NextPixelIsTheChange", 100, 50, 99, 0, 100, 1},
        fce_case{"AllWhiteFromBeforeLine", 0, 0, -1, 0, kWidth, 1},
        fce_case{"LastPixelStartWhite", 0, 0, kWidth - 1, 0, kWidth, 1},
        fce_case{"LastPixelStartBlack", 1700, 28, kWidth - 1, 1, kWidth, 0},
        fce_case{"StartZeroWhite", 1, 4, 0, 0, 1, 1},
        // Legacy rule kept on purpose: pixel 0 itself is a candidate.
        fce_case{"StartZeroBlackTakesPixelZero", 1, 4, 0, 1, 0, 0},
        fce_case{"StartBeyondLine", 0, 0, kWidth + 5, 0, kWidth, 1},
        fce_case{"BlackToLineEnd", 1000, 728, 1000, 1, kWidth, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(FindChangingElement, MatchesPixelModelOnRandomLines)
{
    std::mt19937 rng(7);
    for (int mean_run : {1, 3, 9, 40, 300}) {
        testpages::page p = testpages::random_page(20, rng(), mean_run);
        for (std::size_t y = 0; y < p.lines.size(); ++y) {
            const auto &l = p.lines[y];
            for (int start = -1; start <= kWidth; ++start) {
                for (int colour : {0, 1}) {
                    if (start < 0 && colour == 1)
                        continue;  // never called that way
                    fce_result got = fce(l, start, colour), want = model(l, start, colour);
                    ASSERT_EQ(got.position, want.position)
                        << "mean run " << mean_run << " line " << y << " start " << start
                        << " colour " << colour;
                    ASSERT_EQ(got.colour, want.colour);
                }
            }
        }
    }
}

TEST(FindChangingElement, ShortLinesEndAtTheirBitLength)
{
    std::vector<uint8_t> l = {0x00, 0x0F};  // 16 pixels, black from 12
    short pos = 0;
    EXPECT_EQ(find_changing_element(l.data(), 2, -1, &pos, 0), 1);
    EXPECT_EQ(pos, 12);
    EXPECT_EQ(find_changing_element(l.data(), 2, 12, &pos, 1), 0);
    EXPECT_EQ(pos, 16);
}

TEST(SetBitRun, PaintsTheWorkedExample)
{
    testpages::line l = testpages::white_line();
    set_bit_run(l.data(), 100, 50, 1);
    testpages::line want = testpages::white_line();
    want[12] = 0x0F;
    for (int i = 13; i <= 17; ++i)
        want[i] = 0xFF;
    want[18] = 0xFC;
    EXPECT_EQ(l, want);
}

TEST(SetBitRun, NegativeStartCountsFromPixelZeroAndWhiteIsNoOp)
{
    testpages::line l = testpages::white_line();
    set_bit_run(l.data(), -1, 3, 1);
    EXPECT_EQ(l[0], 0xE0);
    set_bit_run(l.data(), 10, 500, 0);
    set_bit_run(l.data(), 20, 0, 1);
    EXPECT_EQ(l[0], 0xE0);
    for (std::size_t i = 1; i < l.size(); ++i)
        ASSERT_EQ(l[i], 0) << i;
}

TEST(SetBitRun, MatchesPixelModelForAllAlignments)
{
    for (int start = 0; start < 24; ++start) {
        for (int count = 1; count < 40; ++count) {
            testpages::line got = testpages::white_line(), want = testpages::white_line();
            set_bit_run(got.data(), static_cast<short>(start), count, 1);
            testpages::set_pixels(want, start, count);
            ASSERT_EQ(got, want) << "start " << start << " count " << count;
        }
    }
}

// With slack a run within two bytes is one masked pair, which writes the
// byte after; no count, 0 included, may paint a pixel off the run.
TEST(PaintBlackBits, BothFormsMatchPixelModelForAllAlignments)
{
    for (int start = 0; start < 24; ++start) {
        for (int count = 0; count < 40; ++count) {
            testpages::line exact = testpages::white_line(), slack = exact, want = exact;
            if (count > 0)
                paint_black_bits(exact.data(), start, count);
            paint_black_bits<true>(slack.data(), start, count);
            testpages::set_pixels(want, start, count);
            ASSERT_EQ(exact, want) << "start " << start << " count " << count;
            ASSERT_EQ(slack, want) << "slack, start " << start << " count " << count;
        }
    }
}

// Without slack nothing past the run's last byte is written: runs ending on
// the last pixel of buffers of their exact size (the sanitizer build sees
// any write past them).
TEST(PaintBlackBits, ExactFormStaysInsideTheRunsBytes)
{
    for (int bytes = 1; bytes <= 3; ++bytes)
        for (int start = 0; start < 8 * bytes; ++start) {
            std::vector<uint8_t> line(static_cast<std::size_t>(bytes));
            paint_black_bits(line.data(), start, 8 * bytes - start);
            EXPECT_EQ(line.back() & 1, 1) << bytes << " bytes, start " << start;  // the last pixel
        }
}

TEST(ReverseBits, MirrorsEveryByteAndIsItsOwnInverse)
{
    std::vector<uint8_t> b = {0x00, 0xFF, 0x01, 0x80, 0x0F, 0xC8, 0x35};
    reverse_bits(b.data(), static_cast<int>(b.size()));
    EXPECT_EQ(b, (std::vector<uint8_t>{0x00, 0xFF, 0x80, 0x01, 0xF0, 0x13, 0xAC}));
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    std::vector<uint8_t> copy = all;
    reverse_bits(copy.data(), 256);
    reverse_bits(copy.data(), 256);
    EXPECT_EQ(copy, all);
}

// Whole words and the bytes after them, from any alignment, leave the bytes
// beyond the count alone.
TEST(ReverseBits, CopiesAnyLengthFromAnyAlignment)
{
    std::mt19937 random(7);
    std::vector<uint8_t> source(64);
    for (uint8_t &b : source)
        b = static_cast<uint8_t>(random());
    const auto mirrored = [](uint8_t b) {
        uint8_t m = 0;
        for (int bit = 0; bit < 8; ++bit)
            m = static_cast<uint8_t>(m | (((b >> bit) & 1) << (7 - bit)));
        return m;
    };
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t count = 0; count + offset + 1 < source.size(); ++count) {
            std::vector<uint8_t> out(source.size(), 0x5A);
            copy_reversed_bits(source.data() + offset, out.data() + offset, count);
            std::vector<uint8_t> in_place = source;
            copy_reversed_bits(in_place.data() + offset, in_place.data() + offset, count);
            for (std::size_t i = 0; i < out.size(); ++i) {
                const bool inside = i >= offset && i < offset + count;
                ASSERT_EQ(out[i], inside ? mirrored(source[i]) : 0x5A) << offset << " " << count << " " << i;
                ASSERT_EQ(in_place[i], inside ? mirrored(source[i]) : source[i]) << offset << " " << count;
            }
        }
    }
}

}  // namespace
