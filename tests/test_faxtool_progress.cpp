// The progress line: what a terminal on standard error sees while faxtool
// works through one long file, and that nothing else ever sees it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/faxtool_harness.h"

namespace {

using namespace faxtooltest;

// Runs faxtool with standard error on a pseudo-terminal; what the terminal
// received. The parent holds the terminal's side open too, so no output is
// lost when faxtool ends before it is read.
std::string on_terminal(const std::vector<std::string> &args, const std::string &cwd)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return "no pseudo-terminal";
    const std::string slave_name = ptsname(master);
    const int slave = open(slave_name.c_str(), O_RDWR | O_NOCTTY);
    std::vector<std::string> storage{FAXTOOL_PATH};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(slave, 2);
        if (chdir(cwd.c_str()) != 0)
            _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    std::string seen;
    for (bool exited = false;;) {
        pollfd fd{master, POLLIN, 0};
        if (poll(&fd, 1, exited ? 0 : 50) > 0) {
            char buffer[4096];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            seen.append(buffer, static_cast<std::size_t>(n));
        } else if (exited) {
            break;
        } else {
            exited = waitpid(pid, nullptr, WNOHANG) == pid;
        }
    }
    close(slave);
    close(master);
    return seen;
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// A fax file of `count` short MH pages.
bytes many_pages(int count)
{
    const page p{"short", std::vector<testpages::line>(20, testpages::white_line())};
    return mh_fax(std::vector<page>(static_cast<std::size_t>(count), p), 1);
}

TEST(Progress, LongSingleFileShowsItsPagesOnATerminal)
{
    progrun::temp_dir dir;
    progrun::write_file(dir.file("long.fax"), many_pages(40));
    const std::string clear = "\r\033[K";

    std::string seen = on_terminal({"info", "long.fax"}, dir.path);
    EXPECT_TRUE(contains(seen, "\rfaxtool: 1/40 pages\033[K")) << seen;
    EXPECT_EQ(seen.substr(seen.size() - clear.size()), clear) << seen;

    seen = on_terminal({"recompress", "-c", "mmr", "long.fax"}, dir.path);
    EXPECT_TRUE(contains(seen, "\rfaxtool: 1/40 pages\033[K")) << seen;
    EXPECT_EQ(seen.substr(seen.size() - clear.size()), clear) << seen;
    EXPECT_TRUE(contains(faxtool({"info", "long.fax"}, dir.path).out, "COMPRESSION: 3"));

    // A TIFF states its page count; import reads each page as it codes it.
    const image blank{8, 2, {0, 0}};
    progrun::write_file(dir.file("page.pbm"), pbm_of({blank}));
    ASSERT_TRUE(have_tool("tiffcp", "libtiff-tools"));
    ASSERT_EQ(shell("pnmtotiff page.pbm > page.tif && tiffcp $(for i in $(seq 12); do echo page.tif; done) pages.tif",
                    dir.path).status, 0);
    seen = on_terminal({"import", "-o", "new.fax", "pages.tif"}, dir.path);
    EXPECT_TRUE(contains(seen, "\rfaxtool: 1/12 pages\033[K")) << seen;
    EXPECT_EQ(seen.substr(seen.size() - clear.size()), clear) << seen;
}

TEST(Progress, PagesShowBesideTheFiles)
{
    progrun::temp_dir dir;
    std::vector<std::string> args{"info"};
    for (const char *name : {"a.fax", "b.fax", "c.fax", "d.fax"}) {
        progrun::write_file(dir.file(name), many_pages(name[0] == 'c' ? 2 : 8));
        args.emplace_back(name);
    }
    // Over many files the line is the run's: files done, their pages, the
    // rate and the time left.
    const std::string seen = on_terminal(args, dir.path);
    EXPECT_TRUE(contains(seen, "\rfaxtool: 1/4 files, 8 pages, ")) << seen;
    EXPECT_TRUE(contains(seen, "\rfaxtool: 4/4 files, 26 pages, ")) << seen;
    EXPECT_TRUE(contains(seen, " pages/s, 0:00 left\033[K")) << seen;
    EXPECT_FALSE(contains(seen, "/2 pages")) << seen;
}

TEST(Progress, NothingWhenStandardErrorIsNoTerminal)
{
    progrun::temp_dir dir;
    progrun::write_file(dir.file("long.fax"), many_pages(40));
    progrun::result r = faxtool({"info", "long.fax", "long.fax", "long.fax", "long.fax"}, dir.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    r = faxtool({"recompress", "-c", "mr", "long.fax"}, dir.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

}  // namespace
