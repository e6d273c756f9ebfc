// faxtool import: reads every image, codes its pages and writes the fax file
// only when all of them went well.
#include "faxtool/import.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "faxfile/fax_header.h"
#include "faxtool/coding.h"
#include "faxtool/image_readers.h"
#include "faxtool/messages.h"
#include "faxtool/output_file.h"
#include "faxtool/pages.h"
#include "faxtool/progress.h"
#include "faxtool/usage.h"
#include "util/fdio.h"

namespace {

struct import_settings {
    int compression = COMP_MMR;
    int resolution = RES_FINE;
    std::string out;
    std::vector<std::string> images;
};

int compression_named(std::string_view name)
{
    if (name == "mh")
        return COMP_MH;
    if (name == "mr")
        return COMP_MR;
    if (name == "mmr")
        return COMP_MMR;
    return -1;
}

int scan_import(int argc, char **argv, import_settings &settings)
{
    static const option options[] = {{"compression", required_argument, nullptr, 'c'},
                                      {"resolution", required_argument, nullptr, 'r'},
                                      {"output", required_argument, nullptr, 'o'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, ":c:r:o:h", options, nullptr)) != -1) {
        switch (c) {
        case 'c':
            settings.compression = compression_named(optarg);
            if (settings.compression < 0)
                return usage_error("import", ("unknown compression '" + std::string(optarg) + "'").c_str());
            break;
        case 'r':
            if (std::string_view(optarg) == "normal")
                settings.resolution = RES_NORMAL;
            else if (std::string_view(optarg) == "fine")
                settings.resolution = RES_FINE;
            else
                return usage_error("import", ("unknown resolution '" + std::string(optarg) + "'").c_str());
            break;
        case 'o':
            settings.out = optarg;
            break;
        case 'h':
            print_command_help("import");
            return 0;
        default:
            return option_error("import", c, argv);
        }
    }
    if (settings.out.empty())
        return usage_error("import", "missing -o OUT");
    if (settings.out == "-")
        return usage_error("import", "the fax file cannot go to standard output");
    if (optind >= argc)
        return usage_error("import", "missing image");
    for (int i = optind; i < argc; ++i)
        settings.images.emplace_back(argv[i]);
    return -1;
}

// A page widened to the fax width with white on the right.
page_image padded_page(const page_image &image)
{
    page_image page;
    page.height = image.height;
    page.bits.assign(static_cast<std::size_t>(FAX_ROW_BYTES) * static_cast<std::size_t>(image.height), 0);
    for (int32_t y = 0; y < image.height; ++y)
        std::copy_n(image.bits.begin() + static_cast<std::ptrdiff_t>(y) * image.row_bytes, image.row_bytes,
                    page.bits.begin() + static_cast<std::ptrdiff_t>(y) * FAX_ROW_BYTES);
    return page;
}

// Codes every page of one image onto `pages`; false after reporting.
bool code_image(const import_settings &settings, const std::string &path,
                std::vector<std::vector<uint8_t>> &pages)
{
    std::vector<page_image> images;
    std::string reason;
    if (!read_image_pages(path, images, reason)) {
        report_failure(path, reason);
        return false;
    }
    bool ok = true;
    progress_pages_begin(static_cast<long>(images.size()));
    for (std::size_t i = 0; i < images.size(); ++i) {
        progress_next_page();
        if (images[i].width > FAX_WIDTH) {
            report_failure(path, "page " + std::to_string(i + 1) + " is " + std::to_string(images[i].width) +
                                     " pixels wide; a fax page holds at most " + std::to_string(FAX_WIDTH));
            ok = false;
            continue;
        }
        std::vector<uint8_t> coded;
        if (!code_fax_page(padded_page(images[i]), settings.compression, settings.resolution, coded)) {
            report_failure(path, "page " + std::to_string(i + 1) + ": the encoder failed");
            ok = false;
            continue;
        }
        pages.push_back(std::move(coded));
    }
    progress_pages_end();
    return ok;
}

struct header_deleter {
    void operator()(fax_header *list) const { free_fax_header(list); }
};

bool write_fax_file(const import_settings &settings, const std::vector<std::vector<uint8_t>> &pages,
                    std::string &reason)
{
    std::unique_ptr<fax_header, header_deleter> header(new_fax_header("RESOLUTION", ""));
    if (!header) {
        reason = "out of memory";
        return false;
    }
    set_vertical_resolution(header.get(), settings.resolution);
    set_compression_mode(header.get(), settings.compression);
    set_fax_header_av(header.get(), "#PAGES", std::to_string(pages.size()).c_str());
    output_file out;
    if (!output_open(out, settings.out, settings.images, reason))
        return false;
    std::fflush(out.stream);
    const int fd = fileno(out.stream);
    bool ok = false;
    captured_text said = capture_library_output([&] { ok = write_fax_header(fd, header.get()) == 1; });
    for (std::size_t i = 0; ok && i < pages.size(); ++i) {
        unsigned char length[4];
        store_be32(length, static_cast<uint32_t>(pages[i].size()));
        ok = fd_write_fully(fd, length, sizeof length) && fd_write_fully(fd, pages[i].data(), pages[i].size());
        if (!ok)
            said.text = std::strerror(errno);
    }
    if (!ok) {
        reason = library_reason(said, "cannot write the fax file");
        output_abandon(out);
        return false;
    }
    return output_commit(out, reason);
}

}  // namespace

int run_import(int argc, char **argv)
{
    import_settings settings;
    const int scanned = scan_import(argc, argv, settings);
    if (scanned >= 0)
        return scanned;
    std::vector<std::vector<uint8_t>> pages;
    bool ok = true;
    progress_begin("images", static_cast<int>(settings.images.size()));
    for (std::size_t i = 0; i < settings.images.size(); ++i) {
        progress_step(static_cast<int>(i));
        ok = code_image(settings, settings.images[i], pages) && ok;
    }
    progress_end();
    if (!ok)
        return 1;  // no fax file with pages missing
    std::string reason;
    if (!write_fax_file(settings, pages, reason)) {
        report_failure(settings.out, reason);
        return 1;
    }
    return 0;
}
