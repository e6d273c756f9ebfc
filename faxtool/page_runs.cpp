// Runs of page numbers.
#include "faxtool/page_runs.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <map>

namespace {

bool parse_number(const std::string &digits, long &value)
{
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::strtol(digits.c_str(), nullptr, 10);
    return value >= 1;
}

// Adds first..last to the runs by their first pages, joining those it
// overlaps or touches; the pages it adds that were not there are counted.
void merge_run(std::map<long, long> &runs, long first, long last, long &count)
{
    auto at = runs.upper_bound(first);
    if (at != runs.begin() && std::prev(at)->second >= first - 1)
        --at;
    while (at != runs.end() && at->first <= last + 1) {
        first = std::min(first, at->first);
        count -= at->second - at->first + 1;
        last = std::max(last, at->second);
        at = runs.erase(at);
    }
    runs.emplace(first, last);
    count += last - first + 1;
}

}  // namespace

void add_page_run(page_runs &pages, int first, int last)
{
    if (!pages.runs.empty() && pages.runs.back().last + 1 >= first) {
        pages.count += static_cast<std::size_t>(last - pages.runs.back().last);
        pages.runs.back().last = last;
        return;
    }
    pages.runs.push_back({first, last});
    pages.before.push_back(pages.count);
    pages.count += static_cast<std::size_t>(last - first) + 1;
}

int page_number_at(const page_runs &pages, std::size_t i)
{
    const auto after = std::upper_bound(pages.before.begin(), pages.before.end(), i);
    const std::size_t run = static_cast<std::size_t>(after - pages.before.begin()) - 1;
    return pages.runs[run].first + static_cast<int>(i - pages.before[run]);
}

bool has_page(const page_runs &pages, int number)
{
    const auto after = std::upper_bound(pages.runs.begin(), pages.runs.end(), number,
                                        [](int n, const page_run &run) { return n < run.first; });
    return after != pages.runs.begin() && std::prev(after)->last >= number;
}

bool parse_page_list(const std::string &text, page_runs &pages)
{
    constexpr long MAX_LISTED_PAGES = 1000000;
    if (text.empty())
        return false;
    std::map<long, long> runs;
    long count = 0;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t comma = text.find(',', at);
        if (comma == std::string::npos)
            comma = text.size();
        const std::string item = text.substr(at, comma - at);
        const std::size_t dash = item.find('-');
        long first = 0, last = 0;
        if (!parse_number(item.substr(0, dash), first))
            return false;
        last = first;
        if (dash != std::string::npos && !parse_number(item.substr(dash + 1), last))
            return false;
        if (last < first || last - first >= MAX_LISTED_PAGES)
            return false;
        // However many ranges, a list names at most a million pages.
        merge_run(runs, first, last, count);
        if (count > MAX_LISTED_PAGES)
            return false;
        at = comma + 1;
    }
    for (const auto &[first, last] : runs)
        add_page_run(pages, static_cast<int>(first), static_cast<int>(last));
    return true;
}
