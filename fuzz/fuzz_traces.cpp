// Arbitrary bytes as a TRACES file: the configuration reader must parse or
// skip every line within its word and line limits. The first line of the
// input names the trace looked up. Trace files are never opened here, since
// a configuration line may name any path.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/work_dir.h"
#include "trace/trace.h"

namespace {

char traces_file[64];
long traces_stamp = 1;

void make_traces_home()
{
    if (traces_file[0] != '\0')
        return;
    const char *dir = fuzz_work_dir();
    std::snprintf(traces_file, sizeof traces_file, "%s/TRACES", dir);
    setenv("TAVRINHOME", dir, 1);
    unsetenv("TRACECONFIG");
    std::atexit([] { unlink(traces_file); });  // runs before the directory goes
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    make_traces_home();
    std::FILE *file = std::fopen(traces_file, "wb");
    if (file == nullptr)
        std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size)
        std::abort();
    std::fclose(file);
    // A later modification time makes the reader read the file again.
    const timespec times[2] = {{traces_stamp, 0}, {traces_stamp, 0}};
    ++traces_stamp;
    utimensat(AT_FDCWD, traces_file, times, 0);

    const void *newline = std::memchr(data, '\n', size);
    const size_t name_length = newline ? static_cast<const uint8_t *>(newline) - data : size;
    const std::string name(reinterpret_cast<const char *>(data), name_length);

    // Sized as the reader's word limits, with a guard byte each that must stay.
    char on_off[129], target[257], mode[129], fifth[129];
    for (char *out : {on_off, target, mode, fifth})
        std::memset(out, 0x5A, 129);
    target[256] = 0x5A;
    check_trace_config_file(name.c_str(), on_off, target, mode, fifth);
    if (on_off[128] != 0x5A || target[256] != 0x5A || mode[128] != 0x5A || fifth[128] != 0x5A)
        std::abort();
    return 0;
}
