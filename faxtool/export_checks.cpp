#include "faxtool/export_checks.h"

#include <new>
#include <system_error>

#include "faxfile/fax_header.h"
#include "t4/t4dec.h"

namespace {

enum : uint8_t { STORED = 1, NOT_STORED = 2 };

// A check's decoder says nothing: a page it finds damaged goes through the
// full decoding, whose messages come where they always came.
void note_said(void *user, const char *) { static_cast<page_checker *>(user)->said = true; }

void quiet_decoder(page_checker &checker)
{
    checker.decoder = t4dec_context_new(FAX_WIDTH);
    if (checker.decoder != nullptr)
        t4dec_context_set_messages(checker.decoder, note_said, &checker);
}

enum check_step { CHECKED, AHEAD, NONE_LEFT };

// Checks the next page no thread has begun: AHEAD while it is too far past
// the one taken for its result to be kept, NONE_LEFT when none is left.
check_step check_one(page_checks &checks, page_checker &checker)
{
    std::size_t i = checks.next.load(std::memory_order_relaxed);
    do {
        if (i >= checks.count)
            return NONE_LEFT;
        if (i >= checks.taken.load(std::memory_order_acquire) + checks.window)
            return AHEAD;
    } while (!checks.next.compare_exchange_weak(i, i + 1, std::memory_order_relaxed));
    const std::size_t slot = i % checks.window;
    const auto index = static_cast<std::size_t>(page_number_at(checks.pages, i) - 1);
    checker.said = false;
    const bool ready = checks.coding ? code_page_ahead(checker.decoder, *checks.doc, index, checks.choice,
                                                       checks.results[slot], checks.coded[slot])
                                     : check_stored_mmr(checker.decoder, *checks.doc, index, checks.choice,
                                                        checks.results[slot]);
    const bool stored = ready && !checker.said;
    checks.state[slot].store((i + 1) * 4 + (stored ? STORED : NOT_STORED), std::memory_order_release);
    checks.state[slot].notify_all();
    return CHECKED;
}

void run_helper(page_checks *checks)
{
    page_checker checker;
    quiet_decoder(checker);
    for (;;) {
        const std::size_t taken = checks->taken.load(std::memory_order_acquire);
        const check_step step = check_one(*checks, checker);
        if (step == NONE_LEFT)
            break;
        if (step == AHEAD)
            checks->taken.wait(taken, std::memory_order_acquire);
    }
    t4dec_context_free(checker.decoder);
}

}  // namespace

void stop_page_checks(page_checks &checks)
{
    // Pages not begun are left; the one the helper is on it finishes.
    checks.next.store(checks.count, std::memory_order_relaxed);
    checks.taken.fetch_add(1, std::memory_order_release);  // wakes a helper waiting to go on
    checks.taken.notify_all();
    if (checks.helper.joinable())
        checks.helper.join();
}

page_checks::~page_checks()
{
    stop_page_checks(*this);
    t4dec_context_free(mine.decoder);
}

bool start_page_checks(page_checks &checks, const fax_document &doc, const row_choice &choice,
                       const page_runs &numbers, bool helper)
{
    // Coding ahead on this thread alone would only code a page twice when
    // it is damaged.
    const bool coding = doc.compression == COMP_MH || doc.compression == COMP_MR;
    if ((doc.compression != COMP_MMR && !coding) || numbers.empty() || (coding && !(helper && numbers.count > 1)))
        return false;
    checks.window = coding ? CODED_AHEAD : CHECKS_AHEAD;
    try {
        checks.pages = numbers;
        checks.results = std::make_unique<stored_mmr[]>(checks.window);
        checks.state = std::make_unique<std::atomic<uint64_t>[]>(checks.window);
        if (coding)
            checks.coded = std::make_unique<std::vector<uint8_t>[]>(checks.window);
    } catch (const std::bad_alloc &) {
        return false;
    }
    checks.coding = coding;
    checks.count = numbers.count;
    checks.doc = &doc;
    checks.choice = choice;
    quiet_decoder(checks.mine);
    if (helper && numbers.count > 1) {
        try {
            checks.helper = std::thread(run_helper, &checks);
        } catch (const std::system_error &) {
            // One thread checks them all; pages are not coded ahead.
        }
    }
    if (coding && !checks.helper.joinable()) {
        checks.count = 0;
        return false;
    }
    return true;
}

const stored_mmr *take_page_check(page_checks &checks, std::size_t i)
{
    if (checks.state == nullptr || i >= checks.count)
        return nullptr;
    // The result taken before is done with: its slot may take a later page.
    checks.taken.store(i, std::memory_order_release);
    checks.taken.notify_all();
    std::atomic<uint64_t> &state = checks.state[i % checks.window];
    uint64_t seen = state.load(std::memory_order_acquire);
    // Pages not yet begun are checked here, from this one on: the one wanted
    // is begun at the latest by this thread's next check.
    while (seen / 4 != i + 1) {
        if (check_one(checks, checks.mine) != CHECKED)
            state.wait(seen, std::memory_order_acquire);
        seen = state.load(std::memory_order_acquire);
    }
    return seen % 4 == STORED ? &checks.results[i % checks.window] : nullptr;
}
