// Our codecs against libtiff's on the same dense text pages (1728 x 2200),
// side by side in one run, in alternating order.
// Decoding (pages coded by libtiff): lines to the caller as bitmaps, or
// (form 1) ours as the black runs a painter takes (libtiff still fills its
// bitmap). Encoding: twelve fine pages from bitmaps into memory, ours
// through enct4_g3_ctx, libtiff's through TIFFWriteEncodedStrip (G3 1-D, G3
// 2-D K = 4, G4), and the token-batch encoder ours replaced.
// Counters: thread CPU microseconds a page for each and libtiff's time over
// ours (the speedup).
// Built when libtiff is found.
#include <benchmark/benchmark.h>

#include <tiffio.h>

#include <ctime>
#include <cstdint>
#include <vector>

#include "t4/enct4.h"
#include "t4/t4dec.h"
#include "tests/support/enct4_reference.h"
#include "tests/support/test_pages.h"
#include "tests/support/tiff_oracle.h"

namespace {

constexpr int ROWS = 2200;

int64_t lines_seen;
void count_line(const unsigned char *, int) { ++lines_seen; }
void count_spans(void *, const int16_t *, int, int) { ++lines_seen; }

// CPU time of this thread: other loads on the machine do not count.
double thread_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// args: compression (0 MH, 1 MR K=4, 3 MMR), form (0 bitmaps, 1 black runs)
void BM_DecodeVsLibtiff(benchmark::State &state)
{
    const int compression = static_cast<int>(state.range(0));
    const bool spans = state.range(1) != 0;
    const auto page = testpages::text_page(ROWS, 7);
    const auto coded = tiff_encode(page, compression, 4);
    tifforacle::mem_file file;
    if (coded.empty() ||
        !tifforacle::wrap_strip(file, coded, compression, testpages::kWidth, ROWS, 4)) {
        state.SkipWithError("libtiff could not code the page");
        return;
    }
    TIFF *tif = tifforacle::open_mem(file, "r");
    if (tif == nullptr) {
        state.SkipWithError("libtiff could not read the page");
        return;
    }
    std::vector<uint8_t> bitmap(static_cast<std::size_t>(TIFFStripSize(tif)));
    t4dec_set_width(testpages::kWidth);
    t4dec_context *ctx = t4dec_context_new(testpages::kWidth);

    auto ours = [&] {
        lines_seen = 0;
        if (spans)
            t4dec_decode_spans_ctx(ctx, coded.data(), static_cast<int>(coded.size()), compression,
                                   count_spans, nullptr);
        else
            t4dec_decode(coded.data(), static_cast<int>(coded.size()), compression, nullptr,
                         count_line, nullptr);
        benchmark::DoNotOptimize(lines_seen);
    };
    auto theirs = [&] {
        benchmark::DoNotOptimize(
            TIFFReadEncodedStrip(tif, 0, bitmap.data(), static_cast<tmsize_t>(bitmap.size())));
    };
    double ours_time = 0, theirs_time = 0;
    bool ours_first = true;
    for (auto _ : state) {
        for (int turn = 0; turn < 2; ++turn) {
            const double start = thread_seconds();
            (turn == 0) == ours_first ? ours() : theirs();
            ((turn == 0) == ours_first ? ours_time : theirs_time) += thread_seconds() - start;
        }
        ours_first = !ours_first;
    }
    TIFFClose(tif);
    t4dec_context_free(ctx);
    const double n = static_cast<double>(state.iterations());
    const double ours_us = ours_time * 1e6 / n;
    const double theirs_us = theirs_time * 1e6 / n;
    state.counters["ours_us"] = ours_us;
    state.counters["libtiff_us"] = theirs_us;
    state.counters["speedup"] = theirs_us / ours_us;
    state.counters["coded_bytes"] = static_cast<double>(coded.size());
    state.counters["lines"] = static_cast<double>(lines_seen);
}

BENCHMARK(BM_DecodeVsLibtiff)
    ->ArgNames({"compression", "form"})
    ->ArgsProduct({{0, 1, 3}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

// ---- Encoding ----------------------------------------------------------------

constexpr int PAGES = 12;

struct encode_job {
    const std::vector<uint8_t> *bits = nullptr;
    bool given = false;
    std::vector<uint16_t> words;
};

int give_page(void *user, unsigned char **first_line, int *line_count)
{
    auto &job = *static_cast<encode_job *>(user);
    if (job.given)
        return -1;
    job.given = true;
    *first_line = const_cast<unsigned char *>(job.bits->data());
    *line_count = ROWS;
    return testpages::kLineBytes;
}

int keep_words(void *user, const uint16_t *words, int count)
{
    auto &job = *static_cast<encode_job *>(user);
    job.words.insert(job.words.end(), words, words + count);
    return count;
}

// The pages of bench/make_fax_pages: dense text, fine resolution.
const std::vector<std::vector<uint8_t>> &text_pages()
{
    static const std::vector<std::vector<uint8_t>> pages = [] {
        std::vector<std::vector<uint8_t>> all;
        for (int n = 0; n < PAGES; ++n)
            all.push_back(testpages::pack(testpages::text_page(ROWS, 1000 + static_cast<uint32_t>(n))));
        return all;
    }();
    return pages;
}

// Each page coded by libtiff into `file`, a strip a page; the coded size of
// the last.
std::size_t libtiff_encode(const std::vector<std::vector<uint8_t>> &pages, int compression,
                           tifforacle::mem_file &file, benchmark::State &state)
{
    std::size_t coded = 0;
    for (const auto &bits : pages) {
        file.bytes.clear();
        TIFF *tif = tifforacle::open_mem(file, "w");
        if (tif == nullptr || !tifforacle::set_fax_fields(tif, compression, testpages::kWidth, ROWS, 4) ||
            TIFFWriteEncodedStrip(tif, 0, const_cast<uint8_t *>(bits.data()),
                                  static_cast<tmsize_t>(bits.size())) < 0)
            state.SkipWithError("libtiff could not code the page");
        coded = static_cast<std::size_t>(TIFFRawStripSize(tif, 0));
        TIFFClose(tif);
    }
    return coded;
}

// args: compression (0 MH, 1 MR K=4, 3 MMR), conforming 2-D coding (0, 1)
void BM_EncodeVsLibtiff(benchmark::State &state)
{
    const int compression = static_cast<int>(state.range(0));
    const bool conforming = state.range(1) != 0;
    const auto &pages = text_pages();
    enct4_context *ctx = enct4_context_new();
    enct4_context_set_conforming(ctx, conforming ? 1 : 0);
    encode_job job;
    job.words.reserve(1 << 20);
    tifforacle::mem_file file;
    file.bytes.reserve(1 << 21);
    std::size_t ours_bytes = 0, theirs_bytes = 0;

    auto ours = [&] {
        for (const auto &bits : pages) {
            job.bits = &bits;
            job.given = false;
            job.words.clear();
            enct4_g3_ctx(ctx, give_page, keep_words, &job, compression, 1);
            ours_bytes = 2 * job.words.size();
        }
    };
    auto before = [&] {
        for (const auto &bits : pages) {
            job.bits = &bits;
            job.given = false;
            job.words.clear();
            enct4ref::g3(conforming, give_page, keep_words, &job, compression, 1);
        }
    };
    auto theirs = [&] { theirs_bytes = libtiff_encode(pages, compression, file, state); };
    double times[3] = {0, 0, 0};
    int turn_order = 0;
    for (auto _ : state) {
        for (int turn = 0; turn < 3; ++turn) {
            const int who = (turn + turn_order) % 3;
            const double start = thread_seconds();
            who == 0 ? ours() : who == 1 ? theirs() : before();
            times[who] += thread_seconds() - start;
        }
        turn_order = (turn_order + 1) % 3;
    }
    enct4_context_free(ctx);
    const double n = static_cast<double>(state.iterations()) * PAGES;
    state.counters["ours_us"] = times[0] * 1e6 / n;
    state.counters["libtiff_us"] = times[1] * 1e6 / n;
    state.counters["before_us"] = times[2] * 1e6 / n;
    state.counters["speedup"] = times[1] / times[0];
    state.counters["vs_before"] = times[2] / times[0];
    state.counters["coded_bytes"] = static_cast<double>(ours_bytes);
    state.counters["libtiff_bytes"] = static_cast<double>(theirs_bytes);
}

BENCHMARK(BM_EncodeVsLibtiff)
    ->ArgNames({"compression", "conforming"})
    ->ArgsProduct({{0, 1, 3}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

// One contestant alone, for instruction counts under callgrind:
// who 0 ours, 1 libtiff, 2 the encoder ours replaced; one pass over the pages.
void BM_EncodeOnce(benchmark::State &state)
{
    const int compression = static_cast<int>(state.range(0));
    const int who = static_cast<int>(state.range(1));
    const auto &pages = text_pages();
    encode_job job;
    tifforacle::mem_file file;
    for (auto _ : state) {
        for (const auto &bits : pages) {
            job.bits = &bits;
            job.given = false;
            job.words.clear();
            if (who == 0) {
                enct4_context *ctx = enct4_context_new();
                enct4_g3_ctx(ctx, give_page, keep_words, &job, compression, 1);
                enct4_context_free(ctx);
            } else if (who == 2) {
                enct4ref::g3(false, give_page, keep_words, &job, compression, 1);
            } else {
                file.bytes.clear();
                TIFF *tif = tifforacle::open_mem(file, "w");
                tifforacle::set_fax_fields(tif, compression, testpages::kWidth, ROWS, 4);
                TIFFWriteEncodedStrip(tif, 0, const_cast<uint8_t *>(bits.data()),
                                      static_cast<tmsize_t>(bits.size()));
                TIFFClose(tif);
            }
        }
    }
}

BENCHMARK(BM_EncodeOnce)
    ->ArgNames({"compression", "who"})
    ->ArgsProduct({{0, 1, 3}, {0, 1, 2}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
