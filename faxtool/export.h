// faxtool export: pages of a fax file as PNG, TIFF, PDF or PBM.
#pragma once

#include <string>
#include <vector>

#include "faxtool/archive_run.h"
#include "faxtool/page_runs.h"
#include "faxtool/pages.h"

enum class export_type { png, tiff, pdf, pbm, none };

struct export_settings {
    export_type type = export_type::none;
    std::string pages_text;
    bool pages_given = false;  // -p, even with an empty list
    std::string out;
    row_choice rows;
    std::string file;
    // Over many inputs:
    std::vector<std::string> operands;
    std::string directory;     // -d
    archive_options archive;
    bool many = false;         // a run over many inputs
    bool page_threads = true;  // a file's pages may use a second thread
    // Set: the pages go here instead of to an output of their own.
    job_result *collect = nullptr;
};

// argv[0] is "export". Returns the exit status.
int run_export(int argc, char **argv);

// Exports settings.file to settings.out (or collects its pages). Fills the
// outcome when given. Returns the exit status for the file.
int export_pages(const export_settings &settings, const page_runs &wanted, input_outcome *outcome);

// The extension of an export type's single output (".pdf"), "" for PNG.
const char *extension_for(export_type type);
// The file of page `number` exported as PNG to OUT.
std::string png_page_path(const std::string &out, int number);
// path without its extension.
std::string stem_of(const std::string &path);
