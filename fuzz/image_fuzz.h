// The shared body of the image reader fuzz targets: the bytes go into an
// unnamed memory file and are read page by page, row by row, as import
// reads them. Any fault, a reason-less refusal or a row with ink in its
// padding aborts; libFuzzer's memory limit catches a declared size that
// gets memory the bytes do not justify. Pages whose rows can be had in
// place are read a second time that way, and must give the same rows and
// the same end.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "faxtool/image_readers.h"
#include "faxtool/pages.h"

// What one reading of the image gave: a digest of every row and where it
// stopped.
struct image_fuzz_pass {
    uint64_t digest = 14695981039346656037u;
    int pages = 0;
    std::string reason;
};

inline void fuzz_digest(image_fuzz_pass &pass, const uint8_t *row, std::size_t bytes, int32_t width)
{
    if (width % 8 != 0 && (row[bytes - 1] & (0xFFu >> (width % 8))) != 0)
        std::abort();
    for (std::size_t i = 0; i < bytes; ++i)
        pass.digest = (pass.digest ^ row[i]) * 1099511628211u;
}

// The next `want` rows in place, into the digest; false when reading failed.
inline bool fuzz_view_rows(image_reader *reader, const image_page_size &page, int32_t want, image_fuzz_pass &pass)
{
    const std::size_t row_bytes = (static_cast<std::size_t>(page.width) + 7) / 8;
    while (want > 0) {
        const uint8_t *first = nullptr;
        const int32_t count = image_view_rows(reader, want, &first, pass.reason);
        if (count < 0)
            return false;
        if (count == 0 || count > want)
            std::abort();
        for (int32_t i = 0; i < count; ++i)
            fuzz_digest(pass, first + static_cast<std::size_t>(i) * row_bytes, row_bytes, page.width);
        want -= count;
    }
    return true;
}

// The page's rows 64 at a time, copied or (when the reader can) in place; a
// failed batch counts for nothing. False when reading failed.
inline bool fuzz_page_rows(image_reader *reader, const image_page_size &page, bool in_place, image_fuzz_pass &pass)
{
    static uint8_t rows[64 * FAX_ROW_BYTES];
    const std::size_t row_bytes = (static_cast<std::size_t>(page.width) + 7) / 8;
    for (int32_t y = 0; y < page.height; y += 64) {
        const int32_t want = page.height - y < 64 ? page.height - y : 64;
        const uint64_t before = pass.digest;
        bool ok;
        if (in_place) {
            ok = fuzz_view_rows(reader, page, want, pass);
        } else {
            ok = image_read_rows(reader, rows, want, FAX_ROW_BYTES, pass.reason);
            for (int32_t i = 0; ok && i < want; ++i)
                fuzz_digest(pass, rows + static_cast<std::size_t>(i) * FAX_ROW_BYTES, row_bytes, page.width);
        }
        if (!ok) {
            if (pass.reason.empty())
                std::abort();
            pass.digest = before;
            return false;
        }
    }
    return true;
}

inline image_fuzz_pass fuzz_pass(int fd, bool in_place)
{
    image_fuzz_pass pass;
    if (lseek(fd, 0, SEEK_SET) != 0)
        std::abort();
    image_reader *reader = image_open(fd, pass.reason);
    if (reader == nullptr && pass.reason.empty())
        std::abort();
    if (reader != nullptr && image_page_count(reader) < -1)
        std::abort();
    for (; reader != nullptr && pass.pages < 64; ++pass.pages) {
        image_page_size page;
        const int next = image_next_page(reader, page, pass.reason);
        if (next < 0 && pass.reason.empty())
            std::abort();
        if (next <= 0)
            break;
        if (page.width <= 0 || page.width > FAX_WIDTH || page.height <= 0 || page.height > MAX_PAGE_ROWS)
            std::abort();
        if (!fuzz_page_rows(reader, page, in_place && image_rows_in_place(reader), pass))
            break;
    }
    image_close(reader);
    return pass;
}

// Runs the readers on magic + data, or on data alone when it starts with
// the magic already, so that the fuzzer spends its time past the first bytes.
inline int fuzz_image(const uint8_t *data, size_t size, const std::string &magic)
{
    const int fd = memfd_create("fuzz-image", MFD_CLOEXEC);
    if (fd < 0)
        std::abort();
    std::vector<uint8_t> bytes;
    if (size < magic.size() || std::memcmp(data, magic.data(), magic.size()) != 0)
        bytes.assign(magic.begin(), magic.end());
    bytes.insert(bytes.end(), data, data + size);
    if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        std::abort();
    const image_fuzz_pass copied = fuzz_pass(fd, false);
    const image_fuzz_pass in_place = fuzz_pass(fd, true);
    if (copied.digest != in_place.digest || copied.pages != in_place.pages || copied.reason != in_place.reason)
        std::abort();
    close(fd);
    return 0;
}
