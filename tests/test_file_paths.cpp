#include "util/file.h"
#include "util/getcwd.h"
#include "util/strlib.h"
#include "util/whitespace.h"

#include <grp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "tests/file_harness.h"

namespace {

using namespace filetest;

// Takes a returned text over; "<none>" for null.
std::string text_of(char *text)
{
    std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
    return text ? std::string(text) : std::string("<none>");
}

TEST(CheckAccess, TypeFieldMustMatchAndMessagesAreExact)
{
    scratch_dir dir;
    write_file(dir / "f", "x", 0444);
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);  // its type bits include the regular-file bit
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (dir / "s").c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(check_file_access((dir / "f").c_str(), ""), 1);
    EXPECT_EQ(check_dir_access((dir / "f").c_str(), nullptr), 0);
    EXPECT_EQ(check_dir_access(dir.path.c_str(), "r"), 1);
    EXPECT_EQ(check_file_access(dir.path.c_str(), nullptr), 0);
    EXPECT_EQ(check_file_access((dir / "s").c_str(), nullptr), 0);
    close(sock);

    EXPECT_EQ(traced([&] { EXPECT_EQ(is_readable_file((dir / "missing").c_str()), 0); }), "");
    bool root = geteuid() == 0;  // the superuser passes every permission test, unchecked
    EXPECT_EQ(traced([&] { EXPECT_EQ(check_file_access((dir / "f").c_str(), "rq"), 1); }),
              root ? "" : "check_access: Invalid permission: [q]\n");
    EXPECT_EQ(check_file_access((dir / "f").c_str(), "rwx"), root ? 1 : 0);
}

// File owner (child or root), group, mode, request, expected for the child.
struct class_case {
    bool owned_by_child;
    gid_t group;
    mode_t mode;
    const char *perms;
    int expected;
};
constexpr uid_t CHILD_UID = 65534;
constexpr gid_t CHILD_GID = 65534, SUPPLEMENTARY_GID = 4242;
const class_case CLASS_CASES[] = {
    {true, 0, 0400, "r", 1},        {true, 0, 0077, "r", 0},  // owner: owner bits only
    {false, CHILD_GID, 0404, "r", 0}, {false, CHILD_GID, 0050, "rx", 1},  // group: group bits only
    {false, SUPPLEMENTARY_GID, 0040, "r", 1}, {false, SUPPLEMENTARY_GID, 0004, "r", 0},
    {false, 0, 0004, "r", 1},       {false, 0, 0060, "r", 0},  // other
};

TEST(CheckAccess, ClassIsChosenLikeTheKernelDoes)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to hand files to another user";
    scratch_dir dir;
    chmod(dir.path.c_str(), 0755);
    const std::size_t count = std::size(CLASS_CASES);
    for (std::size_t i = 0; i < count; ++i) {
        write_file(dir / std::to_string(i), "x", CLASS_CASES[i].mode);
        ASSERT_EQ(chown((dir / std::to_string(i)).c_str(), CLASS_CASES[i].owned_by_child ? CHILD_UID : 0,
                        CLASS_CASES[i].group), 0);
    }
    pid_t child = fork();
    if (child == 0) {
        gid_t extra = SUPPLEMENTARY_GID;
        if (setgroups(1, &extra) != 0 || setegid(CHILD_GID) != 0 || seteuid(CHILD_UID) != 0)
            _exit(255);
        int failures = 0;
        for (std::size_t i = 0; i < count; ++i)
            if (check_file_access((dir / std::to_string(i)).c_str(), CLASS_CASES[i].perms) != CLASS_CASES[i].expected)
                failures |= 1 << i;
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 255) << "could not switch user";
    for (std::size_t i = 0; i < count; ++i)
        EXPECT_FALSE(WEXITSTATUS(status) & (1 << i)) << "case " << i;
}

TEST(FindFiles, HomeComesBeforeTheWorkingDirectoryAndPathComesLast)
{
    scratch_dir home, work, bin;
    write_file(home / "both", "home");
    write_file(work / "both", "work");
    write_file(work / "only_here", "work");
    write_file(bin / "prog", "#!/bin/sh\n", 0755);
    scoped_cwd cwd(work.path);
    scoped_env env_home("TAVRINHOME", home.path.c_str());
    scoped_env env_path("PATH", ("/nonexistent::" + bin.path).c_str());
    EXPECT_EQ(text_of(find_home_file("both")), home / "both");
    EXPECT_EQ(text_of(find_home_file("only_here")), work / "only_here");
    EXPECT_EQ(text_of(find_home_file("absent")), "<none>");
    EXPECT_EQ(text_of(find_executable("prog")), bin / "prog");
    {
        scoped_env no_path("PATH", nullptr);
        EXPECT_EQ(text_of(find_executable("prog")), "<none>");
    }
    // A relative home keeps its "..": the path returned names the file tested.
    scoped_env relative_home("TAVRINHOME", ("../" + fs::path(home.path).filename().string()).c_str());
    EXPECT_EQ(read_file(text_of(find_home_file("both"))), "home");
}

TEST(FixPath, JoinsRelativePathsToTheCachedWorkingDirectory)
{
    scoped_cwd cwd("/w");
    const std::pair<const char *, const char *> cases[] = {
        {"./a", "/w/a"}, {"a/b", "/w/a/b"}, {"/x/y", "/x/y"}, {"../a", "/w/../a"}, {"", "/w/"},
    };
    for (const auto &[path, expected] : cases)
        EXPECT_EQ(text_of(fix_path(path)), expected) << path;
    std::string longest(MAXPATHLEN - 3, 'a');  // "/w/" + it is exactly MAXPATHLEN
    EXPECT_EQ(text_of(fix_path(longest.c_str())).size(), std::size_t{MAXPATHLEN});
    EXPECT_EQ(traced([&] { EXPECT_EQ(fix_path((longest + "a").c_str()), nullptr); }), "fix_path: path too large\n");

    char tiny[2];  // the cache is copied only when it fits
    auto out = testsupport::capture_output([&] { EXPECT_EQ(ox_getcwd(tiny, sizeof tiny), nullptr); });
    EXPECT_EQ(out.err, std::string("ox_getcwd: getcwd: ") + std::strerror(ERANGE) + "\n");
}

TEST(OxGetcwd, LaterDirectoryChangesAreNotSeen)
{
    scratch_dir dir;
    scoped_cwd::set_cache(nullptr);
    char first[MAXPATHLEN + 1], again[MAXPATHLEN + 1];
    ASSERT_NE(ox_getcwd(first, sizeof first), nullptr);
    std::string saved = fs::current_path().string();
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    EXPECT_STREQ(ox_getcwd(again, sizeof again), first);
    ASSERT_EQ(chdir(saved.c_str()), 0);
    scoped_cwd::set_cache(nullptr);
}

TEST(IsValidPath, RejectsInnerBlanksControlsAndOverlongPaths)
{
    const std::pair<std::string, int> cases[] = {
        {"  \"/tmp/x\"  ", 1}, {"", 1}, {"   ", 1}, {"/tmp/\xc3\xa9", 1}, {"/tmp/\"q\"x", 1}, {"/tmp/a b", 0},
        {"/tmp/a\tb", 0}, {"/tmp/\x7f", 0}, {"/tmp/\x01", 0}, {std::string(MAXPATHLEN, 'a'), 1},
        {std::string(MAXPATHLEN + 1, 'a'), 0},
    };
    for (const auto &[path, expected] : cases)
        EXPECT_EQ(is_valid_path(path.c_str()), expected) << path.substr(0, 40);
    EXPECT_EQ(traced([] { is_valid_path("/tmp/a b"); }), "is_valid_path: Invalid path: [/tmp/a b].\n");
    EXPECT_EQ(is_absolute_path("/a") + is_absolute_path("a") + is_absolute_path(nullptr), 1);
    EXPECT_EQ(is_relative_path("") + is_relative_path(nullptr) + is_relative_path("/"), 2);
}

TEST(Mkpath, NormalisesTextually)
{
    scoped_cwd cwd("/w/x");
    const std::pair<const char *, const char *> cases[] = {
        {"/a/./b//c/../d/", "/a/b/d"}, {"/", "/"}, {"", "/w/x"}, {"b/../../c", "/w/c"},
        {"/a/.../.x", "/a/.../.x"}, {"/a/b/../..", "/"},
    };
    for (const auto &[path, expected] : cases)
        EXPECT_EQ(text_of(mkpath(path)), expected) << path;
    EXPECT_EQ(traced([] { EXPECT_EQ(mkpath("/.."), nullptr); }), "mkpath: Invalid path: [/..].\n");
    EXPECT_EQ(traced([] { EXPECT_EQ(mkpath("a\nb"), nullptr); }),
              "is_valid_path: Invalid path: [a\nb].\nmkpath: Invalid path: [a\nb].\n");
    std::string too_long(MAXPATHLEN - 4, 'a');  // fits alone, not behind "/w/x/"
    EXPECT_EQ(traced([&] { EXPECT_EQ(mkpath(too_long.c_str()), nullptr); }), "mkpath: path too large\n");
}

TEST(PathParts, BasenameAndDirnameCutInPlace)
{
    // path, basename, what basename leaves in the caller's text, dirname
    const std::tuple<const char *, const char *, const char *, const char *> cases[] = {
        {"/usr/lib", "lib", "/usr/lib", "/usr"}, {"/", "/", "/", "/"}, {"lib", "lib", "lib", "."},
        {"", ".", "", "."}, {"a/b/", "b", "a/b", "a"}, {"/usr", "usr", "/usr", "/"},
        {"a//b", "b", "a//b", "a/"}, {"/a/", "a", "/a", "/"},
    };
    for (const auto &[path, base, left, dir] : cases) {
        std::string for_base = path, for_dir = path;
        EXPECT_STREQ(ox_basename(for_base.data()), base) << path;
        EXPECT_STREQ(for_base.c_str(), left) << path;
        EXPECT_STREQ(ox_dirname(for_dir.data()), dir) << path;
    }
    EXPECT_STREQ(ox_basename(nullptr), ".");
    EXPECT_STREQ(ox_dirname(nullptr), ".");
}

TEST(TextHelpers, SplitFieldsTrimsEveryFieldInOneBlock)
{
    const std::pair<const char *, std::vector<std::string>> cases[] = {
        {" a , b ,", {"a", "b", ""}}, {"", {""}}, {",,", {"", "", ""}}, {"\ta b\n,\"x\"", {"a b", "\"x\""}},
    };
    for (const auto &[text, expected] : cases) {
        char **fields = nullptr;
        int count = split_fields(text, ',', &fields);
        ASSERT_EQ(count, static_cast<int>(expected.size())) << text;
        EXPECT_EQ(split_fields(text, ',', nullptr), count);
        for (int i = 0; i < count; ++i)
            EXPECT_EQ(fields[i], expected[i]) << text << " field " << i;
        EXPECT_EQ(fields[count], nullptr);
        std::free(fields);
    }
    errno = 0;
    EXPECT_EQ(split_fields(nullptr, ',', nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    std::string quoted = "  \"a b\" \r\n";
    EXPECT_STREQ(strip_white_and_quotes(quoted.data()), "a b");
    EXPECT_EQ(skip_white(nullptr), nullptr);
    EXPECT_EQ(strip_white_and_quotes(nullptr), nullptr);
}

}  // namespace
