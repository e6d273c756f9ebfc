// When a file's pages get a second thread: -j N caps the threads at work at
// N, and no pair of threads shares a CPU.
#include <gtest/gtest.h>

#include <sched.h>

#include "faxtool/archive_jobs.h"
#include "faxtool/archive_run.h"

namespace {

archive_options with_jobs(unsigned jobs)
{
    archive_options options;
    options.jobs = jobs;
    return options;
}

TEST(PageThreads, FollowJobsAndCpus)
{
    const unsigned cpus = online_cpus();
    // -j 1 is one thread, whatever the machine and the inputs.
    EXPECT_FALSE(page_threads_help(with_jobs(1), 1));
    EXPECT_FALSE(page_threads_help(with_jobs(1), 100));
    // One input under -j 2: a pair, when there are two CPUs for it.
    EXPECT_EQ(page_threads_help(with_jobs(2), 1), cpus >= 2);
    // As many inputs as jobs fill the jobs' threads already.
    EXPECT_FALSE(page_threads_help(with_jobs(2), 2));
    // The default takes the CPUs: pairs only while the inputs are few.
    EXPECT_EQ(page_threads_help(with_jobs(0), 1), cpus >= 2);
    EXPECT_FALSE(page_threads_help(with_jobs(0), 2 * cpus));
}

TEST(PageThreads, CpusAreThoseThisProcessMayUse)
{
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    EXPECT_EQ(online_cpus(), static_cast<unsigned>(CPU_COUNT(&allowed)));
    // Narrowed to one CPU, as a batch system's task may be.
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &allowed)) {
            CPU_SET(cpu, &one);
            break;
        }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(online_cpus(), 1u);
    EXPECT_FALSE(page_threads_help(with_jobs(0), 1));
    ASSERT_EQ(sched_setaffinity(0, sizeof allowed, &allowed), 0);
}

}  // namespace
