// Report lines and totals.
#include "faxtool/archive_report.h"

#include "faxtool/shown_names.h"

namespace {

const char *status_name(input_status status)
{
    switch (status) {
    case input_status::ok:
        return "ok";
    case input_status::damaged:
        return "damaged";
    case input_status::failed:
        return "failed";
    case input_status::skipped:
        return "skipped";
    }
    return "failed";
}

}  // namespace

std::string report_line(std::string_view file, const input_outcome &outcome)
{
    std::string line = "{\"file\": " + json_name(file);
    line += std::string(", \"status\": \"") + status_name(outcome.status) + "\"";
    line += ", \"pages\": " + std::to_string(outcome.pages) + ", \"outputs\": [";
    for (std::size_t i = 0; i < outcome.outputs.size(); ++i)
        line += (i == 0 ? "" : ", ") + json_name(outcome.outputs[i]);
    line += "], \"reason\": ";
    line += outcome.status == input_status::ok ? "null" : json_name(outcome.reason);
    return line + "}\n";
}

void add_to_totals(archive_totals &totals, const input_outcome &outcome)
{
    ++totals.files;
    totals.pages += outcome.pages;
    totals.concealed += outcome.concealed;
    totals.damaged += outcome.status == input_status::damaged;
    totals.failed += outcome.status == input_status::failed && !outcome.not_fax;
    totals.not_fax += outcome.not_fax;
    totals.skipped += outcome.status == input_status::skipped;
}

std::string summary_text(const archive_totals &totals, bool json)
{
    char line[512];
    if (json)
        std::snprintf(line, sizeof line,
                      "{\"files\": %ld, \"pages\": %ld, \"damaged\": %ld, \"concealed\": %ld, "
                      "\"not_fax\": %ld, \"failed\": %ld}\n",
                      totals.files, totals.pages, totals.damaged, totals.concealed, totals.not_fax,
                      totals.failed);
    else
        std::snprintf(line, sizeof line,
                      "total: %ld files, %ld pages, %ld damaged files, %ld concealed lines, "
                      "%ld not fax files, %ld failed\n",
                      totals.files, totals.pages, totals.damaged, totals.concealed, totals.not_fax,
                      totals.failed);
    return line;
}
