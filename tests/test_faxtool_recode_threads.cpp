// A file's pages recoded on two threads give what one thread gives: the
// same bytes page by page, the same refusal at the same page, no page put
// after it, and never more than a few pages read ahead of the writing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "faxfile/fax_header.h"
#include "faxtool/recode_pages.h"
#include "tests/support/fax_builder.h"
#include "tests/support/test_pages.h"

namespace {

using bytes = std::vector<unsigned char>;

constexpr std::size_t NEVER = SIZE_MAX;
constexpr int kCodes[] = {COMP_MH, COMP_MR, COMP_MMR};

struct run_plan {
    const std::vector<bytes> *pages = nullptr;
    std::size_t fail_read = NEVER;  // the page whose reading fails
    std::size_t stop_at = NEVER;    // put refuses the page with this index
};

struct run_result {
    bool ok = false;
    std::string reason;
    std::vector<bytes> put;
    std::size_t reads = 0;
    std::size_t most_ahead = 0;  // pages read and not yet put
    bool in_order = true;
    bool put_after_stop = false;
};

struct run_state {
    const run_plan &plan;
    run_result &result;
    bool stopped = false;
};

bool read_page(void *user, std::size_t index, bytes &data, std::string &reason)
{
    run_state &s = *static_cast<run_state *>(user);
    s.result.in_order = s.result.in_order && index == s.result.reads;
    ++s.result.reads;
    s.result.most_ahead = std::max(s.result.most_ahead, s.result.reads - s.result.put.size());
    if (index == s.plan.fail_read) {
        reason = "cannot read page " + std::to_string(index + 1);
        return false;
    }
    data = (*s.plan.pages)[index];
    return true;
}

bool put_page(void *user, const bytes &coded)
{
    run_state &s = *static_cast<run_state *>(user);
    s.result.put_after_stop = s.result.put_after_stop || s.stopped;
    if (s.result.put.size() == s.plan.stop_at) {
        s.stopped = true;
        return false;
    }
    s.result.put.push_back(coded);
    return true;
}

run_result recode(const recode_setup &setup, const run_plan &plan, bool two_threads)
{
    run_result result;
    run_state state{plan, result};
    page_coder_owner coder = page_coder_new(setup);
    if (!coder) {
        ADD_FAILURE() << "no coder";
        return result;
    }
    const page_io io{plan.pages->size(), read_page, put_page, &state};
    result.ok = recode_pages(*coder, setup, io, two_threads, result.reason);
    return result;
}

// Two threads, several times over (their pages interleave differently),
// against one; returns the one-thread result.
run_result expect_same_on_two(const recode_setup &setup, const run_plan &plan, const std::string &what)
{
    const run_result one = recode(setup, plan, false);
    EXPECT_EQ(one.most_ahead, 1u) << what;
    for (int round = 0; round < 3; ++round) {
        const run_result two = recode(setup, plan, true);
        EXPECT_EQ(two.ok, one.ok) << what;
        EXPECT_EQ(two.reason, one.reason) << what;
        EXPECT_EQ(two.put.size(), one.put.size()) << what;
        EXPECT_TRUE(two.put == one.put) << what;
        EXPECT_TRUE(two.in_order) << what;
        EXPECT_FALSE(two.put_after_stop) << what;
        EXPECT_LE(two.most_ahead, 4u) << what;
    }
    return one;
}

bytes cut(const bytes &page, std::size_t keep) { return bytes(page.begin(), page.begin() + static_cast<long>(keep)); }

bytes noisy(bytes page)
{
    for (std::size_t i = page.size() / 3; i < page.size() / 3 + 40 && i < page.size(); ++i)
        page[i] = static_cast<unsigned char>(i * 37);
    return page;
}

// MH pages, and the same pages in the other codings, each coding with
// damage of several kinds after its clean pages.
std::vector<std::vector<bytes>> pages_by_coding()
{
    std::vector<bytes> mh;
    for (uint32_t seed = 1; seed <= 6; ++seed)
        mh.push_back(faxbuilder::mh_page(testpages::text_page(90 + 20 * static_cast<int>(seed), seed)));
    mh.push_back(faxbuilder::mh_page(testpages::random_page(60, 9, 4)));
    mh.push_back(faxbuilder::mh_page(testpages::worst_case_page()));
    std::vector<std::vector<bytes>> by_coding(3);
    for (int c = 0; c < 3; ++c) {
        page_coder_owner coder = page_coder_new({COMP_MH, kCodes[c], RES_FINE, false});
        for (const bytes &page : mh) {
            bytes coded;
            std::vector<library_said> said;
            std::string reason;
            EXPECT_TRUE(recode_page(*coder, page.data(), static_cast<uint32_t>(page.size()), 1, coded, said, reason));
            by_coding[c].push_back(c == 0 ? page : coded);
        }
        const bytes first = by_coding[c][0];
        by_coding[c].push_back(noisy(first));
        by_coding[c].push_back(cut(first, first.size() / 2));
        by_coding[c].push_back(cut(first, first.size() - 1));  // odd length
        by_coding[c].push_back({});
        by_coding[c].push_back(bytes(64, 0));
    }
    return by_coding;
}

// Page lists of 1, 2, an odd number and many pages, clean or with damage
// first, inside or last.
std::vector<std::vector<bytes>> page_lists(const std::vector<bytes> &kinds)
{
    const std::size_t clean = kinds.size() - 5;
    const bytes &damaged = kinds[clean];
    std::vector<std::vector<bytes>> lists = {{kinds[0]}, {damaged}, {kinds[1], kinds[2]}, {kinds[3], damaged},
                                             std::vector<bytes>(kinds.begin(), kinds.begin() + 7)};
    std::vector<bytes> many;
    for (int round = 0; round < 4; ++round)
        many.insert(many.end(), kinds.begin(), kinds.begin() + static_cast<long>(clean));
    lists.push_back(many);  // 32 clean pages
    std::vector<bytes> with_damage = many;
    with_damage.insert(with_damage.begin() + 9, kinds.begin() + static_cast<long>(clean), kinds.end());
    lists.push_back(with_damage);  // damage of every kind from page 10
    with_damage.insert(with_damage.begin(), damaged);
    lists.push_back(with_damage);  // and on page 1
    many.push_back(kinds[clean + 1]);
    lists.push_back(many);  // cut short on the last page
    return lists;
}

TEST(RecodeThreads, GiveTheBytesOfOneThread)
{
    const std::vector<std::vector<bytes>> by_coding = pages_by_coding();
    int refused = 0;
    int recoded_pages = 0;
    for (int s = 0; s < 3; ++s) {
        for (const std::vector<bytes> &pages : page_lists(by_coding[s])) {
            for (int t = 0; t < 3; ++t) {
                for (const bool force : {false, true}) {
                    if (s == t)
                        continue;
                    const recode_setup setup{kCodes[s], kCodes[t], RES_FINE, force};
                    const std::string what = std::to_string(s) + " to " + std::to_string(t) + ", " +
                                             std::to_string(pages.size()) + " pages" + (force ? ", forced" : "");
                    run_plan plan;
                    plan.pages = &pages;
                    const run_result one = expect_same_on_two(setup, plan, what);
                    refused += one.ok ? 0 : 1;
                    recoded_pages += static_cast<int>(one.put.size());
                    // Forced, every page is recoded; else only a refusal stops them.
                    EXPECT_EQ(one.ok, one.put.size() == pages.size()) << what;
                    EXPECT_TRUE(one.ok || !force) << what << ": " << one.reason;
                }
            }
        }
    }
    // The lists hold damage the recoding refuses, and pages enough.
    EXPECT_GE(refused, 20);
    EXPECT_GE(recoded_pages, 1000);
}

// A page that cannot be read ends the run with its reason unless a page
// before it is refused first; a writer that stops gets no page after.
TEST(RecodeThreads, ReadFailuresAndStopsComeInPageOrder)
{
    const std::vector<std::vector<bytes>> by_coding = pages_by_coding();
    const std::vector<bytes> &kinds = by_coding[0];
    std::vector<bytes> pages;
    for (int round = 0; round < 3; ++round)
        pages.insert(pages.end(), kinds.begin(), kinds.begin() + 8);
    pages[15] = kinds[8];  // damaged
    const recode_setup setup{COMP_MH, COMP_MMR, RES_FINE, false};
    for (const std::size_t fail : {std::size_t{0}, std::size_t{1}, std::size_t{6}, std::size_t{15}, std::size_t{16},
                                   pages.size() - 1}) {
        run_plan plan;
        plan.pages = &pages;
        plan.fail_read = fail;
        const run_result one = expect_same_on_two(setup, plan, "read fails at " + std::to_string(fail));
        EXPECT_FALSE(one.ok);
        EXPECT_EQ(one.put.size(), std::min<std::size_t>(fail, 15));
        EXPECT_EQ(one.reason.rfind(fail <= 15 ? "cannot read page" : "page 16 is damaged (", 0), 0u) << one.reason;
    }
    for (const std::size_t stop : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{14}}) {
        run_plan plan;
        plan.pages = &pages;
        plan.stop_at = stop;
        const run_result one = expect_same_on_two(setup, plan, "stops at " + std::to_string(stop));
        EXPECT_TRUE(one.ok);
        EXPECT_EQ(one.put.size(), stop);
    }
}

}  // namespace
