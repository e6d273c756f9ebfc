// Telling the image formats apart by their first bytes, on the one
// descriptor every format then reads on from.
#include "faxtool/image_readers.h"

#include <cstring>
#include <new>

#include "faxtool/image_formats.h"

struct image_reader {
    image_input in;
    const image_format *format = nullptr;
    void *state = nullptr;
};

namespace {

const image_format *format_of(const uint8_t *magic, std::size_t length)
{
    if (length >= 2 && magic[0] == 'P')
        return &PBM_FORMAT;
    if (length >= 4 && magic[0] == 0x89 && magic[1] == 'P' && magic[2] == 'N' && magic[3] == 'G')
        return &PNG_FORMAT;
    if (length >= 2 && ((magic[0] == 'I' && magic[1] == 'I') || (magic[0] == 'M' && magic[1] == 'M')))
        return &TIFF_FORMAT;
    return nullptr;
}

}  // namespace

image_reader *image_open(int fd, std::string &reason)
{
    auto *reader = new (std::nothrow) image_reader;
    if (reader == nullptr) {
        reason = "out of memory";
        return nullptr;
    }
    reader->in.fd = fd;
    const std::size_t length = input_fill_to(reader->in, 4);
    reader->format = format_of(reader->in.buffer, length);
    if (reader->format == nullptr) {
        // A directory opens but cannot be read: say so, not "not an image".
        reason = length < 2 && reader->in.error != 0 ? std::strerror(reader->in.error)
                                                     : "not a PBM, PNG or TIFF image";
        delete reader;
        return nullptr;
    }
    reader->state = reader->format->open(reader->in, reason);
    if (reader->state == nullptr) {
        delete reader;
        return nullptr;
    }
    return reader;
}

void image_close(image_reader *reader)
{
    if (reader == nullptr)
        return;
    reader->format->close(reader->state);
    delete reader;
}

long image_page_count(image_reader *reader) { return reader->format->page_count(reader->state); }

int image_next_page(image_reader *reader, image_page_size &size, std::string &reason)
{
    return reader->format->next_page(reader->state, size, reason);
}

bool image_read_rows(image_reader *reader, uint8_t *rows, int32_t count, std::size_t stride,
                     std::string &reason)
{
    return reader->format->read_rows(reader->state, rows, count, stride, reason);
}

bool image_rows_in_place(image_reader *reader)
{
    return reader->format->rows_in_place != nullptr && reader->format->rows_in_place(reader->state);
}

int32_t image_view_rows(image_reader *reader, int32_t max, const uint8_t **rows, std::string &reason)
{
    return reader->format->view_rows(reader->state, max, rows, reason);
}
