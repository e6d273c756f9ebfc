// faxtool export: pages of a fax file as PNG, TIFF, PDF or PBM.
#pragma once

#include <set>
#include <string>

// argv[0] is "export". Returns the exit status.
int run_export(int argc, char **argv);

// Parses "1,3-5" into page numbers; false for anything else.
bool parse_page_list(const std::string &text, std::set<int> &pages);
