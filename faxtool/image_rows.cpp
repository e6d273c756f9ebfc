// Size limits and bilevel rows for the image readers.
#include "faxtool/image_rows.h"

namespace {

// Larger images are refused before anything is allocated for them.
constexpr int64_t MAX_IMAGE_PIXELS = int64_t{FAX_WIDTH} * MAX_PAGE_ROWS * 2;

}  // namespace

bool size_acceptable(int64_t width, int64_t height, std::string &reason)
{
    if (width <= 0 || height <= 0 || width > 1000000 || height > MAX_PAGE_ROWS ||
        width * height > MAX_IMAGE_PIXELS) {
        reason = "image size " + std::to_string(width) + " x " + std::to_string(height) +
                 " is not taken";
        return false;
    }
    return true;
}

page_image blank_image(int32_t width, int32_t height)
{
    page_image image;
    image.width = width;
    image.height = height;
    image.row_bytes = (width + 7) / 8;
    image.bits.assign(static_cast<std::size_t>(image.row_bytes) * static_cast<std::size_t>(height), 0);
    return image;
}

void set_black(page_image &image, int32_t x, int32_t y)
{
    image.bits[static_cast<std::size_t>(y) * image.row_bytes + static_cast<std::size_t>(x >> 3)] |=
        static_cast<uint8_t>(0x80u >> (x & 7));
}
