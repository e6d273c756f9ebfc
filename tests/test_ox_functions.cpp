#include "util/ox_functions.h"

#include "tests/support/capture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using testsupport::capture_output;

namespace {

class OxTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        setenv("TZ", "UTC", 1);  // report times of stamp 0 read "Jan  1 00:00"
        tzset();
    }
    // Every test leaves the tables as it found them.
    void TearDown() override
    {
        for (const auto &rec : ox_tracking.allocs)
            ASSERT_FALSE(rec.in_use) << rec.file << ":" << rec.line;
        for (const auto &rec : ox_tracking.files)
            ASSERT_EQ(rec.kind, OX_EMPTY) << rec.file << ":" << rec.line;
    }
};

int32_t slot_in_block(const void *p)
{
    int32_t slot;
    std::memcpy(&slot, static_cast<const char *>(p) - 8, sizeof slot);
    return slot;
}

TEST_F(OxTest, BlocksAreClearedFencedAndTakeTheLowestEmptySlot)
{
    std::vector<unsigned char *> blocks;
    for (std::size_t n : {0u, 1u, 7u, 13u}) {
        auto *p = static_cast<unsigned char *>(dmalloc(n, "layout.cpp", 10));
        ASSERT_NE(p, nullptr) << n;
        EXPECT_EQ(std::vector<unsigned char>(p, p + n), std::vector<unsigned char>(n, 0)) << n;
        EXPECT_EQ(std::memcmp(p - 4, "zzzz", 4), 0) << n;
        EXPECT_EQ(std::memcmp(p + n, "zzzz", 4), 0) << n;
        EXPECT_EQ(slot_in_block(p), dfind(p)) << n;
        blocks.push_back(p);
    }
    int freed_slot = dfind(blocks[1]);
    EXPECT_EQ(dfree(blocks[1], "layout.cpp", 11), 1);
    blocks[1] = static_cast<unsigned char *>(dmalloc(2, "layout.cpp", 12));
    EXPECT_EQ(slot_in_block(blocks[1]), freed_slot);
    auto out = capture_output([&] {
        for (auto *p : blocks)
            EXPECT_EQ(dfree(p, "layout.cpp", 13), 1);
    });
    EXPECT_EQ(out.err, "");
    EXPECT_EQ(dfind(blocks[0]), -1);
}

TEST_F(OxTest, DamageIsReportedByCheckAndByRelease)
{
    // At -8 the whole slot index is replaced, elsewhere one byte; dfree checks only the guards.
    const struct { const char *name; int offset; int32_t value; int dfree_result; } cases[] = {
        {"byte past the end", 5, 'x', 0},
        {"byte before the start", -1, 0, 0},
        {"negative slot index", -8, -1, 1},
        {"slot index above the high-water mark", -8, OX_ALLOC_SLOTS, 1},
    };
    for (const auto &c : cases) {
        void *clean = dmalloc(3, "clean.cpp", 1);
        auto *p = static_cast<char *>(dmalloc(5, "a_very_long_source_file.cpp", 42));
        ox_tracking.allocs[dfind(p)].time = 0;
        if (c.offset == -8)
            std::memcpy(p - 8, &c.value, sizeof c.value);
        else
            p[c.offset] = static_cast<char>(c.value);

        auto check = capture_output([] { dmalloc_check(); });
        EXPECT_EQ(check.out, "\aa_very_long_sour,   line   42,   Jan  1 00:00:      5 bytes  CORRUPTED!\n")
            << c.name;
        std::string slot = std::to_string(dfind(p));
        auto release = capture_output([&] { EXPECT_EQ(dfree(p, "release.cpp", 7), c.dfree_result) << c.name; });
        EXPECT_EQ(release.err, c.dfree_result ? "" : "\a\nError in dfree: freed by release.cpp, 7, freeing fname = "
                  "a_very_long_sour, line_no = 42, nbytes = 5, time = 0, indx = " + slot + "\n") << c.name;
        EXPECT_EQ(dfree(clean, "clean.cpp", 2), 1) << c.name;
    }
}

TEST_F(OxTest, BadReleasesAndClosesAreReportedAndNeverDereferenced)
{
    testsupport::temp_file file("data");
    auto *p = static_cast<char *>(dmalloc(4, "m.cpp", 1));
    int fd = open(file.path().c_str(), O_RDONLY);
    FILE *stream = std::fopen(file.path().c_str(), "r");
    std::vector<int> results;
    auto out = capture_output([&] {
        results.push_back(dfree(nullptr, "m.cpp", 2));
        results.push_back(dfree(p + 1, "m.cpp", 3));  // interior: nothing released
        results.push_back(dfree(p, "m.cpp", 4));
        results.push_back(dfree(p, "m.cpp", 5));
        results.push_back(dclose(fd, "m.cpp", 6));    // untracked, closed all the same
        results.push_back(dfclose(stream, "m.cpp", 7));
        results.push_back(dfclose(nullptr, "m.cpp", 8));
    });
    EXPECT_EQ(results, (std::vector<int>{0, 0, 1, 0, 0, 0, EOF}));
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(out.err, "\a\nError in dfree: trying to free NULL pointer (m.cpp, 2)\n"
                       "\a\nError in dfree: couldn't find pointer to free! (m.cpp, 3)\n"
                       "\a\nError in dfree: couldn't find pointer to free! (m.cpp, 5)\n"
                       "\a\nError in dclose: couldn't find file descriptor to close! (m.cpp, 6)\n"
                       "\a\nError in dfclose: couldn't find FILE pointer to close! (m.cpp, 7)\n"
                       "\a\nError in dfclose: couldn't find FILE pointer to close! (m.cpp, 8)\n");
}

TEST_F(OxTest, ReallocKeepsWhatFitsClearsTheRestAndKeepsTheOldBlockOnFailure)
{
    for (auto [from, to] : {std::pair{4u, 10u}, {10u, 4u}, {6u, 6u}, {3u, 0u}}) {
        auto *old = static_cast<unsigned char *>(dmalloc(from, "r.cpp", 1));
        for (unsigned i = 0; i < from; ++i)
            old[i] = static_cast<unsigned char>(i + 1);
        EXPECT_EQ(drealloc(old, SIZE_MAX, "r.cpp", 2), nullptr);
        auto *fresh = static_cast<unsigned char *>(drealloc(old, to, "r.cpp", 3));
        ASSERT_NE(fresh, nullptr);
        for (unsigned i = 0; i < to; ++i)
            EXPECT_EQ(fresh[i], i < from ? i + 1 : 0) << from << "->" << to << " byte " << i;
        EXPECT_EQ(dfind(old), -1);
        EXPECT_EQ(dfree(fresh, "r.cpp", 4), 1) << from << "->" << to;
    }
    void *fresh = nullptr;
    auto out = capture_output([&] { fresh = drealloc(nullptr, 8, "r.cpp", 5); });
    EXPECT_EQ(out.err, "\a\nError in dfree: trying to free NULL pointer (r.cpp, 5)\n");
    EXPECT_EQ(dfree(fresh, "r.cpp", 6), 1);
}

TEST_F(OxTest, FullTablesRefuseBeforeTouchingAnything)
{
    auto saved = std::make_unique<ox_tracking_tables>(ox_tracking);
    std::vector<char> fakes(OX_ALLOC_SLOTS);
    for (int i = 0; i < OX_ALLOC_SLOTS; ++i)
        ox_tracking.allocs[i] = {"fake", 0, 0, 0, &fakes[i], true};
    for (int i = 0; i < OX_FILE_SLOTS; ++i)
        ox_tracking.files[i] = {"fake", 0, nullptr, 0, uintptr_t(100000 + i), OX_DESCRIPTOR};

    std::string never_made = testing::TempDir() + "ox_full_table_" + std::to_string(getpid());
    int fd = 0, error = 0;
    auto out = capture_output([&] {
        EXPECT_EQ(dmalloc(1, "full.cpp", 3), nullptr);
        fd = dcreat(never_made.c_str(), 0644, "full.cpp", 4);
        error = errno;
    });
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(error, EMFILE);
    EXPECT_NE(access(never_made.c_str(), F_OK), 0);
    EXPECT_EQ(out.err, "\a\nError in dmalloc: allocation table full (full.cpp, 3)\n"
                       "\a\nError in dcreat: descriptor table full (full.cpp, 4)\n");

    ox_tracking = *saved;
}

TEST_F(OxTest, AFullAllocationTableIsTrackedInLinearTime)
{
    // Filling, searching and emptying 100000 slots took seconds when every
    // call searched the table from slot 0.
    std::vector<char *> blocks(OX_ALLOC_SLOTS);
    for (int i = 0; i < OX_ALLOC_SLOTS; ++i) {
        blocks[i] = static_cast<char *>(dmalloc(1, "many.cpp", i));
        ASSERT_NE(blocks[i], nullptr) << i;
        ASSERT_EQ(slot_in_block(blocks[i]), i);
    }
    auto out = capture_output([] { EXPECT_EQ(dmalloc(1, "many.cpp", -1), nullptr); });
    EXPECT_EQ(out.err, "\a\nError in dmalloc: allocation table full (many.cpp, -1)\n");
    for (int i = 0; i < OX_ALLOC_SLOTS; ++i)
        ASSERT_EQ(dfind(blocks[i]), i);

    // Released slots are taken again lowest first.
    for (int i : {70000, 5, 99999, 6})
        EXPECT_EQ(dfree(blocks[i], "many.cpp", 1), 1);
    for (int expected : {5, 6, 70000, 99999}) {
        blocks[expected] = static_cast<char *>(dmalloc(1, "again.cpp", expected));
        EXPECT_EQ(slot_in_block(blocks[expected]), expected);
    }

    // The report moves records to other slots; lookups must follow them.
    for (int i : {40000, 3, 60000})
        EXPECT_EQ(dfree(blocks[i], "many.cpp", 2), 1);
    blocks[3] = blocks[40000] = blocks[60000] = nullptr;
    ox_tracking.allocs[dfind(blocks[90000])].time = 200;
    ox_tracking.allocs[dfind(blocks[10])].time = 100;
    blocks[90000][1] = 'x';
    blocks[10][1] = 'x';
    out = capture_output([] { dmalloc_check(); });
    EXPECT_EQ(out.out, "\a        many.cpp,   line   10,   Jan  1 00:01:      1 bytes  CORRUPTED!\n"
                       "\a        many.cpp,   line 90000,   Jan  1 00:03:      1 bytes  CORRUPTED!\n");
    EXPECT_EQ(dfind(blocks[10]), 0);
    EXPECT_EQ(dfind(blocks[90000]), 1);
    void *fresh = dmalloc(1, "after.cpp", 1);
    EXPECT_EQ(dfind(fresh), OX_ALLOC_SLOTS - 3) << "the lowest slot left empty by the report";
    EXPECT_EQ(dfree(fresh, "after.cpp", 2), 1);
    out = capture_output([&] {
        for (char *p : blocks)
            if (p)
                dfree(p, "many.cpp", 3);
    });
    EXPECT_EQ(std::count(out.err.begin(), out.err.end(), '\a'), 2) << "only the two damaged blocks";
}

TEST_F(OxTest, ReportListsOpenDescriptorsAndStreamsOldestFirst)
{
    testsupport::temp_file file("data");
    int fd = dopen(file.path().c_str(), O_RDONLY, 0, "open_site.cpp", 5);
    FILE *stream = dfopen(file.path().c_str(), "r", "fopen.cpp", 6);
    ASSERT_GE(fd, 0);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(dopen("/nonexistent/ox", O_RDONLY, 0, "bad.cpp", 1), -1);
    EXPECT_EQ(dcreat("/nonexistent/ox", 0644, "bad.cpp", 2), -1);
    EXPECT_EQ(dfopen("/nonexistent/ox", "r", "bad.cpp", 3), nullptr);
    for (auto &rec : ox_tracking.files)
        rec.time = rec.line == 5 ? 100 : 50;

    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(stream)));
    auto out = capture_output([] { dfile_report(); });
    EXPECT_EQ(out.out, "       fopen.cpp,   line    6,   Jan  1 00:00: " + std::string(hex) + "\n" +
                           "   open_site.cpp,   line    5,   Jan  1 00:01: " + std::to_string(fd) + "\n");

    out = capture_output([&] {
        EXPECT_EQ(dclose(fd, "c.cpp", 1), 0);
        EXPECT_EQ(dfclose(stream, "c.cpp", 2), 0);
        dfile_report();
    });
    EXPECT_EQ(out.out + out.err, "");
}

}  // namespace
