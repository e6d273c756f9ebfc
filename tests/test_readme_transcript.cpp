// The README's transcripts ("$ command" lines and the output after them) run
// as written in a fresh checkout: only build/ and examples/ exist there.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/program_runner.h"

namespace {

struct transcript_step {
    std::string command;
    std::vector<std::string> output;
};

std::vector<std::string> words(const std::string &line)
{
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

// The steps of every fenced block that holds "$ " lines.
std::vector<transcript_step> readme_transcripts()
{
    const std::vector<uint8_t> bytes = progrun::read_file(std::string(EXAMPLES_DIR) + "/../README.md");
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::vector<transcript_step> steps;
    bool fenced = false;
    bool in_step = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("```", 0) == 0) {
            fenced = !fenced;
            in_step = false;
        } else if (fenced && line.rfind("$ ", 0) == 0) {
            steps.push_back({line.substr(2), {}});
            in_step = true;
        } else if (fenced && in_step) {
            steps.back().output.push_back(line);
        }
    }
    return steps;
}

// An `ls -l` line as the README abbreviates it: mode, size and name must
// match; owner and date are the reader's own.
bool same_listing(const std::string &shown, const std::string &actual)
{
    const std::vector<std::string> a = words(shown), b = words(actual);
    return a.size() >= 6 && b.size() >= 6 && a[0] == b[0] && a[4] == b[4] && a.back() == b.back();
}

TEST(ReadmeTranscript, RunsAsWrittenInAFreshCheckout)
{
    const std::vector<transcript_step> steps = readme_transcripts();
    ASSERT_FALSE(steps.empty());
    progrun::temp_dir checkout;
    progrun::result r = progrun::run("/bin/sh", {"-c", "mkdir build && ln -s " + std::string(PELMORIN_PATH) +
                                                           " build/pelmorin && ln -s " + EXAMPLES_DIR + " examples"},
                                     checkout.path);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const transcript_step &step : steps) {
        SCOPED_TRACE(step.command);
        r = progrun::run("/bin/sh", {"-c", "umask 022; " + step.command}, checkout.path);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(r.err, "");
        std::vector<std::string> actual;
        std::istringstream out(r.out);
        for (std::string line; std::getline(out, line);)
            if (line.rfind("total ", 0) != 0)
                actual.push_back(line);
        ASSERT_EQ(actual.size(), step.output.size()) << r.out;
        for (std::size_t i = 0; i < actual.size(); ++i) {
            const bool listing = step.command.rfind("ls -l", 0) == 0;
            EXPECT_TRUE(listing ? same_listing(step.output[i], actual[i]) : step.output[i] == actual[i])
                << "README shows: " << step.output[i] << "\nran: " << actual[i];
        }
    }
}

}  // namespace
