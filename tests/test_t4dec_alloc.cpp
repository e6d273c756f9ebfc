// Allocation failures in the decoders: the run sink reports and drops the
// token, MR and MMR return 0 without a callback. Allocations are made to fail
// by interposing malloc, which only works without a sanitizer's allocator.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "t4/t4dec.h"
#include "tests/support/decode_recorder.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define T4DEC_NO_MALLOC_HOOK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer) || \
    __has_feature(thread_sanitizer)
#define T4DEC_NO_MALLOC_HOOK 1
#endif
#endif
#if !defined(__GLIBC__)
#define T4DEC_NO_MALLOC_HOOK 1
#endif

namespace {

// Fails `fail` allocations of exactly `size` bytes after letting `skip` pass.
struct failure_plan {
    std::size_t size = 0;
    int skip = 0;
    int fail = 0;
};
failure_plan plan;

}  // namespace

#if !T4DEC_NO_MALLOC_HOOK
namespace {

bool planned_failure(std::size_t size)
{
    if (plan.fail == 0 || size != plan.size)
        return false;
    if (plan.skip > 0) {
        --plan.skip;
        return false;
    }
    --plan.fail;
    errno = ENOMEM;
    return true;
}

}  // namespace

extern "C" void *__libc_malloc(std::size_t size);
extern "C" void *__libc_calloc(std::size_t count, std::size_t size);

extern "C" void *malloc(std::size_t size) noexcept
{
    return planned_failure(size) ? nullptr : __libc_malloc(size);
}

// The compiler may turn malloc + memset into calloc.
extern "C" void *calloc(std::size_t count, std::size_t size) noexcept
{
    return planned_failure(count * size) ? nullptr : __libc_calloc(count, size);
}
#endif

namespace {

using namespace t4test;

class AllocationFailure : public ::testing::Test {
protected:
    void SetUp() override
    {
#if T4DEC_NO_MALLOC_HOOK
        GTEST_SKIP() << "malloc cannot be interposed in this build";
#endif
        t4dec_set_width(1728);
        putrunlen(1, 0, nullptr, nullptr, nullptr);
        rec.clear();
    }
    void TearDown() override
    {
        plan = {};
        t4dec_set_width(1728);
        putrunlen(1, 0, nullptr, nullptr, nullptr);
    }
    static void fail_next(std::size_t size, int count = 1, int skip = 0)
    {
        plan = {size, skip, count};
    }
};

TEST_F(AllocationFailure, SinkReportsDropsTheTokenAndRetriesOnTheNext)
{
    ::testing::internal::CaptureStderr();
    fail_next(2 * 216);
    putrunlen(0, RUN_EOL, record_run, record_line, record_eol);
    plan = {};
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "putrunlen: allocation error, 12\n");
    EXPECT_TRUE(rec.events.empty());
    putrunlen(0, RUN_EOL, record_run, record_line, record_eol);
    EXPECT_EQ(rec.summary(), "R1728 L E");
}

TEST_F(AllocationFailure, MhPageLosesOnlyTheTokenThatFoundNoBuffer)
{
    const std::vector<uint8_t> data = {0x00, 0xC8, 0x0A, 0x4C, 0x61, 0x07, 0x40};
    ::testing::internal::CaptureStderr();
    fail_next(2 * 216);
    EXPECT_EQ(t4dec_decode(data.data(), 7, 0, record_run, record_line, record_eol), 1);
    plan = {};
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "putrunlen: allocation error, 12\n");
    EXPECT_EQ(rec.summary(), "R0 R-1728 L E");  // the opening EOL was lost
}

TEST_F(AllocationFailure, FailedReallocationForANewWidthReleasesTheOldBuffer)
{
    putrunlen(0, 100 - 36, record_run, record_line, record_eol);  // buffer for 1728, make-up open
    t4dec_set_width(800);
    ::testing::internal::CaptureStderr();
    fail_next(2 * 100);
    putrunlen(0, 36, record_run, record_line, record_eol);
    plan = {};
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "putrunlen: allocation error, 12\n");
    putrunlen(0, 5, record_run, record_line, record_eol);
    putrunlen(0, RUN_EOL, record_run, record_line, record_eol);
    EXPECT_EQ(rec.summary(), "R69 R731 L E");  // only the token and the buffer were lost
    EXPECT_EQ(rec.events[2].bytes_per_line, 100);
}

// A context with a message function: the sink's failure goes to it, not to
// standard error; without one it goes to standard error as it always did.
TEST_F(AllocationFailure, ContextMessagesGoToItsFunction)
{
    const std::vector<uint8_t> data = {0x00, 0xC8, 0x0A, 0x4C, 0x61, 0x07, 0x40};
    t4dec_context *ctx = t4dec_context_new(1728);
    std::string heard;
    t4dec_context_set_messages(
        ctx, [](void *user, const char *text) { *static_cast<std::string *>(user) += text; }, &heard);
    auto eol = [](void *) {};
    ::testing::internal::CaptureStderr();
    fail_next(2 * 216);
    EXPECT_EQ(t4dec_decode_ctx(ctx, data.data(), 6, 0, nullptr, nullptr, eol, nullptr), 1);
    t4dec_context_set_messages(ctx, nullptr, nullptr);
    fail_next(2 * 216);
    t4dec_decode_ctx(ctx, data.data(), 6, 0, nullptr, nullptr, eol, nullptr);
    plan = {};
    EXPECT_EQ(heard, "putrunlen: allocation error, 12\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "putrunlen: allocation error, 12\n");
    t4dec_context_free(ctx);
}

class LineAllocationFailure : public AllocationFailure,
                              public ::testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(LineAllocationFailure, ReturnsZeroWithoutACallback)
{
    const auto [mode, which] = GetParam();  // which: 0 reference line, 1 coding line
    const auto data = pack_bits(eol_bits() + "1" + line_bits({100, 1628}) + eol_bits() + "1");
    fail_next(216, 1, which);
    EXPECT_EQ(t4dec_decode(data.data(), static_cast<int>(data.size()), mode, record_run,
                           record_line, record_eol),
              0);
    plan = {};
    EXPECT_TRUE(rec.events.empty()) << rec.summary();
}

INSTANTIATE_TEST_SUITE_P(MrAndMmr, LineAllocationFailure,
                         ::testing::Combine(::testing::Values(1, 3), ::testing::Values(0, 1)),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param) == 1 ? "MR" : "MMR") +
                                    (std::get<1>(info.param) == 0 ? "ReferenceLine" : "CodingLine");
                         });

}  // namespace
