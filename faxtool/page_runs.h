// Page numbers as ascending runs, so that a choice of ten million pages
// costs a few numbers, not one for each page.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct page_run {
    int first = 1;  // page numbers from 1, both in the run
    int last = 1;
};

struct page_runs {
    std::vector<page_run> runs;       // ascending, neither overlapping nor touching
    std::vector<std::size_t> before;  // the pages of the runs ahead of each
    std::size_t count = 0;            // pages in all of them
    bool empty() const { return count == 0; }
};

// Adds first..last after every page held; a run that touches the last one joins it.
void add_page_run(page_runs &pages, int first, int last);

// The i-th page number, i below count.
int page_number_at(const page_runs &pages, std::size_t i);

// True when the page is one of them.
bool has_page(const page_runs &pages, int number);

// Parses "1,3-5" (in any order, overlapping or not) into runs; false for
// anything else, and for a list that names more than a million pages.
bool parse_page_list(const std::string &text, page_runs &pages);
