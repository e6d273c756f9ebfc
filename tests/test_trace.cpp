#include "trace/trace.h"

#include "tests/support/capture.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testsupport::capture_output;

// Sets (or with null unsets) an environment variable for the scope.
struct env_guard {
    const char *name;
    std::optional<std::string> old;
    env_guard(const char *n, const char *value) : name(n)
    {
        if (const char *was = std::getenv(n))
            old = was;
        value ? setenv(n, value, 1) : unsetenv(n);
    }
    ~env_guard() { old ? setenv(name, old->c_str(), 1) : unsetenv(name); }
};

std::string read_text(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_text(const fs::path &path, std::string_view text) { std::ofstream(path, std::ios::binary) << text; }

int open_descriptors()
{
    auto entries = fs::directory_iterator("/proc/self/fd");
    return static_cast<int>(std::distance(fs::begin(entries), fs::end(entries)));
}

testing::AssertionResult matches(const std::string &text, const std::string &pattern)
{
    if (std::regex_match(text, std::regex(pattern)))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "\"" << text << "\" does not match " << pattern;
}

const std::string STAMP = "[0-9][0-9]:[0-9][0-9]:[0-9][0-9] ";

// Tracing is initialised once a process, so every test shares one scratch tree,
// made on first use (the uninitialised test never makes it).
struct scratch_tree {
    fs::path root, config, traces;
    scratch_tree()
    {
        std::string pattern = fs::temp_directory_path() / "tavrin-trace-XXXXXX";
        root = mkdtemp(pattern.data());
        fs::create_directories(config = root / "config");
        fs::create_directories(traces = root / "traces");
        EXPECT_EQ(trace_init(config.c_str(), traces.c_str()), 1);
    }
    ~scratch_tree() { fs::remove_all(root); }
};

class Trace : public testing::Test {
protected:
    static scratch_tree &tree()
    {
        static scratch_tree instance;
        return instance;
    }
    void SetUp() override
    {
        // Off, the last TRACES forgotten, no trace files left over.
        fs::remove(tree().config / "TRACES");
        ASSERT_EQ(open_trace_file("prog"), 1);
        ASSERT_FALSE(trace_is_on());
        for (auto &entry : fs::directory_iterator(tree().traces))
            fs::remove_all(entry);
    }
    // Every write gets a later modification time, so that it is read again.
    void write_traces(std::string_view text)
    {
        static std::time_t clock = std::time(nullptr);
        fs::path path = tree().config / "TRACES";
        write_text(path, text);
        timespec times[2] = {{++clock, 0}, {clock, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    fs::path trace_file(const std::string &word) { return tree().traces / ("trace_" + word); }

    env_guard home_{"TAVRINHOME", nullptr}, verbose_{"TRACECONFIG", nullptr};
};

TEST(TraceUninitialised, DropsOutputAndRefusesToOpen)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never initialised
    EXPECT_EXIT(
        {
            auto out = capture_output([] { trace_printf("dropped %d\n", 1), trace_puts("x\n"), trace_flush(); });
            std::string too_long(5000, 'd');
            bool refused = trace_init("", "/tmp") == 0 && trace_init("/tmp", nullptr) == 0 &&
                           trace_init(too_long.c_str(), "/tmp") == 0;
            bool ok = out.out.empty() && out.err.empty() && refused && open_trace_file("prog") == 0 &&
                      !trace_is_on() && !trace_stream();
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "^open_trace_file:  Traces have not been properly initialized\n$");
}

struct config_case {
    std::string name, traces;
    int status;
    std::string on_off, file, mode, fifth;
};
void PrintTo(const config_case &c, std::ostream *os) { *os << '"' << c.traces.substr(0, 60) << '"'; }

// A case's test name: its index, then the start of its text as letters, digits and underscores.
std::string text_name(std::size_t index, const std::string &text)
{
    std::string name = "Case" + std::to_string(index) + "_";
    for (char c : text.substr(0, 24)) {
        if (std::isalnum(static_cast<unsigned char>(c)))
            name += c;
        else if (name.back() != '_')
            name += '_';
    }
    if (name.back() == '_')
        name.pop_back();
    return name;
}

class TraceConfigLine : public Trace, public testing::WithParamInterface<config_case> {};

TEST_P(TraceConfigLine, ParsesWordsAndDefaults)
{
    const config_case &c = GetParam();
    write_traces(c.traces);
    char on_off[128] = "junk", file[256] = "junk", mode[128] = "junk", fifth[128] = "junk";
    EXPECT_EQ(check_trace_config_file(c.name.c_str(), on_off, file, mode, fifth), c.status);
    EXPECT_EQ((std::vector<std::string>{on_off, file, mode, fifth}),
              (std::vector<std::string>{c.on_off, c.file, c.mode, c.fifth}));
    EXPECT_EQ(check_trace_config_file(c.name.c_str(), on_off, file, mode, fifth), 3);  // unchanged file
    EXPECT_STREQ(file, "");
}

const std::string N223(223, 'n'), N224(224, 'n'), S127(127, 's'), M127(127, 'm');

INSTANTIATE_TEST_SUITE_P(
    Lines, TraceConfigLine,
    testing::Values(
        config_case{"prog", "prog\n", 0, "yes", "prog", "append", ""},
        config_case{"prog", "# prog off\nprog on - append\n", 0, "on", "prog", "append", ""},
        config_case{"prog", " \tprog\tOFF  /tmp/x Overwrite five six\n", 0, "OFF", "/tmp/x", "Overwrite", "five"},
        config_case{"prog", "progx off\nprog - stderr -\nprog off\n", 0, "yes", "stderr", "append", ""},
        config_case{"prog", "Prog off\n\n#\n", 2, "", "", "", ""},
        config_case{"p", "p\n", 2, "", "", "", ""},  // one character is too short a line
        // A last line without a newline keeps its last character.
        config_case{"prog", "x\nprog off", 0, "off", "prog", "append", ""},
        // Over-long words and lines: cut or refused, never carried into the
        // next word or line.
        config_case{"prog", "prog " + std::string(300, 's') + " - " + std::string(300, 'm') + " 5\n", 0, S127, "prog", M127, "5"},
        config_case{"prog", "prog " + std::string(10000, 's') + " f\nprog\n", 0, S127, "prog", "append", ""},
        config_case{"prog", std::string(1030, 'x') + " prog\nprog on\n", 0, "on", "prog", "append", ""},
        config_case{"prog", std::string(1023, ' ') + "prog\n", 2, "", "", "", ""},
        config_case{"prog", "prog on " + std::string(256, 'f') + "\nprog off\n", 0, "off", "prog", "append", ""},
        config_case{N223, N223 + "\n", 0, "yes", N223, "append", ""},
        config_case{N224, N224 + "\n", 2, "", "", "", ""}),
    [](const auto &info) { return text_name(info.index, info.param.traces); });

TEST_F(Trace, TracesFileIsLookedForInHomeThenConfigThenWorkingDirectory)
{
    fs::path home = tree().root / "home", cwd = tree().root / "cwd", old_cwd = fs::current_path();
    fs::create_directories(home), fs::create_directories(cwd), fs::current_path(cwd);
    env_guard set_home("TAVRINHOME", home.c_str());
    const fs::path places[] = {home / "TRACES", tree().config / "TRACES", "TRACES"};
    for (const fs::path &place : places)
        write_text(place, "");
    char path[4097];
    struct stat status;
    for (const fs::path &expected : places) {
        EXPECT_EQ(find_traces_file(path, &status), 1);
        EXPECT_EQ(fs::path(path), expected);
        fs::remove(expected);
    }
    EXPECT_EQ(find_traces_file(path, &status), 0);
    fs::current_path(old_cwd);
}

struct switch_case {
    std::string name, line, file_word;
    bool on, truncated;
};
void PrintTo(const switch_case &c, std::ostream *os) { *os << c.line.substr(0, 40); }

class TraceSwitch : public Trace, public testing::WithParamInterface<switch_case> {};

TEST_P(TraceSwitch, OpensTheNamedFileInItsMode)
{
    const switch_case &c = GetParam();
    write_text(trace_file(c.file_word), "old\n");
    write_traces(c.line + "\n");
    ASSERT_EQ(open_trace_file(c.name.c_str()), 1);
    ASSERT_EQ(trace_is_on(), c.on);
    trace_printf("copy: open(\"%s\") failed: %s.\n", "/x", "No such file or directory");
    EXPECT_TRUE(matches(read_text(trace_file(c.file_word)),
                        (c.truncated ? "" : "old\n") +
                            (c.on ? STAMP + "copy: open\\(\"/x\"\\) failed: No such file or directory\\.\n" : "")));
}

const std::string LONG_NAME = "/" + std::string(200, 'a');

INSTANTIATE_TEST_SUITE_P(
    Lines, TraceSwitch,
    testing::Values(switch_case{"prog", "prog", "prog", true, false},
                    switch_case{"prog", "prog yes log Overwrite", "log", true, true},
                    switch_case{"prog", "prog no - odd", "prog", true, true},
                    switch_case{"prog", "prog - - append", "prog", true, false},
                    switch_case{"prog", "prog OFF", "prog", false, false},
                    switch_case{"/opt/x/bin/prog", "/opt/x/bin/prog -", "opt_x_bin_prog", true, false},
                    switch_case{"/opt/x/bin/prog", "/opt/x/bin/prog on /var/x", "opt_x_bin_prog", true, false},
                    switch_case{LONG_NAME, LONG_NAME, std::string(127, 'a'), true, false},
                    switch_case{"_x/y", "_x/y", "x_y", true, false}),
    [](const auto &info) { return text_name(info.index, info.param.line); });

TEST_F(Trace, RescanKeepsChangesOrClosesTheStream)
{
    const char *elsewhere = tree().root.c_str();
    EXPECT_EQ(trace_init(elsewhere, elsewhere), 0);  // initialised once, for good
    write_traces("prog - - overwrite\n");
    ASSERT_EQ(open_trace_file("prog"), 1);
    FILE *stream = trace_stream();
    EXPECT_EQ(trace_init(elsewhere, elsewhere), 0);
    trace_puts("first\n");
    EXPECT_EQ(open_trace_file("prog"), 1);  // unchanged TRACES
    write_traces("prog - - overwrite\n");   // touched: a reopen would truncate
    EXPECT_EQ(open_trace_file("prog"), 1);
    EXPECT_EQ(trace_stream(), stream);
    trace_puts("second\n");
    write_traces("prog off\n");
    EXPECT_EQ(open_trace_file("prog"), 1);
    EXPECT_FALSE(trace_is_on() || trace_stream());
    trace_puts("dropped\n");
    EXPECT_TRUE(matches(read_text(trace_file("prog")), STAMP + "first\n" + STAMP + "second\n" + STAMP +
                                                           "open_trace_file: Closing trace file before rescaning\n"));
    write_traces("prog\n");
    ASSERT_EQ(open_trace_file("prog"), 1);
    fs::remove(tree().config / "TRACES");
    EXPECT_EQ(open_trace_file("prog"), 1);  // gone while on: off
    EXPECT_FALSE(trace_is_on());
    EXPECT_EQ(open_trace_file("prog"), 1);  // gone while off: nothing
    EXPECT_FALSE(trace_is_on());
}

TEST_F(Trace, TraceFilesAreNeverOpenedThroughALink)
{
    fs::path victim = tree().root / "victim";
    write_text(victim, "precious\n");
    fs::create_symlink("../victim", trace_file("prog"));
    for (const char *mode : {"overwrite", "append"}) {
        write_traces(std::string("prog - - ") + mode + "\n");
        auto out = capture_output([] {
            EXPECT_EQ(open_trace_file("prog"), 0);
            trace_puts("to stdout, not the victim\n");
        });
        EXPECT_EQ(out.err, "open_trace_file:  Couldn't open trace file '" + trace_file("prog").string() +
                               "', using stdout, errno=" + std::to_string(ELOOP) + "\n") << mode;
        EXPECT_EQ(read_text(victim), "precious\n") << mode;
    }
    fs::remove(trace_file("prog"));
    write_traces("prog\n");
    ASSERT_EQ(open_trace_file("prog"), 1);
    EXPECT_TRUE(fcntl(fileno(trace_stream()), F_GETFD) & FD_CLOEXEC);
    fs::remove(victim);
}

TEST_F(Trace, StandardStreamTargetsAndTheStdoutFallback)
{
    int before = open_descriptors();
    write_traces("prog\n");
    ASSERT_EQ(open_trace_file("prog"), 1);
    write_traces("prog on stderr\n");
    ASSERT_EQ(open_trace_file("prog"), 1);
    EXPECT_EQ(trace_stream(), stderr);
    EXPECT_EQ(open_descriptors(), before);  // the trace file was closed

    fs::path missing = tree().traces / "missing";
    std::string line = "prog on " + (missing / "log").string() + "\n";
    write_traces(line);
    auto out = capture_output([] { EXPECT_EQ(open_trace_file("prog"), 0); });
    EXPECT_EQ(out.err, "open_trace_file:  Couldn't open trace file '" + (missing / "log").string() +
                           "', using stdout, errno=2\n");
    EXPECT_TRUE(trace_is_on() && trace_stream() == stdout);
    fs::create_directories(missing);
    write_traces(line);
    EXPECT_EQ(open_trace_file("prog"), 1);  // tried again, not kept on stdout
    EXPECT_NE(trace_stream(), stdout);
}

TEST_F(Trace, OutputFunctionsStampsSwitchAndBuffering)
{
    write_traces("prog\n");
    ASSERT_EQ(open_trace_file("prog"), 1);
    trace_set_enabled(0);
    trace_puts("dropped\n"), trace_putc('x');
    trace_set_enabled(1);
    trace_write("raw", 3), trace_putc('\n'), trace_date(), trace_time(), trace_putc('\n');
    trace_key_record(nullptr);
    trace_pair second{"b", "2", nullptr}, first{"a", "1", &second};
    trace_key record{"k", -5, &first};
    trace_key_record(&record);
    record.pairs = nullptr;
    trace_key_record(&record);
    std::string month_year(32, '\0');
    std::time_t now = std::time(nullptr);
    month_year.resize(std::strftime(month_year.data(), month_year.size(), "%b-%Y ", std::localtime(&now)));
    std::string key = STAMP + "key:         \\[k\\]\n" + STAMP + "check_value: \\[-5\\]\n";
    std::string written = read_text(trace_file("prog"));
    EXPECT_TRUE(matches(written, "raw\n[ 1-3][0-9]-" + month_year + STAMP + "\n" + key + STAMP +
                                     "    a = \\[1\\]\n" + STAMP + "    b = \\[2\\]\n" + key));
    // Line-buffered through 8192 bytes: a long partial line stays in the buffer.
    std::string partial(8000, 'p');
    trace_write(partial.data(), partial.size());
    EXPECT_EQ(fs::file_size(trace_file("prog")), written.size());
    trace_putc('\n');
    EXPECT_EQ(fs::file_size(trace_file("prog")), written.size() + 8001);
}

TEST_F(Trace, VerboseConfigurationMessages)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // verbose is never cleared again
    write_traces("prog\n");
    std::string looking = "looking for file '" + (tree().config / "TRACES").string() + "'\n";
    std::string expected = "check_trace_config_file('prog')\n" + looking +
                           "found trace config line 'prog'\nopen_trace_file(prog): ret=0\n"
                           "open_trace_file(prog): 1 on_off=\"yes\"\nopen_trace_file(prog): Trace_on\n"
                           "trace file is '" + trace_file("prog").string() + "'\n"
                           "open_trace_file(prog)\ncheck_trace_config_file('prog')\n" + looking +
                           "open_trace_file(prog): ret=3\nopen_trace_file(prog): no change\n";
    EXPECT_EXIT(
        {
            env_guard verbose("TRACECONFIG", "");
            auto out = capture_output([] { open_trace_file("prog"), open_trace_file("prog"); });
            std::exit(out.out == expected ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(ReplaceChar, ReplacesEveryOccurrenceButNeverTheTerminator)
{
    char text[] = "/a/b/";
    replace_char(text, '/', '_'), replace_char(text, '\0', 'x'), replace_char(nullptr, 'a', 'b');
    EXPECT_STREQ(text, "_a_b_");
}

}  // namespace
