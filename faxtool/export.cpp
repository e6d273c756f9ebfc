// faxtool export: option handling, page selection and the loop over pages.
#include "faxtool/export.h"
#include "faxtool/archive_export.h"

#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "faxtool/archive_jobs.h"
#include "faxtool/export_checks.h"
#include "faxtool/export_pdf.h"
#include "faxtool/export_png.h"
#include "faxtool/export_single.h"
#include "faxtool/messages.h"
#include "faxtool/output_file.h"
#include "faxtool/pages.h"
#include "faxtool/progress.h"
#include "faxtool/transcode.h"
#include "faxtool/usage.h"

namespace {

using format = export_type;

format format_named(std::string_view name)
{
    if (name == "png")
        return format::png;
    if (name == "tiff" || name == "tif")
        return format::tiff;
    if (name == "pdf")
        return format::pdf;
    if (name == "pbm")
        return format::pbm;
    return format::none;
}

std::string extension_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
        dot == (slash == std::string::npos ? 0 : slash + 1))
        return "";
    return path.substr(dot + 1);
}

std::string lower_case(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// ---- writing --------------------------------------------------------------

bool write_png_page(const export_settings &settings, const page_image &page, std::string &path,
                    std::string &reason)
{
    path = png_page_path(settings.out, page.number);
    output_file file;
    if (!output_open(file, path, {settings.file}, reason))
        return false;
    if (!png_write_page(file.stream, page, reason)) {
        output_abandon(file);
        return false;
    }
    return output_commit(file, reason);
}

// ---- the command ------------------------------------------------------------

// The type from -t, from the output's extension or from where it goes; -1
// when settled, else the usage error's status.
int settle_type(export_settings &settings)
{
    if (settings.type == format::none && settings.out != "-" && !extension_of(settings.out).empty()) {
        settings.type = format_named(lower_case(extension_of(settings.out)));
        // Guessing would write "x.jpg-1.png" for "-o x.jpg".
        if (settings.type == format::none)
            return usage_error("export", ("unknown extension '." + extension_of(settings.out) +
                                          "' of '" + settings.out + "': name a type with -t")
                                             .c_str());
    }
    if (settings.type == format::none)
        settings.type = settings.out == "-" ? format::pbm : format::png;
    if (settings.out == "-" && settings.type != format::pbm)
        return usage_error("export", "only pbm goes to standard output");
    return -1;
}

// The type and outputs of a run over many inputs.
int scan_many(export_settings &settings)
{
    if (!settings.out.empty() && !settings.directory.empty())
        return usage_error("export", "-o and -d exclude each other");
    if (const int status = settle_type(settings); status >= 0)
        return status;
    // One named file (run with --update or --report, say) is still one input.
    struct stat st;
    const bool one_file = settings.operands.size() == 1 && settings.archive.files_from.empty() &&
                          !(stat(settings.operands[0].c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    if (settings.type == format::png && !settings.out.empty() && !one_file)
        return usage_error("export", "png from several inputs needs -d DIR");
    return -1;
}

enum : int { OPTION_DECODER_LINES = 0x300 };  // a long option alone

// One option of export's own or of the archive options: -1 to go on, else
// the exit status.
int take_export_option(int c, char **argv, export_settings &settings)
{
    switch (c) {
    case 't':
        settings.type = format_named(optarg);
        if (settings.type == format::none)
            return usage_error("export", ("unknown type '" + std::string(optarg) + "'").c_str());
        return -1;
    case 'p':
        settings.pages_text = optarg;
        settings.pages_given = true;
        return -1;
    case 'o':
        settings.out = optarg;
        return -1;
    case 's':
        settings.rows.stretch = true;
        return -1;
    case OPTION_DECODER_LINES:
        settings.rows.decoder_lines = true;
        return -1;
    case 'd':
        settings.directory = optarg;
        if (settings.directory.empty())
            return usage_error("export", "-d needs a directory");
        return -1;
    case 'h':
        print_command_help("export");
        return 0;
    default: {
        int status = -1;
        if (take_archive_option("export", c, optarg, settings.archive, status))
            return status >= 0 ? status : -1;
        return option_error("export", c, argv);
    }
    }
}

// One input's output: the type from -t, from the output's extension or from
// where it goes, and the name from the input's when none is given.
int settle_single_export(export_settings &settings)
{
    if (const int status = settle_type(settings); status >= 0)
        return status;
    if (settings.out.empty())
        settings.out = stem_of(settings.file) + extension_for(settings.type);
    return -1;
}

int scan_export(int argc, char **argv, export_settings &settings)
{
    static const option own_options[] = {{"type", required_argument, nullptr, 't'},
                                         {"pages", required_argument, nullptr, 'p'},
                                         {"output", required_argument, nullptr, 'o'},
                                         {"directory", required_argument, nullptr, 'd'},
                                         {"stretch", no_argument, nullptr, 's'},
                                         {"decoder-lines", no_argument, nullptr, OPTION_DECODER_LINES},
                                         {"help", no_argument, nullptr, 'h'},
                                         {nullptr, 0, nullptr, 0}};
    const std::vector<option> options = with_archive_options(own_options);
    const std::string short_options = std::string(":t:p:o:d:h") + ARCHIVE_SHORT_OPTIONS;
    int c;
    while ((c = getopt_long(argc, argv, short_options.c_str(), options.data(), nullptr)) != -1)
        if (const int status = take_export_option(c, argv, settings); status >= 0)
            return status;
    settings.operands.assign(argv + optind, argv + argc);
    struct stat st;
    // "-o od/" or "-o od" for a directory there is an output directory, not
    // a name stem: od/a.pdf, not od/.pdf or od-1.png.
    if (!settings.out.empty() && settings.out != "-" && settings.directory.empty() &&
        (settings.out.back() == '/' || (stat(settings.out.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))) {
        settings.directory = settings.out;
        settings.out.clear();
    }
    settings.many = settings.operands.size() != 1 || !settings.directory.empty() || settings.archive.given ||
                    (stat(settings.operands[0].c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    if (settings.many)
        return scan_many(settings);
    settings.file = argv[optind];
    return settle_single_export(settings);
}

// The wanted pages the file holds (all when none are named); each run of
// them it lacks is reported and sets the status to 1.
page_runs pages_to_export(const fax_document &doc, const page_runs &wanted, int &status)
{
    page_runs held;
    const int count = static_cast<int>(doc.pages.size());
    if (wanted.empty() && count > 0)
        add_page_run(held, 1, count);
    for (const page_run &run : wanted.runs) {
        if (run.first <= count)
            add_page_run(held, run.first, std::min(run.last, count));
        if (run.last <= count)
            continue;
        // A run of missing pages is one message, however long the range.
        const int first = std::max(run.first, count + 1);
        report_failure(doc.path, first == run.last ? "no page " + std::to_string(first)
                                                   : "no pages " + std::to_string(first) + "-" +
                                                         std::to_string(run.last));
        status = 1;
    }
    return held;
}

// The file, whole enough to export from; false when it is not (said why).
// Damage that cuts its pages short is said and sets the status to 1.
bool load_for_export(const std::string &path, fax_document &doc, int &status)
{
    std::string reason;
    if (!load_fax_document(path, doc, reason)) {
        report_failure(path, reason);
        return false;
    }
    if (!doc.pages.empty() && !decodable_compression(doc.compression)) {
        report_failure(path, undecodable_reason(doc));
        return false;
    }
    if (!doc.damage.empty()) {
        report_failure(path, doc.damage);
        status = 1;
    }
    return true;
}

// Page `number` decoded into `page` for export; false when it gives no
// image. A damaged page is still exported, as far as it decodes; what fails
// sets the status to 1.
// TIFF and PDF pages of one output go from coded page to coded page,
// unpainted; pages collected for a later output are painted.
bool coded_export(const export_settings &settings)
{
    return settings.collect == nullptr && (settings.type == format::tiff || settings.type == format::pdf);
}

// `checked`: the page goes as stored, as its check found.
bool decode_for_export(const export_settings &settings, const fax_document &doc, int number,
                       const stored_mmr *checked, page_image &page, std::vector<uint8_t> &coded,
                       mmr_page &out, int &status)
{
    page_report seen;
    std::string reason;
    const std::size_t index = static_cast<std::size_t>(number - 1);
    bool stored = false;
    if (checked != nullptr) {
        page = checked->page;
        seen = checked->report;
        out = {page.width, page.height, page.resolution, checked->data, checked->size};
    } else if (!(coded_export(settings) ? export_page_mmr(doc, index, settings.rows, page, coded, stored, seen, reason)
                                        : decode_page_rows(doc, index, settings.rows, page, seen, reason))) {
        report_failure(settings.file, reason);
        status = 1;
        return false;
    } else {
        out = mmr_page_of(page, coded);
    }
    if (page.height == 0) {
        report_failure(settings.file, "page " + std::to_string(page.number) + " holds no lines");
        status = 1;
        return false;
    }
    if (const std::string damage = page_damage(seen); !damage.empty()) {
        report_failure(settings.file, "page " + std::to_string(page.number) + ": " + damage);
        status = 1;
    }
    return true;
}

// Checks an MMR file's pages for going as stored; for one input on a second
// thread, while this one writes the pages.
bool start_checks(const export_settings &settings, const fax_document &doc, const page_runs &numbers,
                  page_checks &checks)
{
    const bool helper = !settings.many && settings.page_threads && online_cpus() > 1;
    return start_page_checks(checks, doc, settings.rows, numbers, helper);
}

// Closes the single output; a failure sets the status to 1. True when it
// was begun and is complete.
bool finish_single(const export_settings &settings, single_output &single,
                   const std::string &out_name, int &status)
{
    const bool begun = single.open;
    std::string close_reason;
    if (!close_single(single, settings.type, close_reason)) {
        // After a failed page, closing fails for the same reason: said once.
        if (!close_reason.empty() && !single.failed)
            report_failure(out_name, close_reason);
        status = 1;
    }
    if (single.failed)
        status = 1;
    if (settings.out == "-" && (single.failed || !close_reason.empty()))
        note_stdout_failure_reported();
    return begun && !single.failed && close_reason.empty();
}

enum class page_sent { yes, stop, cannot_open };

// A decoded page to where it goes: kept for the caller, a PNG file of its
// own, or the single output, opened at its first page. A PNG write that
// fails (a full disk) fails for every later page: the export stops.
page_sent send_page(const export_settings &settings, page_image &page, const mmr_page &coded_page,
                    single_output &single, const std::string &out_name, input_outcome &result)
{
    std::string reason;
    if (settings.collect != nullptr) {
        collect_page(*settings.collect, settings.type, page);
        return page_sent::yes;
    }
    if (settings.type == format::png) {
        std::string path;
        if (!write_png_page(settings, page, path, reason)) {
            report_failure(path, reason);
            return page_sent::stop;
        }
        result.outputs.push_back(path);
        return page_sent::yes;
    }
    if (!single.open && !open_single(single, settings.type, settings.out, {settings.file}, reason)) {
        report_failure(out_name, reason);
        return page_sent::cannot_open;
    }
    const bool added = !coded_export(settings) ? add_to_single(single, settings.type, page, reason)
                       : settings.type == format::tiff ? tiff_add_coded_page(single.tiff, coded_page, reason)
                                                       : pdf_add_coded_page(single.pdf, coded_page, reason);
    if (!added) {
        single.failed = true;
        report_failure(out_name, reason);
    }
    return page_sent::yes;
}

}  // namespace

int export_pages(const export_settings &settings, const page_runs &wanted, input_outcome *outcome)
{
    input_outcome ignored;
    input_outcome &result = outcome != nullptr ? *outcome : ignored;
    result.status = input_status::failed;  // until the pages are out
    fax_document doc;
    int status = 0;
    if (!load_for_export(settings.file, doc, status)) {
        return 1;
    }
    const page_runs numbers = pages_to_export(doc, wanted, status);
    if (numbers.empty() && wanted.empty()) {
        report_failure(settings.file, "no pages");
        return 1;
    }
    result.status = input_status::damaged;  // unless all goes well
    const std::string out_name = settings.out == "-" ? "standard output" : settings.out;
    single_output single;
    bool written = true;  // every output that was begun is complete
    page_image page;  // one buffer for every page's rows
    std::vector<uint8_t> coded;  // a TIFF or PDF page's T.6 data
    mmr_page coded_page;         // that data, or the page's as stored
    page_checks checks;
    const bool checking = coded_export(settings) && start_checks(settings, doc, numbers, checks);
    progress_begin("pages", static_cast<int>(numbers.count));
    for (std::size_t i = 0; i < numbers.count && !single.failed; ++i) {
        progress_step(static_cast<int>(i));
        const stored_mmr *checked = checking ? take_page_check(checks, i) : nullptr;
        if (!decode_for_export(settings, doc, page_number_at(numbers, i), checked, page, coded, coded_page, status))
            continue;
        ++result.pages;
        const page_sent sent = send_page(settings, page, coded_page, single, out_name, result);
        if (sent == page_sent::stop) {
            status = 1;
            written = false;
            break;
        }
        if (sent == page_sent::cannot_open) {
            progress_end();
            result.status = input_status::failed;
            return 1;
        }
    }
    progress_end();
    stop_page_checks(checks);
    const bool begun = single.open;
    if (finish_single(settings, single, out_name, status))
        result.outputs.push_back(settings.out);
    else if (begun)
        written = false;
    if (status == 0)
        result.status = input_status::ok;
    else if (!written)
        result.status = input_status::failed;
    else  // kept, but dated before the input: --update does it again and says again what is wrong
        for (const std::string &output : result.outputs)
            output_date_before(output, settings.file);
    return status;
}

std::string png_page_path(const std::string &out, int number)
{
    // "-o scan.png" names the pages scan-1.png, scan-2.png, ...
    const std::string stem = lower_case(extension_of(out)) == "png" ? stem_of(out) : out;
    return stem + "-" + std::to_string(number) + ".png";
}

std::string stem_of(const std::string &path)
{
    const std::string extension = extension_of(path);
    return extension.empty() ? path : path.substr(0, path.size() - extension.size() - 1);
}

const char *extension_for(export_type type)
{
    switch (type) {
    case format::tiff:
        return ".tif";
    case format::pdf:
        return ".pdf";
    case format::pbm:
        return ".pbm";
    default:
        return "";
    }
}

int run_export(int argc, char **argv)
{
    export_settings settings;
    const int scanned = scan_export(argc, argv, settings);
    if (scanned >= 0)
        return scanned;
    page_runs wanted;
    if (settings.pages_given && !parse_page_list(settings.pages_text, wanted))
        return usage_error("export", ("bad page list '" + settings.pages_text + "'").c_str());
    if (settings.many)
        return export_many(settings, wanted);
    return export_pages(settings, wanted, nullptr);
}
