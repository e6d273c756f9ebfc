// The page bitmap painter in-process: row mapping, byte-pair order, image
// size, growth, and the scrambling generator.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "driver/pelmorin.h"

namespace {

void start_page(int output_resolution, int input_resolution, int page = 1, int32_t seed = 0)
{
    pelmorin.settings.output_resolution = output_resolution;
    pelmorin.input_resolution = input_resolution;
    pelmorin.page_number = page;
    pelmorin.scramble_seed = seed;
    ASSERT_EQ(begin_page_bitmap(), 0);
}

// Paints one input line given as alternating runs (white first) and ends it.
void paint_line(const std::vector<int32_t> &runs)
{
    bool black = false;
    for (int32_t r : runs) {
        paint_run(black ? -r : r);
        black = !black;
    }
    end_of_line();
}

bool output_pixel(int row_bytes, int64_t row, int p)
{
    const unsigned char *bitmap = pelmorin.page_bitmap.get();
    return (bitmap[row * row_bytes + ((p / 8) ^ 1)] >> (7 - p % 8)) & 1;
}

std::size_t black_bytes(std::size_t from, std::size_t to)
{
    std::size_t count = 0;
    for (std::size_t i = from; i < to; ++i)
        count += pelmorin.page_bitmap.get()[i] != 0;
    return count;
}

class Painter : public ::testing::Test {
protected:
    void TearDown() override { release_page_bitmap(); }
};

// --- golden byte cases --------------------------------------------------------

TEST_F(Painter, NormalLowResMergesPixelPairsIntoByteOne)
{
    start_page(1, 0);
    paint_line({0, 2, 1726});
    EXPECT_EQ(pelmorin.page_bitmap.get()[1], 0x80);
    EXPECT_EQ(black_bytes(0, pelmorin.bitmap_size), 1u);
}

TEST_F(Painter, NormalHighResDoublesEachLine)
{
    start_page(2, 0);
    paint_line({1728});
    paint_line({0, 8, 1720});  // input line 1 -> rows 2 and 3
    const unsigned char *b = pelmorin.page_bitmap.get();
    EXPECT_EQ(b[2 * 216 + 1], 0xFF);
    EXPECT_EQ(b[3 * 216 + 1], 0xFF);
    EXPECT_EQ(black_bytes(0, pelmorin.bitmap_size), 2u);
}

TEST_F(Painter, RowBytesAreStoredPairSwapped)
{
    start_page(2, 1);
    paint_line({0, 1, 15, 1, 1711});  // pixels 0 and 16
    const unsigned char *b = pelmorin.page_bitmap.get();
    EXPECT_EQ(b[0], 0x00);
    EXPECT_EQ(b[1], 0x80);
    EXPECT_EQ(b[2], 0x00);
    EXPECT_EQ(b[3], 0x80);
}

TEST_F(Painter, FineLowResOrsLinePairsIntoOneRow)
{
    start_page(1, 1);
    paint_line({0, 2, 1726});        // line 0: output pixel 0
    paint_line({2, 2, 1724});        // line 1: output pixel 1
    paint_line({4, 2, 1722});        // line 2: row 1, output pixel 2
    const unsigned char *b = pelmorin.page_bitmap.get();
    EXPECT_EQ(b[1], 0xC0);
    EXPECT_EQ(b[108 + 1], 0x20);
}

// --- mapping model over every resolution pair ----------------------------------

struct mapping_case {
    int output_resolution;
    int input_resolution;
};

class PainterMapping : public ::testing::TestWithParam<mapping_case> {
protected:
    void TearDown() override { release_page_bitmap(); }
};

// Each input line L gets one black run whose place and length depend on L,
// including runs that end exactly at pixel 1727.
TEST_P(PainterMapping, EveryPixelLandsWhereTheTableSays)
{
    const auto [out_res, in_res] = GetParam();
    start_page(out_res, in_res);
    const int lines = 40;
    auto run_of = [](int l) { return std::pair<int, int>{(l * 97) % 1700, 1 + (l * 13) % 28}; };
    for (int l = 0; l < lines; ++l) {
        auto [x, n] = run_of(l);
        paint_line({x, n, 1728 - x - n});
    }
    const bool high = out_res == 2, normal = in_res == 0;
    const int row_bytes = high ? 216 : 108, width = high ? 1728 : 864;
    image_size size = page_image_size(out_res, in_res, lines);
    ASSERT_EQ(size.width, width);
    // Expected rows from the table, black wins where lines or pixels merge.
    std::vector<std::vector<bool>> expect(static_cast<size_t>(size.height), std::vector<bool>(width));
    for (int l = 0; l < lines; ++l) {
        auto [x0, n] = run_of(l);
        std::vector<int> rows = high ? (normal ? std::vector<int>{2 * l, 2 * l + 1} : std::vector<int>{l})
                                     : std::vector<int>{normal ? l : l / 2};
        for (int row : rows)
            for (int x = x0; x < x0 + n; ++x)
                expect[row][high ? x : x / 2] = true;
    }
    for (int64_t row = 0; row < size.height; ++row)
        for (int p = 0; p < width; ++p)
            ASSERT_EQ(output_pixel(row_bytes, row, p), expect[row][p]) << "row " << row << " pixel " << p;
    EXPECT_EQ(black_bytes(size.height * row_bytes, pelmorin.bitmap_size), 0u);
}

INSTANTIATE_TEST_SUITE_P(Resolutions, PainterMapping,
                         ::testing::Values(mapping_case{1, 0}, mapping_case{1, 1}, mapping_case{1, 2},
                                           mapping_case{1, 3}, mapping_case{1, 4}, mapping_case{1, -1},
                                           mapping_case{2, 0}, mapping_case{2, 1}, mapping_case{2, 2},
                                           mapping_case{2, 4}, mapping_case{2, -1}),
                         [](const auto &info) {
                             int in = info.param.input_resolution;
                             return "Out" + std::to_string(info.param.output_resolution) + "In" +
                                    (in < 0 ? std::string("Unknown") : std::to_string(in));
                         });

// --- image size ------------------------------------------------------------------

struct size_case {
    int output_resolution, input_resolution;
    int64_t lines, width, height;
};

class ImageSize : public ::testing::TestWithParam<size_case> {};

TEST_P(ImageSize, FollowsTheResolutions)
{
    const size_case &c = GetParam();
    image_size size = page_image_size(c.output_resolution, c.input_resolution, c.lines);
    EXPECT_EQ(size.width, c.width);
    EXPECT_EQ(size.height, c.height);
}

INSTANTIATE_TEST_SUITE_P(Rule, ImageSize,
                         ::testing::Values(size_case{2, 0, 1100, 1728, 2200}, size_case{2, 1, 2201, 1728, 2201},
                                           size_case{2, 3, 7, 1728, 7}, size_case{2, -1, 7, 1728, 7},
                                           size_case{1, 0, 1100, 864, 1100}, size_case{1, 1, 2201, 864, 1100},
                                           // The merged rows the painter filled: L div 2.
                                           size_case{1, 2, 11, 864, 5}, size_case{1, 4, 11, 864, 5},
                                           size_case{1, -1, 11, 864, 5}, size_case{1, 0, 0, 864, 0}),
                         [](const auto &info) {
                             int in = info.param.input_resolution;
                             return "Out" + std::to_string(info.param.output_resolution) + "In" +
                                    (in < 0 ? std::string("Unknown") : std::to_string(in)) + "Lines" +
                                    std::to_string(info.param.lines);
                         });

// --- growth ------------------------------------------------------------------------

TEST_F(Painter, LongPageGrowsInStepsAndStaysWhiteBeyondThePaint)
{
    start_page(2, 0);
    const int lines = 10000;
    for (int l = 0; l < lines; ++l)
        paint_line(l % 100 == 0 ? std::vector<int32_t>{l % 1720, 8, 1720 - l % 1720}
                                : std::vector<int32_t>{1728});
    std::size_t needed = static_cast<std::size_t>(lines) * 432;
    EXPECT_GE(pelmorin.bitmap_size, needed);
    EXPECT_EQ((pelmorin.bitmap_size - INITIAL_BITMAP_SIZE) % BITMAP_GROWTH, 0u);
    for (int l = 0; l < lines; ++l) {
        int64_t row = 2 * l;
        bool painted = l % 100 == 0;
        EXPECT_EQ(output_pixel(216, row, l % 1720), painted);
        EXPECT_EQ(output_pixel(216, row + 1, l % 1720 + 7), painted);
    }
    EXPECT_EQ(black_bytes(needed, pelmorin.bitmap_size), 0u);
}

// Regression: lines that end without a run (as the 2-D decoders report them)
// used to let the next run land several growth steps past the bitmap.
TEST_F(Painter, RunAfterManyEmptyLinesStaysInsideTheBitmap)
{
    start_page(2, 0);
    for (int l = 0; l < 5000; ++l)
        end_of_line();
    paint_run(0);
    paint_run(-3);
    end_of_line();
    ASSERT_GT(pelmorin.bitmap_size, 5000u * 432 + 1000);
    EXPECT_TRUE(output_pixel(216, 10000, 2));
    EXPECT_TRUE(output_pixel(216, 10001, 0));
    EXPECT_EQ(ensure_bitmap_holds(static_cast<std::size_t>(page_image_size(2, 0, 5001).height) * 216), 0);
}

// A line is held while more than 1000 bytes follow the start of its first
// row, in every geometry: the last such line paints without growth, the
// next grows the bitmap, whether its runs come one by one or as a line.
TEST_F(Painter, BitmapGrowsForTheFirstLineWithinTheRowMargin)
{
    struct geometry_case {
        int output_resolution, input_resolution;
        int64_t row_step;      // bytes from one line's first row to the next line's
        int64_t lines_per_row;
    };
    for (const geometry_case c : {geometry_case{2, 0, 432, 1}, geometry_case{2, 1, 216, 1},
                                  geometry_case{1, 0, 108, 1}, geometry_case{1, 1, 108, 2}}) {
        for (const bool spans : {false, true}) {
            start_page(c.output_resolution, c.input_resolution);
            const auto first_row = [&](int64_t line) { return line / c.lines_per_row * c.row_step; };
            int64_t held = 0;
            while (first_row(held + 1) + 1000 < static_cast<int64_t>(INITIAL_BITMAP_SIZE))
                ++held;
            const std::string where = std::to_string(c.output_resolution) + "/" +
                                      std::to_string(c.input_resolution) + (spans ? " spans" : "");
            for (int64_t l = 0; l < held; ++l)
                end_of_line();
            const int16_t run[2] = {8, 16};
            for (int i = 0; i < 2; ++i) {
                if (spans) {
                    paint_line_spans(nullptr, run, 2, T4DEC_LINE_ENDED | T4DEC_LINE_HAD_RUNS);
                } else {
                    paint_line({8, 8, 1712});
                }
                EXPECT_EQ(pelmorin.bitmap_size, i == 0 ? INITIAL_BITMAP_SIZE
                                                       : INITIAL_BITMAP_SIZE + BITMAP_GROWTH)
                    << where << " line " << held + i;
            }
            release_page_bitmap();
        }
    }
}

TEST_F(Painter, NextPageStartsWhiteEvenWhereTheLastOneGrew)
{
    start_page(2, 0);
    for (int l = 0; l < 4000; ++l)
        paint_line({0, 1728});
    ASSERT_GT(pelmorin.bitmap_size, INITIAL_BITMAP_SIZE);
    start_page(2, 0);
    EXPECT_EQ(black_bytes(0, pelmorin.bitmap_size), 0u);
}

TEST_F(Painter, BitmapThatCannotGrowStopsPaintingSafely)
{
    start_page(2, 0);
    paint_line({0, 8, 1720});
    pelmorin.line_count = INT64_MAX / 432 - 1;  // a row far beyond any memory
    paint_run(-8);
    EXPECT_TRUE(pelmorin.bitmap_failed);
    EXPECT_EQ(pelmorin.bitmap_size, INITIAL_BITMAP_SIZE);
    paint_run(-8);  // later runs are dropped, not painted
    EXPECT_EQ(black_bytes(0, pelmorin.bitmap_size), 2u);
    EXPECT_NE(ensure_bitmap_holds(SIZE_MAX), 0);
}

TEST_F(Painter, RunsBreakingTheWidthStayInTheirRow)
{
    start_page(2, 1);
    paint_line({1728});
    paint_run(1700);
    paint_run(-5000);  // wraps: repaints line 1 at most once
    paint_run(INT32_MIN);
    end_of_line();
    paint_line({1728});
    EXPECT_EQ(black_bytes(0, 216), 0u);
    EXPECT_EQ(black_bytes(216, 432), 216u);
    EXPECT_EQ(black_bytes(432, pelmorin.bitmap_size), 0u);
}

// --- scrambling ----------------------------------------------------------------------

#if defined(__GLIBC__)
constexpr bool kGlibc = true;
#else
constexpr bool kGlibc = false;
#endif

TEST(GlibcRandom, MatchesThePlatformGenerator)
{
    if (!kGlibc)
        GTEST_SKIP() << "rand() is glibc's only on glibc";
    std::mt19937 pick(12345);
    std::vector<uint32_t> seeds = {0, 1, 2, 42, 16807, 127773, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
    for (int i = 0; i < 500; ++i)
        seeds.push_back(static_cast<uint32_t>(pick()));
    glibc_random_state state;
    for (uint32_t seed : seeds) {
        std::srand(seed);
        glibc_srand(&state, seed);
        for (int i = 0; i < 100; ++i)
            ASSERT_EQ(glibc_rand(&state), std::rand()) << "seed " << seed << " draw " << i;
    }
    std::srand(7);
    glibc_srand(&state, 7);
    for (int i = 0; i < 100000; ++i)
        ASSERT_EQ(glibc_rand(&state), std::rand()) << "draw " << i;
}

// The key hash and the line shift through the C library's generator.
int32_t reference_hash(const std::string &key)
{
    std::srand(1);
    uint32_t h = 0;
    for (char ch : key) {
        uint32_t r = static_cast<uint32_t>(std::rand());
        std::srand(r + 128u * h + static_cast<uint32_t>(static_cast<signed char>(ch)));
        h = static_cast<uint32_t>(std::rand());
    }
    return static_cast<int32_t>(h);
}

int reference_shift(int64_t line, int32_t seed)
{
    std::srand(static_cast<uint32_t>(line - 1));
    uint32_t r = static_cast<uint32_t>(std::rand()) & 0xFFFF;
    std::srand(r * static_cast<uint32_t>(seed));
    int e;
    do
        e = std::rand() & 0xFF;
    while (e > 215);
    return 8 * e;
}

TEST(Scrambling, KeyHashAndShiftsAgreeWithTheCLibrary)
{
    if (!kGlibc)
        GTEST_SKIP() << "rand() is glibc's only on glibc";
    for (const std::string &key : std::vector<std::string>{"a", "secret", "longer key with blanks",
                                                          "\xE9t\xE9\xFF", std::string(300, 'z')})
        EXPECT_EQ(scramble_key_hash(key), reference_hash(key)) << key;
    for (int32_t seed : {1, 12345, 0x7FFFFFFF, 987654321})
        for (int64_t line : {0, 1, 2, 3, 1000, 2200})
            EXPECT_EQ(scramble_line_shift(line, seed), reference_shift(line, seed));
}

TEST(Scrambling, EmptyKeyHashesToZeroAndShiftsAreWholeBytes)
{
    EXPECT_EQ(scramble_key_hash(""), 0);
    EXPECT_EQ(scramble_key_hash("key"), scramble_key_hash("key"));
    EXPECT_NE(scramble_key_hash("key"), scramble_key_hash("kez"));
    for (int64_t line = 0; line < 500; ++line) {
        int shift = scramble_line_shift(line, 4242);
        EXPECT_EQ(shift % 8, 0);
        EXPECT_GE(shift, 0);
        EXPECT_LE(shift, 1720);
    }
}

TEST_F(Painter, LaterPagesRotateEachLineLeftByItsShift)
{
    const int32_t seed = 31337;
    for (int page : {1, 2, 5}) {
        start_page(2, 1, page, seed);
        for (int l = 0; l < 50; ++l)
            paint_line({10, 20, 1698});  // black 10..29, so rotations wrap for some lines
        for (int l = 0; l < 50; ++l) {
            int shift = page == 1 ? 0 : scramble_line_shift(l, seed);
            for (int x = 0; x < 1728; ++x) {
                int source = (x + shift) % 1728;  // output x shows input pixel x + shift
                ASSERT_EQ(output_pixel(216, l, x), source >= 10 && source < 30)
                    << "page " << page << " line " << l << " pixel " << x;
            }
        }
    }
}

TEST_F(Painter, ZeroSeedLeavesLaterPagesAlone)
{
    start_page(1, 0, 3, 0);
    paint_line({0, 16, 1712});
    EXPECT_EQ(pelmorin.page_bitmap.get()[1], 0xFF);
}

}  // namespace
