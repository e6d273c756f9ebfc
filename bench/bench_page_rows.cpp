// Pages of the example fax files decoded to rows: packed bits (what C callers
// get), one byte a pixel (what Python's rows() hands numpy), and packed bits
// unpacked afterwards (the path the byte rows replace). Items are pages.
// WriteOnly writes as many byte rows as the page has, with no decoding: the
// memory traffic alone that byte rows cost, for comparison with Packed.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "faxfile/fax_file.h"
#include "t4/page_rows.h"

namespace {

using fax_ptr = std::unique_ptr<fax_file, decltype(&fax_file_close)>;

fax_ptr open_example(const char *name)
{
    const std::string path = std::string(TAVRIN_EXAMPLES_DIR) + "/" + name;
    return fax_ptr(fax_file_open(path.c_str(), nullptr, nullptr), fax_file_close);
}

struct unpack_table {
    uint64_t bytes[256];
    unpack_table()
    {
        for (int value = 0; value < 256; ++value) {
            uint8_t eight[8];
            for (int bit = 0; bit < 8; ++bit)
                eight[bit] = static_cast<uint8_t>((value >> (7 - bit)) & 1);
            std::memcpy(&bytes[value], eight, 8);
        }
    }
    const uint64_t &operator[](uint8_t value) const { return bytes[value]; }
};
const unpack_table unpacked_byte;

void decode_first_page(benchmark::State &state, const char *name, int flags, bool unpack)
{
    fax_ptr fax = open_example(name);
    if (!fax || fax->page_count == 0) {
        state.SkipWithError("example fax file missing");
        return;
    }
    const fax_page &page = fax->pages[0];
    for (auto _ : state) {
        t4_rows_owner rows;  // afresh each time, as each Python call does
        t4_page_to_rows(nullptr, page.data, page.length, fax->decode_mode, T4_ROWS_OWN | flags, 0,
                        &rows.value, nullptr);
        if (unpack) {
            // A byte to eight bytes by a table, as numpy's unpackbits does.
            const std::size_t n = static_cast<std::size_t>(rows.value.lines) * rows.value.row_bytes;
            std::unique_ptr<uint8_t[]> pixels(new uint8_t[n * 8]);
            for (std::size_t i = 0; i < n; ++i)
                std::memcpy(&pixels[8 * i], &unpacked_byte[rows.value.bits[i]], 8);
            benchmark::DoNotOptimize(pixels.get());
        }
        benchmark::DoNotOptimize(rows.value.bits);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// Writes the first page's byte rows, a row at a time, into a buffer of the
// size the decoder reserves, fresh each time.
void write_only(benchmark::State &state, const char *name)
{
    fax_ptr fax = open_example(name);
    if (!fax || fax->page_count == 0) {
        state.SkipWithError("example fax file missing");
        return;
    }
    t4_rows_owner rows;
    t4_page_to_rows(nullptr, fax->pages[0].data, fax->pages[0].length, fax->decode_mode,
                    T4_ROWS_OWN | T4_ROWS_BYTE_PIXELS, 0, &rows.value, nullptr);
    const std::size_t row_bytes = static_cast<std::size_t>(rows.value.row_bytes);
    const std::size_t lines = static_cast<std::size_t>(rows.value.lines);
    const std::size_t capacity = rows.value.capacity;
    for (auto _ : state) {
        std::unique_ptr<uint8_t[]> pixels(new uint8_t[capacity]);
        for (std::size_t line = 0; line < lines; ++line)
            std::memset(&pixels[line * row_bytes], 0, row_bytes);
        benchmark::DoNotOptimize(pixels.get());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_PageRowsPacked(benchmark::State &state, const char *name) { decode_first_page(state, name, 0, false); }
void BM_PageRowsWriteOnly(benchmark::State &state, const char *name) { write_only(state, name); }
void BM_PageRowsBytes(benchmark::State &state, const char *name)
{
    decode_first_page(state, name, T4_ROWS_BYTE_PIXELS, false);
}
void BM_PageRowsUnpacked(benchmark::State &state, const char *name) { decode_first_page(state, name, 0, true); }

}  // namespace

BENCHMARK_CAPTURE(BM_PageRowsPacked, mh, "sample.fax");
BENCHMARK_CAPTURE(BM_PageRowsBytes, mh, "sample.fax");
BENCHMARK_CAPTURE(BM_PageRowsUnpacked, mh, "sample.fax");
BENCHMARK_CAPTURE(BM_PageRowsWriteOnly, mh, "sample.fax");
BENCHMARK_CAPTURE(BM_PageRowsPacked, mr, "sample_mr.fax");
BENCHMARK_CAPTURE(BM_PageRowsBytes, mr, "sample_mr.fax");
BENCHMARK_CAPTURE(BM_PageRowsUnpacked, mr, "sample_mr.fax");
BENCHMARK_CAPTURE(BM_PageRowsWriteOnly, mr, "sample_mr.fax");
BENCHMARK_CAPTURE(BM_PageRowsPacked, mmr, "sample_mmr.fax");
BENCHMARK_CAPTURE(BM_PageRowsBytes, mmr, "sample_mmr.fax");
BENCHMARK_CAPTURE(BM_PageRowsUnpacked, mmr, "sample_mmr.fax");
BENCHMARK_CAPTURE(BM_PageRowsWriteOnly, mmr, "sample_mmr.fax");
