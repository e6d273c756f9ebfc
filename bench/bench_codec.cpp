// Decoding and encoding throughput of the T.4 codecs on a text-like page and
// a dense page, in every compression. Coded bytes per second are reported as
// the benchmark's byte rate; pages per second as its item rate.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/pelmorin.h"
#include "t4/enct4.h"
#include "t4/t4dec.h"
#include "tests/support/test_pages.h"

namespace {

// One page handed to the encoder as a single batch.
struct encode_job {
    std::vector<uint8_t> lines;
    int line_count = 0;
    bool delivered = false;
    std::vector<uint16_t> words;
};
encode_job *job;

int job_source(unsigned char **first_line, int *line_count)
{
    if (job->delivered)
        return -1;
    job->delivered = true;
    *first_line = job->lines.data();
    *line_count = job->line_count;
    return testpages::kLineBytes;
}

int job_sink(const uint16_t *words, int word_count)
{
    job->words.insert(job->words.end(), words, words + word_count);
    return word_count;
}

std::vector<uint16_t> encode_page(const testpages::page &p, int compression, int resolution)
{
    encode_job j;
    j.lines = testpages::pack(p);
    j.line_count = static_cast<int>(p.lines.size());
    job = &j;
    encode_g3_fax(job_source, job_sink, compression, resolution);
    job = nullptr;
    return std::move(j.words);
}

std::vector<uint8_t> to_bytes(const std::vector<uint16_t> &words)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(words.size() * 2);
    for (uint16_t w : words) {
        bytes.push_back(static_cast<uint8_t>(w & 0xFF));
        bytes.push_back(static_cast<uint8_t>(w >> 8));
    }
    return bytes;
}

testpages::page page_of_kind(int kind)
{
    // A4 at normal resolution is about 1100 lines; fine is twice that.
    return kind == 0 ? testpages::text_page(2200, 7) : testpages::random_page(2200, 7, 4);
}

int64_t decoded_lines;
void count_line(const unsigned char *, int) { ++decoded_lines; }

// args: compression (0 MH, 1 MR K=4, 3 MMR), page kind (0 text, 1 dense)
void BM_Decode(benchmark::State &state)
{
    const int compression = static_cast<int>(state.range(0));
    const auto data = to_bytes(encode_page(page_of_kind(static_cast<int>(state.range(1))),
                                           compression, 1));
    for (auto _ : state) {
        decoded_lines = 0;
        t4dec_decode(data.data(), static_cast<int>(data.size()), compression, nullptr,
                     count_line, nullptr);
        benchmark::DoNotOptimize(decoded_lines);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
    state.SetItemsProcessed(state.iterations());
    state.counters["coded_bytes"] = static_cast<double>(data.size());
}

void BM_Encode(benchmark::State &state)
{
    const int compression = static_cast<int>(state.range(0));
    const auto page = page_of_kind(static_cast<int>(state.range(1)));
    size_t coded = 0;
    for (auto _ : state) {
        auto words = encode_page(page, compression, 1);
        coded = words.size() * 2;
        benchmark::DoNotOptimize(words.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(coded));
    state.SetItemsProcessed(state.iterations());
    state.counters["coded_bytes"] = static_cast<double>(coded);
}

void codec_args(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"compression", "dense"});
    for (int compression : {0, 1, 3})
        for (int kind : {0, 1})
            b->Args({compression, kind});
    b->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Decode)->Apply(codec_args);
BENCHMARK(BM_Encode)->Apply(codec_args);

void put_be32(std::string &out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

// A fax file of `pages` fine-resolution MH text pages.
std::string fax_file(int pages)
{
    const std::string header = "RESOLUTION:1\nCOMPRESSION:0\n#PAGES:" + std::to_string(pages) + "\n\x1d";
    std::string out = "\xba\xdb\xad\x16";
    put_be32(out, static_cast<uint32_t>(header.size()));
    out += header;
    for (int i = 0; i < pages; ++i) {
        const auto data = to_bytes(encode_page(testpages::text_page(2200, 100 + i), 0, 1));
        put_be32(out, static_cast<uint32_t>(data.size()));
        out.append(reinterpret_cast<const char *>(data.data()), data.size());
    }
    return out;
}

// The whole program on a 50-page file: header, decoding, painting at high
// resolution, and writing the raster files.
void BM_Convert50Pages(benchmark::State &state)
{
    const auto dir = std::filesystem::temp_directory_path() /
                     ("pelmorin-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string input = (dir / "in.fax").string();
    const std::string stem = (dir / "page").string();
    const std::string data = fax_file(50);
    std::ofstream(input, std::ios::binary) << data;

    for (auto _ : state) {
        std::string a0 = "pelmorin", a1 = "-2", a2 = input, a3 = stem;
        char *argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), nullptr};
        benchmark::DoNotOptimize(pelmorin_main(4, argv));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
    state.SetItemsProcessed(state.iterations() * 50);
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_Convert50Pages)->Unit(benchmark::kMillisecond);

}  // namespace
