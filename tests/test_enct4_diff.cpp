// The encoder against the token-batch reference it replaced: every word and
// every result the same for every coding, both 2-D rules, any width and any
// split of the lines into batches; and the changing-element entry against
// the bitmap one.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "t4/enct4.h"
#include "t4/t4dec.h"
#include "tests/support/capture.h"
#include "tests/support/encoder_diff.h"
#include "tests/support/test_pages.h"

namespace {

using encdiff::all_settings;
using encdiff::compare;
using encdiff::input;
using encdiff::name_of;
using testpages::line;

input input_of(const testpages::page &p)
{
    input in;
    in.bytes = testpages::pack(p);
    return in;
}

void expect_same_everywhere(const input &in, const std::string &what)
{
    for (const auto &s : all_settings())
        EXPECT_EQ(compare(s, in), "") << what << ", " << name_of(s);
}

// As expect_same_everywhere, with the coders' messages kept off the output.
void expect_same_quietly(const input &in, const std::string &what)
{
    std::vector<std::string> differences;
    testsupport::capture_output([&] {
        for (const auto &s : all_settings())
            differences.push_back(compare(s, in));
    });
    for (std::size_t i = 0; i < differences.size(); ++i)
        EXPECT_EQ(differences[i], "") << what << ", " << name_of(all_settings()[i]);
}

// Lines of `bytes` bytes: noise of the given mean run, some lines starting
// black, some all black or all white.
input random_lines(int bytes, int count, uint32_t seed, int mean_run)
{
    std::mt19937 rng(seed);
    input in;
    in.line_bytes = bytes;
    for (int y = 0; y < count; ++y) {
        const unsigned kind = rng() % 8;
        bool black = kind == 0 || (rng() & 1) != 0;
        std::vector<uint8_t> l(static_cast<std::size_t>(bytes), 0);
        for (int x = 0; x < bytes * 8;) {
            const int n = kind == 1 ? bytes * 8 : 1 + static_cast<int>(rng() % (2 * mean_run));
            for (int i = x; black && i < x + n && i < bytes * 8; ++i)
                l[static_cast<std::size_t>(i / 8)] |= static_cast<uint8_t>(0x80 >> (i % 8));
            x += n;
            black = !black;
        }
        in.bytes.insert(in.bytes.end(), l.begin(), l.end());
    }
    return in;
}

// Lines that start black under a reference white at pixel 0 and black
// within pixels 1 to 3: where the two 2-D rules part.
testpages::page legacy_pattern_page()
{
    testpages::page p{"legacy b1", {}};
    for (int y = 0; y < 48; ++y) {
        line l = testpages::white_line();
        if (y % 2 == 0) {
            testpages::set_pixels(l, 1 + y % 3, 5 + y);
        } else {
            testpages::set_pixels(l, 0, 1 + y % 7);
            testpages::set_pixels(l, 40 + y, 3);
        }
        p.lines.push_back(std::move(l));
    }
    return p;
}

std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

uint32_t be32(const std::vector<uint8_t> &b, std::size_t at)
{
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

void keep_line(void *user, const unsigned char *l, int bytes)
{
    auto &p = *static_cast<testpages::page *>(user);
    p.lines.emplace_back(l, l + bytes);
}

// The example fax files' pages as the decoder draws them.
std::vector<testpages::page> example_pages()
{
    std::vector<testpages::page> pages;
    for (const char *name : {"sample.fax", "sample_mr.fax", "sample_mmr.fax"}) {
        const auto file = read_file(std::string(EXAMPLES_DIR) + "/" + name);
        if (file.size() < 8)
            continue;
        const std::size_t header = 8 + be32(file, 4);
        const std::string text(file.begin() + 8, file.begin() + static_cast<long>(header));
        const std::size_t c = text.find("COMPRESSION:");
        const int mode = c == std::string::npos ? 0 : text[c + 12] - '0';
        for (std::size_t at = header; at + 4 <= file.size();) {
            const std::size_t length = be32(file, at);
            if (at + 4 + length > file.size())
                break;
            testpages::page p{name, {}};
            t4dec_context *ctx = t4dec_context_new(1728);
            t4dec_decode_ctx(ctx, file.data() + at + 4, static_cast<int>(length), mode, nullptr,
                             keep_line, nullptr, &p);
            t4dec_context_free(ctx);
            pages.push_back(std::move(p));
            at += 4 + length;
        }
    }
    return pages;
}

TEST(EncoderDiff, PagesCodeTheSameInEverySetting)
{
    std::vector<testpages::page> pages = example_pages();
    EXPECT_GE(pages.size(), 3u);
    pages.push_back(testpages::text_page(600, 7));
    pages.push_back(testpages::random_page(300, 3, 2));
    pages.push_back(testpages::random_page(300, 4, 6));
    pages.push_back(testpages::random_page(300, 5, 40));
    pages.push_back(testpages::worst_case_page());
    pages.push_back(legacy_pattern_page());
    for (const auto &p : pages)
        expect_same_everywhere(input_of(p), p.name);
}

TEST(EncoderDiff, EveryWidthFromOnePixelByteTo2048Pixels)
{
    for (int bytes = 1; bytes <= 256; ++bytes)
        for (int mean_run : {1, 40})
            expect_same_everywhere(random_lines(bytes, 6, static_cast<uint32_t>(bytes * 7 + mean_run), mean_run),
                                   "bytes " + std::to_string(bytes) + " run " + std::to_string(mean_run));
}

TEST(EncoderDiff, WideLinesWithRunsBeyondTheLongestMakeUpCode)
{
    for (int bytes : {327, 328, 700, 2000, 3999}) {
        input in = random_lines(bytes, 12, static_cast<uint32_t>(bytes), 3000);
        expect_same_everywhere(in, "bytes " + std::to_string(bytes));
    }
}

// Lines of `bytes` bytes, three for every pixel p: black up to p, black
// from p on, and p alone black. MH codes a row word by word, so these put a
// change at each place within and between words and at the row's end.
input change_at_every_pixel(int bytes)
{
    input in;
    in.line_bytes = bytes;
    const auto paint = [&](int from, int to) {
        std::vector<uint8_t> l(static_cast<std::size_t>(bytes), 0);
        for (int x = from; x < to; ++x)
            l[static_cast<std::size_t>(x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
        in.bytes.insert(in.bytes.end(), l.begin(), l.end());
    };
    for (int p = 0; p <= 8 * bytes; ++p) {
        paint(0, p);
        paint(p, 8 * bytes);
        paint(p, std::min(p + 1, 8 * bytes));
    }
    return in;
}

TEST(EncoderDiff, MhRowsWithAChangeAtEveryPixel)
{
    // Whole and partial last words, rows narrower than, as wide as and wider
    // than a fax line, and wider than the longest single make-up code.
    for (int bytes : {1, 7, 8, 9, 16, 63, 64, 65, 215, 216, 217, 328, 329, 336}) {
        const input in = change_at_every_pixel(bytes);
        for (const auto &s : all_settings()) {
            if (s.compression != 0)
                continue;
            EXPECT_EQ(compare(s, in), "") << "bytes " << bytes << ", " << name_of(s);
        }
    }
}

TEST(EncoderDiff, AnySplitOfTheLinesIntoBatches)
{
    const input whole = input_of(testpages::text_page(300, 9));
    for (const std::vector<int> &split :
         {std::vector<int>(300, 1), std::vector<int>{2, 3, 7, 62, 63, 1}, std::vector<int>(20, 15),
          std::vector<int>{0, 0, 299}}) {
        input in = whole;
        in.batches = split;
        expect_same_everywhere(in, "split of " + std::to_string(split.size()));
    }
}

TEST(EncoderDiff, FailuresGiveTheSameResults)
{
    const input page = input_of(testpages::random_page(200, 8, 4));
    for (long words : {0L, 1L, 100L, 5000L, 20000L, 60000L}) {
        input in = page;
        in.fail_after_words = words;
        expect_same_quietly(in, "sink failing after " + std::to_string(words));
    }
    input changed = page;
    changed.batches = {50, 50, 50};
    changed.changed_size_at = 2;
    expect_same_quietly(changed, "line size changed");
    input empty;
    empty.end_value = -42;
    expect_same_quietly(empty, "no lines");
    expect_same_quietly(random_lines(4000, 1, 1, 8), "too wide");
}

// ---- Lines as changing elements --------------------------------------------

struct spans_job {
    int width = 0;
    std::vector<std::vector<int16_t>> lines;
    std::size_t next = 0;
    std::vector<uint16_t> words;
};

int give_spans(void *user, const int16_t **spans, int *count)
{
    auto &job = *static_cast<spans_job *>(user);
    if (job.next >= job.lines.size())
        return -1;
    const auto &l = job.lines[job.next++];
    *spans = l.data();
    *count = static_cast<int>(l.size());
    return job.width;
}

int keep_words(void *user, const uint16_t *words, int count)
{
    auto &job = *static_cast<spans_job *>(user);
    job.words.insert(job.words.end(), words, words + count);
    return 0;
}

// The black runs of each line, as the decoders' spans callback gives them.
spans_job spans_of(const input &in)
{
    spans_job job;
    job.width = 8 * in.line_bytes;
    for (int y = 0; y < encdiff::line_count(in); ++y) {
        std::vector<int16_t> s;
        bool black = false;
        for (int x = 0; x <= job.width; ++x) {
            const bool b = x < job.width &&
                           ((in.bytes[static_cast<std::size_t>(y * in.line_bytes + x / 8)] >> (7 - x % 8)) & 1);
            if (b != black)
                s.push_back(static_cast<int16_t>(x));
            black = b;
        }
        job.lines.push_back(std::move(s));
    }
    return job;
}

int code_spans(spans_job &job, const encdiff::setting &s)
{
    enct4_context *ctx = enct4_context_new();
    enct4_context_set_conforming(ctx, s.conforming ? 1 : 0);
    const int result = enct4_g3_spans_ctx(ctx, give_spans, keep_words, &job, s.compression, s.resolution);
    enct4_context_free(ctx);
    return result;
}

void expect_spans_as_rows(const input &in, const std::string &what)
{
    for (const auto &s : all_settings()) {
        if (s.how != encdiff::entry::g3)
            continue;
        spans_job job = spans_of(in);
        const int result = code_spans(job, s);
        const encdiff::outcome rows = encdiff::shipped(s, in);
        EXPECT_EQ(result, rows.result) << what << ", " << name_of(s);
        EXPECT_EQ(job.words, rows.words) << what << ", " << name_of(s);
    }
}

TEST(EncoderSpans, CodeAsTheRowsTheyDescribe)
{
    expect_spans_as_rows(input_of(testpages::text_page(400, 2)), "text");
    expect_spans_as_rows(input_of(testpages::worst_case_page()), "worst case");
    expect_spans_as_rows(input_of(legacy_pattern_page()), "legacy b1");
    for (int bytes : {1, 9, 100, 216, 256, 400})
        expect_spans_as_rows(random_lines(bytes, 20, static_cast<uint32_t>(bytes), 4),
                             "bytes " + std::to_string(bytes));
}

TEST(EncoderSpans, RefuseRunsOutOfOrderOrBeyondTheLine)
{
    std::vector<std::vector<int16_t>> bad = {{5}, {10, 5}, {3, 3}, {0, 1729}, {-1, 4},
                                             {4, 8, 8, 9}};
    // A step down deep in a long line, and more positions than the line has.
    std::vector<int16_t> dip(40), too_many(1730, 1728);
    for (int16_t i = 0; i < 40; ++i)
        dip[static_cast<std::size_t>(i)] = static_cast<int16_t>(10 * i + (i == 33 ? -15 : 0));
    too_many[0] = 0;
    bad.push_back(dip);
    bad.push_back(too_many);
    for (const auto &spans : bad) {
        spans_job job;
        job.width = 1728;
        job.lines = {{1, 2}, spans};
        std::string out = testsupport::capture_output([&] {
            EXPECT_EQ(code_spans(job, {encdiff::entry::g3, 3, 1, false}), 1);
        }).out;
        EXPECT_EQ(out, "enct4_MMR: Bad changing elements for encoding. Can't do that!\n");
    }
    spans_job ends_at_line_end;
    ends_at_line_end.width = 1728;
    ends_at_line_end.lines = {{1700, 1728}};
    EXPECT_EQ(code_spans(ends_at_line_end, {encdiff::entry::g3, 0, 1, false}), -1);
}

}  // namespace
