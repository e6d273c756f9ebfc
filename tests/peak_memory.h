// Runs faxtool as a child and takes its peak memory from the kernel's own
// account of it, for tests that bound what a command may take.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/faxtool_harness.h"

// Under a sanitizer's shadow memory peak sizes mean nothing.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PEAK_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define PEAK_UNDER_SANITIZER 1
#endif
#endif

namespace faxtooltest {

struct measured {
    int status = -1;     // -1 when it did not exit (a signal, an abort)
    std::string err;
    long peak_kb = 0;    // the child's peak resident size
};

// Runs faxtool with an optional address-space limit and reports its peak
// memory from the kernel's own account of the child.
inline measured run_measured(const std::vector<std::string> &args, const progrun::temp_dir &dir,
                             rlim_t address_space = RLIM_INFINITY)
{
    std::vector<std::string> storage{FAXTOOL_PATH};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    const std::string err_file = dir.file("stderr.txt");
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit limit{address_space, address_space};
        const int null_fd = open("/dev/null", O_RDWR);
        const int err_fd = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (null_fd < 0 || err_fd < 0 || setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(126);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(err_fd, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    measured m;
    int wstatus = 0;
    rusage usage{};
    if (pid > 0 && wait4(pid, &wstatus, 0, &usage) == pid) {
        if (WIFEXITED(wstatus))
            m.status = WEXITSTATUS(wstatus);
        m.peak_kb = usage.ru_maxrss;
    }
    const bytes err = progrun::read_file(err_file);
    m.err.assign(err.begin(), err.end());
    std::remove(err_file.c_str());
    return m;
}

}  // namespace faxtooltest
