// What became of each input of a run over many files: the JSON lines of
// --report and the totals of --summary.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

enum class input_status { ok, damaged, failed, skipped };

struct input_outcome {
    input_status status = input_status::ok;
    int pages = 0;                     // pages handled (exported, shown, recoded)
    int concealed = 0;                 // concealed lines of those pages
    bool not_fax = false;              // failed because it is no fax file
    std::vector<std::string> outputs;  // written, or found up to date when skipped
    std::string reason;                // why it is not ok; empty when ok
};

// One line: {"file": ..., "status": ..., "pages": N, "outputs": [...], "reason": ...}.
std::string report_line(std::string_view file, const input_outcome &outcome);

struct archive_totals {
    long files = 0;
    long pages = 0;
    long damaged = 0;
    long failed = 0;
    long concealed = 0;
    long not_fax = 0;
    long skipped = 0;
};

void add_to_totals(archive_totals &totals, const input_outcome &outcome);

// The summary after info's per-file lines: text, or one JSON object.
std::string summary_text(const archive_totals &totals, bool json);
