// Our decoders against libtiff's on the same dense text pages (1728 x 2200,
// coded by libtiff), side by side in one run: each iteration decodes the page
// once with each codec, in alternating order, lines to the caller: as
// bitmaps, or (form 1) ours as the black runs a painter takes (libtiff still
// fills its bitmap). Counters:
// thread CPU microseconds a page for each and libtiff's time over ours (the
// speedup).
// Built when libtiff is found.
#include <benchmark/benchmark.h>

#include <tiffio.h>

#include <ctime>
#include <cstdint>
#include <vector>

#include "t4/t4dec.h"
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

}  // namespace
