#include "util/file.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>
#include <ctime>
#include <set>
#include <vector>

#include "tests/file_harness.h"

namespace {

using namespace filetest;

std::string pattern_bytes(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 7 + i / 251);
    return bytes;
}

// A writable directory on another file system than dir, or "".
std::string other_file_system(const std::string &dir)
{
    struct stat here {}, there {};
    stat(dir.c_str(), &here);
    for (const char *candidate : {"/dev/shm", "/run", "/var/tmp", "/tmp"})
        if (stat(candidate, &there) == 0 && there.st_dev != here.st_dev && access(candidate, W_OK) == 0)
            return candidate;
    return "";
}

// Exit status of body run in a child whose files may not grow beyond limit bytes.
template <class F>
int with_file_size_limit(rlim_t limit, F &&body)
{
    pid_t child = fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit rl{limit, limit};
        _exit(setrlimit(RLIMIT_FSIZE, &rl) == 0 ? body() : 99);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Each failing call with its exact message; the source must come through intact.
void expect_failures(int (*operation)(const char *, const char *),
                     const std::vector<std::pair<std::pair<std::string, std::string>, std::string>> &cases)
{
    for (const auto &c : cases) {
        const auto &[from, to] = c.first;
        std::string before = read_file(from);
        EXPECT_EQ(traced([&, &from = from, &to = to] { EXPECT_EQ(operation(from.c_str(), to.c_str()), 0); }),
                  c.second);
        EXPECT_EQ(read_file(from), before) << from;
    }
}

TEST(Copy, CopiesEveryByteAndSetsModesAsTheTargetRequires)
{
    scratch_dir dir;
    for (std::size_t size : {0, 1, 8191, 8192, 8193, 100000}) {
        std::string to = dir / ("to" + std::to_string(size));
        write_file(dir / "from", pattern_bytes(size), 0640);
        ASSERT_EQ(copy((dir / "from").c_str(), to.c_str()), 1) << size;
        EXPECT_EQ(read_file(to), pattern_bytes(size)) << size;
        EXPECT_EQ(mode_of(to), 0640u) << size;
    }
    // An existing target keeps its mode, unless it was reached through a directory.
    write_file(dir / "plain", "old contents, longer", 0644);
    fs::create_directory(dir / "sub");
    write_file(dir / "sub/from", "old", 0644);
    EXPECT_EQ(copy((dir / "from").c_str(), (dir / "plain").c_str()), 1);
    EXPECT_EQ(copy((dir / "from").c_str(), (dir / "sub").c_str()), 1);
    EXPECT_EQ(read_file(dir / "plain"), pattern_bytes(100000));
    EXPECT_EQ(read_file(dir / "sub/from"), pattern_bytes(100000));
    EXPECT_EQ(mode_of(dir / "plain"), 0644u);
    EXPECT_EQ(mode_of(dir / "sub/from"), 0640u);
}

TEST(Copy, FailuresAreTracedAndLeaveTheSourceAlone)
{
    scratch_dir dir;
    std::string src = dir / "src", missing = dir / "missing", sub = dir / "sub";
    write_file(src, "data");
    fs::create_directory(sub);
    const std::string same = "copy: \"" + src + "\" and \"" + src + "\" are the same file.\n";
    expect_failures(copy, {
        {{missing, sub}, "copy: open(\"" + missing + "\") failed: No such file or directory.\n"},
        {{sub, missing}, "copy: \"" + sub + "\" isn't a regular file.\n"},
        {{src, missing + "/x"}, "copy: open(\"" + missing + "/x\") failed: No such file or directory.\n"},
        {{src, src}, same},  // opening the target would truncate the source before reading it
        {{src, dir.path}, same},
    });
    EXPECT_FALSE(fs::exists(missing));
}

TEST(Copy, NeverWritesThroughALinkAtTheTarget)
{
    scratch_dir dir;
    std::string src = dir / "src", spool = dir / "spool", victim = dir / "victim";
    write_file(src, "planted data", 0666);
    write_file(victim, "precious", 0600);
    fs::create_directory(spool);
    ASSERT_EQ(symlink("../victim", (spool + "/src").c_str()), 0);
    ASSERT_EQ(symlink("../created", (spool + "/dangling").c_str()), 0);
    const std::string loop = std::strerror(ELOOP);
    // Into a directory holding a link of the source's name, onto a link, onto a dangling link.
    expect_failures(copy, {
        {{src, spool}, "copy: open(\"" + spool + "/src\") failed: " + loop + ".\n"},
        {{src, spool + "/src"}, "copy: open(\"" + spool + "/src\") failed: " + loop + ".\n"},
        {{src, spool + "/dangling"}, "copy: open(\"" + spool + "/dangling\") failed: " + loop + ".\n"},
    });
    EXPECT_EQ(read_file(victim), "precious");
    EXPECT_EQ(mode_of(victim), 0600u);
    EXPECT_TRUE(fs::is_symlink(spool + "/src"));
    EXPECT_FALSE(fs::exists(dir / "created"));
}

TEST(Copy, FailedWriteRemovesAPartialFileButNeverADevice)
{
    scratch_dir dir;
    std::string src = dir / "src", to = dir / "to";
    write_file(src, pattern_bytes(20000));
    EXPECT_EQ(with_file_size_limit(10000, [&] { return copy(src.c_str(), to.c_str()) == 0 && !fs::exists(to) ? 0 : 1; }), 0);
    EXPECT_EQ(read_file(src), pattern_bytes(20000));
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(traced([&] { EXPECT_EQ(copy(src.c_str(), "/dev/full"), 0); }),
              "copy: write(\"/dev/full\") failed: No space left on device.\n");
    EXPECT_TRUE(fs::exists("/dev/full"));
}

TEST(OxMove, RenamesOrMovesIntoADirectoryAndRefusesTheRest)
{
    scratch_dir dir;
    write_file(dir / "a", "A", 0640);
    struct stat before {}, after {};
    stat((dir / "a").c_str(), &before);
    EXPECT_EQ(ox_move((dir / "a").c_str(), (dir / "b").c_str()), 1);
    stat((dir / "b").c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino) << "renamed, not copied";
    EXPECT_FALSE(fs::exists(dir / "a"));

    fs::create_directories(dir / "sub/b");  // rename onto a directory fails (EISDIR): copy into it
    EXPECT_EQ(ox_move((dir / "b").c_str(), (dir / "sub/b").c_str()), 1);
    EXPECT_EQ(read_file(dir / "sub/b/b"), "A");
    EXPECT_EQ(mode_of(dir / "sub/b/b"), 0640u);
    EXPECT_FALSE(fs::exists(dir / "b"));

    std::string d = dir / "sub", f = dir / "sub/b/b", missing = dir / "missing";
    expect_failures(ox_move, {
        {{d, dir / "e"}, "ox_move: \"" + d + "\" isn't a regular file.\n"},
        {{missing, d}, "ox_move: stat(\"" + missing + "\") failed: No such file or directory.\n"},
        {{f, missing + "/x"}, "ox_move: rename(\"" + f + "\",\"" + missing + "/x\") failed: No such file or directory.\n"},
    });
    EXPECT_TRUE(fs::is_directory(d));
    // Into its own directory the copy would land on the source itself.
    EXPECT_EQ(ox_move(f.c_str(), (dir / "sub/b").c_str()), 0);
    EXPECT_EQ(read_file(f), "A");
}

TEST(OxMove, CopiesAcrossFileSystemsAndDeletesTheSourceOnlyAfterACompleteCopy)
{
    scratch_dir dir;
    std::string other = other_file_system(dir.path);
    if (other.empty())
        GTEST_SKIP() << "no second writable file system";
    std::string src = dir / "src", to = other + "/tavrin-move-" + std::to_string(getpid());
    write_file(src, pattern_bytes(50000), 0600);
    EXPECT_EQ(with_file_size_limit(20000, [&] { return ox_move(src.c_str(), to.c_str()); }), 0);
    EXPECT_EQ(read_file(src), pattern_bytes(50000));
    EXPECT_FALSE(fs::exists(to));
    EXPECT_EQ(ox_move(src.c_str(), to.c_str()), 1);
    EXPECT_FALSE(fs::exists(src));
    EXPECT_EQ(read_file(to), pattern_bytes(50000));
    EXPECT_EQ(mode_of(to), 0600u);
    unlink(to.c_str());
}

TEST(OxMove, AFailedCopyAcrossFileSystemsKeepsTheOldDestination)
{
    scratch_dir dir;
    std::string other = other_file_system(dir.path);
    if (other.empty())
        GTEST_SKIP() << "no second writable file system beside " << dir.path << " (tried /dev/shm, /run, /var/tmp, /tmp)";
    std::string there = other + "/tavrin-move-XXXXXX";
    ASSERT_NE(mkdtemp(there.data()), nullptr);
    std::string src = dir / "src", to = there + "/dest";
    write_file(src, pattern_bytes(50000), 0640);
    write_file(to, "old destination", 0604);
    EXPECT_EQ(with_file_size_limit(20000, [&] { return ox_move(src.c_str(), to.c_str()); }), 0);
    EXPECT_EQ(read_file(src), pattern_bytes(50000));
    EXPECT_EQ(read_file(to), "old destination");
    EXPECT_EQ(mode_of(to), 0604u);
    EXPECT_EQ(std::distance(fs::directory_iterator(there), fs::directory_iterator()), 1) << "a temporary file was left";

    EXPECT_EQ(ox_move(src.c_str(), to.c_str()), 1);
    EXPECT_FALSE(fs::exists(src));
    EXPECT_EQ(read_file(to), pattern_bytes(50000));
    EXPECT_EQ(mode_of(to), 0640u);
    EXPECT_EQ(std::distance(fs::directory_iterator(there), fs::directory_iterator()), 1);
    fs::remove_all(there);
}

TEST(OxFtruncate, TruncatesOrTracesTheRequestedLength)
{
    scratch_dir dir;
    write_file(dir / "f", "0123456789");
    testsupport::unique_fd fd(open((dir / "f").c_str(), O_RDWR));
    EXPECT_EQ(ox_ftruncate(fd.get(), 4), 0);
    EXPECT_EQ(read_file(dir / "f"), "0123");
    EXPECT_EQ(traced([] { EXPECT_EQ(ox_ftruncate(-1, 10), -1); }),
              "ox_ftruncate:  ftruncate(10), errno=" + std::to_string(EBADF) + "\n");
}

TEST(UniqueNames, OrderLettersAndTmpDir)
{
    const std::pair<int, const char *> letters[] = {
        {0, "aaa"}, {1, "aab"}, {25, "aaz"}, {26, "aba"}, {676, "baa"}, {17575, "zzz"}, {17576, "baaa"}, {-5, "aaa"},
    };
    for (const auto &[value, expected] : letters)
        EXPECT_STREQ(order_letters(value), expected) << value;
    std::string huge(MAXPATHLEN, 'd');
    const std::pair<const char *, const char *> dirs[] = {
        {nullptr, "/tmp"}, {"", "/tmp"}, {"/var/x", "/var/x"}, {huge.c_str(), "/tmp"},
    };
    for (const auto &[value, expected] : dirs) {
        scoped_env env("TAVRINTMP", value);
        EXPECT_STREQ(tmp_dir(), expected);
    }
}

struct unique_name_fixture : ::testing::Test {
    scratch_dir counter_dir, out;
    scoped_env env{"TAVRINTMP", counter_dir.path.c_str()};
    std::string counter_file = counter_dir / "i_d_order";

    static std::string today()
    {
        static const char *const MONTHS[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                             "jul", "aug", "sep", "oct", "nov", "dec"};
        std::time_t now = std::time(nullptr);
        struct tm local {};
        localtime_r(&now, &local);
        char day[3];
        std::snprintf(day, sizeof day, "%02d", local.tm_mday);
        return MONTHS[local.tm_mon] + std::string(day);
    }
    std::string next(const char *extension = nullptr)
    {
        char path[MAXPATHLEN + 1];
        std::snprintf(path, sizeof path, "%s/old_name", out.path.c_str());
        return make_unique_name(path, sizeof path, extension);
    }
};

TEST_F(unique_name_fixture, CountsOnFromTheStoredCounter)
{
    // stored counter, name letters, counter left behind
    const std::tuple<const char *, const char *, const char *> cases[] = {
        {nullptr, "aaa", "1\n"}, {"41\n", "abp", "42\n"}, {"17572\n", "zzw", "17573\n"},
        {"17573\n", "aaa", "1\n"}, {"-3\n", "aaa", "1\n"}, {"junk", "aaa", "1\n"},
    };
    for (const auto &[stored, letters, left] : cases) {
        unlink(counter_file.c_str());
        if (stored)
            write_file(counter_file, stored);
        EXPECT_EQ(next(), out / (today() + letters + ".fax")) << (stored ? stored : "none");
        EXPECT_EQ(read_file(counter_file), left) << (stored ? stored : "none");
    }
}

TEST_F(unique_name_fixture, SkipsExistingNamesAndKeepsTheDirectoryPart)
{
    EXPECT_EQ(next(), out / (today() + "aaa.fax"));
    write_file(out / (today() + "aab.tif"), "");
    EXPECT_EQ(next(".tif"), out / (today() + "aac.tif"));
    EXPECT_EQ(read_file(counter_file), "3\n");
    char bare[32] = "x", backslashed[32] = "a\\b";
    EXPECT_EQ(std::string(make_unique_name(bare, sizeof bare, "")), today() + "aad");
    EXPECT_EQ(std::string(make_unique_name(backslashed, sizeof backslashed, "")), "a\\" + today() + "aae");
}

TEST_F(unique_name_fixture, RefusesAnOverlongNameAndNeverWritesThroughALink)
{
    write_file(counter_file, "7\n");
    char path[12] = "dir/x";  // "dir/" + 5 + 3 + ".fax" needs 17 bytes
    EXPECT_EQ(make_unique_name(path, sizeof path, nullptr), nullptr);
    EXPECT_STREQ(path, "dir/x");
    EXPECT_EQ(read_file(counter_file), "7\n");

    unlink(counter_file.c_str());
    write_file(counter_dir / "victim", "precious");
    ASSERT_EQ(symlink((counter_dir / "victim").c_str(), counter_file.c_str()), 0);
    EXPECT_EQ(next(), out / (today() + "aaa.fax"));
    EXPECT_EQ(read_file(counter_dir / "victim"), "precious");
}

TEST_F(unique_name_fixture, ACounterFileThatCannotBeUpdatedRestartsAtZero)
{
    // Opened for reading and updating, so a directory in its place is refused.
    ASSERT_EQ(mkdir(counter_file.c_str(), 0755), 0);
    std::string name;
    EXPECT_EQ(traced([&] { name = next(); }),
              "open(\"" + counter_file + "\") failed: Is a directory. Setting extension back to 0.\n");
    EXPECT_EQ(name, out / (today() + "aaa.fax"));
    rmdir(counter_file.c_str());
}

// Exit status of body run in a child, or 128 + the signal that ended it.
template <class F>
int in_child(F &&body)
{
    pid_t child = fork();
    if (child == 0)
        _exit(body());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(unique_name_fixture, ConcurrentCallersNeverGetTheSameName)
{
    constexpr int CALLERS = 4, CALLS = 300;
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < CALLERS; ++i) {
        pid_t child = fork();
        if (child == 0) {
            close(start[1]);
            char go;
            (void)!read(start[0], &go, 1);  // all start together when the pipe closes
            std::string names;
            for (int call = 0; call < CALLS; ++call)
                names += next() + "\n";
            write_file(out / ("names" + std::to_string(i)), names);
            _exit(0);
        }
        children.push_back(child);
    }
    close(start[0]);
    close(start[1]);
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::set<std::string> distinct;
    int total = 0;
    for (int i = 0; i < CALLERS; ++i) {
        std::istringstream names(read_file(out / ("names" + std::to_string(i))));
        for (std::string name; std::getline(names, name); ++total)
            distinct.insert(name);
    }
    EXPECT_EQ(total, CALLERS * CALLS);
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(CALLERS * CALLS));
    EXPECT_EQ(read_file(counter_file), std::to_string(CALLERS * CALLS) + "\n");
}

TEST_F(unique_name_fixture, ACounterFileThatCannotBeDeletedStillCountsOn)
{
    // Root: another user's 0666 file in a sticky directory, used as "nobody".
    // Otherwise: our own file in a directory we may not write.
    bool as_root = geteuid() == 0;
    write_file(counter_file, "5\n", 0666);
    ASSERT_EQ(chmod(counter_dir.path.c_str(), as_root ? 01777 : 0555), 0);
    struct stat before {}, after {};
    stat(counter_file.c_str(), &before);
    int status = in_child([&] {
        if (as_root && (setgid(65534) != 0 || setuid(65534) != 0))
            return 2;
        std::string first = next(), second = next();
        return first == out / (today() + "aaf.fax") && second == out / (today() + "aag.fax") ? 0 : 1;
    });
    chmod(counter_dir.path.c_str(), 0700);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(counter_file), "7\n");
    stat(counter_file.c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino) << "rewritten in place, not replaced";
}

TEST_F(unique_name_fixture, AFifoAtTheCounterPathIsRefusedWithoutHanging)
{
    ASSERT_EQ(mkfifo(counter_file.c_str(), 0666), 0);
    int status = in_child([&] {
        alarm(5);
        return next() == out / (today() + "aaa.fax") ? 0 : 1;
    });
    EXPECT_EQ(status, 0) << (status == 128 + SIGALRM ? "hung on the FIFO" : "wrong name");
    struct stat fifo {};
    EXPECT_TRUE(lstat(counter_file.c_str(), &fifo) == 0 && S_ISFIFO(fifo.st_mode));
}

TEST(SafeFileName, ReplacesUnsafeCharactersAndDropsHighBytes)
{
    const std::pair<const char *, const char *> cases[] = {
        {"a b/Q.fax", "a_b__.fax"}, {"AZaz09-._P", "AZaz09-._P"}, {"\xc3\xa9t\xc3\xa9", "t"}, {"q~*", "q__"},
    };
    for (const auto &[name, expected] : cases) {
        char out[32];
        EXPECT_STREQ(safe_file_name(name, out), expected) << name;
    }
}

}  // namespace
