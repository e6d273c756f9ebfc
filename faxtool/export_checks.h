// The pages of an MMR file checked for going into a TIFF or PDF as stored,
// ahead of their writing and, with a second thread, beside it: the check
// decodes each page once more, which is most of such an export's work. The
// pages of an MH or MR file are coded ahead on the second thread instead.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <thread>
#include <vector>

#include "faxtool/page_runs.h"
#include "faxtool/pages.h"
#include "faxtool/transcode.h"

// Pages checked ahead of the one taken: what their checks found is kept
// for that many, however many pages the file has.
constexpr std::size_t CHECKS_AHEAD = 64;
// Pages coded ahead hold their coded data: a few are enough to keep the
// second thread busy.
constexpr std::size_t CODED_AHEAD = 4;

// A thread's decoder, and whether it said anything of the page at hand:
// such a page takes the full path, which says it where it always did.
struct page_checker {
    t4dec_context *decoder = nullptr;
    bool said = false;
};

struct page_checks {
    const fax_document *doc = nullptr;
    row_choice choice;
    page_runs pages;    // the page numbers, in the order taken
    std::size_t count = 0;  // of pages, 0 when none is checked
    std::size_t window = CHECKS_AHEAD;  // results kept ahead
    bool coding = false;                // pages coded ahead, not checked as stored
    std::unique_ptr<stored_mmr[]> results;  // the i-th page's at i % window
    std::unique_ptr<std::vector<uint8_t>[]> coded;  // beside each, when coding
    // Beside each: 0, or (i + 1) * 4 + what the check of the i-th page found.
    std::unique_ptr<std::atomic<uint64_t>[]> state;
    std::atomic<std::size_t> next{0};   // the next page a thread checks
    std::atomic<std::size_t> taken{0};  // the page taken last, whose result is still in use
    page_checker mine;  // the taking thread's
    std::thread helper;
    page_checks() = default;
    page_checks(const page_checks &) = delete;
    page_checks &operator=(const page_checks &) = delete;
    ~page_checks();
};

// Starts checking the pages numbered (from 1) in `numbers` of `doc`, which
// must outlive the checks; `helper`: on a thread of their own as well.
// An MH or MR file's pages are coded ahead, with a helper only. False when
// no check is made (another coding, no helper for coding, or no memory):
// every page then takes the full decoding.
bool start_page_checks(page_checks &checks, const fax_document &doc, const row_choice &choice,
                       const page_runs &numbers, bool helper);
// What the check of the `i`th page of `numbers` found, waiting for it:
// null when it does not go as stored or coded ahead (or was not checked).
// Taken in order; the data stays until the next is taken.
const stored_mmr *take_page_check(page_checks &checks, std::size_t i);
// Stops the checks and joins their thread, before the output is put in
// place: the helper that names the file (a vfork child) finds this process
// with no thread left but its own. The owner's end does the same.
void stop_page_checks(page_checks &checks);
