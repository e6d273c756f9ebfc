// Help texts and usage errors.
#include "faxtool/usage.h"

#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "faxtool/shown_names.h"

#ifndef FAXTOOL_VERSION
#define FAXTOOL_VERSION "unknown"
#endif

namespace {

struct command_help {
    const char *name;
    const char *text;
};

constexpr const char *GENERAL_HELP =
    "Usage: faxtool COMMAND [OPTION]... FILE...\n"
    "Reads and writes fax files: pages out to PNG, TIFF, PDF and PBM, pages in from images.\n"
    "\n"
    "Commands:\n"
    "  info        the header and the pages of fax files\n"
    "  export      pages of a fax file as PNG, TIFF, PDF or PBM\n"
    "  import      a new fax file from PBM, PNG and TIFF images\n"
    "  recompress  recode fax files in place as MH, MR or MMR\n"
    "\n"
    "  -h, --help     this text; 'faxtool COMMAND --help' for a command\n"
    "  -V, --version  the version\n"
    "\n"
    "Exit status: 0 when everything went well, 1 when anything failed, 2 for usage errors.\n";

constexpr command_help COMMAND_HELP[] = {
    {"info",
     "Usage: faxtool info [--json] [--summary] [ARCHIVE OPTIONS] FILE|DIR...\n"
     "Shows each fax file's header attributes in order, the pages #PAGES states and the\n"
     "pages found, and for each page its coded bytes, decoded lines, concealed lines and\n"
     "whether its data ended cleanly.\n"
     "\n"
     "      --json     one JSON object per line per file\n"
     "      --summary  totals at the end: files, pages, damaged files, concealed lines,\n"
     "                 files that are not fax files, failed files\n"
     "  -h, --help     this text\n"
     "ARCHIVE OPTIONS: see 'faxtool export --help'.\n"},
    {"export",
     "Usage: faxtool export [-t png|tiff|pdf|pbm] [-p PAGES] [--stretch] [--decoder-lines]\n"
     "                      [-o OUT | -d DIR] [ARCHIVE OPTIONS] FILE|DIR...\n"
     "Writes pages of fax files, 1728 pixels wide, each with the rows its codes give.\n"
     "\n"
     "  -t, --type TYPE    png, tiff (or tif), pdf or pbm; default: OUT's extension, else png\n"
     "  -p, --pages PAGES  pages to write, as 1,3-5 (default: all), in ascending order\n"
     "  -o, --output OUT   png: OUT-N.png per page (default OUT: FILE without extension);\n"
     "                     tiff, pdf: one file (default: FILE's stem + .tif or .pdf);\n"
     "                     pbm: one multi-image file (default: stem + .pbm), - for standard output\n"
     "                     of several inputs (not png): every page of every input\n"
     "  -d, --directory DIR  one output per input under DIR, at its path in the tree\n"
     "      --stretch      double the rows of normal-resolution pages\n"
     "      --decoder-lines  every line the decoder delivers, also the white ones only\n"
     "                     the end-of-line codes and end markers make (as pelmorin)\n"
     "  -h, --help         this text\n"
     "\n"
     "ARCHIVE OPTIONS (export, info, recompress); a DIR is walked for fax files:\n"
     "  -j, --jobs N         N inputs at once, N threads at most (default: the CPUs)\n"
     "      --update         skip inputs whose outputs exist and are not older\n"
     "      --report FILE    one JSON line per input (- for standard output)\n"
     "      --shard K/N      only the inputs whose path hashes to K modulo N\n"
     "      --files-from LIST  paths one a line (- for standard input)\n"
     "  -0, --null           LIST is NUL-separated\n"},
    {"import",
     "Usage: faxtool import [-c mh|mr|mmr] [-r normal|fine] -o OUT IMAGE...\n"
     "Builds a new fax file from the pages of PBM (P1, P4), PNG and TIFF images, each page\n"
     "at most 1728 pixels wide (narrower pages are padded with white on the right).\n"
     "\n"
     "  -c, --compression C  mh, mr or mmr (default: mmr)\n"
     "  -r, --resolution R   normal or fine (default: fine)\n"
     "  -o, --output OUT     the fax file to write (required)\n"
     "  -h, --help           this text\n"},
    {"recompress",
     "Usage: faxtool recompress [-f] -c mh|mr|mmr [ARCHIVE OPTIONS] FILE|DIR...\n"
     "Recodes each fax file in place. A file with a damaged page, or one the caller may\n"
     "not write, is left as it is.\n"
     "\n"
     "  -c, --compression C  mh, mr or mmr (required)\n"
     "  -f, --force          recode damaged pages too, as far as they decode\n"
     "  -h, --help           this text\n"
     "ARCHIVE OPTIONS: see 'faxtool export --help'; --update skips files already in C.\n"},
};

}  // namespace

int print_command_help(const char *command)
{
    if (command != nullptr) {
        for (const command_help &help : COMMAND_HELP) {
            if (std::strcmp(help.name, command) == 0) {
                std::fputs(help.text, stdout);
                return 0;
            }
        }
    }
    std::fputs(GENERAL_HELP, stdout);
    return 0;
}

int print_version()
{
    std::printf("faxtool %s\n", FAXTOOL_VERSION);
    return 0;
}

int usage_error(const char *command, const char *reason)
{
    std::string line = "faxtool: ";
    if (command != nullptr) {
        line += command;
        line += ": ";
    }
    line += reason != nullptr ? reason : "missing operand";
    line = terminal_text(line);  // the words come from the command line
    std::fprintf(stderr, "%s\nTry 'faxtool %s%s--help'.\n", line.c_str(),
                 command != nullptr ? command : "", command != nullptr ? " " : "");
    return 2;
}

int option_error(const char *command, int c, char **argv)
{
    const char *word = optind > 0 ? argv[optind - 1] : "";
    std::string reason;
    if (c == ':')
        reason = std::string("option '") + word + "' needs a value";
    else if (optopt != 0)
        reason = std::string("unknown option '-") + static_cast<char>(optopt) + "'";
    else
        reason = std::string("unknown option '") + word + "'";
    return usage_error(command, reason.c_str());
}
