// The word-wise painter against the pixel-by-pixel one it replaced: the
// same runs and ends of line, from random event streams and from real and
// damaged coded pages, must leave the same bitmap, counters and growth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "driver/pelmorin.h"
#include "t4/t4dec.h"
#include "tests/support/fax_builder.h"
#include "tests/support/reference_painter.h"
#include "tests/support/test_pages.h"
#include "tests/support/tiff_oracle.h"

namespace {

struct config {
    int output_resolution;
    int input_resolution;
    int32_t seed;
};

const config kConfigs[] = {{1, 0, 0}, {2, 0, 0}, {1, 1, 0}, {2, 1, 0}, {1, 3, 0}, {2, -1, 0},
                           {1, 0, 77}, {2, 0, 77}, {1, 1, -5}, {2, 1, 123456}, {1, -1, 9}};

class PainterDiff : public ::testing::Test {
protected:
    void TearDown() override { release_page_bitmap(); }
};

// Event streams with every kind of event, in shares that make long pages,
// dense lines, wrapping runs and several pages.
std::vector<uint8_t> random_script(std::mt19937 &pick, uint8_t settings, int events)
{
    std::vector<uint8_t> script{settings};
    std::uniform_int_distribution<int> kind(0, 99), byte(0, 255);
    for (int e = 0; e < events; ++e) {
        int k = kind(pick);
        if (k < 45) {
            script.push_back(static_cast<uint8_t>(byte(pick) & 0x7F));
            if ((script.back() & 63) == 63) {
                script.push_back(static_cast<uint8_t>(byte(pick) & 0x0F));
                script.push_back(static_cast<uint8_t>(byte(pick)));
            }
        } else if (k < 70) {
            script.push_back(0xF0);
            script.push_back(static_cast<uint8_t>(byte(pick)));
        } else if (k < 88) {
            script.push_back(static_cast<uint8_t>(0x80 + byte(pick) % 0x3F));
        } else if (k < 92) {
            auto high = static_cast<uint8_t>(byte(pick) % 24), low = static_cast<uint8_t>(byte(pick));
            script.insert(script.end(), {0xBF, high, low});
        } else if (k < 97) {
            script.push_back(static_cast<uint8_t>(0xC0 + byte(pick) % 8));
        } else {
            script.push_back(static_cast<uint8_t>(0xE0 + byte(pick) % 16));
        }
    }
    return script;
}

TEST_F(PainterDiff, RandomEventStreamsInEverySetting)
{
    std::mt19937 pick(20261208);
    for (int settings = 0; settings < 32; ++settings)
        for (int round = 0; round < 2; ++round) {
            std::vector<uint8_t> script = random_script(pick, static_cast<uint8_t>(settings | (round << 5)), 600);
            refpainter::player p;
            ASSERT_EQ(p.play(script.data(), script.size()), "") << "settings " << settings << " round " << round;
        }
}

// A tall page leaves black far down the bitmap, beyond the rows the later,
// shorter pages show; an open line paints rows past its page's image.
TEST_F(PainterDiff, ShortPagesAfterATallOneAndOpenLines)
{
    for (const config &c : kConfigs) {
        refpainter::player p;
        p.start(c.output_resolution, c.input_resolution, c.seed);
        for (int page = 0; page < 4; ++page) {
            int lines = page == 0 ? 6000 : 30 - 7 * page;
            for (int l = 0; l < lines; ++l) {
                p.run(l % 1700);
                p.run(-(1 + (l * 7 + page) % 40));
                p.run(1);
                p.run(-3);
                p.eol();
            }
            p.run(-1728);  // a line that never ends
            p.next_page(page % 2 == 1);
        }
        EXPECT_EQ(p.finish(), "") << c.output_resolution << "/" << c.input_resolution << "/" << c.seed;
    }
}

// Lines without black leave the bitmap alone, so a page of scattered black
// lines leaves more painted stretches than the painter keeps apart; the next,
// shorter pages must still start white.
TEST_F(PainterDiff, ScatteredBlackLinesOverManyStretches)
{
    for (const config &c : kConfigs) {
        refpainter::player p;
        p.start(c.output_resolution, c.input_resolution, c.seed);
        for (int page = 0; page < 3; ++page) {
            int lines = page == 0 ? 7000 : 400;
            for (int l = 0; l < lines; ++l) {
                p.run(l % 1600);
                if (l % (37 + page) == 0)
                    p.run(-(1 + l % 120));
                p.eol();
            }
            p.next_page(true);
        }
        EXPECT_EQ(p.finish(), "") << c.output_resolution << "/" << c.input_resolution << "/" << c.seed;
    }
}

// Regression: a line's black must reach its own rows when the line count
// moves on under it and the next runs are white.
TEST_F(PainterDiff, LineCountMovedUnderALineWithBlack)
{
    for (const config &c : kConfigs) {
        refpainter::player p;
        p.start(c.output_resolution, c.input_resolution, c.seed);
        p.run(5);
        p.run(-30);
        p.jump_to_line(9);
        p.run(1728);
        p.eol();
        p.next_page(false);  // line 0 is in the image
        p.run(-70);
        p.jump_to_line(15);
        p.run(-4);
        p.eol();
        EXPECT_EQ(p.finish(), "") << c.output_resolution << "/" << c.input_resolution << "/" << c.seed;
    }
}

// Past its cap a page paints, counts and grows nothing; below it, as before.
TEST_F(PainterDiff, LinesPastTheCap)
{
    for (const config &c : kConfigs)
        for (int64_t cap : {0, 1, 2396, 2397, 5000}) {
            refpainter::player p;
            p.start(c.output_resolution, c.input_resolution, c.seed);
            p.next_page(false, cap);
            for (int l = 0; l < 6000; ++l) {
                p.run(l % 900);
                p.run(-(1 + l % 50));
                p.run(10);
                p.eol();
            }
            p.run(-3);
            EXPECT_EQ(p.line_count(), std::min<int64_t>(cap + 1, 6000));
            EXPECT_EQ(p.finish(), "") << c.output_resolution << "/" << c.input_resolution << "/" << c.seed
                                      << " cap " << cap;
        }
}

// Runs from the decoder, as the converter gets them.
refpainter::player *decoding_player;
void both_paint(int32_t n) { decoding_player->run(n); }
void both_end_line() { decoding_player->eol(); }

std::vector<uint8_t> damaged(std::vector<uint8_t> data, std::mt19937 &pick)
{
    std::uniform_int_distribution<std::size_t> at(0, data.size() - 1);
    for (int flips = 0; flips < 6; ++flips)
        data[at(pick)] ^= static_cast<uint8_t>(1u << (pick() % 8));
    std::size_t zero_from = at(pick);
    std::fill(data.begin() + zero_from, data.begin() + std::min(data.size(), zero_from + 40), 0);
    data.resize(at(pick) & ~std::size_t{1});
    return data;
}

TEST_F(PainterDiff, DecodedPagesCleanAndDamaged)
{
    std::vector<std::pair<int, std::vector<uint8_t>>> pages;
    testpages::page text = testpages::text_page(700, 3);
    pages.push_back({0, faxbuilder::mh_page(text, true)});
    pages.push_back({0, faxbuilder::mh_page(testpages::worst_case_page(), false)});
    // Long and white at the end: lines of white runs alone must grow the bitmap.
    testpages::page tall = testpages::text_page(5200, 4);
    std::fill(tall.lines.begin() + 200, tall.lines.end(), testpages::white_line());
    pages.push_back({0, faxbuilder::mh_page(tall, true)});
    if (tifforacle::available()) {
        pages.push_back({1, tiff_encode(text, 1, 4)});
        pages.push_back({3, tiff_encode(text, 3)});
        pages.push_back({3, tiff_encode(testpages::random_page(300, 5, 3), 3)});
    }
    std::mt19937 pick(99);
    const std::size_t clean_pages = pages.size();
    for (std::size_t i = 0; i < clean_pages; ++i)
        for (int copy = 0; copy < 4; ++copy)
            pages.push_back({pages[i].first, damaged(pages[i].second, pick)});

    // Lines wider than the painter's wrap round it.
    t4dec_context *ctx = t4dec_context_new(1728), *wide = t4dec_context_new(2600);
    ASSERT_NE(ctx, nullptr);
    ASSERT_NE(wide, nullptr);
    for (bool whole_lines : {false, true})
        for (const config &c : kConfigs) {
            refpainter::player p;
            decoding_player = &p;
            p.start(c.output_resolution, c.input_resolution, c.seed);
            for (std::size_t i = 0; i < pages.size(); ++i) {
                const auto &[mode, data] = pages[i];
                const int length = static_cast<int>(data.size() & ~std::size_t{1});
                if (whole_lines)
                    p.decode_whole_lines(i % 4 == 3 ? wide : ctx, data.data(), length, mode);
                else
                    t4dec_decode(data.data(), length, mode, both_paint, nullptr, both_end_line);
                p.next_page(i % 3 == 0);
            }
            decoding_player = nullptr;
            EXPECT_EQ(p.finish(), "") << c.output_resolution << "/" << c.input_resolution << "/"
                                      << c.seed << (whole_lines ? " whole lines" : "");
        }
    t4dec_context_free(ctx);
    t4dec_context_free(wide);
}

// A line far beyond any memory makes the growth fail at its first run, white
// or black; the rest of the page paints nothing, and the next page is whole.
TEST_F(PainterDiff, FailedGrowthStopsThePageAndTheNextStartsClean)
{
    for (const config &c : kConfigs) {
        refpainter::player p;
        p.start(c.output_resolution, c.input_resolution, c.seed);
        for (int l = 0; l < 3000; ++l) {
            p.run(l % 300);
            p.run(-(1 + l % 90));
            p.eol();
        }
        p.run(-5);  // an open line that the failure must not lose
        // Rows past PTRDIFF_MAX: refused before any allocation is tried.
        int64_t bytes_per_line = c.output_resolution == 2 ? (c.input_resolution == 0 ? 432 : 216)
                                                          : (c.input_resolution == 0 ? 108 : 54);
        p.jump_to_line(PTRDIFF_MAX / bytes_per_line + 10);
        p.run(3);
        ASSERT_TRUE(p.failed());
        p.run(-20);
        p.eol();
        p.run(-20);
        p.next_page(false);
        p.run(7);
        p.run(-9);
        p.eol();
        EXPECT_EQ(p.finish(), "") << c.output_resolution << "/" << c.input_resolution << "/" << c.seed;
    }
}

// The page start clears what the last page painted, not the whole bitmap:
// bytes no page painted are left alone (they are white already).
TEST_F(PainterDiff, PageStartClearsOnlyWhatThePageBeforePainted)
{
    pelmorin.settings.output_resolution = 2;
    pelmorin.input_resolution = 1;
    pelmorin.scramble_seed = 0;
    pelmorin.page_number = 1;
    ASSERT_EQ(begin_page_bitmap(), 0);
    for (int l = 0; l < 10; ++l) {
        paint_run(-1728);
        end_of_line();
    }
    paint_run(-8);  // the open line's row counts as painted too
    finish_page_bitmap();
    unsigned char *bitmap = pelmorin.page_bitmap.get();
    ASSERT_EQ(bitmap[10 * 216 + 1], 0xFF);
    bitmap[12 * 216] = 0x5A;  // stands for bytes no page painted
    ASSERT_EQ(begin_page_bitmap(), 0);
    EXPECT_EQ(bitmap[10 * 216 + 1], 0x00);
    EXPECT_EQ(bitmap[5 * 216 + 100], 0x00);
    EXPECT_EQ(bitmap[12 * 216], 0x5A);
    bitmap[12 * 216] = 0;
}

}  // namespace
