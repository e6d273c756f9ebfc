// The whole conversion of an arbitrary input file, in-process. The last
// byte picks the options (bit 0: -2, bit 1: a scramble key, bit 2: a raw
// ".tif" input name), so that a fax file given whole as a seed keeps its
// magic; the rest is the file. Page files are removed after each run.
#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/pelmorin.h"
#include "fuzz/work_dir.h"

namespace {

void empty_work_dir()
{
    DIR *dir = opendir(fuzz_work_dir());
    if (dir == nullptr)
        return;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            unlink((std::string(fuzz_work_dir()) + "/" + name).c_str());
    }
    closedir(dir);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t options = data[size - 1];
    const std::string dir = fuzz_work_dir();
    run_settings settings;
    settings.infile = dir + ((options & 4) != 0 ? "/in.tif" : "/in.fax");
    settings.outfile = dir + "/p";
    settings.output_resolution = (options & 1) != 0 ? 2 : 1;
    settings.scramble_requested = (options & 2) != 0;
    settings.scramble_key = "fuzz";

    FILE *file = std::fopen(settings.infile.c_str(), "wb");
    if (file == nullptr)
        std::abort();
    std::fwrite(data, 1, size - 1, file);
    std::fclose(file);

    int status = convert_fax_file(settings);
    release_page_bitmap();
    empty_work_dir();
    if (status != 0 && status != 1)
        __builtin_trap();
    return 0;
}
