// faxtool recompress and the files faxtool writes: the same bytes as the
// library's own recompression, damaged or unwritable files left alone,
// concurrent runs serialised, and new files that never block or break a name.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "faxtool/output_file.h"
#include "t4/t4dec.h"
#include "tests/faxtool_harness.h"
#include "tests/peak_memory.h"

namespace {

using namespace faxtooltest;

const std::string kExamples = EXAMPLES_DIR;
const char *const kCodings[] = {"mh", "mr", "mmr"};
constexpr int kCodes[] = {0, 1, 3};

bytes generated_fax()
{
    page empty_end{"lines", {testpages::white_line()}};
    return mh_fax({testpages::text_page(300, 7), testpages::random_page(120, 3), testpages::worst_case_page(),
                   empty_end},
                  1);
}

std::string copy_to(const progrun::temp_dir &dir, const std::string &name, const bytes &data)
{
    const std::string path = dir.file(name);
    progrun::write_file(path, data);
    return path;
}

// ---- the same bytes as the library's recompression ---------------------------

// Every coding to every other, from the examples and generated pages, also
// from a damaged page the library recodes: faxtool's own pipeline writes
// exactly what the library writes.
TEST(RecompressBytes, SameAsTheLibrary)
{
    progrun::temp_dir dir;
    std::vector<std::pair<std::string, bytes>> sources;
    for (const char *name : {"sample.fax", "sample_mr.fax", "sample_mmr.fax"})
        sources.emplace_back(name, progrun::read_file(kExamples + "/" + name));
    const bytes generated = generated_fax();
    sources.emplace_back("generated", generated);
    bytes damaged = progrun::read_file(kExamples + "/sample.fax");
    for (std::size_t i = 300; i < 2000; ++i)
        damaged[i] = static_cast<uint8_t>(i * 37);
    sources.emplace_back("damaged", damaged);
    // MH data that stop inside a line: the open line is kept.
    const bytes text = faxbuilder::mh_page(testpages::text_page(200, 5), false);
    for (std::size_t cut : {std::size_t{1001}, text.size() / 2, text.size() - 3})
        sources.emplace_back("cut" + std::to_string(cut),
                             faxbuilder::fax_file("RESOLUTION:1\nCOMPRESSION:0\n#PAGES:1\n",
                                                  {bytes(text.begin(), text.begin() + static_cast<long>(cut))}));
    // A whole last MH line that no EOL closes: clean, and still kept.
    {
        const testpages::page lines = testpages::text_page(40, 3);
        faxbuilder::bit_writer w;
        for (const auto &line : lines.lines) {
            w.put_eol();
            bool black = false;
            for (int32_t run : faxbuilder::runs_of(line)) {
                w.put_run(run, black);
                black = !black;
            }
        }
        if (w.data.size() % 2 != 0)
            w.data.push_back(0);
        sources.emplace_back("open", faxbuilder::fax_file("RESOLUTION:1\nCOMPRESSION:0\n#PAGES:1\n", {w.data}));
    }
    // The generated pages in the other codings, as the library codes them.
    for (int code : {1, 3}) {
        const std::string path = copy_to(dir, "gen", generated);
        ASSERT_EQ(t4dec_change_format(path.c_str(), code, 0, nullptr), 1);
        sources.emplace_back("generated-" + std::to_string(code), progrun::read_file(path));
    }
    int compared = 0;
    for (const auto &[name, data] : sources) {
        for (int t = 0; t < 3; ++t) {
            const std::string library = copy_to(dir, "library.fax", data);
            const std::string ours = copy_to(dir, "ours.fax", data);
            const int done = t4dec_change_format(library.c_str(), kCodes[t], 0, nullptr);
            progrun::result r = faxtool({"recompress", "--force", "-c", kCodings[t], ours});
            ASSERT_EQ(done, 1) << name << " to " << kCodings[t];
            EXPECT_EQ(r.status, 0) << name << " to " << kCodings[t] << ": " << r.err;
            EXPECT_TRUE(progrun::read_file(ours) == progrun::read_file(library)) << name << " to " << kCodings[t];
            ++compared;
        }
    }
    EXPECT_EQ(compared, 33);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"gen", "library.fax", "ours.fax"}));
}

// ---- damage, permissions and concurrency leave the file alone ---------------

TEST(RecompressRefusal, DamagedPagesAreNotLaundered)
{
    progrun::temp_dir dir;
    bytes damaged = progrun::read_file(kExamples + "/sample.fax");
    for (std::size_t i = 300; i < 2000; ++i)
        damaged[i] = static_cast<uint8_t>(i * 37);
    const std::string fax = copy_to(dir, "f.fax", damaged);
    progrun::result r = faxtool({"recompress", "-c", "mmr", fax});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("faxtool: " + fax + ": page 1 is damaged (", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("); not recompressed\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(progrun::read_file(fax) == damaged);

    // A file cut inside a page is damage too.
    bytes cut = progrun::read_file(kExamples + "/sample.fax");
    cut.resize(cut.size() - 100);
    const std::string short_fax = copy_to(dir, "cut.fax", cut);
    r = faxtool({"recompress", "-c", "mmr", short_fax});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("; not recompressed\n"), std::string::npos) << r.err;
    EXPECT_TRUE(progrun::read_file(short_fax) == cut);

    // --force recodes what decodes, the cut page's part included.
    r = faxtool({"recompress", "--force", "-c", "mmr", fax});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, fax + ": MH to MMR\n");
    r = faxtool({"recompress", "-f", "-c", "mmr", short_fax});
    EXPECT_EQ(r.status, 0) << r.err;
    r = faxtool({"export", "-t", "pbm", "-o", "-", short_fax});
    EXPECT_EQ(parse_pbm(bytes(r.out.begin(), r.out.end())).size(), 2u) << r.err;
}

TEST(RecompressRefusal, WriteProtectedFileIsKept)
{
    progrun::temp_dir dir;
    const bytes original = progrun::read_file(kExamples + "/sample.fax");
    const std::string fax = copy_to(dir, "ro.fax", original);
    ASSERT_EQ(chmod(fax.c_str(), 0444), 0);
    progrun::result r = faxtool({"recompress", "-c", "mr", fax});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + fax + ": not writable; not recompressed\n");
    EXPECT_TRUE(progrun::read_file(fax) == original);

    // Another user's file in a directory anyone may write: renaming over it
    // would work, writing it would not.
    if (geteuid() != 0)
        GTEST_SKIP() << "the file of another user needs the superuser to set up";
    ASSERT_TRUE(have_tool("setpriv", "util-linux"));
    const std::string open_dir = dir.file("open");
    ASSERT_EQ(mkdir(open_dir.c_str(), 0777), 0);
    ASSERT_EQ(chmod(open_dir.c_str(), 0777), 0);
    chmod(dir.path.c_str(), 0755);
    const std::string roots = copy_to(dir, "open/root.fax", original);
    ASSERT_EQ(chmod(roots.c_str(), 0644), 0);
    r = shell("setpriv --reuid=65534 --regid=65534 --clear-groups " + std::string(FAXTOOL_PATH) +
              " recompress -c mr " + roots);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + roots + ": not writable; not recompressed\n");
    struct stat st;
    ASSERT_EQ(stat(roots.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_TRUE(progrun::read_file(roots) == original);
    EXPECT_EQ(shell("ls -A " + open_dir).out, "root.fax\n");
}

// Only a regular file is recoded in place; a FIFO does not hold the run up.
TEST(RecompressRefusal, OnlyRegularFiles)
{
    progrun::temp_dir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    progrun::result r = shell("timeout 20 " + std::string(FAXTOOL_PATH) + " recompress -c mr " + fifo + " " + dir.path);
    EXPECT_EQ(r.status, 1);
    // The directory is walked, and the FIFO in it is passed over: a walk
    // takes regular files only.
    EXPECT_EQ(r.err, "faxtool: " + fifo + ": not a regular file; not recompressed\n");
}

// A directory the caller may not write: the message says so, not "Failure opening".
TEST(RecompressRefusal, NoRoomForTheNewFileSaysWhy)
{
    progrun::temp_dir dir;
    const std::string locked_dir = dir.file("ro");
    ASSERT_EQ(mkdir(locked_dir.c_str(), 0755), 0);
    const std::string fax = copy_to(dir, "ro/f.fax", progrun::read_file(kExamples + "/sample.fax"));
    ASSERT_EQ(chmod(fax.c_str(), 0666), 0);
    ASSERT_EQ(chmod(locked_dir.c_str(), 0555), 0);
    std::string command = std::string(FAXTOOL_PATH) + " recompress -c mmr " + fax;
    if (geteuid() == 0) {
        ASSERT_TRUE(have_tool("setpriv", "util-linux"));
        chmod(dir.path.c_str(), 0755);
        command = "setpriv --reuid=65534 --regid=65534 --clear-groups " + command;
    }
    progrun::result r = shell(command);
    chmod(locked_dir.c_str(), 0755);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + fax + ": cannot create a file in " + locked_dir +
                         ": Permission denied; not recompressed\n");
}

// Two recompressions of one file run one after the other: the second
// recodes the first one's result, and neither result is lost. (Forced: this
// is about the lock, not about which pages count as clean.)
TEST(RecompressConcurrency, BothResultsCount)
{
    progrun::temp_dir dir;
    const bytes generated = generated_fax();
    for (int round = 0; round < 4; ++round) {
        const std::string fax = copy_to(dir, "f.fax", generated);
        progrun::result r = shell("(" + std::string(FAXTOOL_PATH) + " recompress -f -c mr " + fax + "; echo $? ) & (" +
                                  FAXTOOL_PATH + " recompress -f -c mmr " + fax + "; echo $? ); wait");
        EXPECT_EQ(r.err, "");
        const bool mr_first = r.out.find("MH to MR") != std::string::npos;
        const std::string first = mr_first ? "MH to MR" : "MH to MMR";
        const std::string second = mr_first ? "MR to MMR" : "MMR to MR";
        EXPECT_NE(r.out.find(fax + ": " + first + "\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(fax + ": " + second + "\n"), std::string::npos) << r.out;
        progrun::result info = faxtool({"info", fax});
        EXPECT_NE(info.out.find(std::string("COMPRESSION: ") + (mr_first ? "3" : "1")), std::string::npos)
            << info.out;
    }
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"f.fax"}));
}

// A file written to (without the lock) while it is recoded is not replaced.
TEST(RecompressConcurrency, FileChangedMeanwhileIsKept)
{
    progrun::temp_dir dir;
    std::vector<page> pages;
    for (int i = 0; i < 400; ++i)
        pages.push_back(testpages::text_page(400, static_cast<uint32_t>(i)));
    const bytes big = mh_fax(pages, 1);
    const std::string fax = copy_to(dir, "big.fax", big);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execl(FAXTOOL_PATH, FAXTOOL_PATH, "recompress", "-c", "mmr", fax.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    // Once it holds the lock, a byte is appended behind its back.
    bool seen_locked = false;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!seen_locked && std::chrono::steady_clock::now() < give_up) {
        const int fd = open(fax.c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            seen_locked = true;
            ASSERT_EQ(write(fd, "x", 1), 1);
        } else {
            flock(fd, LOCK_UN);
        }
        close(fd);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(seen_locked) << "recompress never held the lock";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    bytes expected = big;
    expected.push_back('x');
    EXPECT_TRUE(progrun::read_file(fax) == expected);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"big.fax"}));
}

// Through a link the file it names is recoded beside itself; the link stays.
TEST(RecompressTargets, LinkIsKept)
{
    progrun::temp_dir dir;
    const std::string real_dir = dir.file("real");
    ASSERT_EQ(mkdir(real_dir.c_str(), 0755), 0);
    const std::string fax = copy_to(dir, "real/f.fax", progrun::read_file(kExamples + "/sample.fax"));
    const std::string link = dir.file("link.fax");
    ASSERT_EQ(symlink("real/f.fax", link.c_str()), 0);
    progrun::result r = faxtool({"recompress", "-c", "mmr", link});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, link + ": MH to MMR\n");
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    const std::string library = copy_to(dir, "library.fax", progrun::read_file(kExamples + "/sample.fax"));
    ASSERT_EQ(t4dec_change_format(library.c_str(), 3, 0, nullptr), 1);
    EXPECT_TRUE(progrun::read_file(fax) == progrun::read_file(library));
    EXPECT_EQ(shell("ls -A " + real_dir).out, "f.fax\n");
}

// Names on standard output are quoted as messages and info quote them: no
// name drives the terminal or splits a line.
TEST(RecompressTargets, NamesAreQuoted)
{
    progrun::temp_dir dir;
    const std::string fax = copy_to(dir, "a\x1b[2J\nb.fax", progrun::read_file(kExamples + "/sample.fax"));
    const std::string shown = dir.file("a\\x1b[2J\\nb.fax");
    progrun::result r = faxtool({"recompress", "-c", "mmr", fax});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, shown + ": MH to MMR\n");
    r = faxtool({"recompress", "-c", "mmr", fax});
    EXPECT_EQ(r.out, shown + ": already MMR\n");
    EXPECT_EQ(faxtool({"info", fax}).out.rfind(shown + "\n", 0), 0u);
    ASSERT_EQ(chmod(fax.c_str(), 0444), 0);
    r = faxtool({"recompress", "-c", "mh", fax});
    EXPECT_EQ(r.err.rfind("faxtool: " + shown + ": ", 0), 0u) << r.err;
}

// ---- a page at a time -----------------------------------------------------

// A file of `count` copies of an MH page, one of them damaged_page, written
// a page at a time: the test keeps no copy of it, so that faxtool's child
// starts with no large memory of ours.
std::string write_many_pages(const progrun::temp_dir &dir, const std::string &name, const bytes &page, int count,
                             const bytes &damaged_page = {}, int damaged_at = -1)
{
    const std::string path = dir.file(name);
    std::unique_ptr<FILE, int (*)(FILE *)> out(std::fopen(path.c_str(), "wb"), std::fclose);
    EXPECT_TRUE(out != nullptr) << path;
    if (!out)
        return path;
    const bytes head = faxbuilder::prefix("RESOLUTION:1\nCOMPRESSION:0\n#PAGES:" + std::to_string(count) + "\n");
    std::fwrite(head.data(), 1, head.size(), out.get());
    for (int i = 0; i < count; ++i) {
        bytes stored;
        faxbuilder::append_page(stored, i == damaged_at ? damaged_page : page);
        std::fwrite(stored.data(), 1, stored.size(), out.get());
    }
    EXPECT_EQ(std::fflush(out.get()), 0);
    return path;
}

// Pages are read and recoded one at a time: a file of 16 MB takes no more
// memory than one of its pages, not the whole file on top.
TEST(RecompressStreams, ManyPagesTakeNoMoreMemoryThanOne)
{
#ifdef PEAK_UNDER_SANITIZER
    GTEST_SKIP() << "peak memory means nothing under a sanitizer's shadow memory";
#endif
    progrun::temp_dir dir;
    const bytes page = faxbuilder::mh_page(testpages::text_page(600, 11));
    const int count = static_cast<int>(16 * 1024 * 1024 / page.size()) + 1;
    const measured one = run_measured({"recompress", "-c", "mmr", write_many_pages(dir, "one.fax", page, 1)}, dir);
    const std::string many = write_many_pages(dir, "many.fax", page, count);
    const measured all = run_measured({"recompress", "-c", "mmr", many}, dir);
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_LT(all.peak_kb, one.peak_kb + 2 * 1024) << count << " pages against one";
    progrun::result r = faxtool({"info", many});
    EXPECT_NE(r.out.find("pages: " + std::to_string(count) + " stated, " + std::to_string(count) + " found"),
              std::string::npos)
        << r.out;
}

// Damage found far into the file, after many pages went to the new file,
// still leaves the file as it was and nothing beside it.
TEST(RecompressStreams, LateDamageLeavesTheFileAlone)
{
    progrun::temp_dir dir;
    const bytes page = faxbuilder::mh_page(testpages::text_page(200, 5));
    bytes damaged = page;
    for (std::size_t i = damaged.size() / 3; i < damaged.size() / 2; ++i)
        damaged[i] = static_cast<uint8_t>(i * 37);
    const std::string fax = write_many_pages(dir, "f.fax", page, 60, damaged, 54);
    const bytes original = progrun::read_file(fax);
    progrun::result r = faxtool({"recompress", "-c", "mr", fax});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("faxtool: " + fax + ": page 55 is damaged (", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("); not recompressed\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(progrun::read_file(fax) == original);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"f.fax"}));
    // An archive run counts it as damaged, not as failed.
    r = faxtool({"recompress", "-c", "mr", "--update", fax});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(progrun::read_file(fax) == original);
    r = faxtool({"recompress", "-f", "-c", "mr", fax});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"f.fax"}));
}

// A page of odd length is judged as info judges it, on its whole 16-bit
// words: recompress refuses exactly the pages info calls damaged.
TEST(RecompressStreams, OddPagesAreJudgedAsInfoJudgesThem)
{
    progrun::temp_dir dir;
    const bytes page = faxbuilder::mh_page(testpages::text_page(100, 3), true);
    for (uint8_t last : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x80}}) {
        bytes odd = page;
        odd.push_back(last);
        const std::string fax = write_many_pages(dir, "odd.fax", page, 3, odd, 1);
        const bytes original = progrun::read_file(fax);
        const progrun::result info = faxtool({"info", fax});
        const bool whole = info.out.find("page 2: " + std::to_string(odd.size()) + " bytes, ") != std::string::npos &&
                           info.out.find("0 concealed, clean\n  page 3") != std::string::npos;
        const progrun::result r = faxtool({"recompress", "-c", "mmr", fax});
        EXPECT_EQ(r.status, whole ? 0 : 1) << int{last} << ": " << info.out << r.err;
        if (!whole) {
            EXPECT_TRUE(progrun::read_file(fax) == original);
        }
    }
}

// ---- new files: long names, stale names, the named fallback ------------------

// The longest names a directory takes work as outputs and as targets.
TEST(NewFiles, LongestNamesWork)
{
    progrun::temp_dir dir;
    const std::string fax = copy_to(dir, std::string(251, 'f') + ".fax", progrun::read_file(kExamples + "/sample.fax"));
    progrun::result r = faxtool({"recompress", "-c", "mmr", fax});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string pdf = dir.file(std::string(248, 'p') + ".pdf");
    r = faxtool({"export", "-o", pdf, fax});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string imported = dir.file(std::string(255, 'i'));
    r = faxtool({"export", "-t", "pbm", "-o", dir.file("p.pbm"), fax});
    ASSERT_EQ(r.status, 0) << r.err;
    r = faxtool({"import", "-o", imported, dir.file("p.pbm")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dir.entries().size(), 4u);
}

// What a killed run would leave behind never stands in a later run's way.
TEST(NewFiles, StaleNamesDoNotBlock)
{
    progrun::temp_dir dir;
    const std::string fax = copy_to(dir, "f.fax", progrun::read_file(kExamples + "/sample.fax"));
    // The file a killed run of the same process number would have left:
    // exec keeps the shell's number.
    progrun::result r =
        progrun::run("/bin/sh", {"-c", "touch \"$0.$$\"; exec \"$1\" recompress -c mmr \"$0\"", fax, FAXTOOL_PATH});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dir.entries().size(), 2u);
}

// Where no unnamed file can be had, the hidden name is short and random, a
// file already there is never reused, and a failure removes it.
TEST(NewFiles, NamedFallback)
{
    progrun::temp_dir dir;
    std::string reason;
    for (int i = 0; i < 3; ++i) {
        new_file file;
        ASSERT_TRUE(new_file_create(file, dir.path, 0644, reason, false)) << reason;
        EXPECT_EQ(file.temp_name.rfind(".ft", 0), 0u);
        EXPECT_LE(file.temp_name.size(), 16u);
        ASSERT_EQ(write(file.fd, "new", 3), 3);
        ASSERT_TRUE(new_file_install(file, std::string(255, 'n'), reason)) << reason;
    }
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{std::string(255, 'n')}));
    EXPECT_TRUE(progrun::read_file(dir.file(std::string(255, 'n'))) == (bytes{'n', 'e', 'w'}));

    // A check that fails keeps the old file, and the new one goes.
    new_file file;
    ASSERT_TRUE(new_file_create(file, dir.path, 0644, reason, false)) << reason;
    auto refuse = [](void *, std::string &why) {
        why = "no";
        return false;
    };
    EXPECT_FALSE(new_file_install(file, std::string(255, 'n'), reason, refuse, nullptr));
    EXPECT_EQ(reason, "no");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{std::string(255, 'n')}));

    // Unnamed, the same: the check runs with the file under a hidden name.
    ASSERT_TRUE(new_file_create(file, dir.path, 0644, reason)) << reason;
    EXPECT_FALSE(new_file_install(file, std::string(255, 'n'), reason, refuse, nullptr));
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{std::string(255, 'n')}));
}

// ---- one failure, one message -------------------------------------------------

TEST(ExportFailures, FullDiskStopsAtTheFirstPage)
{
    progrun::temp_dir dir;
    std::vector<page> pages;
    for (int i = 0; i < 6; ++i)
        pages.push_back(testpages::random_page(200, static_cast<uint32_t>(i)));
    const std::string fax = copy_to(dir, "many.fax", mh_fax(pages, 1));
    progrun::result r = shell("ulimit -f 4; exec " + std::string(FAXTOOL_PATH) + " export -o " +
                              dir.file("p.png") + " " + fax);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + dir.file("p-1.png") + ": File too large\n");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"many.fax"}));
}

}  // namespace
