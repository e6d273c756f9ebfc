// t4dec_decode on arbitrary bytes. The first byte picks the mode (MH, MR,
// MMR) and the line width; the callbacks check the decoder contract cheaply.
#include <cstddef>
#include <cstdint>

#include "t4/t4dec.h"

namespace {

struct contract_state {
    int64_t line_pixels = 0;  // sum of the run magnitudes since the last eol
    int bytes_per_line = 0;
    unsigned checksum = 0;    // reading every byte lets ASan check the bitmap's extent
};

contract_state contract;

void check_run(int32_t run)
{
    if (run == RUN_EOL)
        __builtin_trap();
    contract.line_pixels += run < 0 ? -static_cast<int64_t>(run) : run;
    if (contract.line_pixels > t4_line_width)
        __builtin_trap();
}

void check_line(const unsigned char *line, int bytes_per_line)
{
    if (line == nullptr || bytes_per_line != contract.bytes_per_line)
        __builtin_trap();
    for (int i = 0; i < bytes_per_line; ++i)
        contract.checksum += line[i];
}

void check_eol() { contract.line_pixels = 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > (1u << 20))
        return 0;
    static const int modes[] = {0, 1, 3};
    static const int widths[] = {1728, 1, 100, 2600};
    const int mode = modes[data[0] % 3];
    t4dec_set_width(widths[(data[0] / 3) % 4]);
    contract = {0, (t4_line_width + 7) / 8, 0};

    t4dec_decode(data + 1, static_cast<int>(size - 1), mode, check_run, check_line, check_eol);
    if (mode == 0) {
        // The recompression closes an MH page's open line this way.
        putrunlen(0, RUN_EOL, check_run, check_line, check_eol);
        putrunlen(1, 0, nullptr, nullptr, nullptr);
    }
    return 0;
}
