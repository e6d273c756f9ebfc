// The pool.
#include "faxtool/archive_jobs.h"

#include <sched.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "faxtool/progress.h"

namespace {

struct pool_state {
    std::size_t count = 0;
    std::size_t window = 0;
    job_work work = nullptr;
    void *user = nullptr;
    std::mutex lock;
    std::condition_variable changed;
    std::size_t next = 0;     // the next input a thread takes
    std::size_t emitted = 0;  // inputs handed back so far
    std::vector<std::unique_ptr<job_result>> done;
};

void run_worker(pool_state &pool)
{
    progress_quiet_on_this_thread();
    for (;;) {
        std::size_t index;
        {
            std::unique_lock<std::mutex> hold(pool.lock);
            if (pool.next >= pool.count)
                return;
            index = pool.next++;
            pool.changed.wait(hold, [&] { return index < pool.emitted + pool.window; });
        }
        auto result = std::make_unique<job_result>();
        keep_messages(&result->messages);
        pool.work(pool.user, index, *result);
        keep_messages(nullptr);
        {
            std::lock_guard<std::mutex> hold(pool.lock);
            pool.done[index] = std::move(result);
        }
        pool.changed.notify_all();
    }
}

}  // namespace

unsigned online_cpus()
{
    // A batch system's task is given a set of CPUs: count those, not the
    // machine's.
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
        return static_cast<unsigned>(CPU_COUNT(&allowed));
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    return cpus > 0 ? static_cast<unsigned>(cpus) : 1;
}

void run_jobs(std::size_t count, unsigned threads, job_work work, job_emit emit, void *user)
{
    pool_state pool;
    pool.count = count;
    pool.work = work;
    pool.user = user;
    pool.window = 2 * static_cast<std::size_t>(threads);
    pool.done.resize(count);
    if (count == 1) {
        // One input runs here, where it may show the progress of its pages.
        job_result result;
        keep_messages(&result.messages);
        progress_begin("files", 1);
        work(user, 0, result);
        progress_end();
        keep_messages(nullptr);
        emit(user, 0, result);
        return;
    }
    if (threads > count)
        threads = static_cast<unsigned>(count);
    std::vector<std::thread> workers;
    workers.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        try {
            workers.emplace_back(run_worker, std::ref(pool));
        } catch (const std::system_error &) {
            break;  // fewer threads do the same work
        }
    }
    if (workers.empty() && count > 0) {
        // Not even one thread: the work runs here, one input at a time.
        pool.window = count;
        run_worker(pool);
    }
    for (std::size_t index = 0; index < count; ++index) {
        std::unique_ptr<job_result> result;
        {
            std::unique_lock<std::mutex> hold(pool.lock);
            pool.changed.wait(hold, [&] { return pool.done[index] != nullptr; });
            result = std::move(pool.done[index]);
        }
        emit(user, index, *result);
        result.reset();
        {
            std::lock_guard<std::mutex> hold(pool.lock);
            pool.emitted = index + 1;
        }
        pool.changed.notify_all();
    }
    for (std::thread &worker : workers)
        worker.join();
}
