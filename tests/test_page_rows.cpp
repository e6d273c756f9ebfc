// Pages to rows and back: the rows equal those that the decoder's runs and
// ends of line paint, on whole, damaged and random data; coded rows decode
// to themselves; the decoder's and encoder's messages reach the callback.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "faxfile/fax_file.h"
#include "t4/page_rows.h"
#include "tests/support/capture.h"
#include "tests/support/test_pages.h"

namespace {

using bytes = std::vector<uint8_t>;
const std::string kExamples = EXAMPLES_DIR;

// The rows as the converter paints them from runs: the reference.
struct run_rows {
    bytes rows, current = bytes(216, 0);
    int64_t position = 0;
};

void paint_run(void *user, int32_t run)
{
    auto &r = *static_cast<run_rows *>(user);
    const int64_t n = run < 0 ? -static_cast<int64_t>(run) : run;
    int64_t x = r.position % 1728;
    r.position += n;
    if (run < 0)
        for (int64_t i = 0; i < std::min<int64_t>(n, 1728); ++i, x = (x + 1) % 1728)
            r.current[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
}

void close_row(void *user)
{
    auto &r = *static_cast<run_rows *>(user);
    r.rows.insert(r.rows.end(), r.current.begin(), r.current.end());
    r.current.assign(216, 0);
    r.position = 0;
}

bytes rows_from_runs(const uint8_t *data, std::size_t length, int mode, t4dec_report &report)
{
    run_rows r;
    t4dec_context *ctx = t4dec_context_new(1728);
    t4dec_decode_ctx(ctx, data, static_cast<int>(length & ~std::size_t{1}), mode, paint_run, nullptr,
                     close_row, &r);
    t4dec_context_report(ctx, &report);
    t4dec_context_free(ctx);
    return r.rows;
}

void expect_same_rows(const uint8_t *data, std::size_t length, int mode, const std::string &what)
{
    t4dec_report expected_report{}, report{};
    const bytes expected = rows_from_runs(data, length, mode, expected_report);
    t4_rows_owner rows;
    ASSERT_EQ(t4_page_to_rows(nullptr, data, length, mode, T4_ROWS_DECODER_LINES, 0, &rows.value, &report), T4_PAGE_OK) << what;
    ASSERT_EQ(rows.value.row_bytes, 216);
    ASSERT_EQ(static_cast<std::size_t>(rows.value.lines) * 216, expected.size()) << what;
    if (!expected.empty()) {
        EXPECT_EQ(std::memcmp(rows.value.bits, expected.data(), expected.size()), 0) << what;
    }
    EXPECT_EQ(report.lines, expected_report.lines) << what;
    EXPECT_EQ(report.concealed, expected_report.concealed) << what;
    EXPECT_EQ(report.clean, expected_report.clean) << what;
    // Byte pixels, painted from the same spans: the packed rows unpacked.
    for (int flags : {T4_ROWS_DECODER_LINES, T4_ROWS_OWN}) {
        t4_rows_owner packed, pixels;
        ASSERT_EQ(t4_page_to_rows(nullptr, data, length, mode, flags, 0, &packed.value, nullptr), T4_PAGE_OK);
        ASSERT_EQ(t4_page_to_rows(nullptr, data, length, mode, flags | T4_ROWS_BYTE_PIXELS, 0, &pixels.value,
                                  nullptr),
                  T4_PAGE_OK);
        ASSERT_EQ(pixels.value.row_bytes, 1728);
        ASSERT_EQ(pixels.value.lines, packed.value.lines) << what;
        const std::size_t count = static_cast<std::size_t>(pixels.value.lines) * 1728;
        std::size_t wrong = 0;
        for (std::size_t at = 0; at < count; ++at)
            wrong += pixels.value.bits[at] != ((packed.value.bits[at / 8] >> (7 - at % 8)) & 1);
        EXPECT_EQ(wrong, 0u) << what << " flags " << flags;
    }
}

TEST(PageRows, ExamplesAndDamagedCopiesPaintAsTheRuns)
{
    std::mt19937 random(7);
    for (const char *name : {"sample.fax", "sample_mr.fax", "sample_mmr.fax"}) {
        fax_file_ptr file(fax_file_open((kExamples + "/" + name).c_str(), nullptr, nullptr));
        ASSERT_TRUE(file) << name;
        ASSERT_GT(file->page_count, 0u);
        for (std::size_t p = 0; p < file->page_count; ++p) {
            const fax_page &page = file->pages[p];
            expect_same_rows(page.data, page.length, file->decode_mode, name);
            // Flipped bits and cut pages: broken and concealed lines, runs left open.
            for (int round = 0; round < 6; ++round) {
                bytes damaged(page.data, page.data + page.length);
                for (int flip = 0; flip < 1 + round * 3; ++flip)
                    damaged[random() % damaged.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
                damaged.resize(damaged.size() - random() % (damaged.size() / 2));
                expect_same_rows(damaged.data(), damaged.size(), file->decode_mode,
                                 std::string(name) + " damaged " + std::to_string(round));
            }
        }
    }
}

TEST(PageRows, RefusalsLeaveNoRows)
{
    const bytes page(64, 0);
    t4_rows_owner rows;
    EXPECT_EQ(t4_page_to_rows(nullptr, page.data(), page.size(), 2, T4_ROWS_OWN, 0, &rows.value, nullptr),
              T4_PAGE_BAD_MODE);
    EXPECT_EQ(rows.value.lines, 0);

    // MMR white lines cost a bit each: a limit keeps a small input from growing far.
    const bytes white_mmr(4096, 0xFF);
    ASSERT_EQ(t4_page_to_rows(nullptr, white_mmr.data(), white_mmr.size(), T4DEC_MODE_MMR, T4_ROWS_DECODER_LINES, 1000,
                              &rows.value, nullptr),
              T4_PAGE_TOO_MANY_LINES);
    EXPECT_EQ(rows.value.lines, 0);
    ASSERT_EQ(t4_page_to_rows(nullptr, white_mmr.data(), white_mmr.size(), T4DEC_MODE_MMR, T4_ROWS_DECODER_LINES, 0,
                              &rows.value, nullptr),
              T4_PAGE_OK);
    EXPECT_GT(rows.value.lines, 1000);

    // Empty data: no rows, no failure; an odd last byte is not read.
    const uint8_t one = 0;
    EXPECT_EQ(t4_page_to_rows(nullptr, &one, 1, T4DEC_MODE_MH, T4_ROWS_OWN, 0, &rows.value, nullptr), T4_PAGE_OK);
    EXPECT_EQ(rows.value.lines, 0);
}

// A page of exactly the limit's rows, as the coder writes it, decodes: the
// end markers' white lines are not the page's. One row fewer is refused.
TEST(PageRows, LimitCountsThePagesOwnRows)
{
    testpages::page text = testpages::text_page(120, 3);
    const bytes packed = testpages::pack(text);
    const int32_t lines = static_cast<int32_t>(text.lines.size());
    for (int mode : {ENCT4_MODE_MH, ENCT4_MODE_MR, ENCT4_MODE_MMR}) {
        t4_coded_owner coded;
        ASSERT_EQ(t4_rows_to_page(nullptr, packed.data(), lines, 216, mode, RES_FINE, 0, &coded.value), T4_PAGE_OK);
        t4_rows_owner rows;
        ASSERT_EQ(t4_page_to_rows(nullptr, coded.value.bytes, coded.value.length, mode, T4_ROWS_OWN, lines,
                                  &rows.value, nullptr),
                  T4_PAGE_OK)
            << "mode " << mode;
        EXPECT_EQ(rows.value.lines, lines);
        EXPECT_EQ(t4_page_to_rows(nullptr, coded.value.bytes, coded.value.length, mode, T4_ROWS_OWN, lines - 1,
                                  &rows.value, nullptr),
                  T4_PAGE_TOO_MANY_LINES)
            << "mode " << mode;
        EXPECT_EQ(rows.value.lines, 0);
    }
}

// Widths that end inside a word (the coder makes lines at least 1728 wide):
// the byte pixels' last, partial word.
TEST(PageRows, BytePixelsOfEveryWidthAreThePackedRowsUnpacked)
{
    std::mt19937 random(5);
    for (int32_t row_bytes : {217, 225, 300, 3999}) {
        const int32_t width = 8 * row_bytes, lines = 40;
        bytes packed(static_cast<std::size_t>(row_bytes * lines));
        for (std::size_t i = 0; i < packed.size(); ++i)  // runs of all lengths, words all white and all black
            packed[i] = i % 5 == 0 ? 0 : i % 5 == 1 ? 0xFF : static_cast<uint8_t>(random());
        t4_coded_owner coded;
        ASSERT_EQ(t4_rows_to_page(nullptr, packed.data(), lines, row_bytes, ENCT4_MODE_MMR, RES_FINE, 0, &coded.value),
                  T4_PAGE_OK);
        t4dec_context *ctx = t4dec_context_new(width);
        ASSERT_NE(ctx, nullptr);
        t4_rows_owner rows, pixels;
        EXPECT_EQ(t4_page_to_rows(ctx, coded.value.bytes, coded.value.length, T4DEC_MODE_MMR, T4_ROWS_OWN, 0,
                                  &rows.value, nullptr),
                  T4_PAGE_OK);
        EXPECT_EQ(t4_page_to_rows(ctx, coded.value.bytes, coded.value.length, T4DEC_MODE_MMR,
                                  T4_ROWS_OWN | T4_ROWS_BYTE_PIXELS, 0, &pixels.value, nullptr),
                  T4_PAGE_OK);
        t4dec_context_free(ctx);
        ASSERT_EQ(rows.value.lines, lines) << width;
        ASSERT_EQ(pixels.value.row_bytes, width);
        ASSERT_EQ(pixels.value.lines, lines);
        EXPECT_EQ(std::memcmp(rows.value.bits, packed.data(), packed.size()), 0) << width;
        std::size_t wrong = 0;
        for (std::size_t at = 0; at < packed.size() * 8; ++at)
            wrong += pixels.value.bits[at] != ((packed[at / 8] >> (7 - at % 8)) & 1);
        EXPECT_EQ(wrong, 0u) << width;
    }
}

TEST(PageRows, CodedRowsDecodeToThemselvesInEveryCoding)
{
    testpages::page text = testpages::text_page(120, 3);
    testpages::page hard = testpages::worst_case_page();
    for (testpages::page *p : {&text, &hard}) {
        const bytes packed = testpages::pack(*p);
        const int32_t lines = static_cast<int32_t>(p->lines.size());
        for (int mode : {ENCT4_MODE_MH, ENCT4_MODE_MR, ENCT4_MODE_MMR}) {
            for (int resolution : {RES_NORMAL, RES_FINE}) {
                t4_coded_owner coded;
                ASSERT_EQ(t4_rows_to_page(nullptr, packed.data(), lines, 216, mode, resolution, 0,
                                          &coded.value),
                          T4_PAGE_OK);
                EXPECT_EQ(coded.value.length % 2, 0u);
                t4_rows_owner rows, all;
                t4dec_report report{};
                ASSERT_EQ(t4_page_to_rows(nullptr, coded.value.bytes, coded.value.length, mode,
                                          T4_ROWS_OWN, 0, &rows.value, &report),
                          T4_PAGE_OK);
                // The page's own rows are the rows coded, no more, no fewer.
                ASSERT_EQ(rows.value.lines, lines) << p->name << " mode " << mode;
                EXPECT_EQ(std::memcmp(rows.value.bits, packed.data(), packed.size()), 0)
                    << p->name << " mode " << mode;
                // One byte a pixel: the same rows unpacked.
                t4_rows_owner pixels;
                ASSERT_EQ(t4_page_to_rows(nullptr, coded.value.bytes, coded.value.length, mode,
                                          T4_ROWS_OWN | T4_ROWS_BYTE_PIXELS, 0, &pixels.value, nullptr),
                          T4_PAGE_OK);
                ASSERT_EQ(pixels.value.row_bytes, 1728);
                ASSERT_EQ(pixels.value.lines, lines);
                for (std::size_t at = 0; at < packed.size() * 8; ++at)
                    ASSERT_EQ(pixels.value.bits[at], (packed[at / 8] >> (7 - at % 8)) & 1) << at;
                // Every decoder line: MH's opening white line first, and the
                // white lines of the end markers after the page.
                ASSERT_EQ(t4_page_to_rows(nullptr, coded.value.bytes, coded.value.length, mode,
                                          T4_ROWS_DECODER_LINES, 0, &all.value, nullptr),
                          T4_PAGE_OK);
                const int32_t opening = mode == ENCT4_MODE_MH ? 1 : 0;
                const int32_t trailing = all.value.lines - lines - opening;
                EXPECT_GE(trailing, 1) << p->name << " mode " << mode;
                EXPECT_LE(trailing, 5);
                EXPECT_EQ(std::memcmp(all.value.bits + opening * 216, packed.data(), packed.size()), 0);
                bytes outside(all.value.bits, all.value.bits + opening * 216);
                outside.insert(outside.end(), all.value.bits + (opening + lines) * 216,
                               all.value.bits + all.value.lines * 216);
                EXPECT_EQ(outside, bytes(outside.size(), 0));
                EXPECT_EQ(report.clean, 1) << p->name << " mode " << mode;
            }
        }
    }
}

TEST(PageRows, PageEndIsWhatAWholePageAppends)
{
    testpages::page p = testpages::text_page(30, 5);
    const bytes packed = testpages::pack(p);
    for (int mode : {ENCT4_MODE_MH, ENCT4_MODE_MR, ENCT4_MODE_MMR}) {
        t4_coded_owner page, bare;
        ASSERT_EQ(t4_rows_to_page(nullptr, packed.data(), 30, 216, mode, RES_FINE, 0, &page.value), T4_PAGE_OK);
        ASSERT_EQ(t4_rows_to_page(nullptr, packed.data(), 30, 216, mode, RES_FINE, T4_PAGE_BARE, &bare.value),
                  T4_PAGE_OK);
        uint8_t end[T4_PAGE_END_MAX];
        bytes joined(bare.value.bytes, bare.value.bytes + bare.value.length);
        const std::size_t count = t4_page_end(mode, joined.size(), end);
        joined.insert(joined.end(), end, end + count);
        EXPECT_EQ(joined, bytes(page.value.bytes, page.value.bytes + page.value.length)) << "mode " << mode;
    }
    // RTC: six EOLs (000000000001), tagged with a 1 in MR; then an even length.
    uint8_t end[T4_PAGE_END_MAX];
    ASSERT_EQ(t4_page_end(ENCT4_MODE_MH, 0, end), 10u);
    EXPECT_EQ(bytes(end, end + 10), (bytes{0x00, 0x08, 0x80, 0x00, 0x08, 0x80, 0x00, 0x08, 0x80, 0x00}));
    EXPECT_EQ(t4_page_end(ENCT4_MODE_MH, 1, end), 9u);
    ASSERT_EQ(t4_page_end(ENCT4_MODE_MR, 0, end), 10u);
    EXPECT_EQ(end[0], 0x00);
    EXPECT_EQ(end[1], 0x18);  // bits 11 and 12: the EOL's 1 and its tag
    EXPECT_EQ(t4_page_end(ENCT4_MODE_MR, 1, end), 11u);
    EXPECT_EQ(t4_page_end(ENCT4_MODE_MMR, 4, end), 0u);
    EXPECT_EQ(t4_page_end(ENCT4_MODE_MMR, 5, end), 1u);
    EXPECT_EQ(end[0], 0);
}

TEST(PageRows, BareAndConformingCoding)
{
    testpages::page p = testpages::text_page(30, 5);
    const bytes packed = testpages::pack(p);
    t4_coded_owner page, bare, conforming;
    ASSERT_EQ(t4_rows_to_page(nullptr, packed.data(), 30, 216, ENCT4_MODE_MR, RES_FINE, 0, &page.value),
              T4_PAGE_OK);
    ASSERT_EQ(t4_rows_to_page(nullptr, packed.data(), 30, 216, ENCT4_MODE_MR, RES_FINE, T4_PAGE_BARE,
                              &bare.value),
              T4_PAGE_OK);
    // RTC (six tagged EOLs, 78 bits) and the even length come only without BARE.
    EXPECT_GE(page.value.length, bare.value.length + 9);
    EXPECT_EQ(std::memcmp(page.value.bytes, bare.value.bytes, bare.value.length - 1), 0);

    // A line starting black under one white at pixel 0 and black at 1: the two codings differ.
    testpages::page b1{"b1", {testpages::white_line(), testpages::white_line()}};
    testpages::set_pixels(b1.lines[0], 1, 10);
    testpages::set_pixels(b1.lines[1], 0, 20);
    const bytes b1_packed = testpages::pack(b1);
    t4_coded_owner legacy;
    ASSERT_EQ(t4_rows_to_page(nullptr, b1_packed.data(), 2, 216, ENCT4_MODE_MMR, RES_FINE, 0,
                              &legacy.value),
              T4_PAGE_OK);
    ASSERT_EQ(t4_rows_to_page(nullptr, b1_packed.data(), 2, 216, ENCT4_MODE_MMR, RES_FINE,
                              T4_PAGE_CONFORMING, &conforming.value),
              T4_PAGE_OK);
    EXPECT_NE(bytes(legacy.value.bytes, legacy.value.bytes + legacy.value.length),
              bytes(conforming.value.bytes, conforming.value.bytes + conforming.value.length));

    EXPECT_EQ(t4_rows_to_page(nullptr, packed.data(), 30, 216, 2, RES_FINE, 0, &page.value),
              T4_PAGE_BAD_MODE);
    EXPECT_EQ(page.value.length, 0u);
}

struct heard {
    std::string text;
};
void hear(void *user, const char *text) { static_cast<heard *>(user)->text += text; }

TEST(ContextMessages, EncoderFailureReachesTheCallbackNotStdout)
{
    const bytes wide(4000 * 2, 0);
    enct4_context *ctx = enct4_context_new();
    heard h;
    enct4_context_set_messages(ctx, hear, &h);
    t4_coded_owner coded;
    testsupport::captured_output printed = testsupport::capture_output([&] {
        EXPECT_EQ(t4_rows_to_page(ctx, wide.data(), 2, 4000, ENCT4_MODE_MH, RES_FINE, 0, &coded.value),
                  T4_PAGE_CODER_FAILED);
    });
    EXPECT_EQ(h.text, "encode_g3_fax: Line size 4000 too large for encoding. Can't do that!\n");
    EXPECT_EQ(printed.out, "");

    // Without a callback the text goes to standard output, as it always did.
    enct4_context_set_messages(ctx, nullptr, nullptr);
    printed = testsupport::capture_output([&] {
        t4_rows_to_page(ctx, wide.data(), 2, 4000, ENCT4_MODE_MH, RES_FINE, 0, &coded.value);
    });
    EXPECT_EQ(printed.out, h.text);
    enct4_context_free(ctx);
}

}  // namespace
