// faxtool over whole archives: directory trees and lists of files, outputs
// under -d or in one file, threads that change no byte, --update after a
// killed run, shards that partition, and the inputs that cannot be taken.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "tests/faxtool_harness.h"
#include "tests/peak_memory.h"

namespace {

using namespace faxtooltest;
namespace fs = std::filesystem;

const std::string kExamples = EXAMPLES_DIR;
const char *const kSamples[] = {"sample.fax", "sample_mr.fax", "sample_mmr.fax"};

void copy_sample(const std::string &sample, const std::string &to)
{
    fs::create_directories(fs::path(to).parent_path());
    fs::copy_file(kExamples + "/" + sample, to, fs::copy_options::overwrite_existing);
}

// count fax files under root/tree: nested directories, some names without
// an extension, the three samples in turn. Returns their relative paths.
std::vector<std::string> make_tree(const std::string &root, int count)
{
    std::vector<std::string> made;
    for (int i = 0; i < count; ++i) {
        const std::string relative = std::to_string(i % 3) + "/" + std::to_string(i % 2) + "/f" +
                                     std::to_string(i) + (i % 5 == 0 ? "" : ".fax");
        copy_sample(kSamples[i % 3], root + "/" + relative);
        made.push_back(relative);
    }
    std::sort(made.begin(), made.end());
    return made;
}

std::string without_extension(const std::string &relative)
{
    const std::size_t dot = relative.rfind('.');
    return dot == std::string::npos || dot < relative.rfind('/') + 1 ? relative : relative.substr(0, dot);
}

// The "file" of every report line, in order.
std::vector<std::string> reported_files(const std::string &report)
{
    std::vector<std::string> files;
    std::size_t at = 0;
    const std::string key = "{\"file\": \"";
    while ((at = report.find(key, at)) != std::string::npos) {
        at += key.size();
        files.push_back(report.substr(at, report.find('"', at) - at));
    }
    return files;
}

std::string read_text(const std::string &path)
{
    const bytes data = progrun::read_file(path);
    return std::string(data.begin(), data.end());
}

// Every regular file under root, relative to it, with its bytes.
std::map<std::string, bytes> files_under(const std::string &root)
{
    std::map<std::string, bytes> files;
    for (const auto &entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), root).string()] = progrun::read_file(entry.path().string());
    return files;
}

TEST(Archive, OutputsEqualSingleFileExports)
{
    progrun::temp_dir dir;
    const std::vector<std::string> tree = make_tree(dir.file("in"), 6);
    for (const char *type : {"pdf", "tiff", "pbm", "png"}) {
        const std::string out = dir.file(std::string("out-") + type);
        progrun::result r = faxtool({"export", "-t", type, "-d", out, "-j", "3", dir.file("in")});
        ASSERT_EQ(r.status, 0) << type << ": " << r.err;
        EXPECT_EQ(r.err, "");
        const std::string extension = std::string(type) == "tiff" ? ".tif" : std::string(".") + type;
        for (const std::string &relative : tree) {
            const std::string alone = dir.file("alone");
            ASSERT_EQ(faxtool({"export", "-t", type, "-o", alone, dir.file("in/" + relative)}).status, 0);
            const std::string stem = out + "/" + without_extension(relative);
            if (std::string(type) == "png") {
                for (int page = 1; page <= 2; ++page)
                    EXPECT_EQ(progrun::read_file(stem + "-" + std::to_string(page) + ".png"),
                              progrun::read_file(alone + "-" + std::to_string(page) + ".png"))
                        << relative << " page " << page;
            } else {
                EXPECT_EQ(progrun::read_file(stem + extension), progrun::read_file(alone)) << type << " " << relative;
            }
        }
    }
    // -o OUT: every page of every input, in input order.
    ASSERT_EQ(faxtool({"export", "-o", dir.file("all.pbm"), "-j", "2", dir.file("in")}).status, 0);
    bytes joined;
    for (const std::string &relative : tree) {
        progrun::result alone = faxtool({"export", "-o", "-", dir.file("in/" + relative)});
        joined.insert(joined.end(), alone.out.begin(), alone.out.end());
    }
    EXPECT_EQ(progrun::read_file(dir.file("all.pbm")), joined);
    // TIFF and PDF pages are coded on the pool: the same bytes for any -j,
    // the pages of the single-file exports.
    for (const char *type : {"tif", "pdf"}) {
        const std::string one = dir.file(std::string("one.") + type), four = dir.file(std::string("four.") + type);
        ASSERT_EQ(faxtool({"export", "-j", "1", "-o", one, dir.file("in")}).status, 0);
        ASSERT_EQ(faxtool({"export", "-j", "4", "-o", four, dir.file("in")}).status, 0);
        EXPECT_EQ(progrun::read_file(one), progrun::read_file(four)) << type;
    }
    if (have_tool("qpdf", "qpdf")) {
        EXPECT_EQ(shell("qpdf --show-npages " + dir.file("one.pdf")).out, "12\n");
    }
    // Each page of the one TIFF holds what the file's own TIFF holds.
    if (have_tool("tiffsplit", "libtiff-tools") && have_tool("tiffcmp", "libtiff-tools")) {
        ASSERT_EQ(shell("tiffsplit " + dir.file("one.tif") + " " + dir.file("all-")).status, 0);
        const char *const suffixes[] = {"aaa", "aab", "aac", "aad", "aae", "aaf", "aag", "aah", "aai", "aaj", "aak", "aal"};
        for (std::size_t i = 0; i < tree.size(); ++i) {
            ASSERT_EQ(faxtool({"export", "-o", dir.file("alone.tif"), dir.file("in/" + tree[i])}).status, 0);
            ASSERT_EQ(shell("tiffsplit " + dir.file("alone.tif") + " " + dir.file("alone-")).status, 0);
            for (int page = 0; page < 2; ++page)
                EXPECT_EQ(shell(std::string("tiffcmp ") + dir.file("all-") + suffixes[2 * i + page] + ".tif " +
                                dir.file("alone-") + suffixes[page] + ".tif")
                              .status,
                          0)
                    << tree[i] << " page " << page + 1;
        }
    }
}

TEST(Archive, SameBytesAndLinesAtOneAndFourThreads)
{
    progrun::temp_dir dir;
    make_tree(dir.file("in"), 24);
    // A cut-short file and a file that is no fax file make messages whose
    // order is the input order too.
    bytes cut = progrun::read_file(kExamples + "/sample.fax");
    cut.resize(cut.size() - 3000);
    progrun::write_file(dir.file("in/1/cut.fax"), cut);
    progrun::write_file(dir.file("in/2/zz.fax"), bytes{'B', 'A', 'D', 0, 0, 0, 0, 0, 0});
    std::vector<progrun::result> runs;
    for (const char *jobs : {"1", "4"}) {
        const std::string run = dir.file(std::string("run") + jobs);
        fs::create_directory(run);
        runs.push_back(faxtool({"export", "-t", "pdf", "-j", jobs, "-d", "out", "--report", "-",
                                dir.file("in"), dir.file("in/2/zz.fax")}, run));
        EXPECT_EQ(runs.back().status, 1);
    }
    EXPECT_EQ(runs[0].out, runs[1].out);
    EXPECT_EQ(runs[0].err, runs[1].err);
    EXPECT_NE(runs[0].out.find("\"status\": \"damaged\""), std::string::npos) << runs[0].out;
    EXPECT_EQ(reported_files(runs[0].out).size(), 26u);
    EXPECT_EQ(files_under(dir.file("run1/out")), files_under(dir.file("run4/out")));

    progrun::result one = faxtool({"info", "--json", "--summary", "-j", "1", dir.file("in")});
    progrun::result four = faxtool({"info", "--json", "--summary", "-j", "4", dir.file("in")});
    EXPECT_EQ(one.out, four.out);
    EXPECT_EQ(one.err, four.err);
    const std::string summary = one.out.substr(one.out.rfind("{"));
    EXPECT_EQ(summary, "{\"files\": 25, \"pages\": 49, \"damaged\": 1, \"concealed\": 0, \"not_fax\": 1, "
                       "\"failed\": 0}\n");
    // A named file that is not there failed; it is not a file of another kind.
    progrun::result missing = faxtool({"info", "--json", "--summary", dir.file("in/2/zz.fax"), dir.file("gone.fax")});
    EXPECT_EQ(missing.out.substr(missing.out.rfind("{")),
              "{\"files\": 2, \"pages\": 0, \"damaged\": 0, \"concealed\": 0, \"not_fax\": 1, \"failed\": 1}\n");
}

TEST(Archive, KilledRunThenUpdateCompletesTheSet)
{
    progrun::temp_dir dir;
    const std::vector<std::string> tree = make_tree(dir.file("in"), 40);
    const std::string out = dir.file("out");
    std::mt19937 random(17);
    for (int round = 0; round < 6; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl(FAXTOOL_PATH, FAXTOOL_PATH, "export", "-t", "pdf", "-j", "2", "--update", "-d", out.c_str(),
                  dir.file("in").c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        usleep(std::uniform_int_distribution<useconds_t>(5000, 150000)(random));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    progrun::result r = faxtool({"export", "-t", "pdf", "--update", "-d", out, "--report", "-", dir.file("in")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(reported_files(r.out).size(), tree.size());
    // Outputs are complete or absent: each is the file's own export, and
    // nothing else has an output's name.
    std::set<std::string> expected;
    for (const std::string &relative : tree)
        expected.insert(without_extension(relative) + ".pdf");
    for (const auto &[name, data] : files_under(out))
        EXPECT_TRUE(fs::path(name).filename().string()[0] == '.' || expected.count(name) != 0) << name;
    for (const std::string &relative : tree) {
        ASSERT_EQ(faxtool({"export", "-o", dir.file("alone.pdf"), dir.file("in/" + relative)}).status, 0);
        EXPECT_EQ(progrun::read_file(out + "/" + without_extension(relative) + ".pdf"),
                  progrun::read_file(dir.file("alone.pdf")))
            << relative;
    }
    // Nothing left to do: every input is skipped, and a changed one redone.
    r = faxtool({"export", "-t", "pdf", "--update", "-d", out, "--report", "-", dir.file("in")});
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), static_cast<long>(tree.size()));
    EXPECT_EQ(r.out.find("\"status\": \"ok\""), std::string::npos) << r.out;
    sleep(1);  // a coarse file system clock must see the change
    copy_sample("sample_mr.fax", dir.file("in/" + tree[0]));
    r = faxtool({"export", "-t", "pdf", "--update", "-d", out, "--report", "-", dir.file("in")});
    EXPECT_NE(r.out.find("{\"file\": \"" + dir.file("in/" + tree[0]) + "\", \"status\": \"ok\""),
              std::string::npos)
        << r.out;
}

// A damaged input is never taken for done: its outputs are kept, and
// --update does it again and reports it again, so a resumed run's report
// and status still say what is wrong. Damage the header shows (a cut page)
// and damage only decoding finds (a concealed line) alike.
TEST(Archive, UpdateKeepsTheStatusOfADamagedInput)
{
    progrun::temp_dir dir;
    copy_sample("sample_mr.fax", dir.file("in/good.fax"));
    bytes data = progrun::read_file(kExamples + "/sample.fax");
    bytes cut(data.begin(), data.end() - 3000);
    progrun::write_file(dir.file("in/cut.fax"), cut);
    for (std::size_t i = 3000; i < 3040; ++i)
        data[i] ^= 0xff;
    progrun::write_file(dir.file("in/garbled.fax"), data);
    const std::string out = dir.file("out");
    auto line_of = [&](const progrun::result &r, const std::string &name) {
        const std::size_t at = r.out.find("{\"file\": \"" + dir.file("in/" + name) + "\"");
        return at == std::string::npos ? std::string() : r.out.substr(at, r.out.find('\n', at) - at);
    };
    for (const char *type : {"pdf", "png"}) {
        SCOPED_TRACE(type);
        fs::remove_all(out);
        const progrun::result first = faxtool({"export", "-t", type, "-d", out, "--report", "-", dir.file("in")});
        ASSERT_EQ(first.status, 1) << first.err;
        const std::map<std::string, bytes> written = files_under(out);
        const progrun::result again =
            faxtool({"export", "-t", type, "--update", "-d", out, "--report", "-", dir.file("in")});
        EXPECT_EQ(again.status, 1) << again.err;
        EXPECT_EQ(again.err, first.err);
        for (const char *name : {"cut.fax", "garbled.fax"}) {
            EXPECT_NE(line_of(again, name).find("\"status\": \"damaged\""), std::string::npos) << again.out;
            EXPECT_EQ(line_of(again, name), line_of(first, name));
        }
        EXPECT_NE(line_of(again, "good.fax").find("\"status\": \"skipped\""), std::string::npos) << again.out;
        EXPECT_EQ(files_under(out), written);
    }
    // One output of every page: done again as a whole while an input of it
    // is damaged; without one it is up to date.
    const std::string all = dir.file("all.pdf");
    ASSERT_EQ(faxtool({"export", "-o", all, dir.file("in")}).status, 1);
    progrun::result r = faxtool({"export", "-o", all, "--update", "--report", "-", dir.file("in")});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(line_of(r, "cut.fax").find("\"status\": \"damaged\""), std::string::npos) << r.out;
    copy_sample("sample_mmr.fax", dir.file("ok/b.fax"));
    copy_sample("sample.fax", dir.file("ok/c.fax"));
    ASSERT_EQ(faxtool({"export", "-o", all, dir.file("ok")}).status, 0);
    r = faxtool({"export", "-o", all, "--update", dir.file("ok")});
    EXPECT_EQ(r.status, 0) << r.err;
    // One file, beside itself, then the same with --update.
    ASSERT_EQ(faxtool({"export", dir.file("in/garbled.fax")}).status, 1);
    r = faxtool({"export", "--update", "--report", "-", dir.file("in/garbled.fax")});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(line_of(r, "garbled.fax").find("\"status\": \"damaged\""), std::string::npos) << r.out;
}

TEST(Archive, ShardsPartitionAndKeepTheirFiles)
{
    progrun::temp_dir dir;
    const std::vector<std::string> tree = make_tree(dir.file("in"), 30);
    auto shards_of = [&](int shards, const std::string &root) {
        std::map<std::string, int> shard_of;
        for (int k = 0; k < shards; ++k) {
            progrun::result r = faxtool({"info", "--report", dir.file("r.jsonl"), "--shard",
                                         std::to_string(k) + "/" + std::to_string(shards), root});
            EXPECT_EQ(r.status, 0) << r.err;
            for (const std::string &file : reported_files(read_text(dir.file("r.jsonl"))))
                EXPECT_TRUE(shard_of.emplace(file, k).second) << file << " in two shards";
        }
        return shard_of;
    };
    const std::map<std::string, int> before = shards_of(4, dir.file("in"));
    EXPECT_EQ(before.size(), tree.size());
    // The hash the manual gives: FNV-1a of 64 bits over the relative path.
    for (const std::string &relative : tree) {
        uint64_t hash = 14695981039346656037u;
        for (unsigned char c : relative)
            hash = (hash ^ c) * 1099511628211u;
        EXPECT_EQ(before.at(dir.file("in/" + relative)), static_cast<int>(hash % 4)) << relative;
    }
    std::set<int> used;
    for (const auto &[file, shard] : before)
        used.insert(shard);
    EXPECT_EQ(used.size(), 4u);
    // The archive grows: no file changes its shard. A file found under a
    // different root keeps it too, as it hashes its path within the tree.
    make_tree(dir.file("in/new"), 10);
    const std::map<std::string, int> after = shards_of(4, dir.file("in"));
    for (const auto &[file, shard] : before)
        EXPECT_EQ(after.at(file), shard) << file;
    fs::rename(dir.file("in"), dir.file("moved"));
    const std::map<std::string, int> moved = shards_of(4, dir.file("moved"));
    for (const auto &[file, shard] : before)
        EXPECT_EQ(moved.at(dir.file("moved") + file.substr(dir.file("in").size())), shard) << file;

    for (const char *bad : {"4/4", "1/0", "-1/2", "1", "a/b", "1/2/3"})
        EXPECT_EQ(faxtool({"info", "--shard", bad, dir.file("moved")}).status, 2) << bad;
}

TEST(Archive, ClashesAndInputsThatCannotBeTaken)
{
    progrun::temp_dir dir;
    copy_sample("sample.fax", dir.file("in/a.FAX"));
    copy_sample("sample_mr.fax", dir.file("in/a.fax"));
    copy_sample("sample_mmr.fax", dir.file("in/deep/b.data"));
    progrun::write_file(dir.file("in/deep/notes.txt"), bytes{'h', 'i', '\n'});
    progrun::write_file(dir.file("named.txt"), bytes{'n', 'o', '\n'});
    fs::create_directory_symlink(dir.file("in/deep"), dir.file("in/link"));
    // faxtool's own temporary files are never inputs.
    copy_sample("sample.fax", dir.file("in/.b.pdf.Ab12Zx"));
    copy_sample("sample.fax", dir.file("in/.ftAb12Zx90"));
    copy_sample("sample.fax", dir.file("in/deep/b.data.4242"));

    progrun::result r = faxtool({"export", "-t", "pbm", "-d", dir.file("out"), "--report", dir.file("r.jsonl"),
                                 dir.file("in"), dir.file("named.txt")});
    EXPECT_EQ(r.status, 1);
    // The first in byte order is kept; the link is not followed; the
    // non-fax file in the tree is passed over, the named one reported.
    EXPECT_EQ(reported_files(read_text(dir.file("r.jsonl"))),
              (std::vector<std::string>{dir.file("in/a.FAX"), dir.file("in/a.fax"), dir.file("in/deep/b.data"),
                                        dir.file("named.txt")}));
    EXPECT_NE(r.err.find("faxtool: " + dir.file("in/a.fax") + ": would write the same output as " +
                         dir.file("in/a.FAX")),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("faxtool: " + dir.file("named.txt") + ": "), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("notes.txt"), std::string::npos) << r.err;
    // A numbered sibling may be the archive's own: it is told of, and
    // taken when named; faxtool's hidden temporaries go unmentioned.
    EXPECT_NE(r.err.find("faxtool: " + dir.file("in/deep/b.data.4242") +
                         ": passed over as a temporary file an earlier faxtool left beside " +
                         dir.file("in/deep/b.data") + "; name it to take it\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("Ab12Z"), std::string::npos) << r.err;
    EXPECT_EQ(faxtool({"info", dir.file("in/deep/b.data.4242")}).status, 0);
    progrun::result alone = faxtool({"export", "-o", "-", dir.file("in/a.FAX")});
    EXPECT_EQ(progrun::read_file(dir.file("out/a.pbm")), bytes(alone.out.begin(), alone.out.end()));
    EXPECT_TRUE(progrun::file_exists(dir.file("out/deep/b.pbm")));
    EXPECT_EQ(files_under(dir.file("out")).size(), 2u);

    // An unreadable directory is reported and the rest is done. Root reads
    // any directory, so the run drops to an unprivileged user when it can.
    fs::create_directories(dir.file("tree/closed"));
    copy_sample("sample.fax", dir.file("tree/closed/x.fax"));
    copy_sample("sample.fax", dir.file("tree/open.fax"));
    chmod(dir.file("tree/closed").c_str(), 0);
    std::string prefix;
    if (geteuid() == 0) {
        if (shell("command -v setpriv").status != 0)
            GTEST_SKIP() << "setpriv (util-linux) is needed to drop root for the unreadable directory";
        chmod(dir.path.c_str(), 0755);
        prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    r = shell(prefix + FAXTOOL_PATH + " info --summary " + dir.file("tree"));
    chmod(dir.file("tree/closed").c_str(), 0755);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("faxtool: " + dir.file("tree/closed") + ": cannot read the directory: Permission denied"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find(dir.file("tree/open.fax") + "\n"), std::string::npos) << r.out;
}

TEST(Archive, ListsOptionsAndStatus)
{
    progrun::temp_dir dir;
    copy_sample("sample.fax", dir.file("b.fax"));
    copy_sample("sample_mr.fax", dir.file("a\nline.fax"));
    copy_sample("sample_mmr.fax", dir.file("sub/c.fax"));
    // NUL-separated, in any order: handled in byte order of the paths.
    const std::string list = dir.file("sub/c.fax") + '\0' + dir.file("b.fax") + '\0' + dir.file("a\nline.fax");
    progrun::write_file(dir.file("list0"), bytes(list.begin(), list.end()));
    progrun::result r = faxtool({"info", "--files-from", dir.file("list0"), "-0", "--report", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(reported_files(r.out).size(), 3u);
    EXPECT_LT(r.out.find("a\\u000aline.fax"), r.out.find("b.fax"));
    // One a line, from standard input; a list path keeps its own relative
    // path under -d.
    r = shell("printf 'b.fax\\nsub/c.fax\\n' | " + std::string(FAXTOOL_PATH) +
                  " export -t pdf -d out --files-from - -j 2",
              dir.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(progrun::file_exists(dir.file("out/b.pdf")));
    EXPECT_TRUE(progrun::file_exists(dir.file("out/sub/c.pdf")));
    // -o naming a directory is -d: od/b-1.png, not od/-1.png.
    r = faxtool({"export", "-o", "od/", "b.fax"}, dir.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(progrun::file_exists(dir.file("od/b-1.png")));
    EXPECT_FALSE(progrun::file_exists(dir.file("od/-1.png")));

    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"export", "-o", "x.png", "b.fax", "sub"},
             {"export", "-o", "x.pdf", "-d", "out", "b.fax"},
             {"export", "-j", "0", "b.fax"},
             {"info", "-0", "b.fax"},
             {"recompress", "-c", "mmr", "--shard", "2/2", "b.fax"}})
        EXPECT_EQ(faxtool(args, dir.path).status, 2) << args[1] << " " << args[2];

    // A recompression over a tree recodes every file as one by one would.
    fs::copy(dir.file("sub"), dir.file("one"));
    fs::copy(dir.file("sub"), dir.file("many"));
    copy_sample("sample.fax", dir.file("one/d"));
    copy_sample("sample.fax", dir.file("many/d"));
    for (const char *name : {"c.fax", "d"})
        ASSERT_EQ(faxtool({"recompress", "-c", "mr", dir.file(std::string("one/") + name)}).status, 0);
    r = faxtool({"recompress", "-c", "mr", "-j", "2", dir.file("many")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, dir.file("many/c.fax") + ": MMR to MR\n" + dir.file("many/d") + ": MH to MR\n");
    EXPECT_EQ(files_under(dir.file("one")), files_under(dir.file("many")));
    r = faxtool({"recompress", "-c", "mr", "--update", "--report", "-", dir.file("many")});
    EXPECT_EQ(r.out.find("\"status\": \"ok\""), std::string::npos) << r.out;
}

TEST(Archive, OneFileWithArchiveOptionsAndAReportThatCannotBeWritten)
{
    progrun::temp_dir dir;
    copy_sample("sample.fax", dir.file("a.fax"));
    // One named file is one input, whatever archive option comes with it.
    progrun::result r = faxtool({"export", "--update", "--report", "-", "-o", "p.png", "a.fax"}, dir.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(progrun::file_exists(dir.file("p-2.png")));
    r = faxtool({"export", "--update", "--report", "-", "-o", "p.png", "a.fax"}, dir.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"skipped\", \"pages\": 0, \"outputs\": [\"p-1.png\", \"p-2.png\"]"), std::string::npos)
        << r.out;
    // A report that is lost is a failure, said once, and not a success.
    r = faxtool({"export", "-t", "pdf", "-d", "out", "--report", "/dev/full", "a.fax"}, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: /dev/full: No space left on device\n");
}

// A report that is an input or an output would lose one of them: the run
// is refused before it touches anything.
TEST(Archive, ReportIsNeitherAnInputNorAnOutput)
{
    progrun::temp_dir dir;
    copy_sample("sample.fax", dir.file("t/a.fax"));
    copy_sample("sample_mr.fax", dir.file("t/b.fax"));
    const bytes original = progrun::read_file(dir.file("t/a.fax"));
    const bytes old_output{'o', 'l', 'd'};
    fs::create_directories(dir.file("out"));
    progrun::write_file(dir.file("all.pdf"), old_output);
    progrun::write_file(dir.file("out/b.tif"), old_output);
    progrun::write_file(dir.file("list"), bytes{'t', '/', 'a', '.', 'f', 'a', 'x', '\n'});
    const std::string input = ": the report is one of the inputs", output = ": the report is an output of the run";
    for (const auto &[args, said] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"info", "--report", "t/a.fax", "t/a.fax"}, input},
             {{"recompress", "-c", "mr", "--report", "t/a.fax", "t"}, input},
             {{"export", "-t", "pdf", "-d", "out", "--report", "list", "--files-from", "list"}, input},
             {{"export", "-o", "all.pdf", "--report", "all.pdf", "t"}, output},
             {{"export", "-o", "all.pdf", "--report", "t/../all.pdf", "t"}, output},
             {{"export", "-o", "new.tif", "--report", "new.tif", "t"}, output},
             {{"export", "-t", "tiff", "-d", "out", "--report", "out/b.tif", "t"}, output},
             {{"export", "-t", "png", "-d", "png", "--report", "png/a-2.png", "t"}, output},
             {{"export", "-o", "-", "--report", "-", "t"}, output}}) {
        const progrun::result r = faxtool(args, dir.path);
        EXPECT_EQ(r.status, 2) << args[0] << " " << args.back() << ": " << r.err;
        EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(progrun::read_file(dir.file("t/a.fax")), original);
    EXPECT_EQ(progrun::read_file(dir.file("list")).size(), 8u);
    EXPECT_EQ(progrun::read_file(dir.file("all.pdf")), old_output);
    EXPECT_EQ(progrun::read_file(dir.file("out/b.tif")), old_output);
    EXPECT_FALSE(progrun::file_exists(dir.file("new.tif")));
    EXPECT_FALSE(progrun::file_exists(dir.file("png")));
    // A page name that the run does not write is a report like any other.
    EXPECT_EQ(faxtool({"export", "-t", "png", "-d", "png", "--report", "png/a-x.png", "t"}, dir.path).status, 0);
}

// The combined PDF is written as the pages come: a document qpdf checks
// clean and poppler reads whole, of the same bytes from run to run and
// release to release (these digests are of its first form).
TEST(Archive, CombinedPdfKeepsItsBytesAndReads)
{
    progrun::temp_dir dir;
    make_tree(dir.file("in"), 3);
    ASSERT_EQ(faxtool({"export", "-o", dir.file("all.pdf"), dir.file("in")}).status, 0);
    ASSERT_EQ(faxtool({"export", "-o", dir.file("one.pdf"), kExamples + "/sample.fax"}).status, 0);
    if (!have_tool("qpdf", "qpdf") || !have_tool("pdfimages", "poppler-utils") || !have_tool("sha256sum", "coreutils"))
        return;
    EXPECT_EQ(shell("qpdf --check " + dir.file("all.pdf") + " >/dev/null").status, 0);
    // page, number, type, width, height, color, comp, bpc, enc
    const std::string listed = shell("pdfimages -list " + dir.file("all.pdf") + " | awk 'NR>2{print $1, $3, $4, $5, $9}'").out;
    std::string expected;
    for (int page = 1; page <= 6; ++page)
        expected += std::to_string(page) + " image 1728 1100 ccitt\n";
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(shell("sha256sum < " + dir.file("all.pdf")).out.substr(0, 64),
              "f3aa16a17358c7da7df72e18c9c65268393e013a469467f7d1462bc1b0d960f2");
    EXPECT_EQ(shell("sha256sum < " + dir.file("one.pdf")).out.substr(0, 64),
              "e138455b05fb2d8f23c9e0f78582f70620fb81c4be1f21be47e1a5c45e499190");
}

// One output for many inputs takes about the memory of a few: no page's
// data is held past its own writing.
TEST(Archive, CombinedOutputMemoryDoesNotGrowWithTheArchive)
{
#ifdef PEAK_UNDER_SANITIZER
    GTEST_SKIP() << "peak memory means nothing under a sanitizer's shadow memory";
#endif
    progrun::temp_dir dir;
    constexpr int few = 3, many = 40;
    for (int i = 0; i < many; ++i) {
        const bytes file = mh_fax({testpages::text_page(2200, static_cast<uint32_t>(i)),
                                   testpages::text_page(2200, static_cast<uint32_t>(i + 100))},
                                  1);
        fs::create_directories(dir.file("few"));
        fs::create_directories(dir.file("many"));
        if (i < few)
            progrun::write_file(dir.file("few/" + std::to_string(i) + ".fax"), file);
        progrun::write_file(dir.file("many/" + std::to_string(i) + ".fax"), file);
    }
    for (const char *name : {"all.pdf", "all.tif", "all.pbm"}) {
        const measured small = run_measured({"export", "-j", "2", "-o", dir.file(name), dir.file("few")}, dir);
        const measured large = run_measured({"export", "-j", "2", "-o", dir.file(name), dir.file("many")}, dir);
        ASSERT_EQ(small.status, 0) << small.err;
        ASSERT_EQ(large.status, 0) << large.err;
        EXPECT_LT(large.peak_kb, small.peak_kb + 4 * 1024) << name << ": " << many << " inputs against " << few;
    }
    if (have_tool("qpdf", "qpdf")) {
        EXPECT_EQ(shell("qpdf --show-npages " + dir.file("all.pdf")).out, std::to_string(2 * many) + "\n");
    }
}

// Nor does one input of many pages: a combined output's pages wait for
// their turn coded, or past a little memory in a temporary file, not as rows.
TEST(Archive, CombinedOutputMemoryDoesNotGrowWithAnInputsPages)
{
#ifdef PEAK_UNDER_SANITIZER
    GTEST_SKIP() << "peak memory means nothing under a sanitizer's shadow memory";
#endif
    progrun::temp_dir dir;
    std::size_t many_size = 0;
    {
        // Gone before faxtool runs: a child's peak counts what it had at the fork.
        std::vector<page> pages;
        for (int i = 0; i < 60; ++i)
            pages.push_back(i % 2 == 0 ? testpages::text_page(2200, static_cast<uint32_t>(i))
                                       : page{"white", std::vector<testpages::line>(2200, testpages::white_line())});
        const bytes many = mh_fax(pages, 1);
        many_size = many.size();
        progrun::write_file(dir.file("many.fax"), many);
        progrun::write_file(dir.file("few.fax"), mh_fax({pages[0], pages[1]}, 1));
    }
    malloc_trim(0);
    for (const char *name : {"all.pbm", "all.tif"}) {
        const measured small = run_measured({"export", "-j", "2", "-o", dir.file(name), dir.file("few.fax")}, dir);
        const measured large = run_measured({"export", "-j", "2", "-o", dir.file(name), dir.file("many.fax")}, dir);
        ASSERT_EQ(small.status, 0) << small.err;
        ASSERT_EQ(large.status, 0) << large.err;
        EXPECT_LT(large.peak_kb, small.peak_kb + 2 * static_cast<long>(many_size / 1024) + 4 * 1024)
            << name << ": 60 pages against 2";
    }
}

}  // namespace
