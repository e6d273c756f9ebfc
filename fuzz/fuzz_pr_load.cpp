// Arbitrary bytes as a Sun raster file: pr_load must refuse or accept them
// without harm, and an accepted image must survive pr_dump and a re-load.
// Run with -close_fd_mask=3 to keep the refusal messages off the terminal.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "raster/sunraster.h"

namespace {

pixrect *load_from(void *data, size_t size, sun_colormap *colormap)
{
    FILE *stream = fmemopen(data, size, "r");
    if (!stream)
        return nullptr;
    pixrect *pr = pr_load(stream, colormap);
    std::fclose(stream);
    return pr;
}

size_t image_size(const pixrect *pr)
{
    return static_cast<size_t>(pr->data->line_bytes) * static_cast<size_t>(pr->height);
}

void check_round_trip(const pixrect *pr)
{
    char *buffer = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    if (!stream || pr_dump(pr, stream, nullptr, RT_STANDARD, 0) != 0)
        std::abort();
    std::fclose(stream);
    pixrect *again = load_from(buffer, size, nullptr);
    if (!again || again->width != pr->width || again->height != pr->height ||
        again->depth != pr->depth || image_size(again) != image_size(pr) ||
        (image_size(pr) && std::memcmp(again->data->image, pr->data->image, image_size(pr)) != 0))
        std::abort();
    free_pixrect(again);
    std::free(buffer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // fmemopen wants a writable buffer of at least one byte.
    std::vector<uint8_t> copy(data, data + size);
    copy.push_back(0);
    sun_colormap colormap;
    pixrect *pr = load_from(copy.data(), size, size % 2 ? &colormap : nullptr);
    if (pr)
        check_round_trip(pr);
    free_pixrect(pr);
    return 0;
}
