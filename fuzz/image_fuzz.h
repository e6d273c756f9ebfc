// The shared body of the image reader fuzz targets: the bytes go into an
// unnamed memory file and are read page by page, row by row, as import
// reads them. Any fault, a reason-less refusal or a row with ink in its
// padding aborts; libFuzzer's memory limit catches a declared size that
// gets memory the bytes do not justify.
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
    if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) || lseek(fd, 0, SEEK_SET) != 0)
        std::abort();
    std::string reason;
    image_reader *reader = image_open(fd, reason);
    if (reader == nullptr && reason.empty())
        std::abort();
    static uint8_t rows[64 * FAX_ROW_BYTES];
    if (reader != nullptr && image_page_count(reader) < -1)
        std::abort();
    for (int pages = 0; reader != nullptr && pages < 64; ++pages) {
        image_page_size page;
        const int next = image_next_page(reader, page, reason);
        if (next < 0 && reason.empty())
            std::abort();
        if (next <= 0)
            break;
        if (page.width <= 0 || page.width > FAX_WIDTH || page.height <= 0 || page.height > MAX_PAGE_ROWS)
            std::abort();
        const std::size_t row_bytes = (static_cast<std::size_t>(page.width) + 7) / 8;
        bool ok = true;
        for (int32_t y = 0; ok && y < page.height; y += 64) {
            const int32_t count = page.height - y < 64 ? page.height - y : 64;
            ok = image_read_rows(reader, rows, count, FAX_ROW_BYTES, reason);
            if (!ok && reason.empty())
                std::abort();
            for (int32_t i = 0; ok && i < count && page.width % 8 != 0; ++i)
                if ((rows[i * FAX_ROW_BYTES + row_bytes - 1] & (0xFFu >> (page.width % 8))) != 0)
                    std::abort();
        }
        if (!ok)
            break;
    }
    image_close(reader);
    close(fd);
    return 0;
}
