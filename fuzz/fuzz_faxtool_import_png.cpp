// Arbitrary bytes after the signature as a PNG image for faxtool import,
// through libpng.
#include "fuzz/image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzz_image(data, size, std::string("\x89PNG\r\n\x1a\n", 8));
}
