// The pages of a file through one coder or two. This thread reads each
// page into a slot, codes pages when its next one to write is not done,
// and writes them in order; a second thread only codes. A slot holds a page
// from its reading to its writing, so at most WINDOW pages are held.
#include "faxtool/recode_pages.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>

#include "faxtool/messages.h"

namespace {

// Two pages for each thread: one coding, one waiting its turn.
constexpr std::size_t WINDOW = 4;
constexpr std::size_t NO_PAGE = SIZE_MAX;

struct page_slot {
    std::vector<unsigned char> data;
    std::vector<unsigned char> coded;
    std::vector<library_said> said;
    std::string reason;
    bool ok = false;
    bool done = false;  // under the lock
};

struct pipeline {
    const page_io &io;
    std::size_t window;
    std::array<page_slot, WINDOW> slots;  // page i in slots[i % window]
    std::mutex lock;
    std::condition_variable changed;
    // Under the lock (this thread alone writes `read`, and reads it freely):
    std::size_t read = 0;   // pages read; those from the one written next are in slots
    std::size_t taken = 0;  // pages a thread has begun to code
    bool stop = false;
    // This thread's alone:
    std::size_t failed_read = NO_PAGE;  // the page that could not be read
    std::string read_reason;

    pipeline(const page_io &pages, std::size_t held) : io(pages), window(held) {}
    page_slot &slot(std::size_t index) { return slots[index % window]; }
};

void code_slot(pipeline &p, page_coder &coder, std::size_t index)
{
    page_slot &slot = p.slot(index);
    slot.said.clear();
    slot.reason.clear();
    slot.ok = recode_page(coder, slot.data.data(), static_cast<uint32_t>(slot.data.size()),
                          static_cast<int>(index) + 1, slot.coded, slot.said, slot.reason);
    {
        std::lock_guard<std::mutex> hold(p.lock);
        slot.done = true;
    }
    p.changed.notify_all();
}

void run_helper(pipeline *p, page_coder *coder)
{
    std::unique_lock<std::mutex> hold(p->lock);
    for (;;) {
        p->changed.wait(hold, [p] { return p->stop || p->taken < p->read; });
        if (p->stop)
            return;
        const std::size_t index = p->taken++;
        hold.unlock();
        code_slot(*p, *coder, index);
        hold.lock();
    }
}

// Reads pages into free slots, up to `window` from the one written next;
// none after one that could not be read.
void fill_slots(pipeline &p, std::size_t head)
{
    while (p.read < p.io.count && p.failed_read == NO_PAGE && p.read < head + p.window) {
        page_slot &slot = p.slot(p.read);
        if (!p.io.read(p.io.user, p.read, slot.data, p.read_reason)) {
            p.failed_read = p.read;
            return;
        }
        {
            std::lock_guard<std::mutex> hold(p.lock);
            ++p.read;
        }
        p.changed.notify_all();
    }
}

// Page `head` coded: here, or by the other thread while this one codes the
// pages after it.
page_slot &wait_for(pipeline &p, page_coder &coder, std::size_t head)
{
    page_slot &slot = p.slot(head);
    std::unique_lock<std::mutex> hold(p.lock);
    while (!slot.done) {
        if (p.taken < p.read) {
            const std::size_t index = p.taken++;
            hold.unlock();
            code_slot(p, coder, index);
            hold.lock();
            continue;
        }
        p.changed.wait(hold);
    }
    slot.done = false;  // the slot is free once the page is out
    return slot;
}

void print_said(const std::vector<library_said> &said)
{
    if (said.empty())
        return;
    std::lock_guard<std::recursive_mutex> hold(standard_streams_lock());
    for (const library_said &line : said)
        std::fputs(line.text.c_str(), line.stream);
}

bool write_pages(pipeline &p, page_coder &coder, std::string &reason)
{
    for (std::size_t head = 0; head < p.io.count; ++head) {
        fill_slots(p, head);
        if (head == p.failed_read) {
            reason = p.read_reason;
            return false;
        }
        page_slot &slot = wait_for(p, coder, head);
        print_said(slot.said);
        if (!slot.ok) {
            reason = slot.reason;
            return false;
        }
        if (!p.io.put(p.io.user, slot.coded))
            return true;
    }
    return true;
}

// The second thread, stopped and joined however the pages end.
struct helper_thread {
    pipeline &p;
    std::thread thread;
    ~helper_thread()
    {
        if (!thread.joinable())
            return;
        {
            std::lock_guard<std::mutex> hold(p.lock);
            p.stop = true;
        }
        p.changed.notify_all();
        thread.join();
    }
};

}  // namespace

bool recode_pages(page_coder &coder, const recode_setup &setup, const page_io &io, bool two_threads,
                  std::string &reason)
{
    page_coder_owner second = two_threads && io.count > 1 ? page_coder_new(setup) : nullptr;
    pipeline p(io, second ? WINDOW : 1);
    helper_thread helper{p, {}};
    if (second) {
        try {
            helper.thread = std::thread(run_helper, &p, second.get());
        } catch (const std::system_error &) {
            // One thread codes them all; the window is no matter then.
        }
    }
    return write_pages(p, coder, reason);
}
