// The check that lets TIFF and PDF exports take an MMR page as stored counts
// lines without keeping rows: it must decide exactly as export_page_mmr,
// which decodes every row, and give the same page, report and bytes.
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "faxfile/fax_header.h"
#include "faxtool/export_checks.h"
#include "faxtool/transcode.h"
#include "t4/enct4.h"
#include "t4/page_rows.h"
#include "t4/t4dec.h"
#include "tests/support/fax_builder.h"
#include "tests/support/program_runner.h"
#include "tests/support/test_pages.h"

namespace {

using bytes = std::vector<uint8_t>;

struct line_feed {
    std::vector<uint8_t> packed;
    bool given = false;
    bytes out;
};

int give_page(void *user, unsigned char **first, int *count)
{
    auto &feed = *static_cast<line_feed *>(user);
    if (feed.given || feed.packed.empty())
        return -1;
    feed.given = true;
    *first = feed.packed.data();
    *count = static_cast<int>(feed.packed.size() / testpages::kLineBytes);
    return testpages::kLineBytes;
}

int take_page_words(void *user, const uint16_t *words, int count)
{
    auto &out = static_cast<line_feed *>(user)->out;
    for (int i = 0; i < count; ++i) {
        out.push_back(static_cast<uint8_t>(words[i] & 0xFF));
        out.push_back(static_cast<uint8_t>(words[i] >> 8));
    }
    return 0;
}

bytes mmr_of(const testpages::page &p, bool conforming)
{
    line_feed feed;
    feed.packed = testpages::pack(p);
    enct4_context *encoder = enct4_context_new();
    enct4_context_set_conforming(encoder, conforming ? 1 : 0);
    enct4_MMR_ctx(encoder, give_page, take_page_words, &feed);
    enct4_context_free(encoder);
    return feed.out;
}

// Clean pages of both codings, pages that start black, and damage of
// several kinds.
std::vector<bytes> page_kinds()
{
    std::vector<testpages::page> drawn = {testpages::text_page(150, 3), testpages::worst_case_page()};
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        testpages::page p = testpages::random_page(60, seed, 2 + static_cast<int>(seed));
        if (seed % 2 == 0)
            for (testpages::line &l : p.lines)
                testpages::set_pixels(l, 0, 3);
        drawn.push_back(p);
    }
    std::vector<bytes> pages;
    for (const testpages::page &p : drawn)
        for (const bool conforming : {false, true})
            pages.push_back(mmr_of(p, conforming));
    const bytes whole = pages[0];
    pages.push_back(bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2)));
    bytes noisy = whole;
    for (std::size_t i = noisy.size() / 3; i < noisy.size() / 3 + 30; ++i)
        noisy[i] = static_cast<uint8_t>(i * 37);
    pages.push_back(noisy);
    bytes trailing = whole;
    trailing.insert(trailing.end(), {0xA5, 0x5A});
    pages.push_back(trailing);
    bytes odd = whole;
    odd.push_back(0x01);  // an odd last byte, which the decoders never read
    pages.push_back(odd);
    pages.push_back({});
    pages.push_back(bytes(64, 0));
    return pages;
}

fax_document document_of(const std::vector<bytes> &pages, int resolution, int compression = COMP_MMR)
{
    fax_document doc;
    doc.resolution = resolution;
    doc.compression = compression;
    for (const bytes &data : pages)
        doc.pages.push_back({0, static_cast<uint32_t>(data.size()), data.data()});
    return doc;
}

// What the full path, export_page_mmr, gives of one page.
struct full_path {
    page_image page;
    std::vector<uint8_t> coded;
    bool stored = false;
    page_report report;
    bool ok = false;
};

full_path full_path_of(const fax_document &doc, std::size_t index, const row_choice &choice)
{
    full_path out;
    std::string reason;
    out.ok = export_page_mmr(doc, index, choice, out.page, out.coded, out.stored, out.report, reason);
    return out;
}

// The check against the full decoding, page by page; the count taken as stored.
int expect_same(const fax_document &doc, const row_choice &choice, const std::string &what)
{
    t4dec_context *decoder = t4dec_context_new(T4_STANDARD_WIDTH);
    int stored_pages = 0;
    for (std::size_t i = 0; i < doc.pages.size(); ++i) {
        const full_path full = full_path_of(doc, i, choice);
        const page_image &page = full.page;
        const std::vector<uint8_t> &coded = full.coded;
        const bool ok = full.ok, stored = full.stored;
        const page_report &report = full.report;
        stored_mmr checked;
        const bool said = check_stored_mmr(decoder, doc, i, choice, checked);
        EXPECT_EQ(said, ok && stored) << what << ", page " << i + 1;
        if (!said || !ok || !stored)
            continue;
        ++stored_pages;
        EXPECT_EQ(checked.page.number, page.number);
        EXPECT_EQ(checked.page.width, page.width);
        EXPECT_EQ(checked.page.height, page.height);
        EXPECT_EQ(checked.page.resolution, page.resolution);
        EXPECT_EQ(checked.report.lines, report.lines);
        EXPECT_EQ(checked.report.concealed, report.concealed);
        EXPECT_EQ(checked.report.clean, report.clean);
        EXPECT_TRUE(std::equal(checked.data, checked.data + checked.size, coded.begin(), coded.end()))
            << what << ", page " << i + 1;
    }
    t4dec_context_free(decoder);
    return stored_pages;
}

TEST(StoredCheck, DecidesAsTheFullDecoding)
{
    const std::vector<bytes> pages = page_kinds();
    int stored = 0;
    for (const int resolution : {RES_NORMAL, RES_FINE})
        for (const bool stretch : {false, true})
            for (const bool decoder_lines : {false, true})
                stored += expect_same(document_of(pages, resolution), {stretch, decoder_lines},
                                      "resolution " + std::to_string(resolution) + (stretch ? " stretched" : "") +
                                          (decoder_lines ? " decoder lines" : ""));
    // Some pages go as stored, or the comparison shows little.
    EXPECT_GE(stored, 8);
    // Pages not MMR never go as stored, as export_page_mmr codes them again.
    expect_same(document_of({pages[0]}, RES_FINE, COMP_MH), {}, "MH");
}

// Pages taken in order from two threads get each its own page's verdict,
// also once the results kept ahead have gone round several times, and
// checks given up early stop without waiting for the rest.
TEST(StoredCheck, TwoThreadsGiveEachPageItsOwn)
{
    const std::vector<bytes> kinds = page_kinds();
    std::vector<bytes> pages;
    while (pages.size() < 5 * CHECKS_AHEAD)
        pages.insert(pages.end(), kinds.begin(), kinds.end());
    const fax_document doc = document_of(pages, RES_FINE);
    std::vector<int> numbers;
    page_runs runs;
    for (int number = 2; number <= static_cast<int>(pages.size()); number += number % 7 == 0 ? 3 : 1) {
        numbers.push_back(number);  // not all of them
        add_page_run(runs, number, number);
    }
    t4dec_context *decoder = t4dec_context_new(T4_STANDARD_WIDTH);
    {
        page_checks checks;
        ASSERT_TRUE(start_page_checks(checks, doc, {}, runs, true));
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            stored_mmr alone;
            const auto index = static_cast<std::size_t>(numbers[i] - 1);
            const bool stored = check_stored_mmr(decoder, doc, index, {}, alone);
            const stored_mmr *taken = take_page_check(checks, i);
            ASSERT_EQ(taken != nullptr, stored) << "page " << numbers[i];
            if (taken != nullptr) {
                EXPECT_EQ(taken->page.number, numbers[i]);
                EXPECT_EQ(taken->data, alone.data);
                EXPECT_EQ(taken->size, alone.size);
                EXPECT_EQ(taken->page.height, alone.page.height);
            }
        }
    }
    {
        page_checks checks;
        ASSERT_TRUE(start_page_checks(checks, doc, {}, runs, true));
        stored_mmr first;
        const bool stored = check_stored_mmr(decoder, doc, static_cast<std::size_t>(numbers[0] - 1), {}, first);
        EXPECT_EQ(take_page_check(checks, 0) != nullptr, stored);
    }
    t4dec_context_free(decoder);
    page_checks none;
    EXPECT_FALSE(start_page_checks(none, document_of(pages, RES_FINE, COMP_UMMR), {}, runs, true));
    EXPECT_EQ(take_page_check(none, 0), nullptr);
}

// MH and MR pages coded ahead on the second thread: a page is taken from
// there exactly when the full path codes it clean, with the same bytes;
// damaged pages are left to the full path, which gives their messages.
TEST(StoredCheck, PagesCodedAheadAreThoseOfTheFullPath)
{
    std::vector<testpages::page> drawn = {testpages::text_page(150, 3), testpages::worst_case_page(),
                                          testpages::random_page(60, 3, 4)};
    for (const int compression : {COMP_MH, COMP_MR}) {
        std::vector<bytes> pages;
        for (int round = 0; round < 3; ++round)
            for (const testpages::page &p : drawn) {
                const bytes packed = testpages::pack(p);
                t4_coded_owner coded;
                ASSERT_EQ(t4_rows_to_page(nullptr, packed.data(), static_cast<int32_t>(p.lines.size()),
                                          testpages::kLineBytes, compression, RES_FINE, 0, &coded.value),
                          T4_PAGE_OK);
                pages.emplace_back(coded.value.bytes, coded.value.bytes + coded.value.length);
            }
        bytes noisy = pages[0];
        for (std::size_t i = noisy.size() / 3; i < noisy.size() / 3 + 30; ++i)
            noisy[i] = static_cast<uint8_t>(i * 37);
        pages.insert(pages.begin() + 4, noisy);
        pages.insert(pages.begin() + 2, bytes(pages[1].begin(), pages[1].begin() + 500));
        pages.push_back({});
        const fax_document doc = document_of(pages, RES_FINE, compression);
        page_runs runs;
        add_page_run(runs, 1, static_cast<int>(pages.size()));
        for (const row_choice choice : {row_choice{false, false}, row_choice{true, true}}) {
            page_checks checks;
            ASSERT_TRUE(start_page_checks(checks, doc, choice, runs, true));
            int ahead = 0;
            for (std::size_t i = 0; i < pages.size(); ++i) {
                const full_path full = full_path_of(doc, i, choice);
                const page_image &page = full.page;
                const std::vector<uint8_t> &coded = full.coded;
                const bool ok = full.ok;
                const page_report &report = full.report;
                const stored_mmr *taken = take_page_check(checks, i);
                ASSERT_EQ(taken != nullptr, ok && report.clean && page.height > 0)
                    << "compression " << compression << ", page " << i + 1;
                if (taken == nullptr)
                    continue;
                ++ahead;
                EXPECT_EQ(taken->page.number, page.number);
                EXPECT_EQ(taken->page.height, page.height);
                EXPECT_EQ(taken->page.resolution, page.resolution);
                EXPECT_EQ(taken->report.lines, report.lines);
                EXPECT_TRUE(std::equal(taken->data, taken->data + taken->size, coded.begin(), coded.end()))
                    << "compression " << compression << ", page " << i + 1;
            }
            EXPECT_GE(ahead, 9);
        }
        page_checks alone;
        EXPECT_FALSE(start_page_checks(alone, doc, {}, runs, false));  // no second thread: no coding ahead
    }
}

// The programs started in its scope may run on one CPU only: this thread's
// first.
struct one_cpu {
    cpu_set_t saved;
    bool narrowed = false;
    one_cpu()
    {
        if (sched_getaffinity(0, sizeof saved, &saved) != 0)
            return;
        cpu_set_t first;
        CPU_ZERO(&first);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &saved)) {
                CPU_SET(cpu, &first);
                break;
            }
        narrowed = sched_setaffinity(0, sizeof first, &first) == 0;
    }
    ~one_cpu()
    {
        if (narrowed)
            sched_setaffinity(0, sizeof saved, &saved);
    }
    one_cpu(const one_cpu &) = delete;
    one_cpu &operator=(const one_cpu &) = delete;
};

struct export_run {
    progrun::result run;
    bytes output;
};

export_run export_of(const progrun::temp_dir &dir, const std::string &fax, const std::string &type,
                     const std::vector<std::string> &options)
{
    std::vector<std::string> args = {"export", "-t", type, "-o", dir.file("out." + type)};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(fax);
    export_run out{progrun::run(FAXTOOL_PATH, args), {}};
    if (progrun::file_exists(dir.file("out." + type)))
        out.output = progrun::read_file(dir.file("out." + type));
    std::remove(dir.file("out." + type).c_str());
    return out;
}

// An MMR file's TIFF or PDF export checks its pages on a second thread
// where the process has two CPUs, on its own thread where it has one: the
// same file, messages and status either way, over clean, damaged and
// legacy-coded pages, pages past the results kept ahead, a file cut short,
// one page, a page list out of order, and rows stretched or as decoded.
TEST(StoredCheck, ExportsOnTwoThreadsAsOnOne)
{
    cpu_set_t cpus;
    ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
    if (CPU_COUNT(&cpus) < 2)
        GTEST_SKIP() << "one CPU: no second thread";
    progrun::temp_dir dir;
    const std::vector<bytes> kinds = page_kinds();
    std::vector<bytes> many;
    while (many.size() < 2 * CHECKS_AHEAD + 5)
        many.insert(many.end(), kinds.begin(), kinds.end());
    const std::string header = "RESOLUTION:1\nCOMPRESSION:3\n";
    const bytes whole = faxbuilder::fax_file(header, many);
    progrun::write_file(dir.file("many.fax"), whole);
    const auto third = static_cast<std::ptrdiff_t>(whole.size() / 3);
    progrun::write_file(dir.file("cut.fax"), bytes(whole.begin(), whole.begin() + third));
    progrun::write_file(dir.file("one.fax"), faxbuilder::fax_file(header, {kinds[1]}));
    const bytes &noisy = kinds[13];  // page_kinds: noise a third of the way in
    progrun::write_file(dir.file("damaged.fax"), faxbuilder::fax_file(header, {noisy}));
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"many.fax", {}},
        {"many.fax", {"-p", "90-130,9,3-5"}},
        {"many.fax", {"--stretch", "--decoder-lines"}},
        {"cut.fax", {}},
        {"one.fax", {}},
        {"damaged.fax", {}}};
    for (const auto &[name, options] : cases)
        for (const std::string type : {"tiff", "pdf"}) {
            std::string what = type + " of " + name;
            for (const std::string &option : options)
                what += " " + option;
            const export_run two = export_of(dir, dir.file(name), type, options);
            export_run one;
            {
                one_cpu narrowed;
                ASSERT_TRUE(narrowed.narrowed);
                one = export_of(dir, dir.file(name), type, options);
            }
            EXPECT_FALSE(two.output.empty()) << what << ": " << two.run.err;
            EXPECT_TRUE(one.output == two.output) << what;
            EXPECT_EQ(one.run.err, two.run.err) << what;
            EXPECT_EQ(one.run.out, two.run.out) << what;
            EXPECT_EQ(one.run.status, two.run.status) << what;
            // Damage is said, or the comparison shows little.
            EXPECT_EQ(two.run.err.empty(), name == "one.fax") << what << ": " << two.run.err;
        }
}

}  // namespace
