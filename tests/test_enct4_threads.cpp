// Coding on contexts: each codes exactly as the plain functions do, keeps
// its failures and its conforming choice to itself, and four threads that
// code at once on four contexts get what one thread gets. Run under
// ThreadSanitizer this also proves the contexts share no state.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "t4/enct4.h"
#include "t4/enct4_internal.h"
#include "tests/enct4_harness.h"
#include "tests/support/test_pages.h"

namespace {

using namespace enct4test;

struct context_deleter {
    void operator()(enct4_context *ctx) const { enct4_context_free(ctx); }
};
using context_ptr = std::unique_ptr<enct4_context, context_deleter>;

// A context's source and sink, both behind `user`.
struct context_job {
    explicit context_job(std::vector<batch> page) : batches(std::move(page)) {}

    std::vector<batch> batches;
    std::size_t next = 0;
    std::vector<uint16_t> words;
    int sink_calls = 0;
    int fail_at_call = 0;  // 1-based sink call that fails with -4; 0: none
};

int job_source(void *user, unsigned char **first_line, int *line_count)
{
    auto &job = *static_cast<context_job *>(user);
    if (job.next >= job.batches.size())
        return -1;
    batch &b = job.batches[job.next++];
    *first_line = b.bytes.data();
    *line_count = b.count;
    return b.line_bytes;
}

int job_sink(void *user, const uint16_t *words, int word_count)
{
    auto &job = *static_cast<context_job *>(user);
    if (++job.sink_calls == job.fail_at_call)
        return -4;
    job.words.insert(job.words.end(), words, words + word_count);
    return word_count;
}

int code_on(enct4_context *ctx, const mode &m, context_job &job)
{
    switch (m.how) {
    case entry::mmr:
        return enct4_MMR_ctx(ctx, job_source, job_sink, &job);
    case entry::mh_only:
        return enct4_mh_ctx(ctx, job_source, job_sink, &job);
    case entry::g3:
        break;
    }
    return enct4_g3_ctx(ctx, job_source, job_sink, &job, m.compression, m.resolution);
}

// Pages that start black or white, with lines that start black, in two
// batches, at a width the coders widen and at the usual one.
std::vector<std::vector<batch>> sample_pages()
{
    std::vector<std::vector<batch>> pages;
    std::mt19937 rng(11);
    for (int bytes : {100, testpages::kLineBytes}) {
        const testpages::page text = testpages::text_page(60, 3);
        std::vector<testpages::line> noise;
        for (int y = 0; y < 40; ++y) {
            testpages::line l(static_cast<std::size_t>(bytes));
            for (auto &b : l)
                b = static_cast<uint8_t>(rng() & rng());
            noise.push_back(l);
        }
        pages.push_back({make_batch(text.lines, bytes), make_batch(noise, bytes)});
    }
    return pages;
}

constexpr mode MODES[] = {MH, MR_K2, MR_K4, MMR, MMR_DIRECT, MH_ONLY};

// What the plain functions give, with the default context conforming or not.
coded plain_coding(const mode &m, const std::vector<batch> &page, bool conforming)
{
    enct4_set_conforming(conforming ? 1 : 0);
    start(page);
    coded c;
    c.result = run_coder(m);
    c.words = sink.words;
    enct4_set_conforming(0);
    return c;
}

TEST(EncoderContext, CodesAsThePlainFunctions)
{
    context_ptr ctx(enct4_context_new());
    ASSERT_NE(ctx, nullptr);
    for (const auto &page : sample_pages())
        for (const mode &m : MODES)
            for (bool conforming : {false, true}) {
                const coded want = plain_coding(m, page, conforming);
                enct4_context_set_conforming(ctx.get(), conforming ? 1 : 0);
                context_job job{page};
                EXPECT_EQ(code_on(ctx.get(), m, job), want.result) << m.name << conforming;
                EXPECT_EQ(job.words, want.words) << m.name << conforming;
            }
}

TEST(EncoderContext, FailuresAndChoicesStayWithTheirContext)
{
    const std::vector<batch> page = sample_pages()[1];
    context_ptr failing(enct4_context_new());
    context_ptr other(enct4_context_new());
    ASSERT_NE(failing, nullptr);
    ASSERT_NE(other, nullptr);
    enct4_context_set_conforming(failing.get(), 1);
    context_job broken{page};
    broken.fail_at_call = 2;
    EXPECT_EQ(enct4_MMR_ctx(failing.get(), job_source, job_sink, &broken), -4);
    // Neither the default context nor another saw the failure or the choice.
    EXPECT_EQ(enct4_status(), 0);
    EXPECT_EQ(enct4_conforming(), 0);
    context_job fine{page};
    EXPECT_EQ(enct4_MMR_ctx(other.get(), job_source, job_sink, &fine), -1);
    EXPECT_EQ(fine.words, plain_coding(MMR_DIRECT, page, false).words);
    // The failed context codes again from a clean state.
    context_job again{page};
    EXPECT_EQ(enct4_MMR_ctx(failing.get(), job_source, job_sink, &again), -1);
    EXPECT_EQ(again.words, plain_coding(MMR_DIRECT, page, true).words);
    // Missing callbacks fail as with the plain functions.
    EXPECT_EQ(enct4_g3_ctx(other.get(), nullptr, job_sink, &fine, 0, 0), 1);
    EXPECT_EQ(enct4_g3_ctx(other.get(), job_source, nullptr, &fine, 0, 0), 1);
}

TEST(ReentrantEncoding, FourThreadsFourContextsMatchOneThread)
{
    struct task {
        mode m;
        bool conforming;
        std::vector<batch> page;
        coded want;
    };
    std::vector<task> tasks;
    for (const auto &page : sample_pages())
        for (const mode &m : MODES)
            for (bool conforming : {false, true})
                tasks.push_back({m, conforming, page, plain_coding(m, page, conforming)});
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 2;
    std::vector<int> mismatches(THREADS, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            context_ptr ctx(enct4_context_new());
            if (!ctx) {
                ++mismatches[static_cast<std::size_t>(t)];
                return;
            }
            for (int round = 0; round < ROUNDS; ++round)
                for (std::size_t i = 0; i < tasks.size(); ++i) {
                    // Each thread takes the tasks in its own order.
                    const task &k = tasks[(i + static_cast<std::size_t>(t) * 5) % tasks.size()];
                    enct4_context_set_conforming(ctx.get(), k.conforming ? 1 : 0);
                    context_job job{k.page};
                    const int result = code_on(ctx.get(), k.m, job);
                    if (result != k.want.result || job.words != k.want.words)
                        ++mismatches[static_cast<std::size_t>(t)];
                }
        });
    for (auto &thread : threads)
        thread.join();
    for (int t = 0; t < THREADS; ++t)
        EXPECT_EQ(mismatches[static_cast<std::size_t>(t)], 0) << "thread " << t;
}

}  // namespace
