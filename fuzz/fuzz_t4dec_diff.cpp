// The table-driven decoders and the bit-by-bit reference on the same bytes:
// any difference in callbacks, result or report traps. The first byte picks
// the mode, the line width and the callbacks given.
#include <cstddef>
#include <cstdint>

#include "tests/support/decoder_diff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > (1u << 16))
        return 0;
    static const int modes[] = {0, 1, 3};
    static const int widths[] = {1728, 1, 9, 100, 2600};
    static const unsigned sets[] = {decdiff::ALL, decdiff::LINE, decdiff::RUN | decdiff::EOL,
                                    decdiff::EOL, decdiff::SPANS};
    const int mode = modes[data[0] % 3];
    const int width = widths[(data[0] / 3) % 5];
    const unsigned set = sets[(data[0] / 15) % 5];
    if (!decdiff::compare(data + 1, static_cast<int>(size - 1), mode, width, set).empty())
        __builtin_trap();
    return 0;
}
