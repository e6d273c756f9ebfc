// The converter's painter against the pixel-by-pixel reference on arbitrary
// streams of runs, ends of line and page starts (see refpainter::player for
// how the bytes read).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/reference_painter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    refpainter::player player;
    std::string difference = player.play(data, size);
    release_page_bitmap();
    if (!difference.empty()) {
        std::fprintf(stderr, "painters differ: %s\n", difference.c_str());
        std::abort();
    }
    return 0;
}
