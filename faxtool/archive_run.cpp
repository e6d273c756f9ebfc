// Archive options, inputs and the ordered run.
#include "faxtool/archive_run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>

#include "faxtool/messages.h"
#include "faxtool/usage.h"

namespace {

enum archive_option_code : int {
    OPTION_JOBS = 'j',
    OPTION_NUL = '0',
    OPTION_UPDATE = 0x100,
    OPTION_REPORT,
    OPTION_SHARD,
    OPTION_FILES_FROM,
};

constexpr option ARCHIVE_LONG_OPTIONS[] = {
    {"jobs", required_argument, nullptr, OPTION_JOBS},
    {"null", no_argument, nullptr, OPTION_NUL},
    {"update", no_argument, nullptr, OPTION_UPDATE},
    {"report", required_argument, nullptr, OPTION_REPORT},
    {"shard", required_argument, nullptr, OPTION_SHARD},
    {"files-from", required_argument, nullptr, OPTION_FILES_FROM},
};

// The progress line of a run: files, pages, pages a second, time left.
struct run_progress {
    bool shown = false;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point drawn;
    bool drawn_once = false;
    std::size_t total = 0;
    std::size_t files = 0;
    long pages = 0;
};

void clear_progress(run_progress &progress)
{
    if (progress.shown && progress.drawn_once)
        std::fputs("\r\033[K", stderr);
    progress.drawn_once = false;
}

void draw_progress(run_progress &progress)
{
    using namespace std::chrono;
    if (!progress.shown)
        return;
    const auto now = steady_clock::now();
    if (progress.drawn_once && now - progress.drawn < milliseconds(200) && progress.files < progress.total)
        return;
    const double seconds = duration<double>(now - progress.start).count();
    const double rate = seconds > 0 ? static_cast<double>(progress.pages) / seconds : 0.0;
    const double left = progress.files > 0 ? seconds / static_cast<double>(progress.files) *
                                                 static_cast<double>(progress.total - progress.files)
                                           : 0.0;
    const long left_seconds = static_cast<long>(left + 0.5);
    std::fprintf(stderr, "\rfaxtool: %zu/%zu files, %ld pages, %.1f pages/s, %ld:%02ld left\033[K",
                 progress.files, progress.total, progress.pages, rate, left_seconds / 60, left_seconds % 60);
    progress.drawn = now;
    progress.drawn_once = true;
}

struct run_state {
    const archive_listing *listing = nullptr;
    const archive_command *job = nullptr;
    FILE *report = nullptr;
    archive_totals *totals = nullptr;
    int report_errno = 0;  // the first failed write of the report
    run_progress progress;
    int status = 0;
};

void work_on(void *user, std::size_t index, job_result &result)
{
    auto &run = *static_cast<run_state *>(user);
    const archive_input &input = run.listing->inputs[index];
    if (input.problem.empty()) {
        run.job->work(run.job->user, input, result);
        return;
    }
    report_failure(input.path, input.problem);
    result.outcome.status = input_status::failed;
    result.outcome.reason = input.problem;
}

void emit(void *user, std::size_t index, job_result &result)
{
    auto &run = *static_cast<run_state *>(user);
    const archive_input &input = run.listing->inputs[index];
    if (run.job->emit != nullptr && input.problem.empty()) {
        keep_messages(&result.messages);
        run.job->emit(run.job->user, input, result);
        keep_messages(nullptr);
    }
    input_outcome &outcome = result.outcome;
    if (outcome.status != input_status::ok && outcome.status != input_status::skipped) {
        run.status = 1;
        if (outcome.reason.empty())
            outcome.reason = result.messages.first_reason;
    }
    std::lock_guard<std::recursive_mutex> hold(standard_streams_lock());
    clear_progress(run.progress);
    const bool read_back = kept_write(result.out, stdout) && kept_write(result.messages.text, stderr);
    std::fflush(stdout);
    if (!read_back) {
        std::string reason = "its output was lost from a temporary file in ";
        reason += kept_directory();
        report_failure(input.path, reason);
        run.status = 1;
    }
    if (run.report != nullptr) {
        const std::string line = report_line(input.path, outcome);
        // An interrupted run keeps the lines of what it did.
        if ((std::fwrite(line.data(), 1, line.size(), run.report) != line.size() ||
             std::fflush(run.report) != 0) &&
            run.report_errno == 0)
            run.report_errno = errno != 0 ? errno : EIO;
    }
    if (run.totals != nullptr)
        add_to_totals(*run.totals, outcome);
    ++run.progress.files;
    run.progress.pages += outcome.pages;
    draw_progress(run.progress);
}

// The report is made before any input is read, so it must be none of them
// (nor the list of them): opening it would empty that file.
bool report_is_an_input(const archive_options &options, const archive_listing &listing)
{
    struct stat report;
    if (stat(options.report.c_str(), &report) != 0)
        return false;
    const auto is_report = [&report](const std::string &path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 && st.st_dev == report.st_dev && st.st_ino == report.st_ino;
    };
    if (!options.files_from.empty() && options.files_from != "-" && is_report(options.files_from))
        return true;
    return std::any_of(listing.inputs.begin(), listing.inputs.end(),
                       [&](const archive_input &input) { return is_report(input.path); });
}

// A report that is also an input or an output loses one of them: refused,
// with status 2, before anything is touched. 0 when the report may be made.
int refuse_report(const archive_options &options, const archive_listing &listing, const archive_command &job)
{
    if (options.report != "-" && report_is_an_input(options, listing)) {
        report_failure(options.report, "the report is one of the inputs; give it another name");
        return 2;
    }
    if (job.writes != nullptr && job.writes(job.user, options.report)) {
        report_failure(options.report == "-" ? "standard output" : options.report,
                       "the report is an output of the run as well; give it another name");
        return 2;
    }
    return 0;
}

}  // namespace

bool same_file(const std::string &a, const std::string &b)
{
    if (a == "-" || b == "-")
        return a == b;
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    std::error_code error;
    const std::filesystem::path ca = std::filesystem::weakly_canonical(std::filesystem::absolute(a, error), error);
    if (error)
        return false;
    const std::filesystem::path cb = std::filesystem::weakly_canonical(std::filesystem::absolute(b, error), error);
    return !error && ca == cb;
}

bool make_parent_directories(const std::string &path)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string directory = path.substr(0, slash);
        if (mkdir(directory.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

std::vector<option> with_archive_options(const option *own)
{
    std::vector<option> all;
    for (const option *entry = own; entry->name != nullptr; ++entry)
        all.push_back(*entry);
    all.insert(all.end(), std::begin(ARCHIVE_LONG_OPTIONS), std::end(ARCHIVE_LONG_OPTIONS));
    all.push_back({nullptr, 0, nullptr, 0});
    return all;
}

bool take_archive_option(const char *command, int c, const char *argument, archive_options &options,
                         int &status)
{
    switch (c) {
    case OPTION_JOBS: {
        char *end = nullptr;
        errno = 0;
        const long jobs = std::strtol(argument, &end, 10);
        if (end == argument || *end != '\0' || errno != 0 || jobs < 1 || jobs > 1024) {
            status = usage_error(command, ("bad number of jobs '" + std::string(argument) + "'").c_str());
            return true;
        }
        options.jobs = static_cast<unsigned>(jobs);
        break;
    }
    case OPTION_NUL:
        options.nul_separated = true;
        break;
    case OPTION_UPDATE:
        options.update = true;
        break;
    case OPTION_REPORT:
        options.report = argument;
        if (options.report.empty()) {
            status = usage_error(command, "--report needs a file name");
            return true;
        }
        break;
    case OPTION_SHARD:
        if (!parse_shard(argument, options.shard, options.shards)) {
            status = usage_error(command, ("bad shard '" + std::string(argument) + "', want K/N with 0 <= K < N").c_str());
            return true;
        }
        options.sharded = true;
        break;
    case OPTION_FILES_FROM:
        options.files_from = argument;
        break;
    default:
        return false;
    }
    options.given = true;
    return true;
}

bool gather_inputs(const char *command, const archive_options &options,
                   const std::vector<std::string> &operands, archive_listing &listing, int &status)
{
    if (options.nul_separated && options.files_from.empty()) {
        status = usage_error(command, "-0 goes with --files-from");
        return false;
    }
    if (!options.files_from.empty()) {
        std::vector<std::string> listed;
        std::string reason;
        if (!read_path_list(options.files_from, options.nul_separated, listed, reason)) {
            report_failure(options.files_from == "-" ? "standard input" : options.files_from, reason);
            status = 1;
            return false;
        }
        list_inputs(listed, true, listing);
    }
    archive_listing named;
    list_inputs(operands, false, named);
    listing.passed_over.insert(listing.passed_over.end(), named.passed_over.begin(), named.passed_over.end());
    std::sort(listing.passed_over.begin(), listing.passed_over.end());
    for (const std::string &path : listing.passed_over)
        report_failure(path, "passed over as a temporary file an earlier faxtool left beside " +
                                 path.substr(0, path.rfind('.')) + "; name it to take it");
    if (!named.inputs.empty() || named.not_fax > 0) {
        listing.inputs.insert(listing.inputs.end(), named.inputs.begin(), named.inputs.end());
        listing.not_fax += named.not_fax;
        std::stable_sort(listing.inputs.begin(), listing.inputs.end(),
                         [](const archive_input &a, const archive_input &b) { return a.path < b.path; });
    }
    if (operands.empty() && options.files_from.empty()) {
        status = usage_error(command, "missing fax file");
        return false;
    }
    return true;
}

int run_archive(const archive_options &options, const archive_listing &listing,
                const archive_command &job, archive_totals *totals)
{
    run_state run;
    run.listing = &listing;
    run.job = &job;
    run.totals = totals;
    if (totals != nullptr)
        totals->not_fax += listing.not_fax;
    if (!options.report.empty()) {
        if (const int refused = refuse_report(options, listing, job); refused != 0)
            return refused;
    }
    if (options.report == "-") {
        run.report = stdout;
    } else if (!options.report.empty()) {
        if (!make_parent_directories(options.report) ||
            (run.report = std::fopen(options.report.c_str(), "w")) == nullptr) {
            report_failure(options.report, std::strerror(errno));
            return 1;
        }
    }
    run.progress.shown = isatty(2) != 0 && listing.inputs.size() > 1;
    run.progress.start = std::chrono::steady_clock::now();
    run.progress.total = listing.inputs.size();
    const unsigned threads = options.jobs > 0 ? options.jobs : online_cpus();
    run_jobs(listing.inputs.size(), threads, work_on, emit, &run);
    clear_progress(run.progress);
    // The flush of each line failed, not the close: a lost report is said once.
    if (run.report != nullptr && run.report != stdout && std::fclose(run.report) != 0 && run.report_errno == 0)
        run.report_errno = errno;
    if (run.report_errno != 0 && run.report != stdout) {
        report_failure(options.report, std::strerror(run.report_errno));
        run.status = 1;
    }
    return run.status;
}

bool page_threads_help(const archive_options &archive, std::size_t inputs)
{
    const unsigned cpus = online_cpus();
    const std::size_t threads = archive.jobs > 0 ? archive.jobs : cpus;
    const std::size_t jobs = std::min(threads, std::max<std::size_t>(inputs, 1));
    return 2 * jobs <= std::min<std::size_t>(cpus, threads);
}
