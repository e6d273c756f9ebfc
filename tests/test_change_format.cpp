// Fax file recompression: pages survive MH -> MR -> MMR -> MH (decoded by the
// project's decoders), the header keeps everything but COMPRESSION, and every
// failure leaves the fax file as it was and no temporary file behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "faxfile/fax_file.h"
#include "t4/t4dec.h"
#include "t4/utils2.h"
#include "tests/support/capture.h"
#include "tests/support/decode_recorder.h"
#include "tests/support/fax_builder.h"
#include "tests/support/program_runner.h"
#include "tests/support/test_pages.h"

// Allocations of one planned size fail; not with a sanitizer's allocator.
#if defined(__SANITIZE_ADDRESS__) || !defined(__GLIBC__)
#define CHANGE_FORMAT_NO_MALLOC_HOOK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define CHANGE_FORMAT_NO_MALLOC_HOOK 1
#endif
#endif
#ifndef CHANGE_FORMAT_NO_MALLOC_HOOK
#define CHANGE_FORMAT_NO_MALLOC_HOOK 0
#endif

static std::size_t failing_size = 0;

#if !CHANGE_FORMAT_NO_MALLOC_HOOK
extern "C" void *__libc_malloc(std::size_t size);
extern "C" void *__libc_realloc(void *block, std::size_t size);
extern "C" void *malloc(std::size_t size) noexcept
{
    return failing_size != 0 && size == failing_size ? nullptr : __libc_malloc(size);
}
extern "C" void *realloc(void *block, std::size_t size) noexcept
{
    return failing_size != 0 && size == failing_size ? nullptr : __libc_realloc(block, size);
}
#endif

// fsync of a watched directory notes whether the fax file was already
// replaced at that moment.
static struct {
    dev_t dev = 0;
    ino_t ino = 0;
    std::string fax;       // read at the directory's fsync
    int synced_after = 0;  // fsyncs of the directory that saw the new file
} directory_watch;

extern "C" int fsync(int fd)
{
    struct stat st;
    if (directory_watch.ino != 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_dev == directory_watch.dev && st.st_ino == directory_watch.ino) {
        std::ifstream in(directory_watch.fax, std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        if (text.find("COMPRESSION:1") != std::string::npos)
            ++directory_watch.synced_after;
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace {

namespace fs = std::filesystem;
using faxbuilder::bytes;
using testpages::line;

const line white = testpages::white_line();
int pages_seen = 0;
void count_page() { ++pages_seen; }

struct stored_file {
    std::string header;
    std::vector<bytes> pages;
};

// Header text and pages of a fax file as the recompression writes it.
stored_file parse(const bytes &file)
{
    auto be32 = [&](std::size_t at) {
        return at + 4 > file.size() ? uint32_t{0} : uint32_t{file[at]} << 24 |
               uint32_t{file[at + 1]} << 16 | uint32_t{file[at + 2]} << 8 | file[at + 3];
    };
    const std::size_t at = 8 + be32(4);
    stored_file out{std::string(file.begin() + 8, file.begin() + static_cast<long>(at) - 1), {}};
    fax_file_ptr fax(fax_file_open_memory(file.data(), file.size(), nullptr, nullptr));
    EXPECT_TRUE(fax);
    for (std::size_t i = 0; fax && i < fax->page_count; ++i)
        out.pages.emplace_back(fax->pages[i].data, fax->pages[i].data + fax->pages[i].length);
    EXPECT_TRUE(fax && fax->damage == FAX_DAMAGE_NONE) << (fax ? fax->damage_text : "no header");
    return out;
}

// An MH page's last line stays in the run sink until a direct EOL.
std::vector<line> decode_page(const bytes &page, int compression)
{
    t4test::rec.clear();
    t4dec_decode(page.data(), static_cast<int>(page.size()), compression, nullptr,
                 t4test::record_line, nullptr);
    if (compression == 0)
        putrunlen(0, RUN_EOL, nullptr, t4test::record_line, nullptr);
    return t4test::rec.lines();
}

// "@" stands for "t4dec_change_format: ", %s for the path, %t for the temporary file.
std::string expand(const std::string &text, const std::string &path)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '@')
            out += "t4dec_change_format: ";
        else if (text.compare(i, 2, "%s") == 0 && ++i)
            out += path;
        else if (text.compare(i, 2, "%t") == 0 && ++i)
            out += path + "." + std::to_string(getpid());
        else
            out += text[i];
    }
    return out;
}

struct outcome {
    int result;
    std::string err;
};

class ChangeFormat : public ::testing::Test {
protected:
    void SetUp() override
    {
        pages_seen = 0;
        putrunlen(1, 0, nullptr, nullptr, nullptr);
    }
    void store(const bytes &file) const { fax.write(file); }
    bytes stored() const { return fax.read(); }
    bool temp_left() const { return fs::exists(path + "." + std::to_string(getpid())); }
    outcome convert(int target, const std::string &name = "") const
    {
        outcome o{-1, {}};
        const char *p = (name.empty() ? path : name).c_str();
        o.err = testsupport::capture_output(
                    [&] { o.result = t4dec_change_format(p, target, 0, count_page); }).err;
        return o;
    }

    testsupport::temp_file fax;
    const std::string &path = fax.path();
};

struct chain_step {
    int target;
    int whites_before, whites_after;  // lines the decoder contract adds around the page
};

class RoundTrip : public ChangeFormat, public ::testing::WithParamInterface<char> {};

TEST_P(RoundTrip, PagesAndHeaderSurviveMhMrMmrMh)
{
    const std::vector<testpages::page> source = {testpages::text_page(60, 4),
                                                 testpages::worst_case_page()};
    const std::string header =
        std::string("SENDER:4711\nRESOLUTION:") + GetParam() + "\nCOMPRESSION:0\n#PAGES:2\n";
    store(faxbuilder::fax_file(header, {faxbuilder::mh_page(source[0]),
                                        faxbuilder::mh_page(source[1])}));
    // The MH source decodes to an all-white line (its opening EOL) and the page.
    for (const chain_step step : {chain_step{1, 1, 0}, {3, 1, 1}, {0, 2, 2}}) {
        SCOPED_TRACE("target " + std::to_string(step.target));
        pages_seen = 0;
        const outcome o = convert(step.target);
        ASSERT_EQ(o.result, 1) << o.err;
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(pages_seen, 2);
        EXPECT_FALSE(temp_left());
        const stored_file file = parse(stored());
        std::string want_header = header;
        want_header[want_header.find("COMPRESSION:") + 12] = static_cast<char>('0' + step.target);
        EXPECT_EQ(file.header, want_header);
        ASSERT_EQ(file.pages.size(), 2u);
        for (std::size_t p = 0; p < 2; ++p) {
            std::vector<line> want(static_cast<std::size_t>(step.whites_before), white);
            want.insert(want.end(), source[p].lines.begin(), source[p].lines.end());
            want.insert(want.end(), static_cast<std::size_t>(step.whites_after), white);
            EXPECT_TRUE(decode_page(file.pages[p], step.target) == want) << "page " << p + 1;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Resolutions, RoundTrip, ::testing::Values('0', '1'),
                         [](const auto &info) { return std::string(info.param == '0' ? "Normal" : "Fine"); });

const bytes mh_white = faxbuilder::mh_page(std::vector<faxbuilder::runs>{{1728}});
const bytes mmr_eofb = {0x00, 0x08, 0x80, 0x00};  // one all-white line

bytes file_of(const char *header, const std::vector<bytes> &pages, const bytes &tail = {})
{
    bytes file = faxbuilder::fax_file(header, pages);
    file.insert(file.end(), tail.begin(), tail.end());
    return file;
}

// 2504 all-white MMR lines (V0 codes) and the EOFB: 2505 lines outgrow the
// first 512 KiB of the line buffer.
bytes long_mmr_page()
{
    bytes page = mmr_eofb;
    page.insert(page.begin(), 313, 0xFF);
    return page;
}

// Conversions that leave the fax file as it was and no temporary file.
struct untouched_case {
    const char *name;
    bytes file;  // empty: no file at all (a path beside the scratch file)
    int target;
    int result;
    const char *err;
    int pages_seen;
    std::size_t failing_allocation = 0;
    rlim_t file_size_limit = RLIM_INFINITY;
};

const char *const MMR = "RESOLUTION:0\nCOMPRESSION:3\n";
const std::vector<untouched_case> untouched = {
    {"already MR", file_of("RESOLUTION:0\nCOMPRESSION:1\n", {{1, 2}}), 1, 1, "", 0},
    {"target 2", file_of("RESOLUTION:0\n", {}), 2, 0, "@Unsupported compression: 2.\n", 0},
    {"no file", {}, 1, 0, "@Failed to open %s to determine compression\n", 0},
    {"bad magic", bytes(12, 0), 1, 0,
     "read_fax_header: Bad fax file: Bad Magic Number\n@Bad fax file: %s\n", 0},
    {"bad compression", file_of("COMPRESSION:7\n", {}), 1, 0,
     "@Could not determine compression: %s\n", 0},
    {"no resolution", file_of("COMPRESSION:0\n", {}), 1, 0,
     "@Could not determine resolution: %s\n", 0},
    {"300 lpi", file_of("RESOLUTION:3\n", {}), 1, 0, "@Can't handle type \"3\" resolution yet.\n",
     0},
    {"length cut", file_of("RESOLUTION:0\n#PAGES:2\n", {mh_white}, {0, 0}), 1, 0,
     "@Short read on data length:  %s\n", 1},
    {"fewer pages than #PAGES", file_of("RESOLUTION:0\n#PAGES:2\n", {mh_white}), 3, 0,
     "@Short read on data length:  %s\n", 1},
    {"data cut", file_of("RESOLUTION:0\n", {}, {0, 0, 0, 100, 1, 2, 3}), 1, 0,
     "@data_len=100, read_len=3\n@Failure reading data from %s.\n", 0},
    {"length far beyond the file", file_of("RESOLUTION:0\n", {}, {0xFF, 0xFF, 0xFF, 0xF0, 1}), 1,
     0, "@data_len=4294967280, read_len=1\n@Failure reading data from %s.\n", 0},
    {"uncompressed source", file_of("RESOLUTION:0\nCOMPRESSION:2\n", {{1, 2}}), 0, 0, "", 1},
    // VR3 from the start puts a1 at 1731: a coding error ends the MMR page.
    {"MMR coding error", file_of(MMR, {mmr_eofb, {0x60, 0x00}}), 1, 0, "", 2},
    {"no page buffer", file_of(MMR, {bytes(77777, 0)}), 1, 0, "@Memory allocation fail.\n", 0,
     77777},
    {"no line buffer", file_of(MMR, {mmr_eofb}), 1, 0, "@Memory allocation fail.\n", 1, 0x80000},
    {"line buffer can't grow", file_of(MMR, {long_mmr_page()}), 1, 0,
     "@Memory allocation fail.\n", 1, 0x90000},
    // Room for the header, part of the page and the captured message.
    {"write fails", file_of("RESOLUTION:0\n", {faxbuilder::mh_page(testpages::text_page(300, 9))}),
     1, 0, "@write(\"%t\") failed: File too large.\n", 1, 0, 1024},
};

TEST_F(ChangeFormat, LeavesTheFaxFileAsItWas)
{
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    for (const untouched_case &c : untouched) {
        SCOPED_TRACE(c.name);
        if (c.failing_allocation != 0 && CHANGE_FORMAT_NO_MALLOC_HOOK)
            continue;
        pages_seen = 0;
        store(c.file);
        const std::string name = c.file.empty() ? path + ".none" : path;
        struct rlimit limited = {std::min(c.file_size_limit, saved.rlim_cur), saved.rlim_max};
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
        failing_size = c.failing_allocation;
        const outcome o = convert(c.target, name);
        failing_size = 0;
        setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_EQ(o.result, c.result);
        EXPECT_EQ(o.err, expand(c.err, name));
        EXPECT_EQ(pages_seen, c.pages_seen);
        EXPECT_FALSE(temp_left());
        EXPECT_EQ(stored(), c.file);
    }
}

TEST_F(ChangeFormat, TemporaryFileThatCantBeMadeIsRefused)
{
    const bytes file = file_of("RESOLUTION:0\n", {mh_white});
    store(file);
    const std::string blocker = path + "." + std::to_string(getpid());
    ASSERT_EQ(mkdir(blocker.c_str(), 0755), 0);
    // 4094 characters reach the file; "." and the process id push the
    // temporary name past MAXPATHLEN.
    const std::string name = "/" + fs::path(path).filename().string();
    std::string long_path = fs::path(path).parent_path().string();
    while (long_path.size() + name.size() < 4093)
        long_path += "/.";
    long_path += std::string(4094 - long_path.size() - name.size(), '/') + name;
    for (const std::string &p : {path, long_path})
        EXPECT_EQ(convert(1, p).err, expand("@Failure opening %s.\n", p));
    EXPECT_EQ(stored(), file);
    EXPECT_TRUE(fs::is_directory(blocker));
    EXPECT_EQ(pages_seen, 0);
    fs::remove(blocker);
}

// Every stored page is converted whatever #PAGES says, and #PAGES is kept.
TEST_F(ChangeFormat, StoredPagesBeyondThePageCountAreKept)
{
    for (const char *pages : {"", "#PAGES:x\n", "#PAGES:0\n", "#PAGES:-3\n", "#PAGES: 1\n"}) {
        const std::string header = std::string("RESOLUTION:0\n") + pages;
        store(faxbuilder::fax_file(header, {mh_white, mh_white, {}}));
        const outcome o = convert(3);
        ASSERT_EQ(o.result, 1) << header << o.err;
        const stored_file file = parse(stored());
        EXPECT_EQ(file.header, header + "COMPRESSION:3\n");
        ASSERT_EQ(file.pages.size(), 3u) << header;
        EXPECT_EQ(decode_page(file.pages[1], 3), (std::vector<line>{white, white, white}));
    }
}

// A failed conversion doesn't keep its fault: lines collected afterwards are
// handed out again.
TEST_F(ChangeFormat, CallbacksKeepWorkingAfterAFailedConversion)
{
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    store(file_of("RESOLUTION:0\n", {faxbuilder::mh_page(testpages::text_page(300, 9))}));
    struct rlimit limited = {std::min<rlim_t>(1024, saved.rlim_cur), saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const outcome o = convert(1);
    setrlimit(RLIMIT_FSIZE, &saved);
    ASSERT_EQ(o.result, 0);

    std::vector<unsigned char> black(216, 0xFF);
    change_format_collect_line(black.data(), 216);
    unsigned char *first = nullptr;
    int count = 0;
    ASSERT_EQ(change_format_get_lines(&first, &count), 216);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(std::vector<unsigned char>(first, first + 216), black);
    EXPECT_EQ(change_format_get_lines(&first, &count), -1);
}

// Regressions: an empty MR page (which the MR decoder refuses) converts to an
// empty page; the white line that ends an MH page is white even when an
// earlier MH decode left a black line open in the run sink.
TEST_F(ChangeFormat, EmptyPagesAndTheClosingWhiteLine)
{
    store(file_of("RESOLUTION:1\nCOMPRESSION:1\n", {{}}));
    ASSERT_EQ(convert(3).result, 1);
    EXPECT_EQ(parse(stored()).pages, std::vector<bytes>{mmr_eofb});

    faxbuilder::bit_writer open_line;
    open_line.put_eol();
    open_line.put_run(0, false);
    open_line.put_run(1728, true);
    t4dec_decode(open_line.data.data(), static_cast<int>(open_line.data.size()), 0, nullptr,
                 nullptr, nullptr);
    ASSERT_EQ(convert(0).result, 1);
    EXPECT_EQ(decode_page(parse(stored()).pages.at(0), 0),
              (std::vector<line>{white, white, white}));
}

// --- the temporary file and the replaced fax file -----------------------------

const bytes one_mh_page = file_of("RESOLUTION:0\nCOMPRESSION:0\n#PAGES:1\n", {mh_white});

TEST_F(ChangeFormat, TemporaryNameTakenByALinkOrFileIsRefused)
{
    progrun::temp_dir dir;
    const std::string victim = dir.file("victim");
    progrun::write_file(victim, {'v'});
    store(one_mh_page);
    const std::string temp = path + "." + std::to_string(getpid());
    for (bool link : {true, false}) {
        SCOPED_TRACE(link ? "link" : "file");
        if (link)
            ASSERT_EQ(symlink(victim.c_str(), temp.c_str()), 0);
        else
            progrun::write_file(temp, {'t'});
        const outcome o = convert(1);
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.err, expand("@Failure opening %s.\n", path));
        EXPECT_EQ(stored(), one_mh_page);
        EXPECT_EQ(progrun::read_file(victim), bytes{'v'});
        EXPECT_EQ(fs::is_symlink(temp), link);
        if (!link) {
            EXPECT_EQ(progrun::read_file(temp), bytes{'t'});
        }
        fs::remove(temp);
    }
}

TEST_F(ChangeFormat, ModeOwnerAndGroupAreKept)
{
    const bool root = geteuid() == 0;
    for (mode_t mode : {0600, 0664, 0751}) {
        store(one_mh_page);
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        if (root) {
            ASSERT_EQ(chown(path.c_str(), 4321, 5432), 0);
        }
        ASSERT_EQ(convert(3).result, 1);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        if (root) {
            EXPECT_EQ(st.st_uid, 4321u);
            EXPECT_EQ(st.st_gid, 5432u);
        }
    }
}

// The link stays a link; the file it names is converted, its temporary file
// made beside it.
TEST_F(ChangeFormat, SymlinkedPathConvertsTheRealFile)
{
    progrun::temp_dir dir;
    ASSERT_EQ(mkdir(dir.file("real").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("links").c_str(), 0755), 0);
    const std::string real = dir.file("real/fax"), link = dir.file("links/fax");
    progrun::write_file(real, one_mh_page);
    ASSERT_EQ(symlink("../real/fax", link.c_str()), 0);
    const outcome o = convert(1, link);
    ASSERT_EQ(o.result, 1) << o.err;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), "../real/fax");
    EXPECT_EQ(parse(progrun::read_file(real)).header,
              "RESOLUTION:0\nCOMPRESSION:1\n#PAGES:1\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("real")), fs::directory_iterator()), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("links")), fs::directory_iterator()), 1);
}

TEST_F(ChangeFormat, DirectoryIsSyncedOnceTheNewFileIsInPlace)
{
    progrun::temp_dir dir;
    const std::string fax_path = dir.file("fax");
    progrun::write_file(fax_path, one_mh_page);
    struct stat st;
    ASSERT_EQ(stat(dir.path.c_str(), &st), 0);
    directory_watch = {st.st_dev, st.st_ino, fax_path, 0};
    const outcome o = convert(1, fax_path);
    directory_watch.ino = 0;
    ASSERT_EQ(o.result, 1) << o.err;
    EXPECT_EQ(directory_watch.synced_after, 1);
}

// --- pages -------------------------------------------------------------------

TEST_F(ChangeFormat, FragmentAfterTheLastPageIsDropped)
{
    for (const char *pages : {"#PAGES:1\n", ""}) {
        for (const bytes &tail : {bytes{0xAB, 0xCD}, bytes{0, 0, 0}}) {
            const std::string header = std::string("RESOLUTION:0\n") + pages;
            store(file_of(header.c_str(), {mh_white}, tail));
            const outcome o = convert(3);
            ASSERT_EQ(o.result, 1) << header << o.err;
            const stored_file file = parse(stored());  // no stray bytes either
            ASSERT_EQ(file.pages.size(), 1u);
            EXPECT_EQ(decode_page(file.pages[0], 3), (std::vector<line>{white, white, white}));
        }
    }
}

// An MH page without a closing EOL (no RTC): its last row is kept.
TEST_F(ChangeFormat, LastRowOfAnMhPageWithoutRtcIsKept)
{
    const testpages::page source = testpages::text_page(12, 7);
    faxbuilder::bit_writer w;
    w.put_eol();
    for (std::size_t i = 0; i < source.lines.size(); ++i) {
        if (i != 0)
            w.put_eol();
        bool black = false;
        for (int32_t run : faxbuilder::runs_of(source.lines[i])) {
            w.put_run(run, black);
            black = !black;
        }
    }
    const bytes file = file_of("RESOLUTION:1\nCOMPRESSION:0\n#PAGES:1\n", {w.data});
    for (const chain_step step : {chain_step{1, 1, 0}, {3, 1, 1}}) {
        SCOPED_TRACE("target " + std::to_string(step.target));
        store(file);
        ASSERT_EQ(convert(step.target).result, 1);
        std::vector<line> want(static_cast<std::size_t>(step.whites_before), white);
        want.insert(want.end(), source.lines.begin(), source.lines.end());
        want.insert(want.end(), static_cast<std::size_t>(step.whites_after), white);
        EXPECT_TRUE(decode_page(parse(stored()).pages.at(0), step.target) == want);
    }
}

// Empty pages are decoded like others: MMR delivers its one white line, MH
// none; an uncompressed source fails even then.
TEST_F(ChangeFormat, EmptyPagesGoThroughTheDecoder)
{
    store(file_of("RESOLUTION:0\nCOMPRESSION:3\n#PAGES:1\n", {{}}));
    ASSERT_EQ(convert(1).result, 1);
    EXPECT_EQ(decode_page(parse(stored()).pages.at(0), 1), std::vector<line>{white});

    store(file_of("RESOLUTION:0\nCOMPRESSION:0\n#PAGES:1\n", {{}}));
    ASSERT_EQ(convert(1).result, 1);
    EXPECT_EQ(parse(stored()).pages, std::vector<bytes>{bytes{}});

    const bytes uncompressed = file_of("RESOLUTION:0\nCOMPRESSION:2\n#PAGES:1\n", {{}});
    store(uncompressed);
    EXPECT_EQ(convert(3).result, 0);
    EXPECT_EQ(stored(), uncompressed);
    EXPECT_FALSE(temp_left());
}

}  // namespace
