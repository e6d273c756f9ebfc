// faxtool info.
#include "faxtool/info.h"

#include <getopt.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "faxtool/archive_run.h"
#include "faxtool/messages.h"
#include "faxtool/pages.h"
#include "faxtool/progress.h"
#include "faxtool/shown_names.h"
#include "faxtool/usage.h"
#include "t4/t4dec.h"

namespace {

// A JSON string; bytes from 0x80 up count as Latin-1, so that any header
// comes out as valid JSON.
std::string json_string(std::string_view text)
{
    std::string out = "\"";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string json_code(int code)
{
    return code < 0 ? "null" : std::to_string(code);
}

// The listing goes out a page at a time as the pages decode, so that no
// input makes it hold a record, or a line of text, for every page.
void begin_json(FILE *out, const fax_document &doc)
{
    std::string line = "{\"file\": " + json_name(doc.path) + ", \"attributes\": [";
    for (std::size_t i = 0; i < doc.attributes.size(); ++i) {
        line += i == 0 ? "[" : ", [";
        line += json_string(doc.attributes[i].first) + ", " + json_string(doc.attributes[i].second) + "]";
    }
    line += "], \"pages_stated\": " + (doc.pages_stated < 0 ? std::string("null")
                                                            : std::to_string(doc.pages_stated));
    line += ", \"resolution\": " + json_code(doc.resolution);
    line += ", \"compression\": " + json_code(doc.compression) + ", \"pages\": [";
    std::fputs(line.c_str(), out);
}

void json_page(FILE *out, std::size_t index, uint32_t bytes, const page_report &report)
{
    std::fprintf(out, "%s\"bytes\": %u, \"lines\": %d, \"concealed\": %d, \"clean\": %s}",
                 index == 0 ? "{" : ", {", bytes, report.lines, report.concealed, report.clean ? "true" : "false");
}

void begin_text(FILE *out, const fax_document &doc)
{
    // The listing is for reading on a terminal: neither a name nor a
    // hostile header may split its lines or send the terminal a sequence.
    std::fprintf(out, "%s\n", terminal_text(doc.path).c_str());
    for (const auto &[name, value] : doc.attributes)
        std::fprintf(out, "  %s: %s\n", terminal_text(name).c_str(), terminal_text(value).c_str());
    std::fprintf(out, "  pages: %s stated, %zu found\n",
                doc.pages_stated < 0 ? "none" : std::to_string(doc.pages_stated).c_str(),
                doc.pages.size());
}

void text_page(FILE *out, std::size_t index, uint32_t bytes, const page_report &report)
{
    std::fprintf(out, "  page %zu: %u bytes, %d lines, %d concealed, %s\n", index + 1, bytes, report.lines,
                 report.concealed, report.clean ? "clean" : "not clean");
}

using decoder_owner = std::unique_ptr<t4dec_context, decltype(&t4dec_context_free)>;

// Lists every page as it decodes; `damaged` gets a mark for each page with
// damage to tell of after the listing, and the concealed lines are counted.
void list_pages(FILE *out, bool json, const fax_document &doc, t4dec_context *decoder, std::vector<bool> &damaged,
                input_outcome &outcome)
{
    if (json)
        begin_json(out, doc);
    else
        begin_text(out, doc);
    damaged.assign(doc.pages.size(), false);
    progress_pages_begin(static_cast<long>(doc.pages.size()));
    for (std::size_t i = 0; i < doc.pages.size(); ++i) {
        progress_next_page();
        const fax_page_ref page = doc.pages[i];
        const page_report report = decode_data_report(decoder, page.data, page.length, doc.compression);
        (json ? json_page : text_page)(out, i, page.length, report);
        outcome.concealed += report.concealed;
        damaged[i] = !page_damage(report).empty();
    }
    progress_pages_end();
    if (json)
        std::fputs("]}\n", out);
    std::fflush(out);
}

// 0, or 1 when the file is unusable or damaged (after what it could read).
int info_one(const std::string &path, bool json, FILE *out, input_outcome &outcome)
{
    fax_document doc;
    std::string reason;
    outcome.status = input_status::failed;
    if (!load_fax_document(path, doc, reason)) {
        report_failure(path, reason);
        outcome.not_fax = lacks_fax_magic(path);
        return 1;
    }
    decoder_owner decoder(decodable_compression(doc.compression) ? t4dec_context_new(FAX_WIDTH) : nullptr,
                          t4dec_context_free);
    if (decodable_compression(doc.compression) && !decoder) {
        report_failure(path, "out of memory");
        return 1;
    }
    // One bit a page: the damage is told after the listing, from the
    // marked pages decoded again.
    std::vector<bool> damaged;
    list_pages(out, json, doc, decoder.get(), damaged, outcome);
    outcome.pages = static_cast<int>(doc.pages.size());
    int status = 0;
    if (!doc.pages.empty() && !decodable_compression(doc.compression)) {
        report_failure(path, undecodable_reason(doc));
        status = 1;
    } else {
        for (std::size_t i = 0; i < doc.pages.size(); ++i) {
            if (!damaged[i])
                continue;
            const fax_page_ref page = doc.pages[i];
            const page_report report = decode_data_report(decoder.get(), page.data, page.length, doc.compression);
            report_failure(path, "page " + std::to_string(i + 1) + ": " + page_damage(report));
            status = 1;
        }
    }
    if (!doc.damage.empty()) {
        report_failure(path, doc.damage);
        status = 1;
    }
    outcome.status = status == 0 ? input_status::ok : input_status::damaged;
    return status;
}

struct info_run {
    bool json = false;
};

void info_input(void *user, const archive_input &input, job_result &result)
{
    const auto &run = *static_cast<const info_run *>(user);
    keep_output(input.path, result, [&](FILE *out) { info_one(input.path, run.json, out, result.outcome); });
}

}  // namespace

int run_info(int argc, char **argv)
{
    enum : int { OPTION_JSON = 0x200, OPTION_SUMMARY };
    static const option own_options[] = {{"json", no_argument, nullptr, OPTION_JSON},
                                         {"summary", no_argument, nullptr, OPTION_SUMMARY},
                                         {"help", no_argument, nullptr, 'h'},
                                         {nullptr, 0, nullptr, 0}};
    const std::vector<option> options = with_archive_options(own_options);
    const std::string short_options = std::string(":h") + ARCHIVE_SHORT_OPTIONS;
    info_run run;
    bool summary = false;
    archive_options archive;
    int c;
    while ((c = getopt_long(argc, argv, short_options.c_str(), options.data(), nullptr)) != -1) {
        int status = -1;
        if (c == OPTION_JSON)
            run.json = true;
        else if (c == OPTION_SUMMARY)
            summary = true;
        else if (c == 'h')
            return print_command_help("info");
        else if (take_archive_option("info", c, optarg, archive, status)) {
            if (status >= 0)
                return status;
        } else
            return option_error("info", c, argv);
    }
    const std::vector<std::string> operands(argv + optind, argv + argc);
    if (operands.empty() && archive.files_from.empty())
        return usage_error("info", nullptr);
    struct stat st;
    const bool many = summary || archive.given || operands.size() != 1 ||
                      (stat(operands[0].c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    if (!many) {
        input_outcome outcome;
        progress_begin("files", 1);
        const int status = info_one(operands[0], run.json, stdout, outcome);
        progress_end();
        return status;
    }
    archive_listing listing;
    int status = 0;
    if (!gather_inputs("info", archive, operands, listing, status))
        return status;
    if (archive.sharded)
        keep_shard(listing, archive.shard, archive.shards);
    archive_command job;
    job.work = info_input;
    job.user = &run;
    archive_totals totals;
    status = run_archive(archive, listing, job, &totals);
    if (summary) {
        const std::string text = summary_text(totals, run.json);
        std::fputs(text.c_str(), stdout);
    }
    return status;
}
