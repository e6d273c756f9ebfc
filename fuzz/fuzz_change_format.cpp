// Arbitrary bytes as a fax file rewritten in another compression: the
// recompression must refuse or convert it without harm, and never leave its
// temporary file behind. The last byte picks the target compression, so
// that a fax file given whole as a seed keeps its magic.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/work_dir.h"
#include "t4/t4dec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static const int targets[] = {0, 1, 3};
    const std::string path = std::string(fuzz_work_dir()) + "/fax";
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        std::abort();
    if (size > 1 && std::fwrite(data, 1, size - 1, file) != size - 1)
        std::abort();
    std::fclose(file);

    t4dec_change_format(path.c_str(), targets[data[size - 1] % 3], 0, nullptr);

    const std::string temp = path + "." + std::to_string(getpid());
    if (access(temp.c_str(), F_OK) == 0)
        std::abort();  // a failed conversion must remove its temporary file
    unlink(path.c_str());
    return 0;
}
