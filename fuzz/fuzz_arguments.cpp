// The argument scanner on arbitrary argument vectors: the fuzz bytes split
// at NUL into words.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/pelmorin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> words{"pelmorin"};
    std::string word;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    if (size > 0)
        words.push_back(word);
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    run_settings settings;
    int action = scan_arguments(static_cast<int>(words.size()), argv.data(), &settings);
    if (action < SCAN_RUN || action > SCAN_HELP2)
        __builtin_trap();
    if (action == SCAN_RUN) {
        if (settings.output_resolution != 1 && settings.output_resolution != 2)
            __builtin_trap();
        if (!settings.infile.empty() && settings.infile[0] == '-')
            __builtin_trap();
        if (!settings.scramble_requested && !settings.scramble_key.empty())
            __builtin_trap();
    }
    return 0;
}
