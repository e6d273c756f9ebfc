// Pages coded by an independent encoder (libtiff: G3 1-D, G3 2-D with K = 2
// and 4, G4; FillOrder LSB2MSB) decode to exactly the source pixels, with the
// white lines that the page's first EOL / RTC / EOFB add, and the runs
// reported for each line paint exactly the line reported.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "t4/t4dec.h"
#include "tests/support/decode_recorder.h"
#include "tests/support/test_pages.h"
#include "tests/support/tiff_oracle.h"

namespace {

using namespace t4test;
using testpages::kWidth;

struct coding {
    const char *name;
    int compression;  // also the decoder mode
    int k_factor;
};

const coding kCodings[] = {{"MH", 0, 0}, {"MR_K2", 1, 2}, {"MR_K4", 1, 4}, {"MMR", 3, 0}};

testpages::page make_page(int which)
{
    switch (which) {
    case 0: return testpages::random_page(60, 11);
    case 1: return testpages::random_page(30, 12, 2);
    case 2: return testpages::random_page(30, 13, 150);
    case 3: return testpages::text_page(120, 5);
    default: return testpages::worst_case_page();
    }
}

const char *const kPageNames[] = {"Random", "RandomShortRuns", "RandomLongRuns", "Text", "Worst"};

// The lines the decoder reports for the source lines of a page.
std::vector<testpages::line> expected_lines(const testpages::page &p, int compression)
{
    std::vector<testpages::line> out;
    if (compression == 0)
        out.push_back(testpages::white_line());  // the EOL that opens the page
    out.insert(out.end(), p.lines.begin(), p.lines.end());
    if (compression == 0)
        out.insert(out.end(), 5, testpages::white_line());  // RTC
    if (compression == 3)
        out.push_back(testpages::white_line());  // EOFB
    return out;
}

int expected_eols(const testpages::page &p, int compression)
{
    const int rows = static_cast<int>(p.lines.size());
    return compression == 0 ? rows + 6 : compression == 1 ? rows + 4 : rows + 1;
}

// Painting the runs between two ends of line gives the line reported.
void expect_runs_paint_lines(const std::string &where)
{
    testpages::line painted = testpages::white_line();
    int position = 0, line_no = 0;
    for (const auto &e : rec.events) {
        if (e.kind == event::run) {
            const int length = e.value < 0 ? -e.value : e.value;
            if (e.value < 0)
                testpages::set_pixels(painted, position, length);
            position += length;
            ASSERT_LE(position, kWidth) << where << " line " << line_no;
        } else if (e.kind == event::line) {
            ASSERT_EQ(e.bitmap, painted) << where << " line " << line_no;
        } else {
            painted = testpages::white_line();
            position = 0;
            ++line_no;
        }
    }
}

class Interop : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(Interop, LibtiffPagesDecodeToTheirPixels)
{
    if (!tifforacle::available())
        GTEST_SKIP() << "libtiff not available";
    const auto [page_index, coding_index] = GetParam();
    const coding &c = kCodings[coding_index];
    testpages::page p = make_page(page_index);
    if (c.compression != 0)
        testpages::remove_legacy_b1_pattern(p);
    const auto data = tiff_encode(p, c.compression, c.k_factor);
    ASSERT_FALSE(data.empty());

    ASSERT_EQ(decode(data, c.compression), 1);
    const auto want = expected_lines(p, c.compression);
    const auto got = rec.lines();
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t y = 0; y < want.size(); ++y)
        ASSERT_EQ(got[y], want[y]) << p.name << " " << c.name << " line " << y;
    EXPECT_EQ(rec.eol_count(), expected_eols(p, c.compression));
    expect_runs_paint_lines(std::string(p.name) + " " + c.name);
    putrunlen(1, 0, nullptr, nullptr, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    PagesAndCodings, Interop,
    ::testing::Combine(::testing::Range(0, 5), ::testing::Range(0, 4)),
    [](const auto &info) {
        return std::string(kPageNames[std::get<0>(info.param)]) + "_" +
               kCodings[std::get<1>(info.param)].name;
    });

// Damaged G4 pages: decoding stops at the first coding error, and every line
// completed before the damaged byte is still reported, unchanged.
TEST(InteropDamage, MmrKeepsTheLinesBeforeTheError)
{
    if (!tifforacle::available())
        GTEST_SKIP() << "libtiff not available";
    const auto clean = tiff_encode(testpages::text_page(96, 9), 3, 0);
    ASSERT_FALSE(clean.empty());
    std::mt19937 rng(5);
    int stopped = 0;
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t at = rng() % clean.size();
        std::vector<uint8_t> prefix(clean.begin(), clean.begin() + static_cast<long>(at));
        decode(prefix, 3);
        auto before = rec.lines();
        before.pop_back();  // the line cut off by the end of the prefix

        auto damaged = clean;
        damaged[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
        stopped += decode(damaged, 3) == 0;
        const auto after = rec.lines();
        ASSERT_GE(after.size(), before.size()) << "trial " << trial;
        for (std::size_t y = 0; y < before.size(); ++y)
            ASSERT_EQ(after[y], before[y]) << "trial " << trial << " line " << y;
        for (const auto &runs : rec.runs_per_line()) {
            int64_t sum = 0;
            for (int32_t r : runs)
                sum += r < 0 ? -static_cast<int64_t>(r) : r;
            ASSERT_LE(sum, kWidth);
        }
    }
    EXPECT_GT(stopped, 50);  // most single-bit errors are coding errors
}

// Damaged G3 2-D pages: broken lines are concealed and decoding resumes at
// the next 1-D line (at most K lines on), so with the damage in the first
// 40% of a page of even density its last 30 lines come out exact.
TEST(InteropDamage, MrConcealsAndResynchronises)
{
    if (!tifforacle::available())
        GTEST_SKIP() << "libtiff not available";
    testpages::page p = testpages::random_page(80, 21, 12);
    testpages::remove_legacy_b1_pattern(p);
    const auto clean = tiff_encode(p, 1, 4);
    ASSERT_FALSE(clean.empty());
    std::mt19937 rng(6);
    for (int trial = 0; trial < 200; ++trial) {
        auto damaged = clean;
        for (int flips = 1 + static_cast<int>(rng() % 3); flips > 0; --flips)
            damaged[rng() % (clean.size() * 2 / 5)] ^= static_cast<uint8_t>(1u << (rng() % 8));
        ASSERT_EQ(decode(damaged, 1), 1);
        const auto lines = rec.lines();
        ASSERT_GE(lines.size(), 30u) << "trial " << trial;
        for (std::size_t i = 1; i <= 30; ++i)
            ASSERT_EQ(lines[lines.size() - i], p.lines[p.lines.size() - i])
                << "trial " << trial << ", line " << i << " from the end";
        for (const auto &runs : rec.runs_per_line()) {
            int64_t sum = 0;
            for (int32_t r : runs)
                sum += r < 0 ? -static_cast<int64_t>(r) : r;
            ASSERT_LE(sum, kWidth);
        }
    }
}

}  // namespace
