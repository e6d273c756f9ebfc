#include "faxfile/fax_header.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/capture.h"

namespace {

using testsupport::bytes_of;
using testsupport::capture_output;
using testsupport::captured_output;
using testsupport::temp_file;
using testsupport::unique_fd;
using pairs = std::vector<std::pair<std::string, std::string>>;

std::string prefix(uint32_t n)
{
    std::string p = "\xBA\xDB\xAD\x16";
    for (int shift = 24; shift >= 0; shift -= 8)
        p += static_cast<char>(n >> shift);
    return p;
}

// A whole fax file prefix and header for the given text (0x1D appended).
std::string fax_file(const std::string &text)
{
    return prefix(static_cast<uint32_t>(text.size() + 1)) + text + '\x1D';
}

pairs list_of(const fax_header *list)
{
    pairs result;
    for (; list; list = list->next)
        result.emplace_back(list->attr, list->value);
    return result;
}

struct read_result {
    fax_header *list;
    captured_output output;
    off_t offset;  // descriptor offset after the read
};

read_result read_from(const temp_file &file)
{
    unique_fd fd(open(file.path().c_str(), O_RDONLY));
    read_result r{nullptr, {}, -1};
    r.output = capture_output([&] { r.list = read_fax_header(fd.get()); });
    r.offset = lseek(fd.get(), 0, SEEK_CUR);
    return r;
}

// The header module prints every failure on standard error and then,
// identically, on standard output.
void expect_twice(const captured_output &output, const std::string &message)
{
    EXPECT_EQ(output.err, message);
    EXPECT_EQ(output.out, message);
}

const std::string EXAMPLE_TEXT = "RESOLUTION:0\nCOMPRESSION:1\n";

TEST(FaxHeaderFile, ExampleReadsAndWritesBackByteForByte)
{
    const std::string header = fax_file(EXAMPLE_TEXT);
    ASSERT_EQ(header.size(), 36u);
    ASSERT_EQ(header.substr(4, 4), std::string("\0\0\0\x1C", 4));
    temp_file input(header + std::string("\0\0\0\x03xyz", 7));

    read_result r = read_from(input);
    ASSERT_NE(r.list, nullptr);
    EXPECT_EQ(list_of(r.list), (pairs{{"RESOLUTION", "0"}, {"COMPRESSION", "1"}}));
    EXPECT_EQ(r.output.out + r.output.err, "");
    EXPECT_EQ(r.offset, 36) << "the descriptor must stand at the first page";

    temp_file output;
    unique_fd fd(open(output.path().c_str(), O_RDWR));
    EXPECT_EQ(write_fax_header(fd.get(), r.list), 1);
    EXPECT_EQ(output.read(), bytes_of(header));
    free_fax_header(r.list);
}

TEST(FaxHeaderFile, SixteenMebibyteHeaderReadsWhenTheFileHoldsIt)
{
    const std::size_t n = 16u << 20;
    std::string text = "BIG:" + std::string(n - 6, 'x') + "\n";
    temp_file input(fax_file(text) + "page");

    read_result r = read_from(input);
    ASSERT_NE(r.list, nullptr);
    EXPECT_EQ(std::string(r.list->attr), "BIG");
    EXPECT_EQ(std::string(r.list->value).size(), n - 6);
    EXPECT_EQ(r.offset, static_cast<off_t>(8 + n));
    free_fax_header(r.list);
}

TEST(FaxHeaderFile, ManyAttributesKeepTheirOrderAndRepeatsTheirPlace)
{
    std::string text;
    pairs expected;
    for (int i = 0; i < 5000; ++i) {
        text += "A" + std::to_string(i) + ":" + std::to_string(i) + "\n";
        expected.emplace_back("A" + std::to_string(i), std::to_string(i));
    }
    for (int i : {0, 63, 64, 4999}) {
        text += "A" + std::to_string(i) + ":again\n";
        expected[static_cast<std::size_t>(i)].second = "again";
    }
    temp_file input(fax_file(text));
    read_result r = read_from(input);
    EXPECT_EQ(list_of(r.list), expected);
    free_fax_header(r.list);
}

struct good_case {
    const char *name;
    std::string text;  // header text without its 0x1D
    pairs expected;
};

class ReadGoodHeader : public testing::TestWithParam<good_case> {};

TEST_P(ReadGoodHeader, GivesTheList)
{
    const good_case &c = GetParam();
    temp_file input(fax_file(c.text));
    read_result r = read_from(input);
    EXPECT_EQ(list_of(r.list), c.expected);
    EXPECT_EQ(r.output.out + r.output.err, "");
    EXPECT_EQ(r.offset, static_cast<off_t>(9 + c.text.size()));
    free_fax_header(r.list);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadGoodHeader,
    testing::Values(
        good_case{"ValueWithColons", "A:b:c\n", {{"A", "b:c"}}},
        good_case{"EmptyValue", "A:\n", {{"A", ""}}},
        good_case{"RepeatKeepsFirstPlace", "X:1\nY:y\nX:2\n", {{"X", "2"}, {"Y", "y"}}},
        good_case{"EmptyLinesSkipped", "\n\nX:1\n\n", {{"X", "1"}}},
        good_case{"LastLineWithoutNewline", "X:1\nY:2", {{"X", "1"}, {"Y", "2"}}},
        good_case{"TextEndsAtFirstNul", std::string("A:1\nB:2\0C:3\n", 12), {{"A", "1"}, {"B", "2"}}},
        good_case{"OddBytesKept", "A:x\x1D\r\n#PAGES:  3\n", {{"A", "x\x1D\r"}, {"#PAGES", "  3"}}}),
    [](const testing::TestParamInfo<good_case> &info) { return std::string(info.param.name); });

struct bad_case {
    const char *name;
    std::string file;
    std::string message;  // as printed on each stream
};

class ReadBadHeader : public testing::TestWithParam<bad_case> {};

TEST_P(ReadBadHeader, IsRefusedWithItsMessage)
{
    const bad_case &c = GetParam();
    temp_file input(c.file);
    read_result r = read_from(input);
    EXPECT_EQ(r.list, nullptr);
    expect_twice(r.output, c.message);
    free_fax_header(r.list);
}

const std::string CORRUPTED = "read_fax_header: Bad fax file: Corrupted header\n";
const std::string EMPTY = "read_fax_header: Empty Header - probably corrupted\n";
const std::string LINE_REFUSED = "read_fax_header: set_fax_header_string failure\n";
const std::string NO_MEMORY = "read_fax_header: Out of memory\n";

INSTANTIATE_TEST_SUITE_P(
    Prefix, ReadBadHeader,
    testing::Values(
        bad_case{"EmptyFile", "", "read_fax_header: Bad fax file: Too Small\n"},
        bad_case{"SevenBytes", prefix(1).substr(0, 7), "read_fax_header: Bad fax file: Too Small\n"},
        bad_case{"PrefixOnly", prefix(5), CORRUPTED},
        bad_case{"SwappedMagic", "\x16\xAD\xDB\xBA" + prefix(1).substr(4) + "\x1D",
                 "read_fax_header: Bad fax file: Bad Magic Number\n"},
        bad_case{"ZeroLength", prefix(0) + "A:1\n\x1D", "read_fax_header: Bad fax file: Bad Header length\n"},
        bad_case{"TopBitLength", prefix(0x80000000u) + "A:1\n\x1D", NO_MEMORY},
        bad_case{"AllOnesLength", prefix(0xFFFFFFFFu) + "A:1\n\x1D", NO_MEMORY},
        bad_case{"LengthFarBeyondFile", prefix(0x7FFFFFFFu) + "A:1\n\x1D", CORRUPTED},
        bad_case{"SixteenMebibytesClaimed", prefix(16u << 20) + "A:1\n\x1D", CORRUPTED},
        bad_case{"LengthOneBeyondFile", prefix(6) + "A:1\n\x1D", CORRUPTED},
        bad_case{"NoTerminator", prefix(5) + "A:1\n\n", CORRUPTED}),
    [](const testing::TestParamInfo<bad_case> &info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Text, ReadBadHeader,
    testing::Values(
        bad_case{"TerminatorOnly", fax_file(""), EMPTY},
        bad_case{"NewlinesOnly", fax_file("\n\n"), EMPTY},
        bad_case{"NulFirst", fax_file(std::string("\0A:1\n", 5)), EMPTY},
        bad_case{"LineWithoutColon", fax_file("X:1\nA\nY:2\n"),
                 "set_fax_header_var: Bad attr-value pair: [A]\n" + LINE_REFUSED},
        bad_case{"EmptyAttribute", fax_file("X:1\n:v\n"),
                 "new_fax_header: Ignoring null attr\nset_fax_header_av: Out of memory\n" +
                     LINE_REFUSED}),
    [](const testing::TestParamInfo<bad_case> &info) { return std::string(info.param.name); });

TEST(FaxHeaderDescriptor, UnseekableOrClosedDescriptorIsRefused)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    unique_fd read_end(ends[0]), write_end(ends[1]);
    fax_header *list = nullptr;
    captured_output output = capture_output([&] { list = read_fax_header(read_end.get()); });
    EXPECT_EQ(list, nullptr);
    expect_twice(output, "read_fax_header: Can't rewind file: Illegal seek\n");

    output = capture_output([&] { list = read_fax_header(-1); });
    EXPECT_EQ(list, nullptr);
    expect_twice(output, "read_fax_header: Can't rewind file: Bad file descriptor\n");

    fax_header *node = new_fax_header("A", "1");
    int result = 0;
    output = capture_output([&] { result = write_fax_header(write_end.get(), node); });
    EXPECT_EQ(result, -1);
    expect_twice(output, "write_fax_header: Can't rewind file: Illegal seek\n");
    free_fax_header(node);
}

TEST(FaxHeaderWrite, EmptyListWritesNineBytesThatReadAsEmpty)
{
    temp_file file;
    {
        unique_fd fd(open(file.path().c_str(), O_RDWR));
        EXPECT_EQ(write_fax_header(fd.get(), nullptr), 1);
    }
    EXPECT_EQ(file.read(), bytes_of(prefix(1) + "\x1D"));
    expect_twice(read_from(file).output, EMPTY);
}

TEST(FaxHeaderWrite, OverwritesFromOffsetZeroAndLeavesTheRest)
{
    temp_file file(std::string(100, 'P'));
    unique_fd fd(open(file.path().c_str(), O_RDWR));
    ASSERT_EQ(lseek(fd.get(), 60, SEEK_SET), 60);
    fax_header *list = new_fax_header("RESOLUTION", "0");
    set_fax_header_av(list, "COMPRESSION", "1");
    EXPECT_EQ(write_fax_header(fd.get(), list), 1);
    EXPECT_EQ(file.read(), bytes_of(fax_file(EXAMPLE_TEXT) + std::string(64, 'P')));
    free_fax_header(list);
}

TEST(FaxHeaderWrite, FailedWriteIsReported)
{
    temp_file file;
    unique_fd fd(open(file.path().c_str(), O_RDONLY));
    fax_header *list = new_fax_header("A", "1");
    int result = 0;
    captured_output output = capture_output([&] { result = write_fax_header(fd.get(), list); });
    EXPECT_EQ(result, -1);
    expect_twice(output, "write_fax_header: Can't create fax file header: Bad file descriptor\n");
    free_fax_header(list);
}

TEST(FaxHeaderList, NewNodeRefusesAnEmptyAttributeAndDefaultsTheValue)
{
    fax_header *node = nullptr;
    for (const char *attr : {static_cast<const char *>(nullptr), ""}) {
        captured_output output = capture_output([&] { node = new_fax_header(attr, "v"); });
        EXPECT_EQ(node, nullptr);
        expect_twice(output, "new_fax_header: Ignoring null attr\n");
    }
    node = new_fax_header("A", nullptr);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(list_of(node), (pairs{{"A", ""}}));
    EXPECT_EQ(free_fax_header(node), 1);
    EXPECT_EQ(free_fax_header(nullptr), 1);
}

TEST(FaxHeaderList, SetReplacesInPlaceOrAppends)
{
    fax_header *list = new_fax_header("A", "1");
    EXPECT_EQ(set_fax_header_av(list, "B", "2"), 1);
    EXPECT_EQ(set_fax_header_av(list, "A", "one"), 1);
    EXPECT_EQ(set_fax_header_var(list, "C:x:y"), 1);
    EXPECT_EQ(set_fax_header_var(list, "B:"), 1);
    EXPECT_EQ(list_of(list), (pairs{{"A", "one"}, {"B", ""}, {"C", "x:y"}}));
    EXPECT_STREQ(lookup_fax_header(list, "C"), "x:y");
    EXPECT_EQ(lookup_fax_header(list, "c"), nullptr);
    EXPECT_EQ(lookup_fax_header(list, nullptr), nullptr);
    free_fax_header(list);
}

TEST(FaxHeaderList, RefusedSetLeavesTheListAlone)
{
    fax_header *list = new_fax_header("A", "1");
    int result = 0;
    captured_output output = capture_output([&] { result = set_fax_header_av(list, "", "v"); });
    EXPECT_EQ(result, -1);
    expect_twice(output, "new_fax_header: Ignoring null attr\nset_fax_header_av: Out of memory\n");

    // The refused text is printed as it is, never used as a format.
    char text[] = "A=%s%n%d";
    output = capture_output([&] { result = set_fax_header_var(list, text); });
    EXPECT_EQ(result, -1);
    expect_twice(output, "set_fax_header_var: Bad attr-value pair: [A=%s%n%d]\n");
    EXPECT_STREQ(text, "A=%s%n%d");

    EXPECT_EQ(list_of(list), (pairs{{"A", "1"}}));
    EXPECT_EQ(set_fax_header_av(nullptr, "A", "1"), -1);
    EXPECT_EQ(set_fax_header_var(nullptr, "A:1"), -1);
    free_fax_header(list);
}

TEST(FaxHeaderList, SetVarDoesNotModifyTheCallersText)
{
    fax_header *list = new_fax_header("A", "1");
    char text[] = "B:2";
    EXPECT_EQ(set_fax_header_var(list, text), 1);
    EXPECT_STREQ(text, "B:2");
    free_fax_header(list);
}

// Resolution and compression attributes.

struct getter_case {
    const char *name;
    const char *value;  // null: attribute absent
    int expected;
    std::string message;
};

fax_header *header_with(const char *attr, const char *value)
{
    fax_header *list = new_fax_header("#PAGES", "1");
    if (value)
        set_fax_header_av(list, attr, value);
    return list;
}

class VerticalResolution : public testing::TestWithParam<getter_case> {};

TEST_P(VerticalResolution, ReadsTheCodeOrWarnsOnStandardOutput)
{
    const getter_case &c = GetParam();
    fax_header *list = header_with("RESOLUTION", c.value);
    int code = 99;
    captured_output output = capture_output([&] { code = get_vertical_resolution(list); });
    EXPECT_EQ(code, c.expected);
    EXPECT_EQ(output.out, c.message);
    EXPECT_EQ(output.err, "");
    free_fax_header(list);
}

const std::string NO_RESOLUTION = "WARNING: No RESOLUTION value in header\n";
// A blank-only value shows its terminating NUL between the brackets.
const std::string BLANK_RESOLUTION =
    std::string("WARNING: Invalid RESOLUTION value in header: [") + '\0' + "]\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, VerticalResolution,
    testing::Values(getter_case{"Normal", "0", RES_NORMAL, ""},
                    getter_case{"LeadingBlanks", "  1", RES_FINE, ""},
                    getter_case{"TrailingJunk", "1x", RES_FINE, ""},
                    getter_case{"Three", "3", RES_300, ""},
                    getter_case{"Four", "4", RES_400, ""},
                    getter_case{"OtherWhiteSpace", "\t\n\v\f\r5", RES_600, ""},
                    getter_case{"Two", "2", -1, "WARNING: Invalid RESOLUTION value in header: [2]\n"},
                    getter_case{"BlankOnly", " ", -1, BLANK_RESOLUTION},
                    getter_case{"Absent", nullptr, -1, NO_RESOLUTION},
                    getter_case{"Empty", "", -1, NO_RESOLUTION}),
    [](const testing::TestParamInfo<getter_case> &info) { return std::string(info.param.name); });

class CompressionMode : public testing::TestWithParam<getter_case> {};

TEST_P(CompressionMode, ReadsTheCodeSilently)
{
    const getter_case &c = GetParam();
    fax_header *list = header_with("COMPRESSION", c.value);
    int code = 99;
    captured_output output = capture_output([&] { code = get_compression_mode(list); });
    EXPECT_EQ(code, c.expected);
    EXPECT_EQ(output.out + output.err, "");
    free_fax_header(list);
}

INSTANTIATE_TEST_SUITE_P(Cases, CompressionMode,
                         testing::Values(getter_case{"Absent", nullptr, COMP_MH, ""},
                                         getter_case{"Empty", "", COMP_MH, ""},
                                         getter_case{"MR", "1", COMP_MR, ""},
                                         getter_case{"UMMR", "2", COMP_UMMR, ""},
                                         getter_case{"MMRAfterBlanks", " \t3", COMP_MMR, ""},
                                         getter_case{"Nine", "9", -1, ""},
                                         getter_case{"Blank", " ", -1, ""}),
                         [](const testing::TestParamInfo<getter_case> &info) {
                             return std::string(info.param.name);
                         });

struct setter_case {
    const char *name;
    int (*set)(fax_header *, int);
    int (*get)(const fax_header *);
    const char *attr;
    int code;
    const char *stored;  // null: refused, attribute unchanged
    int read_back;
    std::string message;
};

class AttributeSetter : public testing::TestWithParam<setter_case> {};

TEST_P(AttributeSetter, StoresOneCharacterOrRefuses)
{
    const setter_case &c = GetParam();
    fax_header *list = header_with(c.attr, "0");
    int result = 0, read_back = 0;
    captured_output output = capture_output([&] {
        result = c.set(list, c.code);
        read_back = c.get(list);
    });
    EXPECT_EQ(result, c.stored ? 1 : -1);
    EXPECT_STREQ(lookup_fax_header(list, c.attr), c.stored ? c.stored : "0");
    EXPECT_EQ(read_back, c.read_back);
    EXPECT_EQ(output.out, c.message);
    EXPECT_EQ(output.err, "");
    free_fax_header(list);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AttributeSetter,
    testing::Values(
        setter_case{"Res300", set_vertical_resolution, get_vertical_resolution, "RESOLUTION", RES_300,
                    "3", RES_300, ""},
        setter_case{"Res600", set_vertical_resolution, get_vertical_resolution, "RESOLUTION", RES_600,
                    "5", RES_600, ""},
        setter_case{"ResUnknownIsBlank", set_vertical_resolution, get_vertical_resolution,
                    "RESOLUTION", RES_UNKNOWN, " ", -1, BLANK_RESOLUTION},
        setter_case{"ResSix", set_vertical_resolution, get_vertical_resolution, "RESOLUTION", 6,
                    nullptr, RES_NORMAL, "set_vertical_resolution: Invalid resolution: [6]\n"},
        setter_case{"ResNegative", set_vertical_resolution, get_vertical_resolution, "RESOLUTION", -1,
                    nullptr, RES_NORMAL, "set_vertical_resolution: Invalid resolution: [-1]\n"},
        setter_case{"CompMMR", set_compression_mode, get_compression_mode, "COMPRESSION", COMP_MMR,
                    "3", COMP_MMR, ""},
        setter_case{"CompUnknownIsBlank", set_compression_mode, get_compression_mode,
                    "COMPRESSION", COMP_UNKNOWN, " ", -1, ""},
        setter_case{"CompFive", set_compression_mode, get_compression_mode, "COMPRESSION", 5, nullptr,
                    COMP_MH, "set_compression_mode: invalid mode: 5\n"},
        setter_case{"CompNegative", set_compression_mode, get_compression_mode, "COMPRESSION", -1,
                    nullptr, COMP_MH, "set_compression_mode: invalid mode: -1\n"}),
    [](const testing::TestParamInfo<setter_case> &info) { return std::string(info.param.name); });

TEST(AttributeSetter, FailedStoreIsReported)
{
    int result = 0;
    captured_output output = capture_output([&] { result = set_vertical_resolution(nullptr, RES_FINE); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(output.out, "set_vertical_resolution: Can't set resolution\n");
    output = capture_output([&] { result = set_compression_mode(nullptr, COMP_MR); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(output.out, "set_compression mode: Can't set mode\n");
}

TEST(AttributeCodes, CharactersRoundTripAndOtherCodesAreUnknown)
{
    // Resolution codes 2-4 skip the character 2; the blank marks "unknown".
    const char resolution_chars[] = "01345 ";
    for (int code = RES_NORMAL; code <= RES_UNKNOWN; ++code) {
        EXPECT_EQ(resolution_to_char(code), resolution_chars[code]);
        EXPECT_EQ(char_to_resolution(resolution_chars[code]), code);
    }
    const char compression_chars[] = "0123 ";
    for (int code = COMP_MH; code <= COMP_UNKNOWN; ++code) {
        EXPECT_EQ(compression_to_char(code), compression_chars[code]);
        EXPECT_EQ(char_to_compression(compression_chars[code]), code);
    }
    for (int code : {-1, 6, 1000})
        EXPECT_EQ(resolution_to_char(code), '\0') << code;
    for (int code : {-1, 5})
        EXPECT_EQ(compression_to_char(code), '\0') << code;
    for (char c : {'2', '6', 'a', '\0'})
        EXPECT_EQ(char_to_resolution(c), -1) << c;
    for (char c : {'4', '9', '\0'})
        EXPECT_EQ(char_to_compression(c), -1) << c;

    for (int code : {int{RES_UNKNOWN}, 7, -1})
        EXPECT_STREQ(resolution_name(code), "Unknown Vertical Resolution") << code;
    for (int code : {int{COMP_UNKNOWN}, -1})
        EXPECT_STREQ(compression_name(code), "Unknown Compression Format") << code;
}

}  // namespace
