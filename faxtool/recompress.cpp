// faxtool recompress: one file after another, each one's result reported.
#include "faxtool/recompress.h"

#include <getopt.h>

#include <cstdio>
#include <string>

#include "faxfile/fax_header.h"
#include "faxtool/messages.h"
#include "faxtool/pages.h"
#include "faxtool/progress.h"
#include "faxtool/usage.h"
#include "t4/t4dec.h"

namespace {

const char *coding_name(int compression)
{
    switch (compression) {
    case COMP_MH:
        return "MH";
    case COMP_MR:
        return "MR";
    case COMP_MMR:
        return "MMR";
    default:
        return "unknown";
    }
}

int recompress_one(const std::string &path, int compression)
{
    fax_document doc;
    std::string reason;
    if (!load_fax_document(path, doc, reason)) {
        report_failure(path, reason);
        return 1;
    }
    int done = 0;
    progress_pages_begin(static_cast<long>(doc.pages.size()));
    captured_text said = capture_library_output(
        [&] { done = t4dec_change_format(path.c_str(), compression, 0, progress_next_page); });
    progress_pages_end();
    if (done != 1) {
        report_failure(path, library_reason(said, "cannot recompress"));
        return 1;
    }
    if (doc.compression == compression)
        std::printf("%s: already %s\n", path.c_str(), coding_name(compression));
    else
        std::printf("%s: %s to %s\n", path.c_str(), coding_name(doc.compression), coding_name(compression));
    return 0;
}

}  // namespace

int run_recompress(int argc, char **argv)
{
    static const option options[] = {{"compression", required_argument, nullptr, 'c'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};
    int compression = -1;
    int c;
    while ((c = getopt_long(argc, argv, ":c:h", options, nullptr)) != -1) {
        switch (c) {
        case 'c':
            compression = std::string_view(optarg) == "mh"    ? COMP_MH
                          : std::string_view(optarg) == "mr"  ? COMP_MR
                          : std::string_view(optarg) == "mmr" ? COMP_MMR
                                                              : -2;
            if (compression == -2)
                return usage_error("recompress", ("unknown compression '" + std::string(optarg) + "'").c_str());
            break;
        case 'h':
            print_command_help("recompress");
            return 0;
        default:
            return option_error("recompress", c, argv);
        }
    }
    if (compression < 0)
        return usage_error("recompress", "missing -c mh|mr|mmr");
    if (optind >= argc)
        return usage_error("recompress", "missing fax file");
    int status = 0;
    progress_begin("files", argc - optind);
    for (int i = optind; i < argc; ++i) {
        progress_step(i - optind);
        status |= recompress_one(argv[i], compression);
        std::fflush(stdout);
    }
    progress_end();
    return status;
}
