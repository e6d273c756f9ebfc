// Four threads decode at once, each on a context of its own, every mode in
// turn; each must get exactly what a fresh single-threaded decode gets. Run
// under ThreadSanitizer this also proves the contexts share no state.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "t4/t4dec.h"
#include "tests/support/decoder_diff.h"
#include "tests/support/test_pages.h"
#include "tests/support/tiff_oracle.h"

namespace {

struct job {
    int mode;
    std::vector<uint8_t> data;
    decdiff::outcome expected;
};

// Some pages are damaged so that concealment and line errors run too.
std::vector<job> make_jobs()
{
    std::vector<job> jobs;
    const testpages::page text = testpages::text_page(120, 9);
    for (int mode : {0, 1, 3}) {
        std::vector<uint8_t> data;
        if (tifforacle::available())
            data = tiff_encode(text, mode, 4);
        if (data.empty()) {
            std::mt19937 rng(static_cast<uint32_t>(mode));
            data.resize(3000);
            for (auto &b : data)
                b = static_cast<uint8_t>(rng() & rng());
        }
        jobs.push_back({mode, data, {}});
        std::vector<uint8_t> damaged = data;
        for (std::size_t i = 37; i < damaged.size(); i += 211)
            damaged[i] ^= 0x10;
        jobs.push_back({mode, damaged, {}});
    }
    for (auto &j : jobs)
        j.expected = decdiff::decode(false, j.data.data(), static_cast<int>(j.data.size()), j.mode,
                                     1728);
    return jobs;
}

TEST(ReentrantDecoding, FourThreadsFourContextsMatchSingleThreadedDecodes)
{
    const std::vector<job> jobs = make_jobs();
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 3;
    std::vector<int> mismatches(THREADS, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            t4dec_context *ctx = t4dec_context_new(1728);
            if (ctx == nullptr) {
                ++mismatches[static_cast<std::size_t>(t)];
                return;
            }
            for (int round = 0; round < ROUNDS; ++round)
                for (std::size_t i = 0; i < jobs.size(); ++i) {
                    // Each thread takes the jobs in its own order.
                    const job &j = jobs[(i + static_cast<std::size_t>(t) * 2) % jobs.size()];
                    decdiff::outcome got;
                    const int length = static_cast<int>(j.data.size());
                    got.result = t4dec_decode_ctx(ctx, j.data.data(), length, j.mode,
                                                  decdiff::on_run, decdiff::on_line,
                                                  decdiff::on_eol, &got.events);
                    t4dec_context_report(ctx, &got.report);
                    std::vector<int32_t> expected = j.expected.events;
                    if (j.mode == 0)  // the fresh decode also flushed its sink
                        expected.resize(j.expected.flush_at);
                    if (got.result != j.expected.result || got.events != expected ||
                        got.report.lines != j.expected.report.lines ||
                        got.report.concealed != j.expected.report.concealed ||
                        got.report.clean != j.expected.report.clean)
                        ++mismatches[static_cast<std::size_t>(t)];
                }
            t4dec_context_free(ctx);
        });
    for (auto &th : threads)
        th.join();
    for (int t = 0; t < THREADS; ++t)
        EXPECT_EQ(mismatches[static_cast<std::size_t>(t)], 0) << "thread " << t;
}

}  // namespace
