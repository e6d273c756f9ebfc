// faxtool: fax files to and from the image formats everything reads.
#include <getopt.h>
#include <signal.h>

#include <cerrno>
#include <string>

#include <cstdio>
#include <cstring>

#include "faxtool/export.h"
#include "faxtool/import.h"
#include "faxtool/info.h"
#include "faxtool/messages.h"
#include "faxtool/recompress.h"
#include "faxtool/usage.h"
#include "util/fdio.h"

namespace {

struct command_entry {
    const char *name;
    int (*run)(int argc, char **argv);
};

constexpr command_entry COMMANDS[] = {
    {"info", run_info},
    {"export", run_export},
    {"import", run_import},
    {"recompress", run_recompress},
};

// Output that never reached standard output is a failure, even for --help.
int finish_stdout(int status)
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        if (stdout_failure_reported())
            return 1;
        std::fprintf(stderr, "faxtool: cannot write standard output: %s\n", std::strerror(errno));
        return 1;
    }
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    if (!fd_open_standard_descriptors()) {
        std::fputs("faxtool: cannot open /dev/null for a closed standard descriptor\n", stderr);
        return 1;
    }
    // Past a file size limit a write must fail with EFBIG, not kill us with
    // a temporary file left behind.
    signal(SIGXFSZ, SIG_IGN);
    opterr = 0;
    if (argc < 2)
        return usage_error(nullptr, "missing command");
    const char *word = argv[1];
    if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0)
        return finish_stdout(print_command_help(nullptr));
    if (std::strcmp(word, "--version") == 0 || std::strcmp(word, "-V") == 0)
        return finish_stdout(print_version());
    for (const command_entry &command : COMMANDS) {
        if (std::strcmp(word, command.name) == 0) {
            optind = 1;
            return finish_stdout(command.run(argc - 1, argv + 1));
        }
    }
    std::string reason = std::string("unknown command '") + word + "'";
    return usage_error(nullptr, reason.c_str());
}
