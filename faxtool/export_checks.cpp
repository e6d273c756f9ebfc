#include "faxtool/export_checks.h"

#include <new>
#include <system_error>

#include "faxfile/fax_header.h"
#include "t4/t4dec.h"

namespace {

enum : uint8_t { STORED = 1, NOT_STORED = 2 };

// A check's decoder says nothing: a page it finds damaged goes through the
// full decoding, whose messages come where they always came.
void quiet(void *, const char *) {}

t4dec_context *quiet_decoder()
{
    t4dec_context *decoder = t4dec_context_new(FAX_WIDTH);
    if (decoder != nullptr)
        t4dec_context_set_messages(decoder, quiet, nullptr);
    return decoder;
}

enum check_step { CHECKED, AHEAD, NONE_LEFT };

// Checks the next page no thread has begun: AHEAD while it is too far past
// the one taken for its result to be kept, NONE_LEFT when none is left.
check_step check_one(page_checks &checks, t4dec_context *decoder)
{
    std::size_t i = checks.next.load(std::memory_order_relaxed);
    do {
        if (i >= checks.count)
            return NONE_LEFT;
        if (i >= checks.taken.load(std::memory_order_acquire) + CHECKS_AHEAD)
            return AHEAD;
    } while (!checks.next.compare_exchange_weak(i, i + 1, std::memory_order_relaxed));
    const std::size_t slot = i % CHECKS_AHEAD;
    const auto index = static_cast<std::size_t>(page_number_at(checks.pages, i) - 1);
    const bool stored = check_stored_mmr(decoder, *checks.doc, index, checks.choice, checks.results[slot]);
    checks.state[slot].store((i + 1) * 4 + (stored ? STORED : NOT_STORED), std::memory_order_release);
    checks.state[slot].notify_all();
    return CHECKED;
}

void run_helper(page_checks *checks)
{
    t4dec_context *decoder = quiet_decoder();
    for (;;) {
        const std::size_t taken = checks->taken.load(std::memory_order_acquire);
        const check_step step = check_one(*checks, decoder);
        if (step == NONE_LEFT)
            break;
        if (step == AHEAD)
            checks->taken.wait(taken, std::memory_order_acquire);
    }
    t4dec_context_free(decoder);
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
    t4dec_context_free(decoder);
}

bool start_page_checks(page_checks &checks, const fax_document &doc, const row_choice &choice,
                       const page_runs &numbers, bool helper)
{
    if (doc.compression != COMP_MMR || numbers.empty())
        return false;
    try {
        checks.pages = numbers;
        checks.results = std::make_unique<stored_mmr[]>(CHECKS_AHEAD);
        checks.state = std::make_unique<std::atomic<uint64_t>[]>(CHECKS_AHEAD);
    } catch (const std::bad_alloc &) {
        return false;
    }
    checks.count = numbers.count;
    checks.doc = &doc;
    checks.choice = choice;
    checks.decoder = quiet_decoder();
    if (helper && numbers.count > 1) {
        try {
            checks.helper = std::thread(run_helper, &checks);
        } catch (const std::system_error &) {
            // One thread checks them all.
        }
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
    std::atomic<uint64_t> &state = checks.state[i % CHECKS_AHEAD];
    uint64_t seen = state.load(std::memory_order_acquire);
    // Pages not yet begun are checked here, from this one on: the one wanted
    // is begun at the latest by this thread's next check.
    while (seen / 4 != i + 1) {
        if (check_one(checks, checks.decoder) != CHECKED)
            state.wait(seen, std::memory_order_acquire);
        seen = state.load(std::memory_order_acquire);
    }
    return seen % 4 == STORED ? &checks.results[i % CHECKS_AHEAD] : nullptr;
}
