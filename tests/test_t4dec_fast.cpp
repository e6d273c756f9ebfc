// The table-driven decoders against the bit-by-bit reference: real pages,
// damaged pages and random code streams, in every mode and at several widths,
// must give the same callbacks, result and report.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "faxfile/fax_file.h"
#include "t4/dectbls.h"
#include "t4/lookup_tables.h"
#include "t4/t4codes.h"
#include "tests/support/decode_recorder.h"
#include "tests/support/decoder_diff.h"
#include "tests/support/test_pages.h"
#include "tests/support/tiff_oracle.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr int MODES[] = {0, 1, 3};
constexpr unsigned CALLBACK_SETS[] = {decdiff::ALL, decdiff::LINE, decdiff::RUN | decdiff::EOL,
                                      decdiff::EOL, decdiff::SPANS};

std::string differ(const bytes &data, int mode, int width = 1728, unsigned set = decdiff::ALL)
{
    return decdiff::compare(data.data(), static_cast<int>(data.size()), mode, width, set);
}

// Pages of the sample fax files, with their compression.
struct coded_page {
    int mode;
    bytes data;
};

std::vector<coded_page> example_pages()
{
    std::vector<coded_page> pages;
    for (const char *name : {"sample.fax", "sample_mr.fax", "sample_mmr.fax"}) {
        fax_file_ptr fax(fax_file_open((std::string(EXAMPLES_DIR) + "/" + name).c_str(), nullptr, nullptr));
        for (std::size_t i = 0; fax && i < fax->page_count; ++i)
            pages.push_back({fax->decode_mode,
                             bytes(fax->pages[i].data, fax->pages[i].data + fax->pages[i].length)});
    }
    return pages;
}

// Pages coded by libtiff: text, noise and the hard cases, MH, MR K=2 and 4, MMR.
std::vector<coded_page> oracle_pages(int lines)
{
    std::vector<coded_page> pages;
    if (!tifforacle::available())
        return pages;
    const testpages::page sources[] = {testpages::text_page(lines, 3),
                                       testpages::random_page(lines / 2, 5, 5),
                                       testpages::worst_case_page()};
    for (const auto &p : sources) {
        pages.push_back({0, tiff_encode(p, tifforacle::MH)});
        pages.push_back({1, tiff_encode(p, tifforacle::MR, 2)});
        pages.push_back({1, tiff_encode(p, tifforacle::MR, 4)});
        pages.push_back({3, tiff_encode(p, tifforacle::MMR)});
    }
    return pages;
}

TEST(FastDecoderTables, EveryCodeFromEveryRootDecodesAsTheGraphWalkDoes)
{
    struct root {
        const code_node *node;
        int colour;  // -1: the mode tree
    };
    for (const root r : {root{white_tree, 0}, root{black_tree, 1}, root{mode_tree, -1}}) {
        for (uint32_t bits = 0; bits < (1u << 16); ++bits) {
            // The walk, until a leaf or a node outside the tree's codes.
            const code_node *node = r.node;
            int length = 0;
            bool left_tree = false;
            while (!code_is_leaf(node) && length < 16) {
                node = code_successor(node, (bits >> length) & 1);
                ++length;
                if (node == sync_chain || node == tag_node || node == r.node) {
                    left_tree = true;
                    break;
                }
            }
            const int zeros = std::countr_zero(bits | 1u << 16);
            t4tables::lookup_entry e{};
            if (r.colour < 0) {
                e = t4tables::modes[bits & 127];
            } else {
                const auto &tables = t4tables::runs[static_cast<std::size_t>(r.colour)];
                e = tables.primary[bits & 511];
                if (e.kind == t4tables::SECONDARY)
                    e = tables.secondary[(bits >> 4) & 511];
            }
            if (e.kind == t4tables::ZEROS) {
                // Left to counting: only EOL, fill and no-code paths begin so.
                ASSERT_GE(zeros, r.colour < 0 ? 6 : 8) << bits;
                ASSERT_TRUE(left_tree || !code_is_leaf(node) || node->token == RUN_EOL) << bits;
                continue;
            }
            ASSERT_EQ(e.kind, r.colour < 0                      ? t4tables::CODE
                              : std::abs(node->token) > 63 ? t4tables::MAKEUP
                                                           : t4tables::TERMINATING)
                << bits;
            ASSERT_FALSE(left_tree) << bits;
            ASSERT_TRUE(code_is_leaf(node)) << bits;
            ASSERT_EQ(e.token, node->token) << bits;
            ASSERT_EQ(e.bits, length) << bits;
        }
    }
}

// The pair table holds exactly the white-then-black terminating code pairs
// that the graph walk finds within its index bits.
TEST(FastDecoderTables, PairsAreTheWalksOfAWhiteAndABlackCode)
{
    // The code from `root` at bit `from` of `bits`: its token and end, or end -1.
    auto walk = [](const code_node *root, uint32_t bits, int from) {
        const code_node *node = root;
        for (int at = from; at < t4tables::PAIR_BITS; ++at) {
            node = code_successor(node, (bits >> at) & 1);
            if (node == nullptr || node == sync_chain || node == tag_node)
                break;
            if (code_is_leaf(node))
                return std::pair<int, int>{node->token, at + 1};
        }
        return std::pair<int, int>{0, -1};
    };
    int pairs = 0;
    for (uint32_t bits = 0; bits < (1u << t4tables::PAIR_BITS); ++bits) {
        const t4tables::pair_entry e = t4tables::pairs[bits];
        const auto [white, white_end] = walk(white_tree, bits, 0);
        const bool white_ok = white_end > 0 && white >= 0 && white <= 63;
        const auto [black, end] = white_ok ? walk(black_tree, bits, white_end) : std::pair<int, int>{0, -1};
        if (!white_ok || end < 0 || black > 0 || black < -63) {
            ASSERT_EQ(e.bits, 0) << bits;
            continue;
        }
        ++pairs;
        ASSERT_EQ(e.white, white) << bits;
        ASSERT_EQ(e.black, -black) << bits;
        ASSERT_GT(e.black, 0) << bits;  // every pair moves the line on
        ASSERT_EQ(e.white_bits, white_end) << bits;
        ASSERT_EQ(e.bits, end) << bits;
    }
    EXPECT_GT(pairs, 1000);
}

TEST(FastDecoderSameness, SamplePagesWithEveryCallbackSet)
{
    const auto pages = example_pages();
    ASSERT_GE(pages.size(), 6u);
    for (const auto &p : pages)
        for (unsigned set : CALLBACK_SETS)
            ASSERT_EQ(differ(p.data, p.mode, 1728, set), "");
}

TEST(FastDecoderSameness, OraclePagesWithEveryCallbackSetAndOtherWidths)
{
    const auto pages = oracle_pages(300);
    if (pages.empty())
        GTEST_SKIP() << "libtiff not available";
    for (const auto &p : pages) {
        ASSERT_FALSE(p.data.empty());
        for (unsigned set : CALLBACK_SETS)
            ASSERT_EQ(differ(p.data, p.mode, 1728, set), "");
        // Read as other widths the same data is a stream of line errors.
        for (int width : {1, 9, 1000, 1729, 2048}) {
            ASSERT_EQ(differ(p.data, p.mode, width), "");
            ASSERT_EQ(differ(p.data, p.mode, width, decdiff::SPANS), "");
        }
    }
}

// Damage: single bit flips, stretches of zeros, truncation at every length.
void check_damaged(const coded_page &p, uint32_t seed, int flips)
{
    std::mt19937 rng(seed);
    const auto size = static_cast<uint32_t>(p.data.size());
    for (int i = 0; i < flips; ++i) {
        bytes d = p.data;
        d[rng() % size] ^= static_cast<uint8_t>(1u << (rng() % 8));
        if (i % 3 == 0)
            d[rng() % size] ^= static_cast<uint8_t>(1u << (rng() % 8));
        ASSERT_EQ(differ(d, p.mode, 1728, CALLBACK_SETS[i % 5]), "") << "flip " << i;
    }
    for (int i = 0; i < flips / 4; ++i) {
        bytes d = p.data;
        const uint32_t at = rng() % size;
        const uint32_t n = std::min<uint32_t>(size - at, 1 + static_cast<uint32_t>(rng() % 40));
        std::fill_n(d.begin() + at, n, i % 2 ? 0x00 : 0xFF);
        ASSERT_EQ(differ(d, p.mode, 1728, i % 2 ? decdiff::ALL : decdiff::SPANS), "")
            << "stretch " << i;
    }
}

TEST(FastDecoderSameness, DamagedSamplePages)
{
    uint32_t seed = 11;
    for (const auto &p : example_pages())
        check_damaged(p, ++seed, 80);
}

TEST(FastDecoderSameness, DamagedOraclePages)
{
    const auto pages = oracle_pages(60);
    if (pages.empty())
        GTEST_SKIP() << "libtiff not available";
    uint32_t seed = 21;
    for (const auto &p : pages)
        check_damaged(p, ++seed, 120);
}

TEST(FastDecoderSameness, TruncatedAtEveryLength)
{
    const auto pages = oracle_pages(8);
    std::vector<coded_page> all = pages;
    const auto samples = example_pages();
    for (const auto &p : samples) {
        const long head = std::min<long>(300, static_cast<long>(p.data.size()));
        all.push_back({p.mode, bytes(p.data.begin(), p.data.begin() + head)});
    }
    for (const auto &p : all)
        for (std::size_t n = 0; n <= p.data.size(); ++n) {
            const bytes d(p.data.begin(), p.data.begin() + static_cast<long>(n));
            ASSERT_EQ(differ(d, p.mode), "") << "length " << n;
            ASSERT_EQ(differ(d, p.mode, 1728, decdiff::SPANS), "") << "length " << n;
        }
}

// Random streams of coding-mode codes, run codes and EOLs on narrow lines,
// where lines that start black below a line white at pixel 0 are common.
bytes random_stream(std::mt19937 &rng, int mode, int width)
{
    std::string bits;
    if (mode == 1)
        bits += t4test::eol_bits() + "1";
    const int codes = 40 + static_cast<int>(rng() % 400);
    for (int i = 0; i < codes; ++i) {
        const uint32_t pick = rng() % 100;
        if (pick < 55) {
            bits += t4test::mode_bits(2 + static_cast<int>(rng() % 7));  // vertical
        } else if (pick < 70) {
            bits += t4test::mode_bits(0);  // pass
        } else if (pick < 85) {
            bits += t4test::mode_bits(1);  // horizontal, two runs
            const bool black_first = rng() % 2;
            bits += t4test::run_bits(black_first, static_cast<int>(rng() % (width / 2 + 2)));
            bits += t4test::run_bits(!black_first, static_cast<int>(rng() % (width / 2 + 2)));
        } else if (pick < 92) {
            bits += t4test::run_bits(rng() % 2, static_cast<int>(rng() % (width + 70)));
        } else if (pick < 97) {
            bits += t4test::eol_bits() + (mode == 3 ? "" : (rng() % 3 ? "0" : "1"));
        } else {
            bits += std::string(rng() % 14, '0') + "1";  // stray zeros: extension and no codes
        }
    }
    if (rng() % 2)
        bits += mode == 3 ? t4test::eol_bits() + t4test::eol_bits() : "";
    return t4test::pack_bits(bits);
}

// Bitmaps are drawn 64 pixels at a time: widths on, just before and just
// after the end of a word are among them.
TEST(FastDecoderSameness, RandomCodeStreamsAtSeveralWidths)
{
    std::mt19937 rng(4242);
    for (int width : {1, 2, 7, 8, 9, 16, 31, 63, 64, 65, 100, 127, 128, 129, 1728}) {
        for (int i = 0; i < 400; ++i) {
            const int mode = MODES[i % 3];
            const bytes d = random_stream(rng, mode, width);
            ASSERT_EQ(differ(d, mode, width, CALLBACK_SETS[i % 5]), "") << "stream " << i;
        }
    }
}

// Two-dimensional codes after a line already reached its width (narrow
// lines, so that reading past the reference line leaves its allocation).
TEST(FastDecoderSameness, CodesPastTheEndOfALine)
{
    using namespace t4test;
    for (int width : {5, 1728}) {
        std::string bits = eol_bits() + "1" + line_bits({width}) + eol_bits() + "0";
        for (int i = 0; i < 6; ++i)
            bits += mode_bits(2) + mode_bits(2) + mode_bits(0);
        bits += eol_bits() + "1" + std::string(80, '1');
        ASSERT_EQ(differ(pack_bits(bits), 1, width), "") << width;
    }
}

// Lines of V0 codes only, after one line of horizontal modes: each run of
// codes copies the reference changes up to its end, into the sentinel at the
// width, and runs on into the next lines. Lines ending black and white, with
// few changes and with more than one run of codes can take.
TEST(FastDecoderSameness, VerticalZeroRunsIntoTheLineEnd)
{
    using namespace t4test;
    for (int width : {67, 1728}) {
        for (int pairs : {1, 5, 40}) {
            for (const bool black_edge : {true, false}) {
                std::string bits;
                const int step = width / (pairs + 1);
                if (step < 2)
                    continue;
                int at = 0;
                for (int i = 0; i < pairs; ++i) {
                    const int white = step / 2;
                    const int black = i + 1 == pairs && black_edge ? width - at - white : step - white;
                    bits += mode_bits(t4codes::MODE_HORIZONTAL) + run_bits(false, white) + run_bits(true, black);
                    at += white + black;
                }
                bits += std::string(56 * 7 + 5, '1');
                EXPECT_EQ(differ(pack_bits(bits), 3, width), "") << width << " " << pairs << " " << black_edge;
                for (const unsigned set : CALLBACK_SETS)
                    EXPECT_EQ(differ(pack_bits(bits), 3, width, set), "") << width << " " << pairs << " " << set;
            }
        }
    }
}

TEST(FastDecoderSameness, RandomBytes)
{
    std::mt19937 rng(77);
    for (int i = 0; i < 3000; ++i) {
        bytes d(rng() % 200);
        const uint32_t density = rng() % 4;  // sparse bytes give long zero runs and EOLs
        for (auto &b : d) {
            b = static_cast<uint8_t>(rng());
            for (uint32_t k = 0; k < density; ++k)
                b &= static_cast<uint8_t>(rng());
        }
        const int width = i % 5 == 0 ? 1 + static_cast<int>(rng() % 64) : 1728;
        ASSERT_EQ(differ(d, MODES[i % 3], width, i % 2 ? decdiff::ALL : decdiff::SPANS), "")
            << "input " << i;
    }
}

// The process-wide default context gives what a context of one's own gives.
TEST(FastDecoderContext, DefaultContextMatchesAFreshContext)
{
    for (const auto &p : example_pages()) {
        const decdiff::outcome own = decdiff::decode(false, p.data.data(),
                                                     static_cast<int>(p.data.size()), p.mode, 1728);
        t4dec_set_width(1728);
        t4test::decode(p.data, p.mode);
        t4dec_report report{};
        t4dec_get_report(&report);
        if (p.mode == 0)
            putrunlen(0, RUN_EOL, t4test::record_run, t4test::record_line, t4test::record_eol);
        putrunlen(1, 0, nullptr, nullptr, nullptr);
        std::vector<int32_t> events;
        for (const auto &e : t4test::rec.events) {
            if (e.kind == t4test::event::run)
                decdiff::on_run(&events, e.value);
            else if (e.kind == t4test::event::line)
                decdiff::on_line(&events, e.bitmap.data(), e.bytes_per_line);
            else
                decdiff::on_eol(&events);
        }
        std::vector<int32_t> expected = own.events;
        if (p.mode == 0)  // the default sink was flushed through putrunlen, unmarked
            expected.erase(expected.begin() + static_cast<long>(own.flush_at));
        EXPECT_EQ(events, expected);
        EXPECT_EQ(report.lines, own.report.lines);
        EXPECT_EQ(report.concealed, own.report.concealed);
        EXPECT_EQ(report.clean, own.report.clean);
    }
}

TEST(FastDecoderContext, RejectsWidthsOutsideTheLineRange)
{
    EXPECT_EQ(t4dec_context_new(0), nullptr);
    EXPECT_EQ(t4dec_context_new(32761), nullptr);
    t4dec_context *ctx = t4dec_context_new(32760);
    ASSERT_NE(ctx, nullptr);
    const uint8_t eofb[] = {0x00, 0x08, 0x80};
    EXPECT_EQ(t4dec_decode_ctx(ctx, eofb, 3, 3, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(t4dec_decode_ctx(ctx, eofb, 3, 2, nullptr, nullptr, nullptr, nullptr), 0);
    t4dec_context_free(ctx);
    EXPECT_EQ(t4dec_decode_ctx(nullptr, eofb, 3, 3, nullptr, nullptr, nullptr, nullptr), 0);
}

}  // namespace
