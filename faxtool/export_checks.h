// The pages of an MMR file checked for going into a TIFF or PDF as stored,
// ahead of their writing and, with a second thread, beside it: the check
// decodes each page once more, which is most of such an export's work.
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

struct page_checks {
    const fax_document *doc = nullptr;
    row_choice choice;
    page_runs pages;    // the page numbers, in the order taken
    std::size_t count = 0;  // of pages, 0 when none is checked
    std::unique_ptr<stored_mmr[]> results;  // the i-th page's at i % CHECKS_AHEAD
    // Beside each: 0, or (i + 1) * 4 + what the check of the i-th page found.
    std::unique_ptr<std::atomic<uint64_t>[]> state;
    std::atomic<std::size_t> next{0};   // the next page a thread checks
    std::atomic<std::size_t> taken{0};  // the page taken last, whose result is still in use
    t4dec_context *decoder = nullptr;  // the taking thread's
    std::thread helper;
    page_checks() = default;
    page_checks(const page_checks &) = delete;
    page_checks &operator=(const page_checks &) = delete;
    ~page_checks();
};

// Starts checking the pages numbered (from 1) in `numbers` of `doc`, which
// must outlive the checks; `helper`: on a thread of their own as well.
// False when no check is made (no MMR file, or no memory): every page then
// takes the full decoding.
bool start_page_checks(page_checks &checks, const fax_document &doc, const row_choice &choice,
                       const page_runs &numbers, bool helper);
// What the check of the `i`th page of `numbers` found, waiting for it:
// null when it does not go as stored (or was not checked). Taken in order.
const stored_mmr *take_page_check(page_checks &checks, std::size_t i);
// Stops the checks and joins their thread, before the output is put in
// place: the helper that names the file (a vfork child) finds this process
// with no thread left but its own. The owner's end does the same.
void stop_page_checks(page_checks &checks);
