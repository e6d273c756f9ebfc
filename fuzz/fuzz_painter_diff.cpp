// The converter's painter against the pixel-by-pixel reference on arbitrary
// streams of runs, ends of line and page starts (see refpainter::player for
// how the bytes read), and on the lines of decoded pages handed over whole.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/reference_painter.h"

// From a first byte 0xFF on, the bytes are a coded page instead: the
// reference painter gets its runs, the converter's painter its whole lines.
std::string decode_both_ways(const uint8_t *data, size_t size)
{
    if (size < 2 || size > (1u << 16))
        return "";
    static const int modes[] = {0, 1, 3};
    static const int widths[] = {1728, 1728, 2600, 100};
    static const int32_t seeds[] = {0, 0, 77, -5};
    const uint8_t pick = data[1];
    t4dec_context *ctx = t4dec_context_new(widths[(pick >> 2) & 3]);
    if (ctx == nullptr)
        return "";
    refpainter::player player;
    player.start((pick & 0x10) ? 2 : 1, (pick & 0x20) ? 1 : 0, seeds[(pick >> 6) & 3]);
    for (int page = 0; page < 2; ++page) {  // the second page is scrambled when a key is set
        player.decode_whole_lines(ctx, data + 2, static_cast<int>(size - 2), modes[pick % 3]);
        if (page == 0)
            player.next_page(true);
    }
    t4dec_context_free(ctx);
    return player.finish();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    refpainter::player player;
    std::string difference = size > 0 && data[0] == 0xFF ? decode_both_ways(data, size)
                                                         : player.play(data, size);
    release_page_bitmap();
    if (!difference.empty()) {
        std::fprintf(stderr, "painters differ: %s\n", difference.c_str());
        std::abort();
    }
    return 0;
}
