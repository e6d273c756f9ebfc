// faxtool info.
#include "faxtool/info.h"

#include <getopt.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "faxtool/archive_run.h"
#include "faxtool/messages.h"
#include "faxtool/pages.h"
#include "faxtool/progress.h"
#include "faxtool/shown_names.h"
#include "faxtool/usage.h"

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

void print_json(FILE *out, const fax_document &doc, const std::vector<page_report> &reports)
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
    for (std::size_t i = 0; i < reports.size(); ++i) {
        line += i == 0 ? "{" : ", {";
        line += "\"bytes\": " + std::to_string(doc.pages[i].length);
        line += ", \"lines\": " + std::to_string(reports[i].lines);
        line += ", \"concealed\": " + std::to_string(reports[i].concealed);
        line += std::string(", \"clean\": ") + (reports[i].clean ? "true" : "false") + "}";
    }
    line += "]}\n";
    std::fputs(line.c_str(), out);
}

void print_text(FILE *out, const fax_document &doc, const std::vector<page_report> &reports)
{
    // The listing is for reading on a terminal: neither a name nor a
    // hostile header may split its lines or send the terminal a sequence.
    std::fprintf(out, "%s\n", terminal_text(doc.path).c_str());
    for (const auto &[name, value] : doc.attributes)
        std::fprintf(out, "  %s: %s\n", terminal_text(name).c_str(), terminal_text(value).c_str());
    std::fprintf(out, "  pages: %s stated, %zu found\n",
                doc.pages_stated < 0 ? "none" : std::to_string(doc.pages_stated).c_str(),
                doc.pages.size());
    for (std::size_t i = 0; i < reports.size(); ++i)
        std::fprintf(out, "  page %zu: %u bytes, %d lines, %d concealed, %s\n", i + 1, doc.pages[i].length,
                    reports[i].lines, reports[i].concealed, reports[i].clean ? "clean" : "not clean");
}

// 0, or 1 when the file is unusable or damaged (after what it could read).
int info_one(const std::string &path, bool json, FILE *out, input_outcome &outcome)
{
    fax_document doc;
    std::string reason;
    outcome.status = input_status::failed;
    if (!load_fax_document(path, doc, reason)) {
        report_failure(path, reason);
        outcome.not_fax = !has_fax_magic(path);
        return 1;
    }
    std::vector<page_report> reports;
    progress_pages_begin(static_cast<long>(doc.pages.size()));
    for (std::size_t i = 0; i < doc.pages.size(); ++i) {
        progress_next_page();
        reports.push_back(decode_page_report(doc, i));
    }
    progress_pages_end();
    if (json)
        print_json(out, doc, reports);
    else
        print_text(out, doc, reports);
    std::fflush(out);
    outcome.pages = static_cast<int>(doc.pages.size());
    for (const page_report &report : reports)
        outcome.concealed += report.concealed;
    int status = 0;
    if (!doc.pages.empty() && !decodable_compression(doc.compression)) {
        report_failure(path, undecodable_reason(doc));
        status = 1;
    } else {
        for (std::size_t i = 0; i < reports.size(); ++i)
            if (const std::string damage = page_damage(reports[i]); !damage.empty()) {
                report_failure(path, "page " + std::to_string(i + 1) + ": " + damage);
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
