// faxtool info.
#include "faxtool/info.h"

#include <getopt.h>

#include <cstdio>
#include <string>
#include <string_view>

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

void print_json(const fax_document &doc, const std::vector<page_report> &reports)
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
    std::fputs(line.c_str(), stdout);
}

void print_text(const fax_document &doc, const std::vector<page_report> &reports)
{
    std::printf("%s\n", doc.path.c_str());
    for (const auto &[name, value] : doc.attributes)
        std::printf("  %s: %s\n", name.c_str(), value.c_str());
    std::printf("  pages: %s stated, %zu found\n",
                doc.pages_stated < 0 ? "none" : std::to_string(doc.pages_stated).c_str(),
                doc.pages.size());
    for (std::size_t i = 0; i < reports.size(); ++i)
        std::printf("  page %zu: %u bytes, %d lines, %d concealed, %s\n", i + 1, doc.pages[i].length,
                    reports[i].lines, reports[i].concealed, reports[i].clean ? "clean" : "not clean");
}

// 0, or 1 when the file is unusable or damaged (after what it could read).
int info_one(const std::string &path, bool json)
{
    fax_document doc;
    std::string reason;
    if (!load_fax_document(path, doc, reason)) {
        report_failure(path, reason);
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
        print_json(doc, reports);
    else
        print_text(doc, reports);
    std::fflush(stdout);
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
    return status;
}

}  // namespace

int run_info(int argc, char **argv)
{
    static const option options[] = {{"json", no_argument, nullptr, 'j'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};
    bool json = false;
    int c;
    while ((c = getopt_long(argc, argv, ":", options, nullptr)) != -1) {
        if (c == 'j')
            json = true;
        else if (c == 'h')
            return print_command_help("info");
        else
            return option_error("info", c, argv);
    }
    if (optind >= argc)
        return usage_error("info", nullptr);
    int status = 0;
    progress_begin("files", argc - optind);
    for (int i = optind; i < argc; ++i) {
        progress_step(i - optind);
        status |= info_one(argv[i], json);
    }
    progress_end();
    return status;
}
