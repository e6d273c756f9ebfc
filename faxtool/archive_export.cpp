// Many inputs exported on the pool.
#include "faxtool/archive_export.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "faxtool/coding.h"
#include "faxtool/export_pbm.h"
#include "faxtool/export_single.h"
#include "faxtool/messages.h"
#include "faxtool/output_file.h"

namespace {

struct many_export {
    const export_settings *settings = nullptr;
    const page_runs *wanted = nullptr;
    std::vector<std::string> outs;  // each input's output (the stem for PNG), by path
    std::map<std::string, std::size_t> index_of;
    bool combined = false;
    bool combined_current = false;  // --update: the one output is newer than every input
    bool page_threads = false;      // each input's pages may use a second thread
    std::vector<std::string> inputs;
    single_output single;
    std::string single_failure;
    bool single_done = false;   // the one output is complete, under its name
    std::string flawed_input;   // the first input of it that was damaged or failed
    std::string last_input;
};

std::string output_for(const export_settings &settings, const archive_input &input)
{
    if (!settings.out.empty())
        return settings.out;
    const std::string stem = settings.directory.empty()
                                 ? stem_of(input.path)
                                 : settings.directory + (settings.directory.back() == '/' ? "" : "/") +
                                       stem_of(input.relative);
    return stem + extension_for(settings.type);
}

bool newer_or_same(const struct stat &output, const struct stat &input)
{
    return output.st_mtim.tv_sec > input.st_mtim.tv_sec ||
           (output.st_mtim.tv_sec == input.st_mtim.tv_sec && output.st_mtim.tv_nsec >= input.st_mtim.tv_nsec);
}

// True when output exists and is no older than the input; it is then added to outputs.
bool current_output(const std::string &output, const struct stat &input, std::vector<std::string> &outputs)
{
    struct stat st;
    if (stat(output.c_str(), &st) != 0 || !newer_or_same(st, input))
        return false;
    outputs.push_back(output);
    return true;
}

// True, with the outputs, when every output the export would write is
// there and no older than the input; PNG needs the page count. The first
// one missing ends the search, so that a file of empty pages costs no list
// of names for pages that have none.
bool up_to_date(const export_settings &settings, const page_runs &wanted, std::vector<std::string> &outputs)
{
    struct stat input;
    if (stat(settings.file.c_str(), &input) != 0)
        return false;
    if (settings.type != export_type::png)
        return current_output(settings.out, input, outputs);
    fax_document doc;
    std::string reason;
    if (!load_fax_document(settings.file, doc, reason))
        return false;
    const int held = static_cast<int>(doc.pages.size());
    for (int page = 1; page <= held; ++page)
        if ((wanted.empty() || has_page(wanted, page)) &&
            !current_output(png_page_path(settings.out, page), input, outputs))
            return false;
    return !outputs.empty();
}


void export_input(void *user, const archive_input &input, job_result &result)
{
    auto &run = *static_cast<many_export *>(user);
    export_settings mine = *run.settings;
    mine.many = false;
    mine.page_threads = run.page_threads;
    mine.file = input.path;
    mine.out = run.outs[run.index_of.at(input.path)];
    if (run.combined) {
        if (run.combined_current) {
            result.outcome.status = input_status::skipped;
            result.outcome.reason = "up to date";
            result.outcome.outputs.push_back(mine.out);
            return;
        }
        mine.collect = &result;
    } else if (mine.archive.update) {
        std::vector<std::string> outputs;
        if (up_to_date(mine, *run.wanted, outputs)) {
            result.outcome.status = input_status::skipped;
            result.outcome.reason = "up to date";
            result.outcome.outputs = outputs;
            return;
        }
    }
    if (!mine.directory.empty() && !make_parent_directories(mine.out)) {
        report_failure(mine.out, std::string("cannot make its directory: ") + std::strerror(errno));
        result.outcome.status = input_status::failed;
        return;
    }
    export_pages(mine, *run.wanted, &result.outcome);
    if (result.uncoded != 0) {
        report_failure(input.path, "the encoder failed on page " + std::to_string(result.uncoded));
        result.outcome.status = input_status::failed;
    }
}

// Opens the one output at its first page; false, said once, when it cannot be.
bool open_combined(many_export &run, const std::string &out_name)
{
    std::string reason;
    if (run.single.open || open_single(run.single, run.settings->type, run.settings->out, run.inputs, reason))
        return true;
    run.single_failure = reason;
    report_failure(out_name, reason);
    return false;
}

// The pages of one input into the one output, in input order.
void add_to_combined(void *user, const archive_input &input, job_result &result)
{
    auto &run = *static_cast<many_export *>(user);
    if (!run.combined || run.combined_current)
        return;
    const std::string out_name = run.settings->out == "-" ? "standard output" : run.settings->out;
    std::string reason;
    if (!result.pbm.empty() && run.single_failure.empty() && open_combined(run, out_name)) {
        errno = 0;
        if (!kept_write(result.pbm, run.single.file.stream) || std::ferror(run.single.file.stream) != 0) {
            run.single.failed = true;
            run.single_failure = std::strerror(errno != 0 ? errno : EIO);
            report_failure(out_name, run.single_failure);
        }
    }
    for (const coded_page &page : result.coded) {
        if (!run.single_failure.empty())
            break;
        if (!open_combined(run, out_name))
            break;
        const mmr_page stored{page.width, page.height, page.resolution, page.data.data(), page.data.size()};
        if (!add_coded_to_single(run.single, run.settings->type, stored, reason)) {
            run.single.failed = true;
            run.single_failure = reason;
            report_failure(out_name, reason);
        }
    }
    result.coded.clear();
    if (input.path == run.last_input && run.single.open) {
        std::string close_reason;
        if (close_single(run.single, run.settings->type, close_reason))
            run.single_done = run.single_failure.empty();
        else if (run.single_failure.empty()) {
            run.single_failure = close_reason.empty() ? "cannot be completed" : close_reason;
            report_failure(out_name, run.single_failure);
        }
        run.single.open = false;
    }
    if (!run.single_failure.empty()) {
        result.outcome.status = input_status::failed;
        result.outcome.reason = out_name + ": " + run.single_failure;
    } else if (result.outcome.pages > 0) {
        result.outcome.outputs.push_back(run.settings->out);
    }
    const bool flawed = result.outcome.status == input_status::damaged || result.outcome.status == input_status::failed;
    if (flawed && run.flawed_input.empty())
        run.flawed_input = input.path;
}

// Two inputs that would write the same output: the second is not done, so
// the first one's output is what is there. Decided before sharding, so
// that every shard keeps the same one.
void mark_clashes(archive_listing &listing, many_export &run)
{
    std::map<std::string, std::string> first_for;
    for (archive_input &input : listing.inputs) {
        if (!input.problem.empty())
            continue;
        const std::string &out = run.outs[run.index_of.at(input.path)];
        const auto [at, fresh] = first_for.emplace(out, input.path);
        if (!fresh && !run.combined)
            input.problem = "would write the same output as " + at->second + "; not exported";
    }
}

// The page number a PNG page's name gives, as png_page_path makes them; 0
// for any other name.
int png_page_number(const std::string &path)
{
    const std::size_t dash = path.rfind('-');
    if (path.size() < 4 || path.compare(path.size() - 4, 4, ".png") != 0 || dash == std::string::npos)
        return 0;
    const std::string digits = path.substr(dash + 1, path.size() - 4 - dash - 1);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return std::stoi(digits);
}

bool writes_file(void *user, const std::string &path)
{
    const auto &run = *static_cast<const many_export *>(user);
    const int page = run.settings->type == export_type::png ? png_page_number(path) : 0;
    for (const std::string &out : run.outs) {
        if (run.settings->type != export_type::png ? same_file(path, out)
                                                   : page > 0 && same_file(path, png_page_path(out, page)))
            return true;
        if (run.combined)  // every input has the one output
            break;
    }
    return false;
}

}  // namespace

void collect_page(job_result &result, export_type type, const page_image &page)
{
    if (type == export_type::pbm) {
        pbm_keep_page(result.pbm, page);
        return;
    }
    // Coded here, on the pool: the one output then only stores them, and
    // what waits for it is small.
    if (result.uncoded != 0)
        return;
    coded_page coded{page.width, page.height, page.resolution, {}};
    if (!code_page_conforming_mmr(page, coded.data)) {
        result.uncoded = page.number;
        return;
    }
    result.coded.push_back(std::move(coded));
}

int export_many(const export_settings &settings, const page_runs &wanted)
{
    archive_listing listing;
    int status = 0;
    if (!gather_inputs("export", settings.archive, settings.operands, listing, status))
        return status;
    many_export run;
    run.settings = &settings;
    run.wanted = &wanted;
    run.combined = !settings.out.empty() && settings.type != export_type::png;  // PNG: one input's pages
    for (std::size_t i = 0; i < listing.inputs.size(); ++i) {
        run.index_of[listing.inputs[i].path] = i;
        run.outs.push_back(output_for(settings, listing.inputs[i]));
        run.inputs.push_back(listing.inputs[i].path);
    }
    mark_clashes(listing, run);
    if (settings.archive.sharded)
        keep_shard(listing, settings.archive.shard, settings.archive.shards);
    if (!listing.inputs.empty())
        run.last_input = listing.inputs.back().path;
    run.page_threads = page_threads_help(settings.archive, listing.inputs.size());
    if (run.combined && settings.archive.update && settings.out != "-") {
        struct stat out;
        run.combined_current = stat(settings.out.c_str(), &out) == 0;
        for (std::size_t i = 0; i < listing.inputs.size() && run.combined_current; ++i) {
            struct stat in;
            run.combined_current = stat(listing.inputs[i].path.c_str(), &in) == 0 && newer_or_same(out, in);
        }
    }
    archive_command job;
    job.work = export_input;
    job.emit = add_to_combined;
    job.writes = writes_file;
    job.user = &run;
    status = run_archive(settings.archive, listing, job, nullptr);
    // The last input may have been one that had nothing to add.
    std::string reason;
    if (run.single.open) {
        if (close_single(run.single, settings.type, reason))
            run.single_done = run.single_failure.empty();
        else {
            report_failure(settings.out == "-" ? "standard output" : settings.out, reason);
            status = 1;
        }
    }
    // As for one input's outputs: a whole made with a damaged input in it is
    // done again by --update, which then says so again.
    if (run.single_done && !run.flawed_input.empty())
        output_date_before(settings.out, run.flawed_input);
    return status;
}
