// Our decoders against libtiff's on the same dense text pages (1728 x 2200,
// coded by libtiff), side by side in one run: each iteration decodes the page
// once with each codec, in alternating order, lines to the caller. Counters:
// thread CPU microseconds a page for each and libtiff's time over ours (the
// speedup).
// Built when libtiff is found.
#include <benchmark/benchmark.h>

#include <tiffio.h>

#include <algorithm>
#include <ctime>
#include <cstdint>
#include <cstring>
#include <vector>

#include "t4/t4dec.h"
#include "tests/support/test_pages.h"
#include "tests/support/tiff_oracle.h"

namespace {

constexpr int ROWS = 2200;

// A TIFF file in memory, as libtiff reads it through client procedures.
struct mem_file {
    std::vector<uint8_t> bytes;
    toff_t pos = 0;
};

tmsize_t mem_read(thandle_t h, void *buf, tmsize_t size)
{
    auto *f = static_cast<mem_file *>(h);
    if (f->pos >= f->bytes.size())
        return 0;
    const auto n = std::min<tmsize_t>(size, static_cast<tmsize_t>(f->bytes.size() - f->pos));
    std::memcpy(buf, f->bytes.data() + f->pos, static_cast<std::size_t>(n));
    f->pos += static_cast<toff_t>(n);
    return n;
}

tmsize_t mem_write(thandle_t h, void *buf, tmsize_t size)
{
    auto *f = static_cast<mem_file *>(h);
    const std::size_t end = static_cast<std::size_t>(f->pos) + static_cast<std::size_t>(size);
    if (f->bytes.size() < end)
        f->bytes.resize(end);
    std::memcpy(f->bytes.data() + f->pos, buf, static_cast<std::size_t>(size));
    f->pos = end;
    return size;
}

toff_t mem_seek(thandle_t h, toff_t off, int whence)
{
    auto *f = static_cast<mem_file *>(h);
    const toff_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f->pos : f->bytes.size();
    f->pos = base + off;
    return f->pos;
}

int mem_close(thandle_t) { return 0; }
toff_t mem_size(thandle_t h) { return static_cast<mem_file *>(h)->bytes.size(); }
int mem_map(thandle_t, void **, toff_t *) { return 0; }
void mem_unmap(thandle_t, void *, toff_t) {}

TIFF *open_mem(mem_file &f, const char *mode)
{
    f.pos = 0;
    return TIFFClientOpen("bench", mode, &f, mem_read, mem_write, mem_seek, mem_close, mem_size,
                          mem_map, mem_unmap);
}

// A one-strip TIFF holding the coded page as its raw strip.
bool wrap_strip(mem_file &f, const std::vector<uint8_t> &coded, int compression, int k_factor)
{
    TIFF *tif = open_mem(f, "w");
    if (tif == nullptr)
        return false;
    bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t{testpages::kWidth}) &&
              TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t{ROWS}) &&
              TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1) &&
              TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1) &&
              TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE) &&
              TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB) &&
              TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t{ROWS}) &&
              TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
              TIFFSetField(tif, TIFFTAG_XRESOLUTION, 204.0f) &&
              TIFFSetField(tif, TIFFTAG_YRESOLUTION, k_factor == 4 ? 196.0f : 98.0f);
    if (compression == tifforacle::MMR)
        ok = ok && TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    else
        ok = ok && TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3) &&
             TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS,
                          uint32_t{compression == tifforacle::MR ? GROUP3OPT_2DENCODING : 0u});
    ok = ok && TIFFWriteRawStrip(tif, 0, const_cast<uint8_t *>(coded.data()),
                                 static_cast<tmsize_t>(coded.size())) > 0;
    TIFFClose(tif);
    return ok;
}

int64_t lines_seen;
void count_line(const unsigned char *, int) { ++lines_seen; }

// CPU time of this thread: other loads on the machine do not count.
double thread_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// args: compression (0 MH, 1 MR K=4, 3 MMR)
void BM_DecodeVsLibtiff(benchmark::State &state)
{
    const int compression = static_cast<int>(state.range(0));
    const auto page = testpages::text_page(ROWS, 7);
    const auto coded = tiff_encode(page, compression, 4);
    mem_file file;
    if (coded.empty() || !wrap_strip(file, coded, compression, 4)) {
        state.SkipWithError("libtiff could not code the page");
        return;
    }
    TIFF *tif = open_mem(file, "r");
    if (tif == nullptr) {
        state.SkipWithError("libtiff could not read the page");
        return;
    }
    std::vector<uint8_t> bitmap(static_cast<std::size_t>(TIFFStripSize(tif)));
    t4dec_set_width(testpages::kWidth);

    auto ours = [&] {
        lines_seen = 0;
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
    ->ArgName("compression")
    ->Arg(0)
    ->Arg(1)
    ->Arg(3)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
