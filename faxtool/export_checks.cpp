#include "faxtool/export_checks.h"

#include <new>
#include <system_error>

#include "faxfile/fax_header.h"
#include "t4/t4dec.h"

namespace {

enum : uint8_t { PENDING = 0, STORED = 1, NOT_STORED = 2 };

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

// Checks the next page not taken by a thread; false when none is left.
bool check_one(page_checks &checks, t4dec_context *decoder)
{
    const std::size_t i = checks.next.fetch_add(1, std::memory_order_relaxed);
    if (i >= checks.pages.size())
        return false;
    const bool stored = check_stored_mmr(decoder, *checks.doc, checks.pages[i], checks.choice, checks.results[i]);
    checks.state[i].store(stored ? STORED : NOT_STORED, std::memory_order_release);
    checks.state[i].notify_all();
    return true;
}

void run_helper(page_checks *checks)
{
    t4dec_context *decoder = quiet_decoder();
    while (check_one(*checks, decoder)) {
    }
    t4dec_context_free(decoder);
}

}  // namespace

void stop_page_checks(page_checks &checks)
{
    // Pages not begun are left; the one the helper is on it finishes.
    checks.next.store(checks.pages.size(), std::memory_order_relaxed);
    if (checks.helper.joinable())
        checks.helper.join();
}

page_checks::~page_checks()
{
    stop_page_checks(*this);
    t4dec_context_free(decoder);
}

bool start_page_checks(page_checks &checks, const fax_document &doc, const row_choice &choice,
                       const std::vector<int> &numbers, bool helper)
{
    if (doc.compression != COMP_MMR || numbers.empty())
        return false;
    try {
        checks.pages.reserve(numbers.size());
        for (const int number : numbers)
            checks.pages.push_back(static_cast<std::size_t>(number - 1));
        checks.results.resize(numbers.size());
        checks.state = std::make_unique<std::atomic<uint8_t>[]>(numbers.size());
    } catch (const std::bad_alloc &) {
        checks.pages.clear();
        return false;
    }
    checks.doc = &doc;
    checks.choice = choice;
    checks.decoder = quiet_decoder();
    if (helper && numbers.size() > 1) {
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
    if (checks.state == nullptr || i >= checks.pages.size())
        return nullptr;
    uint8_t state = checks.state[i].load(std::memory_order_acquire);
    // Pages not yet begun are checked here, from this one on: the one wanted
    // is begun at the latest by this thread's next check.
    while (state == PENDING) {
        if (!check_one(checks, checks.decoder))
            checks.state[i].wait(PENDING, std::memory_order_acquire);
        state = checks.state[i].load(std::memory_order_acquire);
    }
    return state == STORED ? &checks.results[i] : nullptr;
}
