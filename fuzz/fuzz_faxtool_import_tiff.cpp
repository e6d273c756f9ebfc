// Arbitrary bytes as a TIFF image for faxtool import, through libtiff.
#include "fuzz/image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzz_image(data, size, "II");
}
