#include "raster/sunraster.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <numeric>
#include <tuple>
#include <vector>

#include "tests/support/capture.h"

namespace {

using testsupport::capture_output;
using testsupport::captured_output;
using bytes = std::vector<uint8_t>;

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
using unique_file = std::unique_ptr<FILE, file_closer>;

struct pixrect_deleter {
    void operator()(pixrect *pr) const { free_pixrect(pr); }
};
using unique_pixrect = std::unique_ptr<pixrect, pixrect_deleter>;

void append_le32(bytes &out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A raster header with the given fields, little-endian like pr_dump writes.
bytes raster_header(int32_t width, int32_t height, int32_t depth, int32_t length, int32_t type = 1,
                    int32_t map_length = 0)
{
    bytes out;
    for (int32_t field : {static_cast<int32_t>(RAS_MAGIC), width, height, depth, length, type,
                          int32_t{RMT_NONE}, map_length})
        append_le32(out, static_cast<uint32_t>(field));
    return out;
}

bytes concat(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes pattern(std::size_t size, uint8_t first = 1)
{
    bytes out(size);
    std::iota(out.begin(), out.end(), first);
    return out;
}

bytes dump(const pixrect *pr, int type = RT_STANDARD, int *result = nullptr)
{
    char *buffer = nullptr;
    std::size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    int r = pr_dump(pr, stream, nullptr, type, 0);
    if (result)
        *result = r;
    std::fclose(stream);
    bytes out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

struct load_result {
    unique_pixrect pr;
    std::string err;
};

// Loads from a read-only memory stream, as a seekable file would be read.
load_result load(bytes file, sun_colormap *colormap = nullptr)
{
    file.push_back(0);  // fmemopen wants at least one byte; the stream size excludes it
    unique_file stream(fmemopen(file.data(), file.size() - 1, "r"));
    load_result r;
    captured_output output = capture_output([&] { r.pr.reset(pr_load(stream.get(), colormap)); });
    r.err = output.err;
    EXPECT_EQ(output.out, "");
    return r;
}

bytes image_of(const pixrect *pr)
{
    const unsigned char *image = pr->data->image;
    return bytes(image, image + int64_t{pr->data->line_bytes} * pr->height);
}

TEST(SunRasterDump, Fax864By3MatchesTheFormatByteForByte)
{
    bytes image = pattern(108 * 3);
    unique_pixrect pr(new_pixrect(864, 3, 1, image.data()));
    ASSERT_NE(pr, nullptr);
    bytes file = dump(pr.get());
    ASSERT_EQ(file.size(), 32u + 324u);
    const bytes expected_header = {0x95, 0x6A, 0xA6, 0x59, 0x60, 0x03, 0x00, 0x00, 0x03, 0x00, 0x00,
                                   0x00, 0x01, 0x00, 0x00, 0x00, 0x44, 0x01, 0x00, 0x00, 0x01, 0x00,
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(bytes(file.begin(), file.begin() + 32), expected_header);
    EXPECT_EQ(bytes(file.begin() + 32, file.end()), image);
}

TEST(SunRasterDump, OtherTypeIsWrittenAsStandardWithAMessage)
{
    bytes image(216 * 2, 0xF0);
    unique_pixrect pr(new_pixrect(1728, 2, 1, image.data()));
    bytes file;
    captured_output output = capture_output([&] { file = dump(pr.get(), 2); });
    EXPECT_EQ(output.err, "pr_dump: requested type 2, dumping type RT_STANDARD instead\n");
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(file, concat(raster_header(1728, 2, 1, 432), image));
}

TEST(SunRasterDump, StreamThatRefusesTheBytesIsAFailure)
{
    bytes image(2, 0);
    unique_pixrect pr(new_pixrect(16, 1, 1, image.data()));
    unique_file read_only(std::fopen("/dev/null", "r"));
    ASSERT_NE(read_only, nullptr);
    EXPECT_EQ(pr_dump(pr.get(), read_only.get(), nullptr, RT_STANDARD, 0), -1);
    EXPECT_EQ(pr_dump(nullptr, read_only.get(), nullptr, RT_STANDARD, 0), -1);
}

struct line_case {
    int32_t width, depth, line_bytes;
};

class LineBytes : public testing::TestWithParam<line_case> {};

TEST_P(LineBytes, PadsRowsToSixteenBits)
{
    const line_case &c = GetParam();
    EXPECT_EQ(pr_line_bytes(c.width, c.depth), c.line_bytes);
}

INSTANTIATE_TEST_SUITE_P(Cases, LineBytes,
                         testing::Values(line_case{864, 1, 108}, line_case{1728, 1, 216},
                                         line_case{1727, 1, 216}, line_case{1, 1, 2},
                                         line_case{16, 1, 2}, line_case{17, 1, 4},
                                         line_case{0, 1, 0}, line_case{3, 8, 4},
                                         line_case{5, 24, 16}, line_case{-1, 1, -1},
                                         line_case{1, -1, -1},
                                         line_case{0x7FFFFFFF, 32, -1}),
                         [](const auto &info) {
                             auto num = [](int32_t v) { return v < 0 ? "Minus" + std::to_string(-v) : std::to_string(v); };
                             return "Width" + num(info.param.width) + "Depth" + num(info.param.depth);
                         });

TEST(SunRasterPixrect, NewWrapsCallerMemoryAndFreeLeavesIt)
{
    bytes image(216, 0xAA);
    pixrect *pr = new_pixrect(1728, 1, 1, image.data());
    ASSERT_NE(pr, nullptr);
    EXPECT_EQ(pr->operations, nullptr);
    EXPECT_EQ(pr->data->image, image.data());
    EXPECT_EQ(pr->data->line_bytes, 216);
    EXPECT_EQ(pr->data->primary, 0);
    EXPECT_EQ(pr->data->offset_x, 0);
    EXPECT_EQ(pr->data->flags, 0);
    EXPECT_EQ(free_pixrect(pr), 0);
    EXPECT_EQ(image[215], 0xAA);  // still ours: the sanitizers would flag a release
    EXPECT_EQ(free_pixrect(nullptr), 0);
}

TEST(SunRasterPixrect, NewRefusesImpossibleDimensions)
{
    for (auto [w, h, d] : {std::tuple{-1, 1, 1}, {1, -1, 1}, {1, 1, -1}, {1728, 0x7FFFFFFF, 1}}) {
        pixrect *pr = nullptr;
        captured_output output = capture_output([&pr, w = w, h = h, d = d] { pr = new_pixrect(w, h, d, nullptr); });
        EXPECT_EQ(pr, nullptr);
        EXPECT_EQ(output.err, "new_pixrect: bad image size " + std::to_string(w) + " x " +
                                  std::to_string(h) + " x " + std::to_string(d) + "\n");
    }
}

TEST(SunRasterLoad, ReadsBackWhatDumpWrote)
{
    for (auto [w, h, d] : {std::tuple{864, 3, 1}, {1728, 5, 1}, {17, 2, 1}, {3, 2, 8}, {0, 0, 1}}) {
        bytes image = pattern(static_cast<std::size_t>(pr_line_bytes(w, d)) * h, 7);
        unique_pixrect written(new_pixrect(w, h, d, image.data()));
        load_result r = load(dump(written.get()));
        ASSERT_NE(r.pr, nullptr) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.pr->width, w);
        EXPECT_EQ(r.pr->height, h);
        EXPECT_EQ(r.pr->depth, d);
        EXPECT_EQ(r.pr->data->line_bytes, pr_line_bytes(w, d));
        EXPECT_EQ(r.pr->data->primary, 1);
        EXPECT_EQ(r.pr->data->offset_y, 0);
        EXPECT_EQ(image_of(r.pr.get()), image);
    }
}

TEST(SunRasterLoad, LargePageArrivesThroughAPipe)
{
    // Neither seekable nor delivered at once: the image buffer grows with the data.
    const int width = 1728, height = 2200;
    bytes image = pattern(216u * height, 3);
    unique_pixrect written(new_pixrect(width, height, 1, image.data()));
    bytes file = dump(written.get());

    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    unique_file reader(fdopen(ends[0], "r"));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ssize_t n = write(ends[1], file.data(), file.size());
        _exit(n == static_cast<ssize_t>(file.size()) ? 0 : 1);
    }
    close(ends[1]);
    unique_pixrect loaded(pr_load(reader.get(), nullptr));
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->height, height);
    EXPECT_EQ(image_of(loaded.get()), image);
}

TEST(SunRasterLoad, ColourMapFillsTheGivenRecord)
{
    bytes map = {10, 11, 20, 21, 30, 31};
    bytes image = pattern(4);
    sun_colormap colormap;
    std::memset(&colormap, 0xEE, sizeof colormap);
    load_result r = load(concat(concat(raster_header(16, 2, 1, 4, 1, 6), map), image), &colormap);
    ASSERT_NE(r.pr, nullptr) << r.err;
    EXPECT_EQ(colormap.length, 6);
    EXPECT_EQ(bytes(colormap.red, colormap.red + 3), (bytes{10, 11, 0}));
    EXPECT_EQ(bytes(colormap.green, colormap.green + 3), (bytes{20, 21, 0}));
    EXPECT_EQ(bytes(colormap.blue, colormap.blue + 3), (bytes{30, 31, 0}));
    EXPECT_EQ(colormap.blue[255], 0);
    EXPECT_EQ(image_of(r.pr.get()), image);
}

TEST(SunRasterLoad, ImageStartsAfterTheWholeMapWithOrWithoutARecord)
{
    // A map length that is not a multiple of three used to shift the image
    // by the remainder when the caller asked for the map.
    bytes file = concat(concat(raster_header(16, 1, 1, 2, 1, 7), pattern(7, 100)), bytes{0xAB, 0xCD});
    sun_colormap colormap;
    for (sun_colormap *target : {&colormap, static_cast<sun_colormap *>(nullptr)}) {
        load_result r = load(file, target);
        ASSERT_NE(r.pr, nullptr) << r.err;
        EXPECT_EQ(image_of(r.pr.get()), (bytes{0xAB, 0xCD}));
    }
    EXPECT_EQ(colormap.length, 7);
    EXPECT_EQ(colormap.blue[1], 105);
}

TEST(SunRasterLoad, LargestColourMapIsAccepted)
{
    sun_colormap colormap;
    bytes map = pattern(768);
    load_result r = load(concat(concat(raster_header(16, 1, 1, 2, 1, 768), map), bytes{1, 2}), &colormap);
    ASSERT_NE(r.pr, nullptr) << r.err;
    EXPECT_EQ(colormap.red[255], map[255]);
    EXPECT_EQ(colormap.blue[255], map[767]);
    EXPECT_EQ(image_of(r.pr.get()), (bytes{1, 2}));
}

TEST(SunRasterLoad, ShortImageIsFilledWhite)
{
    bytes image(216 * 4, 0xFF);
    bytes file = concat(raster_header(1728, 4, 1, 216 * 4), bytes(image.begin(), image.begin() + 216 * 3 - 1));
    load_result r = load(file);
    ASSERT_NE(r.pr, nullptr) << r.err;
    bytes expected = image;
    std::fill(expected.begin() + 216 * 3 - 1, expected.end(), 0);
    EXPECT_EQ(image_of(r.pr.get()), expected);
}

TEST(SunRasterLoad, LengthFieldAboveTheImageIsHarmless)
{
    load_result r = load(concat(raster_header(16, 1, 1, 1000), bytes{1, 2, 3, 4}));
    ASSERT_NE(r.pr, nullptr) << r.err;
    EXPECT_EQ(image_of(r.pr.get()), (bytes{1, 2}));
}

TEST(SunRasterLoad, NextImageInTheStreamFollowsTheWholeLength)
{
    bytes file = concat(concat(raster_header(16, 1, 1, 6), bytes{1, 2, 3, 4, 5, 6}),
                        concat(raster_header(16, 1, 1, 2), bytes{7, 8}));
    unique_file stream(fmemopen(file.data(), file.size(), "r"));
    unique_pixrect first(pr_load(stream.get(), nullptr));
    unique_pixrect second(pr_load(stream.get(), nullptr));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(image_of(first.get()), (bytes{1, 2}));
    EXPECT_EQ(image_of(second.get()), (bytes{7, 8}));
}

struct refusal_case {
    const char *name;
    bytes file;
    const char *message;
};

class SunRasterRefusal : public testing::TestWithParam<refusal_case> {};

TEST_P(SunRasterRefusal, GivesNoneWithItsMessage)
{
    const refusal_case &c = GetParam();
    sun_colormap colormap;
    load_result r = load(c.file, &colormap);
    EXPECT_EQ(r.pr, nullptr);
    EXPECT_EQ(r.err, c.message);
}

bytes swapped_magic()
{
    bytes file = raster_header(16, 1, 1, 2);
    std::reverse(file.begin(), file.begin() + 4);
    return concat(file, bytes{0, 0});
}

bytes short_header()
{
    bytes file = raster_header(16, 1, 1, 2);
    file.pop_back();
    return file;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SunRasterRefusal,
    testing::Values(
        refusal_case{"BigEndianMagic", swapped_magic(), "pr_load: not a Sun raster file\n"},
        refusal_case{"Empty", {}, "pr_load: not a Sun raster file\n"},
        refusal_case{"ShortHeader", short_header(), "pr_load: not a Sun raster file\n"},
        refusal_case{"TypeTwo", concat(raster_header(16, 1, 1, 2, 2), bytes{0, 0}),
                     "Unsupported Sun raster file type 2\n"},
        refusal_case{"TypeOld", concat(raster_header(16, 1, 1, 2, 0), bytes{0, 0}),
                     "Unsupported Sun raster file type 0\n"},
        refusal_case{"MapTooLong", concat(raster_header(16, 1, 1, 2, 1, 771), bytes(773, 1)),
                     "pr_load: bad colour map length 771\n"},
        refusal_case{"MapNegative", concat(raster_header(16, 1, 1, 2, 1, -3), bytes(2, 1)),
                     "pr_load: bad colour map length -3\n"},
        refusal_case{"NegativeWidth", raster_header(-8, 1, 1, 2), "pr_load: bad image size -8 x 1 x 1\n"},
        refusal_case{"NegativeHeight", raster_header(8, -1, 1, 2), "pr_load: bad image size 8 x -1 x 1\n"},
        refusal_case{"NegativeDepth", raster_header(8, 1, -1, 2), "pr_load: bad image size 8 x 1 x -1\n"},
        refusal_case{"SizeOverflows", raster_header(65536, 262144, 1, 0x7FFFFFFF),
                     "pr_load: bad image size 65536 x 262144 x 1\n"},
        refusal_case{"RowOverflows", raster_header(0x7FFFFFFF, 1, 32, 0x7FFFFFFF),
                     "pr_load: bad image size 2147483647 x 1 x 32\n"},
        refusal_case{"LengthBelowImage", concat(raster_header(1728, 2, 1, 431), bytes(432, 0)),
                     "pr_load: image length 431 too small for 1728 x 2 x 1\n"},
        refusal_case{"HugeImageTinyFile", concat(raster_header(65536, 32767, 1, 0x7FFFFFFF), bytes(64, 0)),
                     "pr_load: image data truncated\n"},
        refusal_case{"LessThanHalfThere", concat(raster_header(1728, 4, 1, 864), bytes(431, 0)),
                     "pr_load: image data truncated\n"}),
    [](const testing::TestParamInfo<refusal_case> &info) { return std::string(info.param.name); });

TEST(SunRasterRefusal, ColourMapIsUntouchedWhenTheHeaderIsRefused)
{
    sun_colormap colormap;
    std::memset(&colormap, 0x5A, sizeof colormap);
    load_result r = load(concat(raster_header(16, 1, 1, 2, 1, 800), bytes(802, 1)), &colormap);
    EXPECT_EQ(r.pr, nullptr);
    EXPECT_EQ(colormap.length, 0x5A5A5A5A);
    EXPECT_EQ(colormap.red[0], 0x5A);
}

}  // namespace
