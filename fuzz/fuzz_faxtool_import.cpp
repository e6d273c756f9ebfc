// Arbitrary bytes as a PBM image for faxtool import.
#include "fuzz/image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzz_image(data, size, "P");
}
