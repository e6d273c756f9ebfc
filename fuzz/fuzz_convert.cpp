// The whole conversion of an arbitrary input file, in-process. The first
// byte picks the options (bit 0: -2, bit 1: a scramble key, bit 2: a raw
// ".tif" input name); the rest is the file. Page files are removed after
// each run.
#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/pelmorin.h"

namespace {

const std::string &work_dir()
{
    static const std::string dir = [] {
        char pattern[] = "/tmp/fuzz_convert-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            std::abort();
        return std::string(pattern);
    }();
    return dir;
}

void empty_work_dir()
{
    DIR *dir = opendir(work_dir().c_str());
    if (dir == nullptr)
        return;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            unlink((work_dir() + "/" + name).c_str());
    }
    closedir(dir);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t options = data[0];
    run_settings settings;
    settings.infile = work_dir() + ((options & 4) != 0 ? "/in.tif" : "/in.fax");
    settings.outfile = work_dir() + "/p";
    settings.output_resolution = (options & 1) != 0 ? 2 : 1;
    settings.scramble_requested = (options & 2) != 0;
    settings.scramble_key = "fuzz";

    FILE *file = std::fopen(settings.infile.c_str(), "wb");
    if (file == nullptr)
        std::abort();
    std::fwrite(data + 1, 1, size - 1, file);
    std::fclose(file);

    int status = convert_fax_file(settings);
    release_page_bitmap();
    empty_work_dir();
    if (status != 0 && status != 1)
        __builtin_trap();
    return 0;
}
