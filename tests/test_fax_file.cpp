// The fax file reader: attributes and codes, pages found and why they stop,
// files refused with the reason through the message callback or on stderr.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "faxfile/fax_file.h"
#include "tests/support/capture.h"
#include "tests/support/fax_builder.h"

// Address-space limits mean nothing under a sanitizer's shadow memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define UNDER_SANITIZER true
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define UNDER_SANITIZER true
#endif
#endif
#ifndef UNDER_SANITIZER
#define UNDER_SANITIZER false
#endif

namespace {

using faxbuilder::bytes;

struct heard {
    std::vector<std::string> messages;
};

void hear(void *user, const char *text) { static_cast<heard *>(user)->messages.emplace_back(text); }
void hear_nothing(void *, const char *) {}

fax_file_ptr open_bytes(const bytes &data, heard *h = nullptr)
{
    return fax_file_ptr(fax_file_open_memory(data.data(), data.size(), h ? hear : nullptr, h));
}

TEST(FaxFile, AttributesInOrderCodesAndPages)
{
    const bytes one{1, 2, 3}, two{}, three{9, 8, 7, 6, 5};
    bytes data = faxbuilder::fax_file("Z:last?\nRESOLUTION: 1\nCOMPRESSION:3\n#PAGES: 3\nZ:again\n",
                                      {one, two, three});
    fax_file_ptr file = open_bytes(data);
    ASSERT_TRUE(file);
    ASSERT_EQ(file->attribute_count, 4u);  // a repeated attribute keeps its first place
    EXPECT_STREQ(file->attributes[0].name, "Z");
    EXPECT_STREQ(file->attributes[0].value, "again");
    EXPECT_STREQ(file->attributes[1].name, "RESOLUTION");
    EXPECT_STREQ(file->attributes[3].name, "#PAGES");
    EXPECT_STREQ(fax_file_attribute(file.get(), "COMPRESSION"), "3");
    EXPECT_EQ(fax_file_attribute(file.get(), "NONE"), nullptr);
    EXPECT_EQ(file->resolution, RES_FINE);
    EXPECT_EQ(file->compression, COMP_MMR);
    EXPECT_EQ(file->decode_mode, COMP_MMR);
    EXPECT_EQ(file->pages_stated, 3);
    ASSERT_EQ(file->page_count, 3u);
    EXPECT_EQ(bytes(file->pages[0].data, file->pages[0].data + file->pages[0].length), one);
    EXPECT_EQ(file->pages[1].length, 0u);
    EXPECT_EQ(bytes(file->pages[2].data, file->pages[2].data + 5), three);
    EXPECT_EQ(data[file->pages[2].offset], 9);
    EXPECT_EQ(file->damage, FAX_DAMAGE_NONE);
    EXPECT_STREQ(file->damage_text, "");

    // The reader keeps its own copy: the caller's bytes may change.
    data.assign(data.size(), 0);
    EXPECT_EQ(file->pages[2].data[0], 9);
}

TEST(FaxFile, MissingAndUnknownCodes)
{
    fax_file_ptr none = open_bytes(faxbuilder::fax_file("A:b\n", {}));
    ASSERT_TRUE(none);
    EXPECT_EQ(none->resolution, -1);
    EXPECT_EQ(none->compression, -1);
    EXPECT_EQ(none->decode_mode, COMP_MH);  // as the converter decodes it
    EXPECT_EQ(none->pages_stated, -1);
    EXPECT_EQ(none->page_count, 0u);

    fax_file_ptr bad = open_bytes(faxbuilder::fax_file("RESOLUTION:9\nCOMPRESSION:x\n#PAGES:2a\n", {}));
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->resolution, -1);
    EXPECT_EQ(bad->compression, -1);
    EXPECT_EQ(bad->decode_mode, -1);
    EXPECT_EQ(bad->pages_stated, -1);
}

TEST(FaxFile, WhyThePagesStopEarly)
{
    const bytes page{1, 2, 3, 4};
    bytes stray = faxbuilder::fax_file("COMPRESSION:0\n", {page});
    stray.insert(stray.end(), {0, 0});
    fax_file_ptr file = open_bytes(stray);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->page_count, 1u);
    EXPECT_EQ(file->damage, FAX_DAMAGE_STRAY_BYTES);
    EXPECT_STREQ(file->damage_text, "2 stray bytes after page 1");

    bytes cut = faxbuilder::fax_file("COMPRESSION:0\n", {page, page});
    cut.resize(cut.size() - 1);
    file = open_bytes(cut);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->page_count, 1u);
    EXPECT_EQ(file->damage, FAX_DAMAGE_PAGE_CUT_SHORT);
    EXPECT_STREQ(file->damage_text, "page 2 is cut short: 3 of its 4 bytes are there");

    // A length near 4 GB in a small file: refused as cut short, nothing allocated for it.
    bytes huge = faxbuilder::prefix("A:b\n");
    faxbuilder::append_be32(huge, 0xFFFFFFF0u);
    file = open_bytes(huge);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->damage, FAX_DAMAGE_PAGE_CUT_SHORT);

    file = open_bytes(faxbuilder::fax_file("#PAGES:  3\n", {page}));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->pages_stated, 3);
    EXPECT_EQ(file->damage, FAX_DAMAGE_PAGES_MISSING);
    EXPECT_STREQ(file->damage_text, "the header states 3 pages, the file holds 1");
}

TEST(FaxFile, BadHeadersGoToTheCallbackOnly)
{
    struct refusal {
        bytes data;
        const char *message;
    };
    bytes bad_magic = faxbuilder::prefix("A:b\n");
    bad_magic[0] = 0;
    bytes zero_length = faxbuilder::prefix("A:b\n");
    zero_length[7] = 0;
    bytes no_end = faxbuilder::prefix("A:b\n");
    no_end.back() = '\n';
    bytes short_text = faxbuilder::prefix("A:b\n");
    short_text.resize(10);  // N says 5 bytes of text, 2 are there
    const refusal cases[] = {
        {{0xBA, 0xDB}, "fax_file_open: Bad fax file: Too Small\n"},
        {bad_magic, "fax_file_open: Bad fax file: Bad Magic Number\n"},
        {zero_length, "fax_file_open: Bad fax file: Bad Header length\n"},
        {no_end, "fax_file_open: Bad fax file: Corrupted header\n"},
        {short_text, "fax_file_open: Bad fax file: the header length 5 goes beyond the end of the file (10 bytes)\n"},
        {faxbuilder::prefix(""), "fax_file_open: Empty Header - probably corrupted\n"},
    };
    for (const refusal &c : cases) {
        heard h;
        testsupport::captured_output printed = testsupport::capture_output([&] {
            EXPECT_FALSE(open_bytes(c.data, &h));
        });
        ASSERT_EQ(h.messages.size(), 1u) << c.message;
        EXPECT_EQ(h.messages[0], c.message);
        EXPECT_EQ(printed.out, "");
        EXPECT_EQ(printed.err, "");
    }

    // A line without a colon: the header module's message, then the reader's.
    heard h;
    EXPECT_FALSE(open_bytes(faxbuilder::prefix("A:b\nnocolon\n"), &h));
    ASSERT_EQ(h.messages.size(), 2u);
    EXPECT_EQ(h.messages[0], "set_fax_header_var: Bad attr-value pair: [nocolon]\n");
    EXPECT_EQ(h.messages[1], "fax_file_open: set_fax_header_string failure\n");
}

TEST(FaxFile, WithoutCallbackMessagesGoToStandardError)
{
    testsupport::captured_output printed = testsupport::capture_output([] {
        EXPECT_FALSE(fax_file_open("/nonexistent/dir/a.fax", nullptr, nullptr));
        EXPECT_FALSE(open_bytes({1, 2, 3}));
    });
    EXPECT_EQ(printed.out, "");
    EXPECT_EQ(printed.err,
              "fax_file_open: open(\"/nonexistent/dir/a.fax\") failed: No such file or directory\n"
              "fax_file_open: Bad fax file: Too Small\n");
}

TEST(FaxFile, OpensFromAPathAsFromMemory)
{
    const bytes data = faxbuilder::fax_file("COMPRESSION:1\n", {{5, 6}, {7}});
    testsupport::temp_file file(data);
    fax_file_ptr from_path(fax_file_open(file.path().c_str(), nullptr, nullptr));
    fax_file_ptr from_memory = open_bytes(data);
    ASSERT_TRUE(from_path && from_memory);
    ASSERT_EQ(from_path->page_count, 2u);
    EXPECT_EQ(from_path->pages[1].length, 1u);
    EXPECT_EQ(from_path->pages[1].data[0], 7);
    EXPECT_EQ(from_path->pages[1].offset, from_memory->pages[1].offset);
    EXPECT_EQ(from_path->compression, COMP_MR);
    fax_file_close(nullptr);
}

// A pipe holds more than one read takes, and cannot be read twice.
TEST(FaxFile, OpensFromAPipeReadOnce)
{
    const bytes big(200000, 0x55);
    const bytes data = faxbuilder::fax_file("#PAGES:3\n", {{1, 2}, big});
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::thread writer([&] {
        ASSERT_EQ(write(ends[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
        close(ends[1]);
    });
    heard h;
    fax_file_ptr file(fax_file_open_fd(ends[0], hear, &h));
    writer.join();
    close(ends[0]);
    ASSERT_TRUE(file);
    ASSERT_EQ(file->page_count, 2u);
    EXPECT_EQ(file->pages[1].length, big.size());
    EXPECT_EQ(file->damage, FAX_DAMAGE_PAGES_MISSING);
    EXPECT_STREQ(file->damage_text, "the header states 3 pages, the file holds 2");

    // Without the magic nothing past the first bytes is read: an endless
    // device is refused at once.
    const int zeros = open("/dev/zero", O_RDONLY);
    ASSERT_GE(zeros, 0);
    heard endless;
    EXPECT_FALSE(fax_file_ptr(fax_file_open_fd(zeros, hear, &endless)));
    close(zeros);
    ASSERT_EQ(endless.messages.size(), 1u);
    EXPECT_EQ(endless.messages[0], "fax_file_open: Bad fax file: Bad Magic Number\n");

    // A descriptor that cannot be read says why, through the callback.
    heard refused;
    EXPECT_FALSE(fax_file_ptr(fax_file_open_fd(-1, hear, &refused)));
    ASSERT_EQ(refused.messages.size(), 1u);
    EXPECT_EQ(refused.messages[0], "fax_file_open: Bad file descriptor\n");
}

// The page records take the room the pages need: a 64 MB page opens in
// little more than its 64 MB, not in room for a page every four bytes.
TEST(FaxFile, PageRecordsTakeTheRoomOfThePagesFound)
{
    if (UNDER_SANITIZER)
        GTEST_SKIP() << "a sanitizer's shadow memory takes the address space";
    const bytes data = faxbuilder::fax_file("COMPRESSION:0\n", {bytes(64u << 20, 0)});
    testsupport::temp_file file(data);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        long pages = 0;
        FILE *statm = std::fopen("/proc/self/statm", "r");
        if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1)
            _exit(2);
        std::fclose(statm);
        const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (160u << 20);
        const rlimit as{limit, limit};
        if (setrlimit(RLIMIT_AS, &as) != 0)
            _exit(2);
        fax_file *opened = fax_file_open(file.path().c_str(), hear_nothing, nullptr);
        _exit(opened != nullptr && opened->page_count == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Without page records the walk finds the same pages as the records, stops
// where the damage starts, and reads nothing from a cursor it did not give.
TEST(FaxFile, WalksThePagesWithoutRecords)
{
    const bytes page{1, 2, 3, 4, 5};
    bytes data = faxbuilder::fax_file("COMPRESSION:0\n", {page, {}, page});
    data.insert(data.end(), {0, 0, 0, 9, 1});  // a fourth page cut short
    testsupport::temp_file on_disk(data);
    const int fd = open(on_disk.path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    fax_file_ptr from_fd(fax_file_open_fd_flags(fd, FAX_FILE_NO_PAGE_RECORDS, hear_nothing, nullptr));
    close(fd);
    fax_file_ptr from_path(fax_file_open_flags(on_disk.path().c_str(), FAX_FILE_NO_PAGE_RECORDS, hear_nothing, nullptr));
    fax_file_ptr from_memory(
        fax_file_open_memory_flags(data.data(), data.size(), FAX_FILE_NO_PAGE_RECORDS, hear_nothing, nullptr));
    fax_file_ptr recorded = open_bytes(data);
    ASSERT_TRUE(recorded);
    uint64_t cursor = 0;
    fax_page found{};
    for (const fax_file_ptr *opened : {&from_fd, &from_path, &from_memory}) {
        const fax_file *walked = opened->get();
        ASSERT_TRUE(walked);
        EXPECT_EQ(walked->pages, nullptr);
        EXPECT_EQ(walked->page_count, 3u);
        EXPECT_EQ(walked->damage, FAX_DAMAGE_PAGE_CUT_SHORT);
        EXPECT_STREQ(walked->damage_text, recorded->damage_text);
        cursor = 0;
        std::size_t count = 0;
        while (fax_file_next_page(walked, &cursor, &found) != 0) {
            ASSERT_LT(count, recorded->page_count);
            EXPECT_EQ(found.offset, recorded->pages[count].offset);
            EXPECT_EQ(found.length, recorded->pages[count].length);
            EXPECT_EQ(bytes(found.data, found.data + found.length),
                      bytes(recorded->pages[count].data, recorded->pages[count].data + found.length));
            ++count;
        }
        EXPECT_EQ(count, 3u);
        for (uint64_t stray : {uint64_t{1}, uint64_t{data.size()}, recorded->pages[0].offset + 1, ~uint64_t{0}}) {
            cursor = stray;
            EXPECT_EQ(fax_file_next_page(walked, &cursor, &found), 0) << stray;
        }
    }
    EXPECT_EQ(fax_file_next_page(nullptr, &cursor, &found), 0);
}

}  // namespace
